#include "cardtest/card_test_console.h"

#include <cstdio>

int32_t card_test_run() {
    fputs("Card test mode is not available in this build\n", stderr);
    return 1;
}
