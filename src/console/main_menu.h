// SPDX-License-Identifier: GPL-2.0-or-later
// The interactive main menu.
#pragma once

#include <cstdint>

// Lists the readers and acts on the operator's choices until 99. Returns 0.
int32_t main_menu();
