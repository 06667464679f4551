// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/entry.h"

int main(int argc, char** argv) {
    return tool_main(argc, argv);
}
