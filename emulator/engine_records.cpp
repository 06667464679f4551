// SPDX-License-Identifier: GPL-2.0-or-later
// What the protocol engine writes into a device's transcript: notes, the
// reports on the bus, and the names the transcript gives to outcomes.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "engine.h"

namespace emu::detail {

__attribute__((format(printf, 1, 2))) std::string fmt(const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

void log_report(Device& dev, const Report& report, bool to_device, double ms, int length,
                const char* flag) {
    if (!transcript_reports_enabled()) return;
    dev.log.reports.push_back({next_seq(), emu::Report{to_device, ms, report, length, flag}});
    transcript_dirty();
}

const char* outcome_name(ExchangeOutcome outcome) {
    static const char* const names[] = {"fetched",    "refused", "no_output", "request_error",
                                        "done_error", "no_done", "abandoned", "unplugged"};
    return names[static_cast<int>(outcome)];
}

const char* outcome_name(CallbackOutcome outcome) {
    static const char* const names[] = {"pending", "done",      "refused",
                                        "timeout", "abandoned", "unplugged"};
    return names[static_cast<int>(outcome)];
}

uint64_t next_seq() {
    static std::atomic<uint64_t> seq{0};
    return ++seq;
}

void note(Device& dev, double now, const std::string& text, bool event) {
    dev.log.notes.push_back({next_seq(), NoteRec{now, event, text}});
    transcript_dirty();
}

} // namespace emu::detail
