// Device statements of the scenario language and the built-in defaults.
#include <cstdio>
#include <cstdlib>

#include "device.h"
#include "world.h"

namespace emu::detail {

namespace {

Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

// Reads statement arguments one by one and remembers the first error.
class Args {
  public:
    Args(const Tokens& t, std::string& err, const std::string& base)
        : t_(t), err_(err), base_(base) {}

    bool more() const { return i_ < t_.size(); }
    const Token& peek() const { return t_[i_]; }
    bool peek_is(const char* w) const { return more() && is_word(t_[i_], w); }
    bool peek_int() const {
        int64_t v;
        return more() && parse_int(t_[i_], v);
    }
    void skip() { ++i_; }
    std::string where() const { return more() ? "'" + t_[i_].text + "'" : "end of line"; }

    bool fail(const std::string& what) {
        if (err_.empty()) err_ = what;
        return false;
    }
    bool word(std::string& out, const char* what) {
        if (!more()) return fail(std::string("missing ") + what);
        out = t_[i_++].text;
        return true;
    }
    bool integer(int64_t& v, int64_t lo, int64_t hi, const char* what) {
        if (!more() || !parse_int_range(t_[i_], lo, hi, v))
            return fail(std::string("expected ") + what + " at " + where());
        ++i_;
        return true;
    }
    bool i32(int32_t& v, const char* what) {
        int64_t x;
        if (!integer(x, INT32_MIN, INT32_MAX, what)) return false;
        v = static_cast<int32_t>(x);
        return true;
    }
    bool number(double& v, const char* what) {
        if (!more() || !parse_number(t_[i_], v) || v < 0)
            return fail(std::string("expected ") + what + " at " + where());
        ++i_;
        return true;
    }
    bool bytes(Bytes& b, const char* what) {
        if (!more()) return fail(std::string("missing ") + what);
        std::string e;
        if (!parse_bytes(t_[i_], b, e, base_)) return fail(e);
        ++i_;
        return true;
    }
    bool on_off(bool& v) {
        std::string w;
        if (!word(w, "on or off")) return false;
        if (w == "on" || w == "yes") {
            v = true;
        } else if (w == "off" || w == "no") {
            v = false;
        } else {
            return fail("expected on or off, not '" + w + "'");
        }
        return true;
    }
    bool end() {
        if (more()) return fail("unexpected " + where());
        return true;
    }

