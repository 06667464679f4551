// SPDX-License-Identifier: GPL-2.0-or-later
// The reader's side of the CTL exchange and of callback transfers, with the
// scripted faults, and the device's presence on the bus.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "device.h"
#include "world.h"

namespace emu::detail {

namespace {

constexpr int32_t MAX_INPUT_BYTES = 64 * 1024 * 1024; // the reader's RAM, generously
constexpr size_t MAX_PADDED_OUTPUT = 64 * 1024 * 1024;
constexpr double RESET_DELAY_S = 0.5;      // FN_RESET: off the bus this long
constexpr double CB_ACK_TIMEOUT_MS = 2000; // a callback transfer the host does not answer ends
constexpr int32_t HOST_REFUSAL = -5;       // the CTL_ERROR value a host refuses output with

// Why the reader stops what it was doing.
enum class Interruption { Unplugged, Closed };

__attribute__((format(printf, 1, 2))) std::string fmt(const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

const char* state_name(EngineState state) {
    static const char* const names[] = {"idle", "input", "wait_fetch", "wait_cb_ack",
                                        "wait_cb_done"};
    return names[static_cast<int>(state)];
}

bool in_callback(const Engine& eng) {
    return eng.state == EngineState::CbWaitAck || eng.state == EngineState::CbWaitDone;
}

bool speaks_protocol(const Device& dev) {
    return dev.decl.protocol >= 0 ? dev.decl.protocol == 1 : dev.persona.vendor == READER_VENDOR_ID;
}

void log_report(Device& dev, const Report& report, bool to_device, double ms, int length,
                const char* flag) {
    if (!transcript_reports_enabled()) return;
    dev.log.reports.push_back({next_seq(), emu::Report{to_device, ms, report, length, flag}});
    transcript_dirty();
}

void schedule_for(Device& dev, double at_ms, Action::Kind kind, ReturnAs as, double return_s = -1,
                  const char* reason = "") {
    Action scheduled = action(kind, dev.shared_from_this());
    scheduled.as = as;
    scheduled.return_after_s = return_s;
    scheduled.token = dev.away_token;
    scheduled.text = reason;
    schedule(at_ms, std::move(scheduled));
}

// ---- the path of reports towards the host ----

QReport make_q(Engine& eng, const Report& report, double at) {
    QReport queued;
    queued.bytes = report;
    queued.visible_at = eng.last_visible = std::max(at, eng.last_visible);
    return queued;
}

// Moves the reports whose time has come into hidapi's queue, which holds 30
// and drops the oldest beyond that.
void settle(Device& dev, double now) {
    Engine& eng = dev.eng;
    while (!eng.flight.empty() && eng.flight.front().visible_at <= now) {
        QReport queued = eng.flight.front();
        eng.flight.pop_front();
        log_report(dev, queued.bytes, false, queued.visible_at, queued.length, "");
        eng.hostq.push_back(queued);
        if (eng.hostq.size() <= HOST_QUEUE_MAX) continue;
        log_report(dev, eng.hostq.front().bytes, false, now, eng.hostq.front().length, "dropped");
        note(dev, now, "host queue full: oldest report dropped");
        eng.hostq.pop_front();
    }
}

// The headers held back behind a data block follow it once it is sent.
void release_after_stream(Engine& eng) {
    eng.stream = OutStream{};
    for (QReport& queued : eng.after_stream) {
        queued.visible_at = eng.last_visible = std::max(queued.visible_at, eng.last_visible);
        eng.flight.push_back(queued);
    }
    eng.after_stream.clear();
}

// Produces the next data packets of the current block. With pacing on, the
// reader sends only while hidapi's queue has room, so a slow host loses no
// data; with pacing off it sends the whole block at once.
void pump(Device& dev, double now) {
    Engine& eng = dev.eng;
    OutStream& stream = eng.stream;
    while (stream.active() &&
           (!dev.decl.pace || eng.flight.size() + eng.hostq.size() < HOST_QUEUE_MAX)) {
        const size_t length = std::min<size_t>(PAYLOAD_MAX, stream.data.size() - stream.pos);
        QReport queued = make_q(eng, make_packet(false, &stream.data[stream.pos], length),
                                now + dev.decl.latency_ms);
        if (stream.pos == 0 && stream.short_bytes >= 0) {
            queued.length = stream.short_bytes;
            note(dev, now, fmt("fault: data packet handed over with %d bytes", queued.length));
        }
        if (stream.pos == 0 && stream.fault_hidfail) {
            queued.fail_once = true;
            note(dev, now, "fault: read of the first data packet fails");
        }
        stream.pos += length;
        eng.flight.push_back(queued);
    }
    if (!stream.active()) release_after_stream(eng);
    settle(dev, now);
}

// The faults the script sets for this step damage the header on its way.
void damage_header(Device& dev, QReport& queued, uint8_t type, Step step, double now) {
    const ScriptEntry& entry = dev.eng.ctx.entry;
    const std::string what = header_type_name(type);
    if (entry.dataheader_step == step) {
        queued.bytes[0] &= static_cast<uint8_t>(~CTRL_HEADER);
        note(dev, now, "fault: " + what + " sent as a data packet");
    }
    if (entry.short_step == step) {
        queued.length = std::clamp(entry.short_bytes, 0, REPORT_BYTES);
        note(dev, now, "fault: " + what + fmt(" handed over with %d bytes", queued.length));
    }
    if (entry.hidfail_step == step) {
        queued.fail_once = true;
        note(dev, now, "fault: read of " + what + " fails");
    }
}

void send_header(Device& dev, const HeaderBytes& header, double now, Step fault_step = Step::None,
                 double extra_delay = 0) {
    Engine& eng = dev.eng;
    QReport queued = make_q(eng, make_packet(true, header.data(), header.size()),
                            now + dev.decl.latency_ms + extra_delay);
    if (fault_step != Step::None && eng.ctx.active)
        damage_header(dev, queued, header[0], fault_step, now);
    (eng.stream.active() ? eng.after_stream : eng.flight).push_back(queued);
    settle(dev, now);
}

void send(Device& dev, uint8_t type, int32_t value, double now, uint16_t code = 0) {
    send_header(dev, encode_header({type, value, code, 0}), now);
}

void start_data(Device& dev, const Bytes& data, double now, bool faults) {
    Engine& eng = dev.eng;
    eng.stream = OutStream{};
    eng.stream.data = data;
    if (faults && eng.ctx.active) {
        const ScriptEntry& entry = eng.ctx.entry;
        if (entry.short_step == Step::Output)
            eng.stream.short_bytes = std::clamp(entry.short_bytes, 0, REPORT_BYTES);
        eng.stream.fault_hidfail = entry.hidfail_step == Step::Output;
    }
    pump(dev, now);
}

// ---- exchanges ----

void try_announce(Device& dev, double now);
void fire_triggers(Device& dev, uint16_t fn, double now);

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

void complete(Device& dev, ExchangeOutcome outcome, double now, bool refused = false,
              int32_t host_error = 0) {
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

// ---- callbacks ----

void start_callback(Device& dev, const PendingCallback& callback, bool in_place, double now) {
    Engine& eng = dev.eng;
    eng.cb = CbTransfer{callback, std::max(now, eng.last_visible) + CB_ACK_TIMEOUT_MS,
                        dev.log.callbacks.size()};
    dev.log.callbacks.push_back(
        {next_seq(), emu::Callback{now, callback.code, callback.data, in_place,
                                   outcome_name(CallbackOutcome::Pending), 0}});
    transcript_dirty();
    eng.state = EngineState::CbWaitAck;
    send(dev, CB_REQUEST, static_cast<int32_t>(callback.data.size()), now, callback.code);
}

void end_callback(Device& dev, CallbackOutcome outcome, int32_t value, double now) {
    Engine& eng = dev.eng;
    if (eng.cb.record < dev.log.callbacks.size()) {
        dev.log.callbacks[eng.cb.record].value.outcome = outcome_name(outcome);
        dev.log.callbacks[eng.cb.record].value.host_value = value;
        transcript_dirty();
    }
    const PendingCallback done = eng.cb.cb;
    eng.cb = CbTransfer{};
    eng.state = EngineState::Idle;
    if (outcome == CallbackOutcome::Done) card_delivered(dev.model, done);
    if (outcome == CallbackOutcome::Done || outcome == CallbackOutcome::Refused ||
        outcome == CallbackOutcome::Timeout)
        try_announce(dev, now);
}

void try_announce(Device& dev, double now) {
    Engine& eng = dev.eng;
    if (eng.state != EngineState::Idle || dev.open_handle == nullptr || !dev.present ||
        eng.pending.empty() || !speaks_protocol(dev))
        return;
    const PendingCallback callback = eng.pending.front();
    eng.pending.pop_front();
    start_callback(dev, callback, false, now);
}

void fire_triggers(Device& dev, uint16_t fn, double now) {
    for (CallbackRule& rule : dev.decl.callbacks) {
        if (rule.trigger != CallbackRule::Trigger::After ||
            (rule.after_fn >= 0 && rule.after_fn != fn))
            continue;
        ++rule.seen;
        if (!(rule.each ? rule.seen % rule.nth == 0 : !rule.fired && rule.seen == rule.nth))
            continue;
        rule.fired = true;
        if (rule.delay_s <= 0)
            dev.eng.pending.push_back(rule.cb);
        else
            schedule(now + rule.delay_s * 1000,
                     action(Action::Kind::Callback, dev.shared_from_this(), rule.cb));
    }
}

// Ends whatever the reader was doing: the exchange in progress and a
// callback transfer. A callback the host had not acknowledged yet is kept
// for the next time the device is opened, unless the device left the bus.
void reset_engine(Device& dev, double now, Interruption why) {
    Engine& eng = dev.eng;
    const bool unplugged = why == Interruption::Unplugged;
    if (in_callback(eng)) {
        const PendingCallback keep = eng.cb.cb;
        const bool unacked = eng.state == EngineState::CbWaitAck;
        end_callback(dev, unplugged ? CallbackOutcome::Unplugged : CallbackOutcome::Abandoned, 0,
                     now);
        if (unacked && !unplugged) eng.pending.push_front(keep);
    }
    if (eng.ctx.active && eng.ctx.acked) {
        complete(dev, unplugged ? ExchangeOutcome::Unplugged : ExchangeOutcome::Abandoned, now);
    } else if (eng.ctx.active) {
        consume_entry(dev);
        eng.ctx = ExchangeCtx{};
    }
    eng.state = EngineState::Idle;
    eng.busy_until = -1;
}

void clear_bus(Engine& eng) {
    eng.hostq.clear();
    eng.flight.clear();
    eng.after_stream.clear();
    eng.stream = OutStream{};
}

// ---- host reports ----

// A new CTL_REQUEST ends what the reader was doing; false when it is
// ignored (a callback transfer runs).
bool interrupt_for_request(Device& dev, const Header& header, double now) {
    Engine& eng = dev.eng;
    if (in_callback(eng)) {
        // The host takes the CB_REQUEST already on its way as the answer.
        note(dev, now, fmt("CTL_REQUEST for %d ignored during a callback transfer", header.code));
        return false;
    }
    if (eng.stream.active()) {
        // The host starts over: the part of a data block not sent yet is dropped.
        note(dev, now,
             fmt("new request: %lld bytes of the data block not sent",
                 static_cast<long long>(eng.stream.data.size() - eng.stream.pos)));
        eng.stream.pos = eng.stream.data.size();
        pump(dev, now);
    }
    if (eng.state != EngineState::Idle) {
        note(dev, now,
             fmt(eng.state == EngineState::Input
                     ? "CTL_REQUEST for %d during input data: exchange abandoned"
                     : "CTL_REQUEST for %d while output waits: exchange abandoned",
                 header.code));
        complete(dev, ExchangeOutcome::Abandoned, now);
    }
    return true;
}

// The request asks again for the exchange in progress, or starts another.
void take_request(Device& dev, const Header& header, double now) {
    ExchangeCtx& ctx = dev.eng.ctx;
    if (ctx.active && ctx.fn == header.code) {
        ctx.input_len = header.value;
        ctx.capacity = header.capacity;
        ctx.ms = now;
    } else {
        if (ctx.active) note(dev, now, fmt("exchange for %d never acknowledged", ctx.fn));
        start_exchange(dev, header, now);
    }
    ++ctx.requests;
}

// The faults the script puts before CTL_ACK; true when one answered the
// request in its place.
bool request_fault(Device& dev, double now) {
    ExchangeCtx& ctx = dev.eng.ctx;
    const ScriptEntry& entry = ctx.entry;
    if (entry.unplug_step == Step::Request) {
        unplug_fault(dev, now, entry.unplug_return_s, "on CTL_REQUEST");
        return true;
    }
    if (ctx.noack_left != 0) {
        if (ctx.noack_left > 0) --ctx.noack_left;
        note(dev, now, fmt("fault: CTL_REQUEST %d for %d left unanswered", ctx.requests, ctx.fn));
        return true;
    }
    if (ctx.cbfirst_left > 0) {
        --ctx.cbfirst_left;
        note(dev, now, fmt("fault: CB_REQUEST in place of CTL_ACK for %d", ctx.fn));
        start_callback(dev, PendingCallback{entry.cb_code, entry.cb_data, {}}, true, now);
        return true;
    }
    if (!ctx.ack_fault_done &&
        (entry.acktype >= 0 || entry.short_step == Step::Ack ||
         entry.dataheader_step == Step::Ack || entry.hidfail_step == Step::Ack)) {
        // A damaged answer: the reader waits for the host to ask again.
        ctx.ack_fault_done = true;
        HeaderBytes ack = encode_header({CTL_ACK, 0, 0, 0});
        if (entry.acktype >= 0) {
            ack[0] = static_cast<uint8_t>(entry.acktype);
            note(dev, now, fmt("fault: header type %d in place of CTL_ACK", entry.acktype));
        }
        send_header(dev, ack, now, Step::Ack);
        return true;
    }
    return false;
}

void handle_request(Device& dev, const Header& header, double now) {
    Engine& eng = dev.eng;
    if (!interrupt_for_request(dev, header, now)) return;
    if (header.value < 0 || header.value > MAX_INPUT_BYTES) {
        note(dev, now,
             fmt("CTL_REQUEST for %d with input length %d refused", header.code, header.value));
        return send(dev, CTL_ERROR, RDR_BAD_INPUT, now);
    }
    take_request(dev, header, now);
    if (request_fault(dev, now)) return;
    ExchangeCtx& ctx = eng.ctx;
    if (ctx.entry.reqerror) {
        note(dev, now,
             fmt("fault: CTL_ERROR %d as the answer to CTL_REQUEST", *ctx.entry.reqerror));
        send(dev, CTL_ERROR, *ctx.entry.reqerror, now);
        ctx.result = *ctx.entry.reqerror;
        ctx.acked = true; // recorded: the reader did answer
        return complete(dev, ExchangeOutcome::RequestError, now);
    }
    if (!eng.pending.empty()) {
        const PendingCallback callback = eng.pending.front();
        eng.pending.pop_front();
        return start_callback(dev, callback, true, now);
    }
    ctx.acked = true;
    ctx.input.clear();
    send(dev, CTL_ACK, 0, now);
    if (ctx.input_len > 0)
        eng.state = EngineState::Input;
    else
        run_exchange(dev, now);
}

void handle_header(Device& dev, const Header& header, double now) {
    Engine& eng = dev.eng;
    const char* ignored = nullptr;
    switch (header.type) {
    case CTL_REQUEST:
        return handle_request(dev, header, now);
    case CTL_FETCH:
        if (eng.state == EngineState::WaitFetch) return fetch_output(dev, now);
        ignored = "CTL_FETCH";
        break;
    case CTL_ERROR:
        if (eng.state != EngineState::WaitFetch) {
            return note(dev, now,
                        fmt("host CTL_ERROR %d ignored in state ", header.value) +
                            state_name(eng.state));
        }
        if (header.value != HOST_REFUSAL)
            note(dev, now, fmt("host CTL_ERROR with value %d", header.value));
        return complete(dev, ExchangeOutcome::Refused, now, true, header.value);
    case CB_ACK:
        if (eng.state != EngineState::CbWaitAck) {
            ignored = "CB_ACK";
            break;
        }
        eng.state = EngineState::CbWaitDone;
        eng.cb.deadline = now + CB_ACK_TIMEOUT_MS + static_cast<double>(eng.cb.cb.data.size());
        if (!eng.cb.cb.data.empty()) start_data(dev, eng.cb.cb.data, now, false);
        return;
    case CB_DONE:
        if (eng.state == EngineState::CbWaitDone)
            return end_callback(dev, CallbackOutcome::Done, header.value, now);
        ignored = "CB_DONE";
        break;
    case CB_ERROR:
        if (in_callback(eng)) return end_callback(dev, CallbackOutcome::Refused, header.value, now);
        ignored = "CB_ERROR";
        break;
    default:
        return note(dev, now,
                    fmt("unknown header type %d ignored in state ", header.type) +
                        state_name(eng.state));
    }
    note(dev, now, std::string(ignored) + " ignored in state " + state_name(eng.state));
}

// Write failures the script injects happen before the reader sees the
// report; true when this write fails.
bool write_fault(Device& dev, const Packet& packet, double now) {
    Engine& eng = dev.eng;
    if (packet.header && packet.length >= HEADER_BYTES && eng.state == EngineState::Idle) {
        const Header header = decode_header(packet.payload);
        if (header.type == CTL_REQUEST && header.value >= 0 && header.value <= MAX_INPUT_BYTES) {
            if (!(eng.ctx.active && eng.ctx.fn == header.code)) start_exchange(dev, header, now);
            if (eng.ctx.entry.hidfail_step == Step::Request && !eng.ctx.request_fault_done) {
                eng.ctx.request_fault_done = true;
                note(dev, now, fmt("fault: write of CTL_REQUEST for %d fails", eng.ctx.fn));
                return true;
            }
        }
    }
    if (!packet.header && eng.state == EngineState::Input &&
        eng.ctx.entry.hidfail_step == Step::Input && !eng.ctx.input_fault_done) {
        eng.ctx.input_fault_done = true;
        note(dev, now, "fault: write of input data fails");
        return true;
    }
    return false;
}

void on_header_packet(Device& dev, const Packet& packet, double now) {
    if (packet.length < HEADER_BYTES) {
        note(dev, now, fmt("header packet of %d bytes ignored", packet.length));
        return;
    }
    if (packet.length > HEADER_BYTES)
        note(dev, now, fmt("header packet of %d bytes: first 11 used", packet.length));
    handle_header(dev, decode_header(packet.payload), now);
}

void on_input_data(Device& dev, const Packet& packet, double now) {
    Engine& eng = dev.eng;
    if (eng.state != EngineState::Input) {
        note(dev, now,
             fmt("data packet of %d bytes ignored in state ", packet.length) +
                 state_name(eng.state));
        return;
    }
    ExchangeCtx& ctx = eng.ctx;
    ctx.input.insert(ctx.input.end(), packet.payload, packet.payload + packet.length);
    if (ctx.entry.unplug_step == Step::Input)
        return unplug_fault(dev, now, ctx.entry.unplug_return_s, "during input data");
    if (ctx.input.size() < static_cast<size_t>(ctx.input_len)) return;
    if (ctx.input.size() > static_cast<size_t>(ctx.input_len)) {
        note(dev, now,
             fmt("%lld input bytes beyond the announced length ignored",
                 static_cast<long long>(ctx.input.size()) - ctx.input_len));
        ctx.input.resize(static_cast<size_t>(ctx.input_len));
    }
    run_exchange(dev, now);
}

// A host report; false when the write must fail (fault), the report then
// never reaches the reader.
bool on_host_report(Device& dev, const Report& report, double now) {
    Engine& eng = dev.eng;
    if (!speaks_protocol(dev)) return true;
    if (in_callback(eng) && now > eng.cb.deadline) {
        note(dev, now, "callback transfer timed out: host did not answer");
        end_callback(dev, CallbackOutcome::Timeout, 0, now);
    }
    const Packet packet = parse_packet(report);
    if (write_fault(dev, packet, now)) return false;
    if (now < eng.busy_until) {
        note(dev, now,
             std::string("ignored while the reader is busy: ") +
                 (packet.header ? header_type_name(packet.payload[0]) : "data packet"));
        return true;
    }
    if (packet.bit6) note(dev, now, "control byte bit 6 set");
    if (packet.header)
        on_header_packet(dev, packet, now);
    else
        on_input_data(dev, packet, now);
    return true;
}

} // namespace

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

double next_visible(const Device& dev) {
    return dev.eng.flight.empty() ? NEVER : dev.eng.flight.front().visible_at;
}

int take_report(Device& dev, Handle* handle, QReport& out, double now) {
    Engine& eng = dev.eng;
    if (handle->dead) {
        if (handle->leftover.empty()) return -1;
        out = handle->leftover.front();
        handle->leftover.pop_front();
        return 1;
    }
    if (handle != dev.open_handle) return 0; // another interface: nothing for the host
    settle(dev, now);
    if (eng.hostq.empty()) return 0;
    QReport& front = eng.hostq.front();
    if (front.fail_once) {
        front.fail_once = false;
        return -1;
    }
    if (++eng.reads == dev.decl.fail_read_at) {
        note(dev, now, fmt("fault: read %d fails", eng.reads));
        return -1;
    }
    out = front;
    eng.hostq.pop_front();
    pump(dev, now);
    return 1;
}

int host_write(Device& dev, Handle* handle, const Report& report, double now) {
    if (handle->dead || !dev.present) return -1;
    Engine& eng = dev.eng;
    ++eng.writes;
    log_report(dev, report, true, now, REPORT_BYTES, "");
    const size_t logged = dev.log.reports.size();
    auto failed = [&] {
        if (logged > 0 && logged == dev.log.reports.size())
            dev.log.reports[logged - 1].value.flag = "failed";
        return -1;
    };
    if (eng.writes == dev.decl.fail_write_at) {
        note(dev, now, fmt("fault: write %d fails", eng.writes));
        return failed();
    }
    if (handle != dev.open_handle) return 0; // another interface: the firmware never sees it
    if (!on_host_report(dev, report, now)) return failed();
    if (eng.writes == dev.decl.unplug_at && dev.present) {
        note(dev, now, fmt("fault: unplug after write %d", eng.writes));
        go_offline(dev, now, "fault");
        if (dev.decl.unplug_at_return_s >= 0)
            schedule_for(dev, now + dev.decl.unplug_at_return_s * 1000, Action::Kind::Return,
                         ReturnAs::Same);
    }
    dev.cv.notify_all();
    return 0;
}

void queue_callback(Device& dev, const PendingCallback& callback, double now) {
    if (!dev.present)
        return note(dev, now, fmt("callback %d dropped: device not on the bus", callback.code));
    dev.eng.pending.push_back(callback);
    try_announce(dev, now);
    dev.cv.notify_all();
}

// ---- presence ----

// The personality the scenario declares: the device starts in it.
Persona declared_persona(const Device& dev) {
    const Declared& decl = dev.decl;
    Persona persona;
    persona.vendor = decl.vendor;
    persona.product = decl.product;
    const Personality* personality =
        decl.vendor == READER_VENDOR_ID ? find_personality(decl.product) : nullptr;
    persona.iface = decl.iface >= 0          ? decl.iface
                    : personality != nullptr ? personality->interface_number
                                             : 0;
    persona.service = decl.vendor == READER_VENDOR_ID && decl.product == PRODUCT_SERVICE;
    for (int extra : decl.extras)
        if (extra != persona.iface) persona.extras.push_back(extra);
    persona.path = !decl.explicit_path.empty() ? decl.explicit_path
                                               : decl.port + ":" + std::to_string(decl.usb_config) +
                                                     "." + std::to_string(persona.iface);
    return persona;
}

// The product a return into the normal firmware takes: the one USBMODE
// selects, unless the scenario says reset_to.
uint16_t normal_return_product(const Device& dev) {
    const Declared& decl = dev.decl;
    uint16_t product = decl.reset_to.value_or(decl.normal_product);
    auto mode = dev.model.params.find("USBMODE");
    if (!decl.reset_to && mode != dev.model.params.end()) {
        const std::string value(mode->second.begin(), mode->second.end());
        if (const Personality* personality = personality_for_mode(std::atoi(value.c_str())))
            product = personality->product;
    }
    return product;
}

// The personality a restart returns in.
Persona make_persona(const Device& dev, ReturnAs as) {
    const Declared& decl = dev.decl;
    if (as == ReturnAs::Same) return dev.persona;
    uint16_t product = PRODUCT_SERVICE;
    int iface = SERVICE_INTERFACE;
    if (as == ReturnAs::Normal) {
        product = normal_return_product(dev);
        iface = decl.reset_to ? decl.reset_to_iface : -1;
        const Persona declared = declared_persona(dev);
        if (product == decl.product && (iface < 0 || iface == declared.iface)) return declared;
        if (iface < 0) {
            const Personality* personality = find_personality(product);
            iface = personality != nullptr ? personality->interface_number : 0;
        }
    }
    Persona persona;
    persona.vendor = decl.vendor;
    persona.product = product;
    persona.iface = iface;
    persona.service = product == PRODUCT_SERVICE;
    persona.path = decl.port + ":" + std::to_string(decl.usb_config) + "." + std::to_string(iface);
    return persona;
}

void come_online(Device& dev, double now, const Persona& persona, const char* reason) {
    dev.persona = persona;
    dev.present = true;
    ++dev.gen;
    dev.eng.state = EngineState::Idle;
    dev.eng.ctx = ExchangeCtx{};
    dev.eng.cb = CbTransfer{};
    clear_bus(dev.eng);
    dev.eng.busy_until = -1;
    dev.eng.last_visible = now;
    if (!dev.start_callbacks_queued) {
        dev.start_callbacks_queued = true;
        for (const CallbackRule& rule : dev.decl.callbacks)
            if (rule.trigger == CallbackRule::Trigger::Start) dev.eng.pending.push_back(rule.cb);
    }
    char buf[512];
    std::snprintf(buf, sizeof buf, "plug product=0x%04x interface=%d path=%s reason=%s",
                  dev.persona.product, dev.persona.iface, dev.persona.path.c_str(), reason);
    note(dev, now, buf, true);
    dev.cv.notify_all();
}

void plug_device(Device& dev, double now, const char* reason) {
    if (dev.present || !dev.finalized) return;
    const bool restart = dev.persona.product != 0 || !dev.persona.path.empty();
    come_online(dev, now, restart ? make_persona(dev, dev.pending_return) : declared_persona(dev),
                reason);
    dev.pending_return = ReturnAs::Same;
    if (restart) model_restarted(dev);
}

void go_offline(Device& dev, double now, const char* reason) {
    if (!dev.present) return;
    settle(dev, now);
    reset_engine(dev, now, Interruption::Unplugged);
    dev.present = false;
    ++dev.away_token;
    if (dev.open_handle != nullptr) {
        dev.open_handle->dead = true;
        dev.open_handle->leftover = std::move(dev.eng.hostq);
        dev.open_handle = nullptr;
    }
    for (Handle* handle : dev.extra_handles)
        handle->dead = true;
    dev.extra_handles.clear();
    clear_bus(dev.eng);
    dev.eng.pending.clear();
    note(dev, now, std::string("unplug reason=") + reason, true);
    dev.cv.notify_all();
}

void on_open(Device& dev, Handle* handle, double now) {
    if (!handle->config) return dev.extra_handles.push_back(handle);
    dev.open_handle = handle;
    clear_bus(dev.eng);
    dev.eng.last_visible = now;
    try_announce(dev, now);
}

void on_close(Device& dev, Handle* handle, double now) {
    if (handle == dev.open_handle) {
        reset_engine(dev, now, Interruption::Closed);
        dev.open_handle = nullptr;
        clear_bus(dev.eng);
    }
    std::erase(dev.extra_handles, handle);
}

} // namespace emu::detail
