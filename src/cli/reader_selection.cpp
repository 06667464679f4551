// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/reader_selection.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "base/diag.h"
#include "cli/batch.h"
#include "discovery/reader_list.h"

namespace {

// The comma-separated names of -s, each as given.
std::vector<std::string> split_names(const char* names) {
    std::vector<std::string> out;
    for (const char* name = names;;) {
        const char* end = std::strchr(name, ',');
        out.emplace_back(name, end != nullptr ? end : name + std::strlen(name));
        if (end == nullptr) return out;
        name = end + 1;
    }
}

} // namespace

int32_t select_readers(const char* names, std::vector<Reader*>* chosen) {
    const std::vector<std::string> wanted =
        names != nullptr ? split_names(names) : std::vector<std::string>{};
    std::vector<bool> found(wanted.size(), false);
    for (int i = 0; Reader* r = reader_by_index(i); ++i) {
        bool take = names == nullptr;
        for (size_t k = 0; k < wanted.size(); ++k)
            if (strcasecmp(r->serial, wanted[k].c_str()) == 0) take = found[k] = true;
        if (take) chosen->push_back(r);
    }
    for (bool one : found)
        if (!one) {
            diag(1, "Reader could not be selected\n");
            return BATCH_NO_READER;
        }
    return 0;
}
