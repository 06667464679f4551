// SPDX-License-Identifier: GPL-2.0-or-later
// The reports the host writes: requests, fetches and acknowledgements, input
// data, and the faults a script injects before the reader sees a report.
#include <string>

#include "engine.h"

namespace emu::detail {

namespace {

constexpr int32_t MAX_INPUT_BYTES = 64 * 1024 * 1024; // the reader's RAM, generously
constexpr int32_t HOST_REFUSAL = -5; // the CTL_ERROR value a host refuses output with

const char* state_name(EngineState state) {
    static const char* const names[] = {"idle", "input", "wait_fetch", "wait_cb_ack",
                                        "wait_cb_done"};
    return names[static_cast<int>(state)];
}

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

} // namespace emu::detail