  private:
    const Tokens& t_;
    size_t i_ = 1;
    std::string& err_;
    const std::string& base_;
};

bool parse_step(const std::string& w, Step& s, bool allow_request) {
    if (w == "ack")
        s = Step::Ack;
    else if (w == "input")
        s = Step::Input;
    else if (w == "done")
        s = Step::Done;
    else if (w == "output" || w == "data")
        s = Step::Output;
    else if (w == "request" && allow_request)
        s = Step::Request;
    else
        return false;
    return true;
}

// Sequence items: NUMBER, busy, needed, not_needed, error=N, each with an
// optional :COUNT (COUNT may be *).
bool parse_sequence(Args& a, Sequence& seq, bool status) {
    seq = Sequence{};
    if (a.peek_is("cycle")) {
        seq.cycle = true;
        a.skip();
    }
    while (a.more()) {
        std::string w = a.peek().text;
        a.skip();
        SeqItem it;
        size_t colon = w.find(':');
        if (colon != std::string::npos) {
            std::string c = w.substr(colon + 1);
            w = w.substr(0, colon);
            if (c == "*") {
                it.count = -1;
            } else {
                char* end = nullptr;
                long n = std::strtol(c.c_str(), &end, 10);
                if (c.empty() || *end != '\0' || n < 1) return a.fail("bad count in '" + c + "'");
                it.count = static_cast<int>(n);
            }
        }
        Token t;
        t.text = w;
        int64_t v;
        if (w == "busy") {
            it.result = RDR_BUSY;
        } else if (!status && w == "needed") {
            it.result = 0;
        } else if (!status && w == "not_needed") {
            it.result = EXTFW_NOT_NEEDED;
        } else if (w.rfind("error=", 0) == 0) {
            t.text = w.substr(6);
            if (!parse_int_range(t, INT32_MIN, INT32_MAX, v)) return a.fail("bad '" + w + "'");
            it.result = static_cast<int32_t>(v);
        } else if (parse_int_range(t, INT32_MIN, INT32_MAX, v)) {
            if (status)
                it.value = static_cast<int32_t>(v);
            else
                it.result = static_cast<int32_t>(v);
        } else {
            return a.fail("bad sequence item '" + w + "'");
        }
        seq.items.push_back(it);
    }
    if (seq.items.empty()) return a.fail("empty sequence");
    return true;
}

bool parse_version(const std::string& w, uint8_t out[3]) {
    unsigned a = 0, b = 0, c = 0;
    char extra;
    if (std::sscanf(w.c_str(), "%u.%u.%u%c", &a, &b, &c, &extra) != 3 || a > 255 || b > 255 ||
        c > 255)
        return false;
    out[0] = static_cast<uint8_t>(a);
    out[1] = static_cast<uint8_t>(b);
    out[2] = static_cast<uint8_t>(c);
    return true;
}

bool parse_fn(Args& a, Device& d) {
    int64_t code;
    if (!a.integer(code, 0, 65535, "function code")) return false;
    if (a.peek_is("clear")) {
        a.skip();
        d.scripts.erase(static_cast<uint16_t>(code));
        return a.end();
    }
    ScriptEntry e;
    bool explicit_model = false;
    while (a.more()) {
        std::string w;
        a.word(w, "item");
        int64_t v;
        if (w == "result") {
            if (!a.i32(e.result, "result")) return false;
            e.has_result = true;
        } else if (w == "out") {
            if (!a.bytes(e.out, "output bytes")) return false;
            e.has_out = true;
        } else if (w == "model") {
            explicit_model = true;
        } else if (w == "times") {
            if (!a.integer(v, 1, 1000000000, "count")) return false;
            e.times = static_cast<int>(v);
        } else if (w == "noack") {
            e.noack = 5;
            if (a.peek_is("all")) {
                a.skip();
                e.noack = -1;
            } else if (a.peek_int()) {
                a.integer(v, 1, 1000000, "count");
                e.noack = static_cast<int>(v);
            }
        } else if (w == "reqerror") {
            if (!a.i32(e.reqerror, "error value")) return false;
            e.has_reqerror = true;
        } else if (w == "cbfirst") {
            if (!a.integer(v, 1, 1000000, "count")) return false;
            e.cbfirst = static_cast<int>(v);
            int64_t c;
            if (!a.integer(c, 0, 65535, "callback code")) return false;
            e.cb_code = static_cast<uint16_t>(c);
            if (a.more() &&
                (a.peek().kind != Token::Word || a.peek().text.rfind("x:", 0) == 0 ||
                 a.peek().text.rfind("rep:", 0) == 0 || a.peek().text.rfind("file:", 0) == 0))
                if (!a.bytes(e.cb_data, "callback data")) return false;
        } else if (w == "acktype") {
            if (!a.integer(v, 0, 255, "header type")) return false;
            e.acktype = static_cast<int>(v);
        } else if (w == "doneerror") {
            if (!a.i32(e.doneerror, "error value")) return false;
            e.has_doneerror = true;
        } else if (w == "donetype") {
            if (!a.integer(v, 0, 255, "header type")) return false;
            e.donetype = static_cast<int>(v);
        } else if (w == "donelen") {
            if (a.peek_is("over")) {
                a.skip();
                e.donelen = ScriptEntry::Len::OverCapacity;
            } else {
                if (!a.i32(e.donelen_value, "length")) return false;
                e.donelen = ScriptEntry::Len::Fixed;
            }
        } else if (w == "short") {
            std::string s;
            if (!a.word(s, "step") || !parse_step(s, e.short_step, false))
                return a.fail("short wants ack, done or data");
            if (a.peek_int()) {
                a.integer(v, 0, 64, "byte count");
                e.short_bytes = static_cast<int>(v);
            }
        } else if (w == "dataheader") {
            std::string s;
            if (!a.word(s, "step") || !parse_step(s, e.dataheader_step, false) ||
                (e.dataheader_step != Step::Ack && e.dataheader_step != Step::Done))
                return a.fail("dataheader wants ack or done");
        } else if (w == "delay") {
            if (!a.number(e.delay_ms, "milliseconds")) return false;
        } else if (w == "unplug") {
            std::string s;
            if (!a.word(s, "step") || !parse_step(s, e.unplug_step, true) ||
                e.unplug_step == Step::Ack)
                return a.fail("unplug wants request, input, done or output");
            if (a.peek_is("return")) {
                a.skip();
                if (!a.number(e.unplug_return_s, "seconds")) return false;
            }
        } else if (w == "hidfail") {
            std::string s;
            if (!a.word(s, "step") || !parse_step(s, e.hidfail_step, true))
                return a.fail("hidfail wants request, ack, input, done or output");
        } else if (w == "silent") {
            e.silent = true;
        } else {
            return a.fail("unknown fn item '" + w + "'");
        }
    }
    if ((e.has_result || e.has_out) && !explicit_model) e.model = false;
    FnScript& s = d.scripts[static_cast<uint16_t>(code)];
    s.entries.push_back(std::move(e));
    return true;
}

bool parse_callback(Args& a, Device& d, int code_fixed) {
    CallbackRule s;
    if (code_fixed < 0) {
        int64_t c;
        if (!a.integer(c, 0, 65535, "callback code")) return false;
        s.cb.code = static_cast<uint16_t>(c);
    } else {
        s.cb.code = static_cast<uint16_t>(code_fixed);
    }
    static const char* const keywords[] = {"at", "after", "delay", "burst", "carddata", "each"};
    auto is_keyword = [&](const Token& t) {
        for (const char* k : keywords)
            if (is_word(t, k)) return true;
        return false;
    };
    if (a.more() && !is_keyword(a.peek()))
        if (!a.bytes(s.cb.data, "callback data")) return false;
    while (a.more()) {
        std::string w;
        a.word(w, "option");
        int64_t v;
        if (w == "at") {
            if (!a.number(s.at_s, "seconds")) return false;
            s.trigger = CallbackRule::Trigger::At;
        } else if (w == "after") {
            s.trigger = CallbackRule::Trigger::After;
            if (a.peek_is("any")) {
                a.skip();
                s.after_fn = -1;
            } else {
                if (!a.integer(v, 0, 65535, "function code or any")) return false;
                s.after_fn = static_cast<int>(v);
            }
            if (a.peek_int()) {
                a.integer(v, 1, 1000000000, "count");
                s.nth = static_cast<int>(v);
            }
        } else if (w == "each") {
            s.each = true;
        } else if (w == "delay") {
            if (!a.number(s.delay_s, "seconds")) return false;
        } else if (w == "burst") {
            if (!a.integer(v, 1, 10000, "count")) return false;
            s.burst = static_cast<int>(v);
        } else if (w == "carddata") {
            if (!a.bytes(s.cb.carddata, "card data")) return false;
            s.cb.has_carddata = true;
        } else {
            return a.fail("unknown callback option '" + w + "'");
        }
    }
    if (s.each && s.trigger != CallbackRule::Trigger::After) return a.fail("'each' needs 'after'");
    d.callback_rules.push_back(std::move(s));
    return true;
}

bool parse_module_record(Args& a, ModuleRecord& m) {
    while (a.more()) {
        std::string w, v;
        a.word(w, "field");
        int64_t n;
        if (w == "pcb") {
            if (!a.word(v, "version") || !parse_version(v, m.pcb)) return a.fail("pcb wants A.B.C");
        } else if (w == "type") {
            if (!a.integer(n, 0, 255, "pcb type")) return false;
            m.pcb_type = static_cast<uint8_t>(n);
        } else if (w == "features") {
            if (!a.integer(n, 0, UINT32_MAX, "feature bits")) return false;
            m.features = static_cast<uint32_t>(n);
        } else if (w == "serial") {
            if (!a.word(m.serial, "serial")) return false;
        } else if (w == "part") {
            if (!a.word(m.part, "part number")) return false;
        } else if (w == "date") {
            if (!a.integer(n, 0, UINT32_MAX, "date")) return false;
            m.date = static_cast<uint32_t>(n);
        } else if (w == "sw") {
            if (!a.word(v, "version") || !parse_version(v, m.sw)) return a.fail("sw wants A.B.C");
        } else if (w == "lib") {
            if (!a.word(v, "version") || !parse_version(v, m.lib)) return a.fail("lib wants A.B.C");
        } else {
            return a.fail("unknown module_record field '" + w + "'");
        }
    }
    return true;
}

bool parse_extfw(Args& a, ExtfwModel& x) {
    std::string w;
    if (!a.word(w, "extfw setting")) return false;
    int64_t n, k;
    if (w == "busy") {
        std::string what;
        if (!a.word(what, "start, finish, pieces or piece")) return false;
        if (what == "piece") {
            if (!a.integer(k, 1, 100000000, "piece number")) return false;
            if (!a.integer(n, 0, 100000000, "count")) return false;
            x.busy_piece[static_cast<int>(k)] = static_cast<int>(n);
            return a.end();
        }
        if (!a.integer(n, 0, 100000000, "count")) return false;
        if (what == "start")
            x.busy_start = static_cast<int>(n);
        else if (what == "finish")
            x.busy_finish = static_cast<int>(n);
        else if (what == "pieces")
            x.busy_pieces = static_cast<int>(n);
        else
            return a.fail("busy wants start, finish, pieces or piece");
        return a.end();
    }
    if (w == "reject") {
        std::string what;
        if (!a.word(what, "piece") || what != "piece") return a.fail("reject wants piece K RESULT");
        int32_t r;
        if (!a.integer(k, 1, 100000000, "piece number") || !a.i32(r, "result")) return false;
        x.reject_piece[static_cast<int>(k)] = r;
        return a.end();
    }
    if (w == "unfinished") {
        int64_t len = 1000;
        if (a.more() && !a.integer(len, 0, UINT32_MAX, "length")) return false;
        x.state = ExtfwModel::State::Receiving;
        x.expected = static_cast<uint32_t>(len);
        x.partial.clear();
        return a.end();
    }
    if (w == "after_close") {
        std::string v;
        if (!a.word(v, "idle or restart")) return false;
        if (v == "idle")
            x.close_restarts = false;
        else if (v == "restart")
            x.close_restarts = true;
        else
            return a.fail("after_close wants idle or restart");
        return a.end();
    }
    if (w == "needed") {
        if (!a.on_off(x.needed)) return false;
        return a.end();
    }
    return a.fail("unknown extfw setting '" + w + "'");
}

uint16_t to_u16(int64_t v) {
    return static_cast<uint16_t>(v);
}

} // namespace

bool Device::apply(const Tokens& t, std::string& err, const std::string& base_dir) {
    Args a(t, err, base_dir);
    const std::string& s = t[0].text;
    int64_t v;
    Bytes b;
    std::string w;

    if (s == "vendor") {
        if (!a.integer(v, 0, 0xFFFF, "vendor ID")) return false;
        vendor = to_u16(v);
        if (finalized) persona.vendor = vendor;
    } else if (s == "product") {
        if (!a.integer(v, 0, 0xFFFF, "product ID")) return false;
        product = to_u16(v);
    } else if (s == "interface") {
        if (!a.integer(v, 0, 255, "interface number")) return false;
        iface = static_cast<int>(v);
    } else if (s == "extra") {
        if (!a.integer(v, 0, 255, "interface number")) return false;
        extras.push_back(static_cast<int>(v));
    } else if (s == "serial") {
        if (!a.word(w, "serial number")) return false;
        if (w == "none" && t[1].kind == Token::Word) {
            has_serial = false;
        } else {
            has_serial = true;
            serial = w;
        }
    } else if (s == "port") {
        if (!a.word(port, "port")) return false;
    } else if (s == "usb_config") {
        if (!a.integer(v, 0, 255, "configuration number")) return false;
        usb_config = static_cast<int>(v);
    } else if (s == "path") {
        if (!a.word(explicit_path, "path")) return false;
    } else if (s == "plain") {
        protocol = 0;
    } else if (s == "protocol") {
        protocol = 1;
    } else if (s == "latency") {
        if (!a.number(latency_ms, "milliseconds")) return false;
    } else if (s == "pace") {
        if (!a.on_off(pace)) return false;
    } else if (s == "absent") {
        start_absent = true;
    } else if (s == "appear") {
        if (!a.number(appear_s, "seconds")) return false;
    } else if (s == "disappear") {
        if (!a.number(disappear_s, "seconds")) return false;
    } else if (s == "normal") {
        if (!a.integer(v, 0, 0xFFFF, "product ID")) return false;
        normal_product = to_u16(v);
    } else if (s == "reset_to") {
        if (!a.integer(v, 0, 0xFFFF, "product ID")) return false;
        has_reset_to = true;
        reset_to = to_u16(v);
        reset_to_iface = -1;
        if (a.peek_is("interface")) {
            a.skip();
            if (!a.integer(v, 0, 255, "interface number")) return false;
            reset_to_iface = static_cast<int>(v);
        }
    } else if (s == "follow_usbmode") {
        if (!a.on_off(follow_usbmode)) return false;
    } else if (s == "reset_delay") {
        if (!a.number(reset_delay_s, "seconds")) return false;
        reset_never = false;
    } else if (s == "reset") {
        if (!a.word(w, "never") || w != "never") return a.fail("reset wants never");
        reset_never = true;
    } else if (s == "service_delay") {
        if (!a.number(service_delay_s, "seconds")) return false;
    } else if (s == "service") {
        if (!a.word(w, "return, never or stay")) return false;
        if (w == "return")
            service_mode = Service::Return;
        else if (w == "never")
            service_mode = Service::Never;
        else if (w == "stay")
            service_mode = Service::Stay;
        else
            return a.fail("service wants return, never or stay");
    } else if (s == "service_port") {
        if (!a.word(service_port, "port")) return false;
    } else if (s == "leave_delay") {
        if (!a.number(leave_delay_ms, "milliseconds")) return false;
    } else if (s == "fail_write") {
        if (!a.integer(v, 1, INT32_MAX, "report number")) return false;
        fail_write_at = static_cast<int>(v);
    } else if (s == "fail_read") {
        if (!a.integer(v, 1, INT32_MAX, "report number")) return false;
        fail_read_at = static_cast<int>(v);
    } else if (s == "unplug_at") {
        if (!a.integer(v, 1, INT32_MAX, "report number")) return false;
        unplug_at = static_cast<int>(v);
        unplug_at_return_s = -1;
        if (a.peek_is("return")) {
            a.skip();
            if (!a.number(unplug_at_return_s, "seconds")) return false;
        }
    } else if (s == "cb_ack_timeout") {
        if (!a.number(cb_ack_timeout_ms, "milliseconds")) return false;
    } else if (s == "cb_retry_refused") {
        if (!a.on_off(cb_retry_refused)) return false;
    } else if (s == "unknown_fn_result") {
        if (!a.i32(unknown_fn_result, "result")) return false;
    } else if (s == "unknown_param_result") {
        if (!a.i32(unknown_param_result, "result")) return false;
    } else if (s == "param") {
        std::string key;
        if (!a.word(key, "key") || !a.bytes(b, "value")) return false;
        if (finalized) {
            params[key] = b;
            defaults[key] = b;
        } else {
            param_overrides[key] = b;
        }
    } else if (s == "noparam") {
        std::string key;
        if (!a.word(key, "key")) return false;
        if (finalized) {
            params.erase(key);
            defaults.erase(key);
        } else {
            param_overrides[key] = std::nullopt;
        }
    } else if (s == "config_blob") {
        if (!a.bytes(config_blob, "bytes")) return false;
        config_blob_set = true;
    } else if (s == "log_blob") {
        if (!a.bytes(log_blob, "bytes")) return false;
        log_blob_set = true;
    } else if (s == "status") {
        if (!parse_sequence(a, status, true)) return false;
    } else if (s == "status_after_reset") {
        if (!parse_sequence(a, status_after_reset, true)) return false;
    } else if (s == "features") {
        if (!a.integer(v, 0, UINT32_MAX, "feature bits")) return false;
        features = static_cast<uint32_t>(v);
    } else if (s == "module_count") {
        if (!a.integer(v, 0, 255, "count")) return false;
        module_count = static_cast<int>(v);
    } else if (s == "module_desc") {
        if (!a.bytes(module_desc, "description")) return false;
    } else if (s == "module_record") {
        if (!parse_module_record(a, record)) return false;
    } else if (s == "lib_version") {
        if (!a.bytes(lib_version, "text")) return false;
    } else if (s == "status_message") {
        if (!a.bytes(status_message, "text")) return false;
    } else if (s == "extfw") {
        if (!parse_extfw(a, extfw)) return false;
    } else if (s == "extfw_check") {
        if (!parse_sequence(a, extfw.check, false)) return false;
    } else if (s == "rdr_restart") {
        if (!a.word(w, "module or usb")) return false;
        if (w == "module")
            rdr_restart_usb = false;
        else if (w == "usb")
            rdr_restart_usb = true;
        else
            return a.fail("rdr_restart wants module or usb");
    } else if (s == "module_restart") {
        if (!a.number(module_restart_ms, "milliseconds")) return false;
    } else if (s == "callback") {
        if (!parse_callback(a, *this, -1)) return false;
    } else if (s == "card") {
        if (!parse_callback(a, *this, 1)) return false;
    } else if (s == "card_error") {
        if (!parse_callback(a, *this, 2)) return false;
    } else if (s == "card_refused") {
        if (!parse_callback(a, *this, 3)) return false;
    } else if (s == "card_removed") {
        if (!parse_callback(a, *this, 4)) return false;
    } else if (s == "fn") {
        if (!parse_fn(a, *this)) return false;
    } else {
        return a.fail("unknown statement '" + s + "'");
    }
    if (!err.empty()) return false;
    if (!a.end()) return false;
    // Callbacks added to a live device start from now.
    if (finalized && (s == "callback" || s.rfind("card", 0) == 0)) {
        CallbackRule& rule = callback_rules.back();
        double now = clock_ms();
        if (rule.trigger == CallbackRule::Trigger::Start) {
            queue_callback(rule.cb, now);
        } else if (rule.trigger == CallbackRule::Trigger::At) {
            Action act;
            act.kind = Action::Kind::Callback;
            act.dev = shared_from_this();
            act.cb = rule.cb;
            schedule(now + rule.at_s * 1000, std::move(act));
        }
    }
    return true;
}

void Device::finalize(double now) {
    if (port.empty()) port = "1-" + std::to_string(index);
    if (normal_product == 0) {
        if (product != PRODUCT_SERVICE) {
            normal_product = product;
        } else {
            auto it = param_overrides.find("USBMODE");
            const Personality* per = nullptr;
            if (it != param_overrides.end() && it->second) {
                std::string m(it->second->begin(), it->second->end());
                per = personality_for_mode(std::atoi(m.c_str()));
            }
            normal_product = per != nullptr ? per->product : 0x0202;
        }
    }
    const Personality* normal = find_personality(normal_product);
    const int mode = normal != nullptr && normal->usb_mode >= 0 ? normal->usb_mode : 1;

    std::map<std::string, Bytes> d;
    d["FWVERSION"] = text("2.14.0");
    d["SERVICE_VER"] = text("1.0.3");
    d["SERVICE_STATUS"] = text("1");
    d["USBMODE"] = text(std::to_string(mode));
    d["KBDPRESSDLY"] = text("0");
    d["KBDRELEASEDLY"] = text("0");
    d["KBDLAYOUT"] = text("0");
    d["KMMODE"] = text("0");
    d["READER"] = text("50");
    d["READERPROTOCOL"] = text("1");
    d["DEBUG"] = text("0");
    d["SOUND"] = text("0");
    d["HWCFG_MAJOR"] = text("3");
    d["HWCFG_MINOR"] = text("1");
    d["HWCFG_SUBVERSION"] = text("0");
    d["HWCFG_SERIAL"] = text(has_serial && !serial.empty() ? "HW" + serial : "HW000000");
    d["HWCFG_MAN_DATE"] = text("1700000000");
    for (const auto& [k, val] : param_overrides) {
        if (val)
            d[k] = *val;
        else
            d.erase(k);
    }
    param_overrides.clear();
    defaults = d;
    params = d;
    if (!log_blob_set) {
        const std::string l = "000000.000 I reader started\n000000.412 I module ready\n";
        log_blob.assign(l.begin(), l.end());
    }
    if (module_desc.empty())
        module_desc = text("ICM-7720-01\nMultiprotocol 13.56 MHz reader module\nauto\n"
                           "ISO14443A\nMIFARE DESFire NTAG\nboot 1.2");
    if (lib_version.empty()) lib_version = text("LibReader 3.4.0");
    if (status_message.empty()) status_message = text("Reader ready");
    finalized = true;

    if (!(start_absent || appear_s > 0)) come_online(now, declared_persona(), "start");
}

} // namespace emu::detail
