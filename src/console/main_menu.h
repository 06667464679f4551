// SPDX-License-Identifier: GPL-2.0-or-later
// The interactive main menu.
#pragma once

// Lists the readers and acts on the operator's choices until 99 or the end
// of standard input. Never fails.
void main_menu();
