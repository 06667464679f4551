// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/inventory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/diag.h"
#include "base/result.h"
#include "base/text.h"
#include "cli/batch_rows.h"
#include "cli/history.h"
#include "cli/reader_selection.h"
#include "discovery/reader_list.h"
#include "services/reader_inventory.h"

namespace {

// One reader asked. The main thread fills it and opens the reader; then
// only the reader's own thread writes it until the main thread joins it.
struct Asked {
    Reader* reader = nullptr;
    int index = 0;
    ReaderInventory values;
    int32_t result = 0;
    std::string message; // the first error, as -v shows it
    DiagTarget target;
    BatchRows* rows = nullptr;
    std::thread thread;
};
using AskedList = std::vector<std::unique_ptr<Asked>>;

void take_message(void* context, int level, const char* text) {
    auto* asked = static_cast<Asked*>(context);
    batch_rows_take(asked->rows, asked->reader->serial, &asked->message, level, text);
}

// A reader that failed says why, in its own words or the function's.
void settle(Asked* asked, int32_t result, uint16_t function) {
    asked->result = result;
    if (result != 0 && asked->message.empty()) asked->message = failure_words(function, result);
}

void ask(Asked* asked) {
    diag_redirect(&asked->target);
    reader_inventory_read(asked->reader, &asked->values);
    reader_close(asked->reader);
    settle(asked, asked->values.link_failure, asked->values.link_failure_function);
    diag_redirect(nullptr);
}

// Opens each reader in turn, then asks them all side by side.
void ask_all(AskedList* list) {
    for (auto& asked : *list) {
        diag_redirect(&asked->target);
        const int opened = reader_open(asked->reader);
        if (opened < 0) {
            diag(1, "Cannot open cfg interface: %d\n", opened);
            diag_redirect(nullptr);
            settle(asked.get(), BATCH_READER_UNUSABLE, 0);
            continue;
        }
        diag_redirect(nullptr);
        try {
            asked->thread = std::thread(ask, asked.get());
        } catch (const std::system_error& e) {
            reader_close(asked->reader);
            asked->message = std::string("Cannot create thread: ") + e.code().message();
            settle(asked.get(), BATCH_READER_LOST, 0);
        }
    }
    for (auto& asked : *list)
        if (asked->thread.joinable()) asked->thread.join();
}

std::string line_of(const Asked& a) {
    const ReaderInventory& v = a.values;
    const bool ok = a.result == 0;
    return text_fields_line(
        {std::to_string(a.index), a.reader->serial, a.reader->model->description, a.reader->path,
         v.firmware, v.service_firmware, v.service_status, v.usb_mode, v.protocol, v.hardware,
         v.hardware_serial, v.library, v.module_part, v.module_firmware, v.module_serial, v.status,
         ok ? "ok" : "failed", ok ? "" : a.message});
}

// Writes the header and the lines; 2 when they cannot all be written.
int32_t print_inventory(const AskedList& list) {
    errno = 0;
    std::fputs(text_fields_line({"index", "serial", "model", "path", "firmware", "service_firmware",
                                 "service_status", "usb_mode", "protocol", "hardware",
                                 "hardware_serial", "library", "module_part", "module_firmware",
                                 "module_serial", "status", "result", "message"})
                   .c_str(),
               stdout);
    for (const auto& asked : list)
        std::fputs(line_of(*asked).c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        diag(1, "Cannot write output: %s\n", strerror(errno != 0 ? errno : EIO));
        return BATCH_FILE_ERROR;
    }
    return 0;
}

} // namespace

int32_t inventory_run(const ToolSettings&, const char* serials) {
    std::vector<Reader*> chosen;
    if (readers_enumerate() == 0) {
        diag(1, "No configurable readers found\n");
        const int32_t r = print_inventory({});
        return r != 0 ? r : BATCH_NO_READER;
    }
    int32_t r = select_readers(serials, &chosen);
    if (r != 0) return r;
    BatchRows rows;
    AskedList list;
    for (int i = 0; Reader* reader = reader_by_index(i); ++i)
        for (Reader* one : chosen)
            if (one == reader) {
                auto asked = std::make_unique<Asked>();
                asked->reader = reader;
                asked->index = i;
                asked->rows = &rows;
                asked->target = {take_message, asked.get()};
                list.push_back(std::move(asked));
            }
    ask_all(&list);
    if ((r = print_inventory(list)) != 0) return r;
    for (const auto& asked : list)
        if (asked->result != 0) return asked->result;
    return 0;
}
