#include "console/main_menu.h"

#include <cstdio>

int32_t main_menu() {
    fputs("The interactive menu is not available in this build\n", stderr);
    return 1;
}
