// The reader's side of the CTL exchange and of callback transfers, with the
// scripted faults, and the device's presence on the bus.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "device.h"
#include "handle.h"
#include "world.h"

namespace emu::detail {

namespace {

constexpr int32_t MAX_INPUT_BYTES = 64 * 1024 * 1024; // the reader's RAM, generously
constexpr size_t MAX_PADDED_OUTPUT = 64 * 1024 * 1024;

std::string fmt(const char* f, long long a = 0, long long b = 0, long long c = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

const char* state_name(EngineState s) {
    switch (s) {
    case EngineState::Idle:
        return "idle";
    case EngineState::Input:
        return "input";
    case EngineState::WaitFetch:
        return "wait_fetch";
    case EngineState::CbWaitAck:
        return "wait_cb_ack";
    case EngineState::CbWaitDone:
        return "wait_cb_done";
    }
    return "?";
}

bool counts_as_completed(const std::string& outcome) {
    return outcome == "fetched" || outcome == "refused" || outcome == "no_output";
}

} // namespace

uint64_t next_seq() {
    static std::atomic<uint64_t> seq{0};
    return ++seq;
}

SeqItem Sequence::next() {
    if (items.empty()) return {};
    SeqItem it = items[index];
    if (it.count >= 0 && ++used >= it.count) {
        if (index + 1 < items.size()) {
            ++index;
            used = 0;
        } else if (cycle) {
            index = 0;
            used = 0;
        }
    }
    return it;
}

void Device::note(double now, const std::string& text, bool event) {
    notes_log.push_back({next_seq(), now, event, text});
    transcript_dirty();
}

bool Device::speaks_protocol() const {
    if (protocol >= 0) return protocol == 1;
    return persona.vendor == READER_VENDOR_ID;
}

void Device::log_report(const Report& r, bool to_device, double ms, int length, const char* flag) {
    if (!transcript_reports_enabled()) return;
    emu::Report rep;
    rep.to_device = to_device;
    rep.ms = ms;
    rep.bytes = r;
    rep.length = length;
    rep.flag = flag;
    reports_log.push_back({next_seq(), std::move(rep)});
    transcript_dirty();
}

// ---- the path of reports towards the host ----

QReport Device::make_q(const Report& r, double now, double extra_delay) {
    QReport q;
    q.bytes = r;
    q.visible_at = std::max(now + latency_ms + extra_delay, last_visible);
    last_visible = q.visible_at;
    return q;
}

// Moves the reports whose time has come into hidapi's queue, which holds 30
// and drops the oldest beyond that.
void Device::settle(double now) {
    while (!flight.empty() && flight.front().visible_at <= now) {
        QReport q = flight.front();
        flight.pop_front();
        log_report(q.bytes, false, q.visible_at, q.length, "");
        hostq.push_back(q);
        if (hostq.size() > HOST_QUEUE_MAX) {
            log_report(hostq.front().bytes, false, now, hostq.front().length, "dropped");
            note(now, "host queue full: oldest report dropped");
            hostq.pop_front();
        }
    }
}

// Produces the next data packets of the current block. With pacing on, the
// reader sends only while hidapi's queue has room, so a slow host loses no
// data; with pacing off it sends the whole block at once.
void Device::pump(double now) {
    while (stream.active() && (!pace || flight.size() + hostq.size() < HOST_QUEUE_MAX)) {
        size_t n = std::min<size_t>(PAYLOAD_MAX, stream.data.size() - stream.pos);
        QReport q = make_q(make_packet(false, &stream.data[stream.pos], n), now, 0);
        stream.pos += n;
        if (stream.first) {
            stream.first = false;
            if (stream.fault_short != Step::None) {
                q.length = stream.short_bytes;
                note(now, fmt("fault: data packet handed over with %lld bytes", q.length));
            }
            if (stream.fault_hidfail) {
                q.fail_once = true;
                note(now, "fault: read of the first data packet fails");
            }
        }
        flight.push_back(q);
    }
    if (!stream.active()) {
        stream = OutStream{};
        while (!after_stream.empty()) {
            QReport q = after_stream.front();
            after_stream.pop_front();
            q.visible_at = std::max(q.visible_at, last_visible);
            last_visible = q.visible_at;
            flight.push_back(q);
        }
    }
    settle(now);
}

void Device::send_header(const HeaderBytes& h, double now, Step fault_step, double extra_delay) {
    QReport q = make_q(header_packet(h), now, extra_delay);
    if (fault_step != Step::None && ctx.active) {
        const ScriptEntry& e = ctx.entry;
        if (e.dataheader_step == fault_step) {
            q.bytes[0] &= static_cast<uint8_t>(~CTRL_HEADER);
            note(now, std::string("fault: ") + header_type_name(h[0]) + " sent as a data packet");
        }
        if (e.short_step == fault_step) {
            q.length = std::clamp(e.short_bytes, 0, REPORT_BYTES);
            note(now, std::string("fault: ") + header_type_name(h[0]) +
                          fmt(" handed over with %lld bytes", q.length));
        }
        if (e.hidfail_step == fault_step) {
            q.fail_once = true;
            note(now, std::string("fault: read of ") + header_type_name(h[0]) + " fails");
        }
    }
    if (stream.active()) {
        after_stream.push_back(q);
        return;
    }
    flight.push_back(q);
    settle(now);
}

void Device::start_data(const Bytes& data, double now, Step fault_step) {
    stream = OutStream{};
    stream.data = data;
    if (fault_step != Step::None && ctx.active) {
        const ScriptEntry& e = ctx.entry;
        if (e.short_step == fault_step) {
            stream.fault_short = fault_step;
            stream.short_bytes = std::clamp(e.short_bytes, 0, REPORT_BYTES);
        }
        stream.fault_hidfail = e.hidfail_step == fault_step;
    }
    pump(now);
}

double Device::next_visible() const {
    return flight.empty() ? NEVER : flight.front().visible_at;
}

int Device::take_report(Handle* h, QReport& out, double now) {
    if (h->dead) {
        if (h->leftover.empty()) return -1;
        out = h->leftover.front();
        h->leftover.pop_front();
        return 1;
    }
    if (h != open_handle) return 0; // another interface: nothing for the host
    settle(now);
    if (hostq.empty()) return 0;
    QReport& front = hostq.front();
    if (front.fail_once) {
        front.fail_once = false;
        return -1;
    }
    ++reads;
    if (fail_read_at > 0 && reads == fail_read_at) {
        note(now, fmt("fault: read %lld fails", reads));
        return -1;
    }
    out = front;
    hostq.pop_front();
    pump(now);
    return 1;
}

// ---- presence ----

Persona Device::make_persona(ReturnAs as) const {
    if (as == ReturnAs::Same) return persona;
    Persona p;
    p.vendor = vendor;
    const std::string cfg = std::to_string(usb_config);
    if (as == ReturnAs::Service) {
        p.product = PRODUCT_SERVICE;
        p.iface = SERVICE_INTERFACE;
        p.service = true;
        p.path = (service_port.empty() ? port : service_port) + ":" + cfg + "." +
                 std::to_string(SERVICE_INTERFACE);
        return p;
    }
    uint16_t prod = normal_product;
    int ifc = -1;
    if (has_reset_to) {
        prod = reset_to;
        ifc = reset_to_iface;
    } else if (follow_usbmode) {
        auto it = params.find("USBMODE");
        if (it != params.end()) {
            std::string v(it->second.begin(), it->second.end());
            const Personality* per = personality_for_mode(std::atoi(v.c_str()));
            if (per != nullptr) prod = per->product;
        }
    }
    if (prod == product) {
        Persona d = declared_persona();
        if (ifc < 0 || ifc == d.iface) return d;
    }
    if (ifc < 0) {
        const Personality* per = find_personality(prod);
        ifc = per != nullptr ? per->interface_number : 0;
    }
    p.product = prod;
    p.iface = ifc;
    p.service = prod == PRODUCT_SERVICE;
    p.path = port + ":" + cfg + "." + std::to_string(ifc);
    return p;
}

// The personality the scenario declares: the device starts in it.
Persona Device::declared_persona() const {
    Persona p;
    p.vendor = vendor;
    p.product = product;
    const Personality* per = vendor == READER_VENDOR_ID ? find_personality(product) : nullptr;
    p.iface = iface >= 0 ? iface : per != nullptr ? per->interface_number : 0;
    p.service = vendor == READER_VENDOR_ID && product == PRODUCT_SERVICE;
    for (int x : extras)
        if (x != p.iface) p.extras.push_back(x);
    p.path = !explicit_path.empty()
                 ? explicit_path
                 : port + ":" + std::to_string(usb_config) + "." + std::to_string(p.iface);
    return p;
}

void Device::come_online(double now, const Persona& p, const char* reason) {
    persona = p;
    present = true;
    ++gen;
    state = EngineState::Idle;
    ctx = ExchangeCtx{};
    cb = CbTransfer{};
    flight.clear();
    hostq.clear();
    after_stream.clear();
    stream = OutStream{};
    busy_until = -1;
    last_visible = now;
    if (!start_callbacks_queued) {
        start_callbacks_queued = true;
        for (const CallbackRule& s : callback_rules)
            if (s.trigger == CallbackRule::Trigger::Start)
                for (int i = 0; i < s.burst; ++i)
                    pending.push_back(s.cb);
    }
    char buf[512];
    std::snprintf(buf, sizeof buf, "plug product=0x%04x interface=%d path=%s reason=%s",
                  persona.product, persona.iface, persona.path.c_str(), reason);
    note(now, buf, true);
    cv.notify_all();
}

void Device::go_offline(double now, const char* reason) {
    if (!present) return;
    settle(now);
    reset_engine(now, "unplugged");
    present = false;
    ++away_token;
    if (open_handle != nullptr) {
        open_handle->dead = true;
        open_handle->leftover = std::move(hostq);
        open_handle = nullptr;
    }
    for (Handle* h : extra_handles)
        h->dead = true;
    extra_handles.clear();
    hostq.clear();
    flight.clear();
    after_stream.clear();
    stream = OutStream{};
    pending.clear();
    note(now, std::string("unplug reason=") + reason, true);
    cv.notify_all();
}

void Device::on_open(Handle* h, double now) {
    if (!h->config) {
        extra_handles.push_back(h);
        return;
    }
    open_handle = h;
    hostq.clear();
    flight.clear();
    after_stream.clear();
    stream = OutStream{};
    last_visible = now;
    try_announce(now);
}

void Device::on_close(Handle* h, double now) {
    if (h == open_handle) {
        reset_engine(now, "abandoned");
        open_handle = nullptr;
        hostq.clear();
        flight.clear();
        after_stream.clear();
        stream = OutStream{};
    }
    extra_handles.erase(std::remove(extra_handles.begin(), extra_handles.end(), h),
                        extra_handles.end());
}

// Ends whatever the reader was doing: the exchange in progress and a
// callback transfer. A callback the host had not acknowledged yet is kept
// for the next time the device is opened, unless the device left the bus.
void Device::reset_engine(double now, const char* outcome) {
    if (state == EngineState::CbWaitAck || state == EngineState::CbWaitDone) {
        PendingCallback keep = cb.cb;
        bool unacked = state == EngineState::CbWaitAck;
        end_callback(outcome, 0, now);
        if (unacked && std::string(outcome) != "unplugged") pending.push_front(keep);
    }
    if (ctx.active) {
        if (ctx.acked) {
            complete(outcome, now);
        } else {
            consume_entry();
            ctx = ExchangeCtx{};
        }
    }
    state = EngineState::Idle;
    busy_until = -1;
}

void Device::unplug_fault(double now, double return_s, const char* what) {
    note(now, std::string("fault: unplug ") + what);
    go_offline(now, "fault");
    if (return_s >= 0) {
        Action a;
        a.kind = Action::Kind::Return;
        a.dev = shared_from_this();
        a.as = ReturnAs::Same;
        a.token = away_token;
        schedule(now + return_s * 1000, std::move(a));
    }
}

// ---- host reports ----

int Device::host_write(Handle* h, const Report& r, double now) {
    if (h->dead || !present) return -1;
    ++writes;
    log_report(r, true, now, REPORT_BYTES, "");
    const size_t logged = reports_log.size();
    auto mark_failed = [&] {
        if (logged > 0 && logged == reports_log.size()) reports_log[logged - 1].v.flag = "failed";
    };
    if (fail_write_at > 0 && writes == fail_write_at) {
        note(now, fmt("fault: write %lld fails", writes));
        mark_failed();
        return -1;
    }
    if (h != open_handle) return 0; // another interface: the reader's firmware never sees it
    if (!on_host_report(r, now)) {
        mark_failed();
        return -1;
    }
    if (unplug_at > 0 && writes == unplug_at && present) {
        note(now, fmt("fault: unplug after write %lld", writes));
        go_offline(now, "fault");
        if (unplug_at_return_s >= 0) {
            Action a;
            a.kind = Action::Kind::Return;
            a.dev = shared_from_this();
            a.as = ReturnAs::Same;
            a.token = away_token;
            schedule(now + unplug_at_return_s * 1000, std::move(a));
        }
    }
    cv.notify_all();
    return 0;
}

void Device::check_cb_timeout(double now) {
    if ((state == EngineState::CbWaitAck || state == EngineState::CbWaitDone) &&
        now > cb.deadline) {
        note(now, "callback transfer timed out: host did not answer");
        end_callback("timeout", 0, now);
    }
}

bool Device::on_host_report(const Report& r, double now) {
    if (!speaks_protocol()) return true;
    check_cb_timeout(now);
    const Packet p = parse_packet(r);

    // Write failures the script injects happen before the reader sees the report.
    if (p.header && p.length >= HEADER_BYTES && state == EngineState::Idle) {
        Header h = decode_header(p.payload);
        if (h.type == CTL_REQUEST && h.value >= 0 && h.value <= MAX_INPUT_BYTES) {
            if (!(ctx.active && ctx.fn == h.code)) {
                if (ctx.active) {
                    consume_entry();
                    ctx = ExchangeCtx{};
                }
                start_exchange(h, now);
            }
            if (ctx.entry.hidfail_step == Step::Request && !ctx.request_fault_done) {
                ctx.request_fault_done = true;
                note(now, fmt("fault: write of CTL_REQUEST for %lld fails", ctx.fn));
                return false;
            }
        }
    }
    if (!p.header && state == EngineState::Input && ctx.entry.hidfail_step == Step::Input &&
        !ctx.input_fault_done) {
        ctx.input_fault_done = true;
        note(now, "fault: write of input data fails");
        return false;
    }

    if (now < busy_until) {
        note(now, std::string("ignored while the reader is busy: ") +
                      (p.header ? header_type_name(p.payload[0]) : "data packet"));
        return true;
    }
    if (p.bit6) note(now, "control byte bit 6 set");
    if (p.header) {
        if (p.length < HEADER_BYTES) {
            note(now, fmt("header packet of %lld bytes ignored", p.length));
            return true;
        }
        if (p.length > HEADER_BYTES)
            note(now, fmt("header packet of %lld bytes: first 11 used", p.length));
        const Header h = decode_header(p.payload);
        switch (h.type) {
        case CTL_REQUEST:
            handle_request(h, now);
            break;
        case CTL_FETCH:
            if (state == EngineState::WaitFetch)
                fetch_output(now);
            else
                note(now, std::string("CTL_FETCH ignored in state ") + state_name(state));
            break;
        case CTL_ERROR:
            if (state == EngineState::WaitFetch) {
                if (h.value != -5) note(now, fmt("host CTL_ERROR with value %lld", h.value));
                complete("refused", now, true, h.value);
            } else {
                note(now,
                     fmt("host CTL_ERROR %lld ignored in state ", h.value) + state_name(state));
            }
            break;
        case CB_ACK:
            if (state == EngineState::CbWaitAck) {
                state = EngineState::CbWaitDone;
                cb.deadline = now + cb_ack_timeout_ms + static_cast<double>(cb.cb.data.size());
                if (!cb.cb.data.empty()) start_data(cb.cb.data, now, Step::None);
            } else {
                note(now, std::string("CB_ACK ignored in state ") + state_name(state));
            }
            break;
        case CB_DONE:
            if (state == EngineState::CbWaitDone)
                end_callback("done", h.value, now);
            else
                note(now, std::string("CB_DONE ignored in state ") + state_name(state));
            break;
        case CB_ERROR:
            if (state == EngineState::CbWaitAck || state == EngineState::CbWaitDone)
                end_callback("refused", h.value, now);
            else
                note(now, std::string("CB_ERROR ignored in state ") + state_name(state));
            break;
        default:
            note(now,
                 fmt("unknown header type %lld ignored in state ", h.type) + state_name(state));
        }
        return true;
    }
    if (state != EngineState::Input) {
        note(now, fmt("data packet of %lld bytes ignored in state ", p.length) + state_name(state));
        return true;
    }
    ctx.input.insert(ctx.input.end(), p.payload, p.payload + p.length);
    if (ctx.entry.unplug_step == Step::Input) {
        unplug_fault(now, ctx.entry.unplug_return_s, "during input data");
        return true;
    }
    if (ctx.input.size() >= static_cast<size_t>(ctx.input_len)) {
        if (ctx.input.size() > static_cast<size_t>(ctx.input_len)) {
            note(now, fmt("%lld input bytes beyond the announced length ignored",
                          static_cast<long long>(ctx.input.size()) - ctx.input_len));
            ctx.input.resize(static_cast<size_t>(ctx.input_len));
        }
        run_exchange(now);
    }
    return true;
}

void Device::start_exchange(const Header& h, double now) {
    ctx = ExchangeCtx{};
    ctx.active = true;
    ctx.fn = h.code;
    ctx.input_len = h.value;
    ctx.capacity = h.capacity;
    ctx.ms = now;
    auto it = scripts.find(h.code);
    if (it != scripts.end() && !it->second.entries.empty()) {
        FnScript& s = it->second;
        if (s.index >= s.entries.size()) s.index = s.entries.size() - 1;
        ctx.entry = s.entries[s.index];
        ctx.scripted = true;
    }
    ctx.noack_left = ctx.entry.noack;
    ctx.cbfirst_left = ctx.entry.cbfirst;
}

void Device::consume_entry() {
    if (!ctx.scripted) return;
    auto it = scripts.find(ctx.fn);
    if (it == scripts.end() || it->second.entries.empty()) return;
    FnScript& s = it->second;
    if (++s.used >= ctx.entry.times && s.index + 1 < s.entries.size()) {
        ++s.index;
        s.used = 0;
    }
}

// The host starts over: the part of a data block not sent yet is dropped.
void Device::abandon_stream(double now) {
    if (!stream.active()) return;
    note(now, fmt("new request: %lld bytes of the data block not sent",
                  static_cast<long long>(stream.data.size() - stream.pos)));
    stream.pos = stream.data.size();
    pump(now);
}

void Device::handle_request(const Header& h, double now) {
    if (state != EngineState::CbWaitAck && state != EngineState::CbWaitDone) abandon_stream(now);
    switch (state) {
    case EngineState::CbWaitAck:
    case EngineState::CbWaitDone:
        // The host takes the CB_REQUEST already on its way as the answer.
        note(now, fmt("CTL_REQUEST for %lld ignored during a callback transfer", h.code));
        return;
    case EngineState::Input:
        note(now, fmt("CTL_REQUEST for %lld during input data: exchange abandoned", h.code));
        complete("abandoned", now);
        break;
    case EngineState::WaitFetch:
        note(now, fmt("CTL_REQUEST for %lld while output waits: exchange abandoned", h.code));
        complete("abandoned", now);
        break;
    case EngineState::Idle:
        break;
    }
    if (h.value < 0 || h.value > MAX_INPUT_BYTES) {
        note(now, fmt("CTL_REQUEST for %lld with input length %lld refused", h.code, h.value));
        send_header(encode_error(RDR_BAD_INPUT), now, Step::None);
        return;
    }
    if (!(ctx.active && ctx.fn == h.code)) {
        if (ctx.active) {
            note(now, fmt("exchange for %lld never acknowledged", ctx.fn));
            consume_entry();
            ctx = ExchangeCtx{};
        }
        start_exchange(h, now);
    } else {
        ctx.input_len = h.value;
        ctx.capacity = h.capacity;
        ctx.ms = now;
    }
    ++ctx.requests;
    const ScriptEntry& e = ctx.entry;
    if (e.unplug_step == Step::Request) {
        unplug_fault(now, e.unplug_return_s, "on CTL_REQUEST");
        return;
    }
    if (ctx.noack_left != 0) {
        if (ctx.noack_left > 0) --ctx.noack_left;
        note(now, fmt("fault: CTL_REQUEST %lld for %lld left unanswered", ctx.requests, ctx.fn));
        return;
    }
    if (ctx.cbfirst_left > 0) {
        --ctx.cbfirst_left;
        PendingCallback p;
        p.code = e.cb_code;
        p.data = e.cb_data;
        note(now, fmt("fault: CB_REQUEST in place of CTL_ACK for %lld", ctx.fn));
        start_callback(p, true, now);
        return;
    }
    if (!ctx.ack_fault_done && (e.acktype >= 0 || e.short_step == Step::Ack ||
                                e.dataheader_step == Step::Ack || e.hidfail_step == Step::Ack)) {
        // A damaged answer: the reader waits for the host to ask again.
        ctx.ack_fault_done = true;
        HeaderBytes hb = encode_ack();
        if (e.acktype >= 0) {
            hb[0] = static_cast<uint8_t>(e.acktype);
            note(now, fmt("fault: header type %lld in place of CTL_ACK", e.acktype));
        }
        send_header(hb, now, Step::Ack);
        return;
    }
    if (e.has_reqerror) {
        note(now, fmt("fault: CTL_ERROR %lld as the answer to CTL_REQUEST", e.reqerror));
        send_header(encode_error(e.reqerror), now, Step::None);
        ctx.result = e.reqerror;
        ctx.acked = true; // recorded: the reader did answer
        complete("request_error", now);
        return;
    }
    if (!pending.empty()) {
        PendingCallback p = pending.front();
        pending.pop_front();
        start_callback(p, true, now);
        return;
    }
    answer_ack(now);
}

void Device::answer_ack(double now) {
    ctx.acked = true;
    ctx.input.clear();
    send_header(encode_ack(), now, Step::None);
    if (ctx.input_len > 0)
        state = EngineState::Input;
    else
        run_exchange(now);
}

void Device::run_exchange(double now) {
    const ScriptEntry e = ctx.entry;
    if (e.unplug_step == Step::Done) {
        unplug_fault(now, e.unplug_return_s, "before CTL_DONE");
        return;
    }
    ModelAnswer a;
    if (e.model) a = run_model(ctx.fn, ctx.input, ctx.capacity, now);
    if (e.has_result) a.result = e.result;
    if (e.has_out)
        a.output = e.out;
    else if (!e.model)
        a.output.clear();
    ctx.result = a.result;
    ctx.output = std::move(a.output);
    ctx.after = a.after;
    switch (e.donelen) {
    case ScriptEntry::Len::Real:
        ctx.announced = static_cast<int32_t>(ctx.output.size());
        break;
    case ScriptEntry::Len::Fixed:
        ctx.announced = e.donelen_value;
        break;
    case ScriptEntry::Len::OverCapacity:
        ctx.announced = static_cast<int32_t>(std::min<int64_t>(
            static_cast<int64_t>(ctx.capacity) + 1, std::numeric_limits<int32_t>::max()));
        break;
    }
    if (e.silent) {
        note(now, fmt("fault: no CTL_DONE for %lld", ctx.fn));
        complete("no_done", now);
        return;
    }
    if (e.delay_ms > 0) {
        busy_until = now + e.delay_ms;
        note(now, fmt("fault: CTL_DONE delayed by %lld ms", static_cast<long long>(e.delay_ms)));
    }
    if (e.has_doneerror) {
        note(now, fmt("fault: CTL_ERROR %lld in place of CTL_DONE", e.doneerror));
        send_header(encode_error(e.doneerror), now, Step::Done, e.delay_ms);
        ctx.result = e.doneerror;
        complete("done_error", now);
        return;
    }
    HeaderBytes hb = encode_done(ctx.result, ctx.announced);
    if (e.donetype >= 0) {
        hb[0] = static_cast<uint8_t>(e.donetype);
        note(now, fmt("fault: header type %lld in place of CTL_DONE", e.donetype));
        send_header(hb, now, Step::Done, e.delay_ms);
        complete("done_error", now);
        return;
    }
    send_header(hb, now, Step::Done, e.delay_ms);
    if (ctx.announced != 0)
        state = EngineState::WaitFetch;
    else
        complete("no_output", now);
}

void Device::fetch_output(double now) {
    const ScriptEntry e = ctx.entry;
    Bytes out = ctx.output;
    if (ctx.announced <= 0) {
        out.clear();
    } else if (static_cast<size_t>(ctx.announced) != out.size()) {
        size_t n = static_cast<size_t>(ctx.announced);
        if (n > out.size() && n - out.size() > MAX_PADDED_OUTPUT) {
            note(now, "announced output far beyond the real output: only 64 MiB of zeros sent");
            n = out.size() + MAX_PADDED_OUTPUT;
        }
        out.resize(n, 0); // what the announced length claims, zeros beyond the real output
    }
    const bool unplug = e.unplug_step == Step::Output;
    if (unplug && out.size() > static_cast<size_t>(PAYLOAD_MAX)) out.resize(PAYLOAD_MAX);
    start_data(out, now, Step::Output);
    complete("fetched", now, false, 0, true);
    if (unplug) unplug_fault(now, e.unplug_return_s, "after the first output packet");
}

void Device::complete(const char* outcome, double now, bool refused, int32_t host_error,
                      bool fetched) {
    const std::string oc = outcome;
    if (ctx.acked) {
        emu::Exchange x;
        x.ms = ctx.ms;
        x.function = ctx.fn;
        x.input = ctx.input;
        x.capacity = ctx.capacity;
        x.result = ctx.result;
        x.output_len = ctx.announced;
        x.output = ctx.output;
        x.fetched = fetched;
        x.refused = refused;
        x.host_error = host_error;
        x.outcome = oc;
        exchanges_log.push_back({next_seq(), std::move(x)});
        transcript_dirty();
    }
    consume_entry();
    const After after = ctx.after;
    const uint16_t fn = ctx.fn;
    ctx = ExchangeCtx{};
    state = EngineState::Idle;
    if (oc == "unplugged" || oc == "abandoned") return;
    if (after != After::Nothing) schedule_after(after, now);
    if (counts_as_completed(oc)) fire_triggers(fn, now);
    try_announce(now);
}

void Device::schedule_after(After after, double now) {
    Action a;
    a.kind = Action::Kind::Leave;
    a.dev = shared_from_this();
    a.token = away_token;
    switch (after) {
    case After::Nothing:
        return;
    case After::Reset:
        a.as = ReturnAs::Normal;
        a.return_after_s = reset_never ? -1 : reset_delay_s;
        a.text = "reset";
        break;
    case After::EnterService:
        a.as = service_mode == Service::Stay ? ReturnAs::Normal : ReturnAs::Service;
        a.return_after_s = service_mode == Service::Never ? -1 : service_delay_s;
        a.text = "enter_service";
        break;
    case After::UsbRestart:
        a.as = ReturnAs::Same;
        a.return_after_s = reset_delay_s;
        a.text = "restart";
        break;
    }
    // The reader leaves once its last answer is on the bus.
    schedule(std::max({now, busy_until, last_visible}) + leave_delay_ms, std::move(a));
}

// ---- callbacks ----

void Device::queue_callback(const PendingCallback& p, double now) {
    if (!present) {
        note(now, fmt("callback %lld dropped: device not on the bus", p.code));
        return;
    }
    pending.push_back(p);
    try_announce(now);
    cv.notify_all();
}

void Device::try_announce(double now) {
    if (state != EngineState::Idle || open_handle == nullptr || !present || pending.empty() ||
        !speaks_protocol())
        return;
    PendingCallback p = pending.front();
    pending.pop_front();
    start_callback(p, false, now);
}

void Device::start_callback(const PendingCallback& p, bool in_place, double now) {
    cb = CbTransfer{};
    cb.cb = p;
    cb.in_place = in_place;
    cb.deadline = std::max(now, last_visible) + cb_ack_timeout_ms;
    cb.record = callbacks_log.size();
    emu::Callback rec;
    rec.ms = now;
    rec.code = p.code;
    rec.data = p.data;
    rec.in_place_of_ack = in_place;
    rec.outcome = "pending";
    callbacks_log.push_back({next_seq(), std::move(rec)});
    transcript_dirty();
    state = EngineState::CbWaitAck;
    send_header(encode_cb_request(p.code, static_cast<uint32_t>(p.data.size())), now, Step::None);
}

void Device::end_callback(const char* outcome, int32_t value, double now) {
    if (cb.record < callbacks_log.size()) {
        callbacks_log[cb.record].v.outcome = outcome;
        callbacks_log[cb.record].v.host_value = value;
        transcript_dirty();
    }
    const std::string oc = outcome;
    PendingCallback done = cb.cb;
    cb = CbTransfer{};
    state = EngineState::Idle;
    if (oc == "done") card_delivered(done);
    if (oc == "refused" && cb_retry_refused) pending.push_back(done);
    if (oc == "done" || oc == "refused" || oc == "timeout") try_announce(now);
}

void Device::fire_triggers(uint16_t fn, double now) {
    for (CallbackRule& s : callback_rules) {
        if (s.trigger != CallbackRule::Trigger::After) continue;
        if (s.after_fn >= 0 && s.after_fn != fn) continue;
        ++s.seen;
        const bool fire = s.each ? s.seen % s.nth == 0 : !s.fired && s.seen == s.nth;
        if (!fire) continue;
        s.fired = true;
        for (int i = 0; i < s.burst; ++i) {
            if (s.delay_s <= 0) {
                pending.push_back(s.cb);
            } else {
                Action a;
                a.kind = Action::Kind::Callback;
                a.dev = shared_from_this();
                a.cb = s.cb;
                schedule(now + s.delay_s * 1000, std::move(a));
            }
        }
    }
}

} // namespace emu::detail
