// SPDX-License-Identifier: GPL-2.0-or-later
// The readers a command over many readers works on: every listed one, or
// those -s names.
#pragma once

#include <cstdint>
#include <vector>

struct Reader;

// Every listed reader in list order, or those whose serial number is one of
// the comma-separated names (ASCII case ignored; a name two readers share
// selects both). 0; 4 after "Reader could not be selected" (level 1) when
// a name matches no reader, before any reader is touched.
int32_t select_readers(const char* names, std::vector<Reader*>* chosen);
