// SPDX-License-Identifier: GPL-2.0-or-later
// The reader's side of a CTL exchange once the request is taken: the script
// entry it follows, CTL_DONE, the output fetched, and what the reader does
// after it.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "engine.h"

namespace emu::detail {

namespace {

constexpr size_t MAX_PADDED_OUTPUT = 64 * 1024 * 1024;
constexpr double RESET_DELAY_S = 0.5; // FN_RESET: off the bus this long

void schedule_after(Device& dev, After after, double now) {
    const Declared& decl = dev.decl;
    ReturnAs as = ReturnAs::Normal;
    double back = decl.reset_never ? -1 : RESET_DELAY_S;
    const char* reason = "reset";
    if (after == After::EnterService) {
        as = decl.service_mode == Declared::Service::Stay ? ReturnAs::Normal : ReturnAs::Service;
        back = decl.service_mode == Declared::Service::Never ? -1 : decl.service_delay_s;
        reason = "enter_service";
    }
    // The reader leaves once its last answer is on the bus.
    const double at =
        std::max({now, dev.eng.busy_until, dev.eng.last_visible}) + decl.leave_delay_ms;
    schedule_for(dev, at, Action::Kind::Leave, as, back, reason);
}

// The output length CTL_DONE announces: the real one, or what the script says.
int32_t announced_length(const ExchangeCtx& ctx) {
    switch (ctx.entry.donelen) {
    case ScriptEntry::Len::Fixed:
        return ctx.entry.donelen_value;
    case ScriptEntry::Len::Real:
        return static_cast<int32_t>(ctx.output.size());
    case ScriptEntry::Len::OverCapacity:
        break;
    }
    return static_cast<int32_t>(std::min<int64_t>(int64_t{ctx.capacity} + 1, INT32_MAX));
}

// CTL_DONE, or what the script sends in its place, once the input is in.
void send_done(Device& dev, double now) {
    ExchangeCtx& ctx = dev.eng.ctx;
    const ScriptEntry& entry = ctx.entry;
    if (entry.delay_ms > 0) {
        dev.eng.busy_until = now + entry.delay_ms;
        note(dev, now,
             fmt("fault: CTL_DONE delayed by %lld ms", static_cast<long long>(entry.delay_ms)));
    }
    if (entry.doneerror) {
        note(dev, now, fmt("fault: CTL_ERROR %d in place of CTL_DONE", *entry.doneerror));
        send_header(dev, encode_header({CTL_ERROR, *entry.doneerror, 0, 0}), now, Step::Done,
                    entry.delay_ms);
        ctx.result = *entry.doneerror;
        return complete(dev, ExchangeOutcome::DoneError, now);
    }
    HeaderBytes done = encode_done(ctx.result, ctx.announced);
    if (entry.donetype >= 0) {
        done[0] = static_cast<uint8_t>(entry.donetype);
        note(dev, now, fmt("fault: header type %d in place of CTL_DONE", entry.donetype));
    }
    send_header(dev, done, now, Step::Done, entry.delay_ms);
    if (entry.donetype >= 0)
        complete(dev, ExchangeOutcome::DoneError, now);
    else if (ctx.announced != 0)
        dev.eng.state = EngineState::WaitFetch;
    else
        complete(dev, ExchangeOutcome::NoOutput, now);
}

} // namespace

void consume_entry(Device& dev) {
    const ExchangeCtx& ctx = dev.eng.ctx;
    if (!ctx.scripted) return;
    auto it = dev.decl.scripts.find(ctx.fn);
    if (it == dev.decl.scripts.end() || it->second.entries.empty()) return;
    FnScript& script = it->second;
    if (++script.used >= ctx.entry.times && script.index + 1 < script.entries.size()) {
        ++script.index;
        script.used = 0;
    }
}

void start_exchange(Device& dev, const Header& header, double now) {
    ExchangeCtx& ctx = dev.eng.ctx;
    if (ctx.active) consume_entry(dev); // never acknowledged
    ctx = ExchangeCtx{};
    ctx.active = true;
    ctx.fn = header.code;
    ctx.input_len = header.value;
    ctx.capacity = header.capacity;
    ctx.ms = now;
    auto it = dev.decl.scripts.find(header.code);
    if (it != dev.decl.scripts.end() && !it->second.entries.empty()) {
        FnScript& script = it->second;
        ctx.entry = script.entries[std::min(script.index, script.entries.size() - 1)];
        ctx.scripted = true;
    }
    ctx.noack_left = ctx.entry.noack;
    ctx.cbfirst_left = ctx.entry.cbfirst;
}

void complete(Device& dev, ExchangeOutcome outcome, double now, bool refused, int32_t host_error) {
    Engine& eng = dev.eng;
    ExchangeCtx& ctx = eng.ctx;
    if (ctx.acked) {
        // The context is emptied below: its data moves to the record
        // rather than being copied, and an image sent is not held twice.
        dev.log.exchanges.push_back(
            {next_seq(), emu::Exchange{ctx.ms, ctx.fn, std::move(ctx.input), ctx.capacity,
                                       ctx.result, ctx.announced, std::move(ctx.output),
                                       outcome == ExchangeOutcome::Fetched, refused, host_error,
                                       outcome_name(outcome)}});
        transcript_dirty();
    }
    consume_entry(dev);
    const After after = ctx.after;
    const uint16_t fn = ctx.fn;
    ctx = ExchangeCtx{};
    eng.state = EngineState::Idle;
    if (outcome == ExchangeOutcome::Unplugged || outcome == ExchangeOutcome::Abandoned) return;
    if (after != After::Nothing) schedule_after(dev, after, now);
    if (outcome == ExchangeOutcome::Fetched || outcome == ExchangeOutcome::Refused ||
        outcome == ExchangeOutcome::NoOutput)
        fire_triggers(dev, fn, now);
    try_announce(dev, now);
}

void unplug_fault(Device& dev, double now, double return_s, const char* what) {
    note(dev, now, std::string("fault: unplug ") + what);
    go_offline(dev, now, "fault");
    if (return_s >= 0)
        schedule_for(dev, now + return_s * 1000, Action::Kind::Return, ReturnAs::Same);
}

void run_exchange(Device& dev, double now) {
    ExchangeCtx& ctx = dev.eng.ctx;
    const ScriptEntry entry = ctx.entry;
    if (entry.unplug_step == Step::Done)
        return unplug_fault(dev, now, entry.unplug_return_s, "before CTL_DONE");
    ModelAnswer answer;
    if (entry.model) answer = run_model(dev, ctx.fn, ctx.input, now);
    if (entry.result) answer.result = *entry.result;
    if (entry.out || !entry.model) answer.output = entry.out.value_or(Bytes{});
    ctx.result = answer.result;
    ctx.output = std::move(answer.output);
    ctx.after = answer.after;
    ctx.announced = announced_length(ctx);
    if (entry.silent) {
        note(dev, now, fmt("fault: no CTL_DONE for %d", ctx.fn));
        return complete(dev, ExchangeOutcome::NoDone, now);
    }
    send_done(dev, now);
}

void fetch_output(Device& dev, double now) {
    const ExchangeCtx& ctx = dev.eng.ctx;
    Bytes out = ctx.output;
    // What the announced length claims, zeros beyond the real output.
    size_t length = ctx.announced <= 0 ? 0 : static_cast<size_t>(ctx.announced);
    if (length > out.size() && length - out.size() > MAX_PADDED_OUTPUT) {
        note(dev, now, "announced output far beyond the real output: only 64 MiB of zeros sent");
        length = out.size() + MAX_PADDED_OUTPUT;
    }
    out.resize(length, 0);
    const bool unplug = ctx.entry.unplug_step == Step::Output;
    const double return_s = ctx.entry.unplug_return_s;
    if (unplug && out.size() > static_cast<size_t>(PAYLOAD_MAX)) out.resize(PAYLOAD_MAX);
    start_data(dev, out, now, true);
    complete(dev, ExchangeOutcome::Fetched, now);
    if (unplug) unplug_fault(dev, now, return_s, "after the first output packet");
}

} // namespace emu::detail
