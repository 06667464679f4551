// SPDX-License-Identifier: GPL-2.0-or-later
// The reader's side of the CTL exchange and of callback transfers, with the
// scripted faults, and the device's presence on the bus.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "device.h"
#include "world.h"

namespace emu::detail {

namespace {

constexpr int32_t MAX_INPUT_BYTES = 64 * 1024 * 1024; // the reader's RAM, generously
constexpr size_t MAX_PADDED_OUTPUT = 64 * 1024 * 1024;
constexpr double RESET_DELAY_S = 0.5;      // FN_RESET: off the bus this long
constexpr double CB_ACK_TIMEOUT_MS = 2000; // a callback transfer the host does not answer ends

std::string fmt(const char* f, long long a = 0, long long b = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

const char* state_name(EngineState s) {
    static const char* const names[] = {"idle", "input", "wait_fetch", "wait_cb_ack",
                                        "wait_cb_done"};
    return names[static_cast<int>(s)];
}

bool in_callback(const Engine& e) {
    return e.state == EngineState::CbWaitAck || e.state == EngineState::CbWaitDone;
}

bool speaks_protocol(const Device& d) {
    return d.decl.protocol >= 0 ? d.decl.protocol == 1 : d.persona.vendor == READER_VENDOR_ID;
}

void log_report(Device& d, const Report& r, bool to_device, double ms, int length,
                const char* flag) {
    if (!transcript_reports_enabled()) return;
    d.log.reports.push_back({next_seq(), emu::Report{to_device, ms, r, length, flag}});
    transcript_dirty();
}

void schedule_for(Device& d, double at_ms, Action::Kind kind, ReturnAs as, double return_s = -1,
                  const char* reason = "") {
    Action a = action(kind, d.shared_from_this());
    a.as = as;
    a.return_after_s = return_s;
    a.token = d.away_token;
    a.text = reason;
    schedule(at_ms, std::move(a));
}

// ---- the path of reports towards the host ----

QReport make_q(Engine& e, const Report& r, double at) {
    QReport q;
    q.bytes = r;
    q.visible_at = e.last_visible = std::max(at, e.last_visible);
    return q;
}

// Moves the reports whose time has come into hidapi's queue, which holds 30
// and drops the oldest beyond that.
void settle(Device& d, double now) {
    Engine& e = d.eng;
    while (!e.flight.empty() && e.flight.front().visible_at <= now) {
        QReport q = e.flight.front();
        e.flight.pop_front();
        log_report(d, q.bytes, false, q.visible_at, q.length, "");
        e.hostq.push_back(q);
        if (e.hostq.size() <= HOST_QUEUE_MAX) continue;
        log_report(d, e.hostq.front().bytes, false, now, e.hostq.front().length, "dropped");
        note(d, now, "host queue full: oldest report dropped");
        e.hostq.pop_front();
    }
}

// Produces the next data packets of the current block. With pacing on, the
// reader sends only while hidapi's queue has room, so a slow host loses no
// data; with pacing off it sends the whole block at once.
void pump(Device& d, double now) {
    Engine& e = d.eng;
    OutStream& s = e.stream;
    while (s.active() && (!d.decl.pace || e.flight.size() + e.hostq.size() < HOST_QUEUE_MAX)) {
        const size_t n = std::min<size_t>(PAYLOAD_MAX, s.data.size() - s.pos);
        QReport q = make_q(e, make_packet(false, &s.data[s.pos], n), now + d.decl.latency_ms);
        if (s.pos == 0 && s.short_bytes >= 0) {
            q.length = s.short_bytes;
            note(d, now, fmt("fault: data packet handed over with %lld bytes", q.length));
        }
        if (s.pos == 0 && s.fault_hidfail) {
            q.fail_once = true;
            note(d, now, "fault: read of the first data packet fails");
        }
        s.pos += n;
        e.flight.push_back(q);
    }
    if (!s.active()) {
        s = OutStream{};
        for (QReport& q : e.after_stream) {
            q.visible_at = e.last_visible = std::max(q.visible_at, e.last_visible);
            e.flight.push_back(q);
        }
        e.after_stream.clear();
    }
    settle(d, now);
}

void send_header(Device& d, const HeaderBytes& h, double now, Step fault_step = Step::None,
                 double extra_delay = 0) {
    Engine& e = d.eng;
    QReport q =
        make_q(e, make_packet(true, h.data(), h.size()), now + d.decl.latency_ms + extra_delay);
    const ScriptEntry& x = e.ctx.entry;
    if (fault_step != Step::None && e.ctx.active) {
        const std::string what = header_type_name(h[0]);
        if (x.dataheader_step == fault_step) {
            q.bytes[0] &= static_cast<uint8_t>(~CTRL_HEADER);
            note(d, now, "fault: " + what + " sent as a data packet");
        }
        if (x.short_step == fault_step) {
            q.length = std::clamp(x.short_bytes, 0, REPORT_BYTES);
            note(d, now, "fault: " + what + fmt(" handed over with %lld bytes", q.length));
        }
        if (x.hidfail_step == fault_step) {
            q.fail_once = true;
            note(d, now, "fault: read of " + what + " fails");
        }
    }
    (e.stream.active() ? e.after_stream : e.flight).push_back(q);
    settle(d, now);
}

void send(Device& d, uint8_t type, int32_t value, double now, uint16_t code = 0) {
    send_header(d, encode_header({type, value, code, 0}), now);
}

void start_data(Device& d, const Bytes& data, double now, bool faults) {
    Engine& e = d.eng;
    e.stream = OutStream{};
    e.stream.data = data;
    if (faults && e.ctx.active) {
        const ScriptEntry& x = e.ctx.entry;
        if (x.short_step == Step::Output)
            e.stream.short_bytes = std::clamp(x.short_bytes, 0, REPORT_BYTES);
        e.stream.fault_hidfail = x.hidfail_step == Step::Output;
    }
    pump(d, now);
}

// ---- exchanges ----

void try_announce(Device& d, double now);
void fire_triggers(Device& d, uint16_t fn, double now);

void consume_entry(Device& d) {
    const ExchangeCtx& c = d.eng.ctx;
    if (!c.scripted) return;
    auto it = d.decl.scripts.find(c.fn);
    if (it == d.decl.scripts.end() || it->second.entries.empty()) return;
    FnScript& s = it->second;
    if (++s.used >= c.entry.times && s.index + 1 < s.entries.size()) {
        ++s.index;
        s.used = 0;
    }
}

void start_exchange(Device& d, const Header& h, double now) {
    ExchangeCtx& c = d.eng.ctx;
    if (c.active) consume_entry(d); // never acknowledged
    c = ExchangeCtx{};
    c.active = true;
    c.fn = h.code;
    c.input_len = h.value;
    c.capacity = h.capacity;
    c.ms = now;
    auto it = d.decl.scripts.find(h.code);
    if (it != d.decl.scripts.end() && !it->second.entries.empty()) {
        FnScript& s = it->second;
        c.entry = s.entries[std::min(s.index, s.entries.size() - 1)];
        c.scripted = true;
    }
    c.noack_left = c.entry.noack;
    c.cbfirst_left = c.entry.cbfirst;
}

void schedule_after(Device& d, After after, double now) {
    const Declared& s = d.decl;
    ReturnAs as = ReturnAs::Normal;
    double back = s.reset_never ? -1 : RESET_DELAY_S;
    const char* reason = "reset";
    if (after == After::EnterService) {
        as = s.service_mode == Declared::Service::Stay ? ReturnAs::Normal : ReturnAs::Service;
        back = s.service_mode == Declared::Service::Never ? -1 : s.service_delay_s;
        reason = "enter_service";
    }
    // The reader leaves once its last answer is on the bus.
    const double at = std::max({now, d.eng.busy_until, d.eng.last_visible}) + s.leave_delay_ms;
    schedule_for(d, at, Action::Kind::Leave, as, back, reason);
}

void complete(Device& d, const char* outcome, double now, bool refused = false,
              int32_t host_error = 0) {
    Engine& e = d.eng;
    ExchangeCtx& c = e.ctx;
    const std::string oc = outcome;
    if (c.acked) {
        d.log.exchanges.push_back(
            {next_seq(), emu::Exchange{c.ms, c.fn, c.input, c.capacity, c.result, c.announced,
                                       c.output, oc == "fetched", refused, host_error, oc}});
        transcript_dirty();
    }
    consume_entry(d);
    const After after = c.after;
    const uint16_t fn = c.fn;
    c = ExchangeCtx{};
    e.state = EngineState::Idle;
    if (oc == "unplugged" || oc == "abandoned") return;
    if (after != After::Nothing) schedule_after(d, after, now);
    if (oc == "fetched" || oc == "refused" || oc == "no_output") fire_triggers(d, fn, now);
    try_announce(d, now);
}

void unplug_fault(Device& d, double now, double return_s, const char* what) {
    note(d, now, std::string("fault: unplug ") + what);
    go_offline(d, now, "fault");
    if (return_s >= 0) schedule_for(d, now + return_s * 1000, Action::Kind::Return, ReturnAs::Same);
}

void run_exchange(Device& d, double now) {
    ExchangeCtx& c = d.eng.ctx;
    const ScriptEntry x = c.entry;
    if (x.unplug_step == Step::Done)
        return unplug_fault(d, now, x.unplug_return_s, "before CTL_DONE");
    ModelAnswer a;
    if (x.model) a = run_model(d, c.fn, c.input, now);
    if (x.result) a.result = *x.result;
    if (x.out || !x.model) a.output = x.out.value_or(Bytes{});
    c.result = a.result;
    c.output = std::move(a.output);
    c.after = a.after;
    c.announced = x.donelen == ScriptEntry::Len::Fixed ? x.donelen_value
                  : x.donelen == ScriptEntry::Len::Real
                      ? static_cast<int32_t>(c.output.size())
                      : static_cast<int32_t>(std::min<int64_t>(int64_t{c.capacity} + 1, INT32_MAX));
    if (x.silent) {
        note(d, now, fmt("fault: no CTL_DONE for %lld", c.fn));
        return complete(d, "no_done", now);
    }
    if (x.delay_ms > 0) {
        d.eng.busy_until = now + x.delay_ms;
        note(d, now, fmt("fault: CTL_DONE delayed by %lld ms", static_cast<long long>(x.delay_ms)));
    }
    if (x.doneerror) {
        note(d, now, fmt("fault: CTL_ERROR %lld in place of CTL_DONE", *x.doneerror));
        send_header(d, encode_header({CTL_ERROR, *x.doneerror, 0, 0}), now, Step::Done, x.delay_ms);
        c.result = *x.doneerror;
        return complete(d, "done_error", now);
    }
    HeaderBytes hb = encode_done(c.result, c.announced);
    if (x.donetype >= 0) {
        hb[0] = static_cast<uint8_t>(x.donetype);
        note(d, now, fmt("fault: header type %lld in place of CTL_DONE", x.donetype));
    }
    send_header(d, hb, now, Step::Done, x.delay_ms);
    if (x.donetype >= 0)
        complete(d, "done_error", now);
    else if (c.announced != 0)
        d.eng.state = EngineState::WaitFetch;
    else
        complete(d, "no_output", now);
}

void fetch_output(Device& d, double now) {
    const ExchangeCtx& c = d.eng.ctx;
    Bytes out = c.output;
    // What the announced length claims, zeros beyond the real output.
    size_t n = c.announced <= 0 ? 0 : static_cast<size_t>(c.announced);
    if (n > out.size() && n - out.size() > MAX_PADDED_OUTPUT) {
        note(d, now, "announced output far beyond the real output: only 64 MiB of zeros sent");
        n = out.size() + MAX_PADDED_OUTPUT;
    }
    out.resize(n, 0);
    const bool unplug = c.entry.unplug_step == Step::Output;
    const double return_s = c.entry.unplug_return_s;
    if (unplug && out.size() > static_cast<size_t>(PAYLOAD_MAX)) out.resize(PAYLOAD_MAX);
    start_data(d, out, now, true);
    complete(d, "fetched", now);
    if (unplug) unplug_fault(d, now, return_s, "after the first output packet");
}

// ---- callbacks ----

void start_callback(Device& d, const PendingCallback& p, bool in_place, double now) {
    Engine& e = d.eng;
    e.cb = CbTransfer{p, std::max(now, e.last_visible) + CB_ACK_TIMEOUT_MS, d.log.callbacks.size()};
    d.log.callbacks.push_back(
        {next_seq(), emu::Callback{now, p.code, p.data, in_place, "pending", 0}});
    transcript_dirty();
    e.state = EngineState::CbWaitAck;
    send(d, CB_REQUEST, static_cast<int32_t>(p.data.size()), now, p.code);
}

void end_callback(Device& d, const char* outcome, int32_t value, double now) {
    Engine& e = d.eng;
    if (e.cb.record < d.log.callbacks.size()) {
        d.log.callbacks[e.cb.record].v.outcome = outcome;
        d.log.callbacks[e.cb.record].v.host_value = value;
        transcript_dirty();
    }
    const std::string oc = outcome;
    const PendingCallback done = e.cb.cb;
    e.cb = CbTransfer{};
    e.state = EngineState::Idle;
    if (oc == "done") card_delivered(d.model, done);
    if (oc == "done" || oc == "refused" || oc == "timeout") try_announce(d, now);
}

void try_announce(Device& d, double now) {
    Engine& e = d.eng;
    if (e.state != EngineState::Idle || d.open_handle == nullptr || !d.present ||
        e.pending.empty() || !speaks_protocol(d))
        return;
    const PendingCallback p = e.pending.front();
    e.pending.pop_front();
    start_callback(d, p, false, now);
}

void fire_triggers(Device& d, uint16_t fn, double now) {
    for (CallbackRule& r : d.decl.callbacks) {
        if (r.trigger != CallbackRule::Trigger::After || (r.after_fn >= 0 && r.after_fn != fn))
            continue;
        ++r.seen;
        if (!(r.each ? r.seen % r.nth == 0 : !r.fired && r.seen == r.nth)) continue;
        r.fired = true;
        if (r.delay_s <= 0)
            d.eng.pending.push_back(r.cb);
        else
            schedule(now + r.delay_s * 1000,
                     action(Action::Kind::Callback, d.shared_from_this(), r.cb));
    }
}

// Ends whatever the reader was doing: the exchange in progress and a
// callback transfer. A callback the host had not acknowledged yet is kept
// for the next time the device is opened, unless the device left the bus.
void reset_engine(Device& d, double now, const char* outcome) {
    Engine& e = d.eng;
    if (in_callback(e)) {
        const PendingCallback keep = e.cb.cb;
        const bool unacked = e.state == EngineState::CbWaitAck;
        end_callback(d, outcome, 0, now);
        if (unacked && std::string(outcome) != "unplugged") e.pending.push_front(keep);
    }
    if (e.ctx.active && e.ctx.acked) {
        complete(d, outcome, now);
    } else if (e.ctx.active) {
        consume_entry(d);
        e.ctx = ExchangeCtx{};
    }
    e.state = EngineState::Idle;
    e.busy_until = -1;
}

void clear_bus(Engine& e) {
    e.hostq.clear();
    e.flight.clear();
    e.after_stream.clear();
    e.stream = OutStream{};
}

// ---- host reports ----

void handle_request(Device& d, const Header& h, double now) {
    Engine& e = d.eng;
    if (in_callback(e)) {
        // The host takes the CB_REQUEST already on its way as the answer.
        note(d, now, fmt("CTL_REQUEST for %lld ignored during a callback transfer", h.code));
        return;
    }
    if (e.stream.active()) {
        // The host starts over: the part of a data block not sent yet is dropped.
        note(d, now,
             fmt("new request: %lld bytes of the data block not sent",
                 static_cast<long long>(e.stream.data.size() - e.stream.pos)));
        e.stream.pos = e.stream.data.size();
        pump(d, now);
    }
    if (e.state != EngineState::Idle) {
        note(d, now,
             fmt(e.state == EngineState::Input
                     ? "CTL_REQUEST for %lld during input data: exchange abandoned"
                     : "CTL_REQUEST for %lld while output waits: exchange abandoned",
                 h.code));
        complete(d, "abandoned", now);
    }
    if (h.value < 0 || h.value > MAX_INPUT_BYTES) {
        note(d, now, fmt("CTL_REQUEST for %lld with input length %lld refused", h.code, h.value));
        return send(d, CTL_ERROR, RDR_BAD_INPUT, now);
    }
    ExchangeCtx& c = e.ctx;
    if (c.active && c.fn == h.code) {
        c.input_len = h.value;
        c.capacity = h.capacity;
        c.ms = now;
    } else {
        if (c.active) note(d, now, fmt("exchange for %lld never acknowledged", c.fn));
        start_exchange(d, h, now);
    }
    ++c.requests;
    const ScriptEntry& x = c.entry;
    if (x.unplug_step == Step::Request)
        return unplug_fault(d, now, x.unplug_return_s, "on CTL_REQUEST");
    if (c.noack_left != 0) {
        if (c.noack_left > 0) --c.noack_left;
        note(d, now, fmt("fault: CTL_REQUEST %lld for %lld left unanswered", c.requests, c.fn));
        return;
    }
    if (c.cbfirst_left > 0) {
        --c.cbfirst_left;
        note(d, now, fmt("fault: CB_REQUEST in place of CTL_ACK for %lld", c.fn));
        return start_callback(d, PendingCallback{x.cb_code, x.cb_data, {}}, true, now);
    }
    if (!c.ack_fault_done && (x.acktype >= 0 || x.short_step == Step::Ack ||
                              x.dataheader_step == Step::Ack || x.hidfail_step == Step::Ack)) {
        // A damaged answer: the reader waits for the host to ask again.
        c.ack_fault_done = true;
        HeaderBytes hb = encode_header({CTL_ACK, 0, 0, 0});
        if (x.acktype >= 0) {
            hb[0] = static_cast<uint8_t>(x.acktype);
            note(d, now, fmt("fault: header type %lld in place of CTL_ACK", x.acktype));
        }
        return send_header(d, hb, now, Step::Ack);
    }
    if (x.reqerror) {
        note(d, now, fmt("fault: CTL_ERROR %lld as the answer to CTL_REQUEST", *x.reqerror));
        send(d, CTL_ERROR, *x.reqerror, now);
        c.result = *x.reqerror;
        c.acked = true; // recorded: the reader did answer
        return complete(d, "request_error", now);
    }
    if (!e.pending.empty()) {
        const PendingCallback p = e.pending.front();
        e.pending.pop_front();
        return start_callback(d, p, true, now);
    }
    c.acked = true;
    c.input.clear();
    send(d, CTL_ACK, 0, now);
    if (c.input_len > 0)
        e.state = EngineState::Input;
    else
        run_exchange(d, now);
}

void handle_header(Device& d, const Header& h, double now) {
    Engine& e = d.eng;
    const char* ignored = nullptr;
    switch (h.type) {
    case CTL_REQUEST:
        return handle_request(d, h, now);
    case CTL_FETCH:
        if (e.state == EngineState::WaitFetch) return fetch_output(d, now);
        ignored = "CTL_FETCH";
        break;
    case CTL_ERROR:
        if (e.state != EngineState::WaitFetch) {
            return note(d, now,
                        fmt("host CTL_ERROR %lld ignored in state ", h.value) +
                            state_name(e.state));
        }
        if (h.value != -5) note(d, now, fmt("host CTL_ERROR with value %lld", h.value));
        return complete(d, "refused", now, true, h.value);
    case CB_ACK:
        if (e.state != EngineState::CbWaitAck) {
            ignored = "CB_ACK";
            break;
        }
        e.state = EngineState::CbWaitDone;
        e.cb.deadline = now + CB_ACK_TIMEOUT_MS + static_cast<double>(e.cb.cb.data.size());
        if (!e.cb.cb.data.empty()) start_data(d, e.cb.cb.data, now, false);
        return;
    case CB_DONE:
        if (e.state == EngineState::CbWaitDone) return end_callback(d, "done", h.value, now);
        ignored = "CB_DONE";
        break;
    case CB_ERROR:
        if (in_callback(e)) return end_callback(d, "refused", h.value, now);
        ignored = "CB_ERROR";
        break;
    default:
        return note(d, now,
                    fmt("unknown header type %lld ignored in state ", h.type) +
                        state_name(e.state));
    }
    note(d, now, std::string(ignored) + " ignored in state " + state_name(e.state));
}

// A host report; false when the write must fail (fault), the report then
// never reaches the reader.
bool on_host_report(Device& d, const Report& r, double now) {
    Engine& e = d.eng;
    if (!speaks_protocol(d)) return true;
    if (in_callback(e) && now > e.cb.deadline) {
        note(d, now, "callback transfer timed out: host did not answer");
        end_callback(d, "timeout", 0, now);
    }
    const Packet p = parse_packet(r);
    // Write failures the script injects happen before the reader sees the report.
    if (p.header && p.length >= HEADER_BYTES && e.state == EngineState::Idle) {
        const Header h = decode_header(p.payload);
        if (h.type == CTL_REQUEST && h.value >= 0 && h.value <= MAX_INPUT_BYTES) {
            if (!(e.ctx.active && e.ctx.fn == h.code)) start_exchange(d, h, now);
            if (e.ctx.entry.hidfail_step == Step::Request && !e.ctx.request_fault_done) {
                e.ctx.request_fault_done = true;
                note(d, now, fmt("fault: write of CTL_REQUEST for %lld fails", e.ctx.fn));
                return false;
            }
        }
    }
    if (!p.header && e.state == EngineState::Input && e.ctx.entry.hidfail_step == Step::Input &&
        !e.ctx.input_fault_done) {
        e.ctx.input_fault_done = true;
        note(d, now, "fault: write of input data fails");
        return false;
    }
    if (now < e.busy_until) {
        note(d, now,
             std::string("ignored while the reader is busy: ") +
                 (p.header ? header_type_name(p.payload[0]) : "data packet"));
        return true;
    }
    if (p.bit6) note(d, now, "control byte bit 6 set");
    if (p.header) {
        if (p.length < HEADER_BYTES) {
            note(d, now, fmt("header packet of %lld bytes ignored", p.length));
        } else {
            if (p.length > HEADER_BYTES)
                note(d, now, fmt("header packet of %lld bytes: first 11 used", p.length));
            handle_header(d, decode_header(p.payload), now);
        }
        return true;
    }
    if (e.state != EngineState::Input) {
        note(d, now,
             fmt("data packet of %lld bytes ignored in state ", p.length) + state_name(e.state));
        return true;
    }
    ExchangeCtx& c = e.ctx;
    c.input.insert(c.input.end(), p.payload, p.payload + p.length);
    if (c.entry.unplug_step == Step::Input) {
        unplug_fault(d, now, c.entry.unplug_return_s, "during input data");
        return true;
    }
    if (c.input.size() < static_cast<size_t>(c.input_len)) return true;
    if (c.input.size() > static_cast<size_t>(c.input_len)) {
        note(d, now,
             fmt("%lld input bytes beyond the announced length ignored",
                 static_cast<long long>(c.input.size()) - c.input_len));
        c.input.resize(static_cast<size_t>(c.input_len));
    }
    run_exchange(d, now);
    return true;
}

} // namespace

uint64_t next_seq() {
    static std::atomic<uint64_t> seq{0};
    return ++seq;
}

void note(Device& d, double now, const std::string& text, bool event) {
    d.log.notes.push_back({next_seq(), NoteRec{now, event, text}});
    transcript_dirty();
}

double next_visible(const Device& d) {
    return d.eng.flight.empty() ? NEVER : d.eng.flight.front().visible_at;
}

int take_report(Device& d, Handle* h, QReport& out, double now) {
    Engine& e = d.eng;
    if (h->dead) {
        if (h->leftover.empty()) return -1;
        out = h->leftover.front();
        h->leftover.pop_front();
        return 1;
    }
    if (h != d.open_handle) return 0; // another interface: nothing for the host
    settle(d, now);
    if (e.hostq.empty()) return 0;
    QReport& front = e.hostq.front();
    if (front.fail_once) {
        front.fail_once = false;
        return -1;
    }
    if (++e.reads == d.decl.fail_read_at) {
        note(d, now, fmt("fault: read %lld fails", e.reads));
        return -1;
    }
    out = front;
    e.hostq.pop_front();
    pump(d, now);
    return 1;
}

int host_write(Device& d, Handle* h, const Report& r, double now) {
    if (h->dead || !d.present) return -1;
    Engine& e = d.eng;
    ++e.writes;
    log_report(d, r, true, now, REPORT_BYTES, "");
    const size_t logged = d.log.reports.size();
    auto failed = [&] {
        if (logged > 0 && logged == d.log.reports.size())
            d.log.reports[logged - 1].v.flag = "failed";
        return -1;
    };
    if (e.writes == d.decl.fail_write_at) {
        note(d, now, fmt("fault: write %lld fails", e.writes));
        return failed();
    }
    if (h != d.open_handle) return 0; // another interface: the reader's firmware never sees it
    if (!on_host_report(d, r, now)) return failed();
    if (e.writes == d.decl.unplug_at && d.present) {
        note(d, now, fmt("fault: unplug after write %lld", e.writes));
        go_offline(d, now, "fault");
        if (d.decl.unplug_at_return_s >= 0)
            schedule_for(d, now + d.decl.unplug_at_return_s * 1000, Action::Kind::Return,
                         ReturnAs::Same);
    }
    d.cv.notify_all();
    return 0;
}

void queue_callback(Device& d, const PendingCallback& p, double now) {
    if (!d.present)
        return note(d, now, fmt("callback %lld dropped: device not on the bus", p.code));
    d.eng.pending.push_back(p);
    try_announce(d, now);
    d.cv.notify_all();
}

// ---- presence ----

// The personality the scenario declares: the device starts in it.
Persona declared_persona(const Device& d) {
    const Declared& s = d.decl;
    Persona p;
    p.vendor = s.vendor;
    p.product = s.product;
    const Personality* per = s.vendor == READER_VENDOR_ID ? find_personality(s.product) : nullptr;
    p.iface = s.iface >= 0 ? s.iface : per != nullptr ? per->interface_number : 0;
    p.service = s.vendor == READER_VENDOR_ID && s.product == PRODUCT_SERVICE;
    for (int x : s.extras)
        if (x != p.iface) p.extras.push_back(x);
    p.path = !s.explicit_path.empty()
                 ? s.explicit_path
                 : s.port + ":" + std::to_string(s.usb_config) + "." + std::to_string(p.iface);
    return p;
}

// The personality a restart returns in. A return into the normal firmware
// takes the personality USBMODE selects, unless the scenario says reset_to.
Persona make_persona(const Device& d, ReturnAs as) {
    const Declared& s = d.decl;
    if (as == ReturnAs::Same) return d.persona;
    uint16_t prod = PRODUCT_SERVICE;
    int ifc = SERVICE_INTERFACE;
    if (as == ReturnAs::Normal) {
        prod = s.reset_to.value_or(s.normal_product);
        ifc = s.reset_to ? s.reset_to_iface : -1;
        auto it = d.model.params.find("USBMODE");
        if (!s.reset_to && it != d.model.params.end()) {
            const std::string v(it->second.begin(), it->second.end());
            if (const Personality* per = personality_for_mode(std::atoi(v.c_str())))
                prod = per->product;
        }
        const Persona declared = declared_persona(d);
        if (prod == s.product && (ifc < 0 || ifc == declared.iface)) return declared;
        if (ifc < 0) {
            const Personality* per = find_personality(prod);
            ifc = per != nullptr ? per->interface_number : 0;
        }
    }
    Persona p;
    p.vendor = s.vendor;
    p.product = prod;
    p.iface = ifc;
    p.service = prod == PRODUCT_SERVICE;
    p.path = s.port + ":" + std::to_string(s.usb_config) + "." + std::to_string(ifc);
    return p;
}

void come_online(Device& d, double now, const Persona& p, const char* reason) {
    d.persona = p;
    d.present = true;
    ++d.gen;
    d.eng.state = EngineState::Idle;
    d.eng.ctx = ExchangeCtx{};
    d.eng.cb = CbTransfer{};
    clear_bus(d.eng);
    d.eng.busy_until = -1;
    d.eng.last_visible = now;
    if (!d.start_callbacks_queued) {
        d.start_callbacks_queued = true;
        for (const CallbackRule& r : d.decl.callbacks)
            if (r.trigger == CallbackRule::Trigger::Start) d.eng.pending.push_back(r.cb);
    }
    char buf[512];
    std::snprintf(buf, sizeof buf, "plug product=0x%04x interface=%d path=%s reason=%s",
                  d.persona.product, d.persona.iface, d.persona.path.c_str(), reason);
    note(d, now, buf, true);
    d.cv.notify_all();
}

void plug_device(Device& d, double now, const char* reason) {
    if (d.present || !d.finalized) return;
    const bool restart = d.persona.product != 0 || !d.persona.path.empty();
    come_online(d, now, restart ? make_persona(d, d.pending_return) : declared_persona(d), reason);
    d.pending_return = ReturnAs::Same;
    if (restart) model_restarted(d);
}

void go_offline(Device& d, double now, const char* reason) {
    if (!d.present) return;
    settle(d, now);
    reset_engine(d, now, "unplugged");
    d.present = false;
    ++d.away_token;
    if (d.open_handle != nullptr) {
        d.open_handle->dead = true;
        d.open_handle->leftover = std::move(d.eng.hostq);
        d.open_handle = nullptr;
    }
    for (Handle* h : d.extra_handles)
        h->dead = true;
    d.extra_handles.clear();
    clear_bus(d.eng);
    d.eng.pending.clear();
    note(d, now, std::string("unplug reason=") + reason, true);
    d.cv.notify_all();
}

void on_open(Device& d, Handle* h, double now) {
    if (!h->config) return d.extra_handles.push_back(h);
    d.open_handle = h;
    clear_bus(d.eng);
    d.eng.last_visible = now;
    try_announce(d, now);
}

void on_close(Device& d, Handle* h, double now) {
    if (h == d.open_handle) {
        reset_engine(d, now, "abandoned");
        d.open_handle = nullptr;
        clear_bus(d.eng);
    }
    std::erase(d.extra_handles, h);
}

} // namespace emu::detail
