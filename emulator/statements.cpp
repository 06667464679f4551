// SPDX-License-Identifier: GPL-2.0-or-later
// Device statements of the scenario language, as tables: statement name ->
// parser, `fn` item -> parser, callback option -> parser.
#include <algorithm>
#include <cstdio>

#include "device.h"
#include "world.h"

namespace emu::detail {

namespace {

using Parser = bool (*)(Args&, Device&);
using ItemParser = bool (*)(Args&, ScriptEntry&);
using OptionParser = bool (*)(Args&, CallbackRule&);

bool step(Args& a, Step& s, const char* choices) {
    int i;
    if (!a.choice(i, choices)) return false;
    std::string w = std::string(choices) + " ";
    for (; i > 0; --i)
        w.erase(0, w.find(' ') + 1);
    w.resize(w.find(' '));
    s = w == "ack"       ? Step::Ack
        : w == "input"   ? Step::Input
        : w == "done"    ? Step::Done
        : w == "request" ? Step::Request
                         : Step::Output;
    return true;
}

// Sequence items: NUMBER, busy, needed, not_needed, error=N, each with an
// optional :COUNT (COUNT may be *); a leading `cycle` repeats them all.
bool sequence(Args& a, Sequence& seq, bool status) {
    seq = Sequence{};
    seq.cycle = a.take("cycle");
    while (a.more()) {
        std::string w, count;
        a.word(w, "item");
        SeqItem it;
        if (size_t colon = w.find(':'); colon != std::string::npos) {
            count = w.substr(colon + 1);
            w.resize(colon);
            int64_t n;
            if (count == "*")
                it.count = -1;
            else if (parse_int_range(Token{count}, 1, INT32_MAX, n))
                it.count = static_cast<int>(n);
            else
                return a.fail("bad count in '" + count + "'");
        }
        int64_t v;
        const bool error = w.rfind("error=", 0) == 0;
        if (w == "busy") {
            it.result = RDR_BUSY;
        } else if (!status && (w == "needed" || w == "not_needed")) {
            it.result = w == "needed" ? 0 : EXTFW_NOT_NEEDED;
        } else if (parse_int_range(Token{error ? w.substr(6) : w}, INT32_MIN, INT32_MAX, v)) {
            (status && !error ? it.value : it.result) = static_cast<int32_t>(v);
        } else {
            return a.fail("bad sequence item '" + w + "'");
        }
        seq.items.push_back(it);
    }
    return seq.items.empty() ? a.fail("empty sequence") : true;
}

bool version(Args& a, uint8_t out[3], const char* what) {
    std::string w;
    unsigned v[3];
    char extra;
    if (!a.word(w, what) ||
        std::sscanf(w.c_str(), "%u.%u.%u%c", &v[0], &v[1], &v[2], &extra) != 3 || v[0] > 255 ||
        v[1] > 255 || v[2] > 255)
        return a.fail(std::string(what) + " wants A.B.C");
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<uint8_t>(v[i]);
    return true;
}

// A byte value where a word could also be the next keyword.
bool looks_like_bytes(const Args& a) {
    const Token& t = a.peek();
    return t.kind != Token::Word || t.text.rfind("x:", 0) == 0 || t.text.rfind("rep:", 0) == 0 ||
           t.text.rfind("file:", 0) == 0;
}

const struct {
    const char* name;
    ItemParser parse;
} FN_ITEMS[] = {
    {"result", [](Args& a, ScriptEntry& e) { return a.i32(e.result.emplace(), "result"); }},
    {"out", [](Args& a, ScriptEntry& e) { return a.bytes(e.out.emplace(), "output bytes"); }},
    {"model", [](Args&, ScriptEntry&) { return true; }},
    {"times", [](Args& a, ScriptEntry& e) { return a.integer(e.times, 1, 1000000000, "count"); }},
    {"noack",
     [](Args& a, ScriptEntry& e) {
         e.noack = a.take("all") ? -1 : 5;
         return !a.peek_int() || a.integer(e.noack, 1, 1000000, "count");
     }},
    {"reqerror",
     [](Args& a, ScriptEntry& e) { return a.i32(e.reqerror.emplace(), "error value"); }},
    {"cbfirst",
     [](Args& a, ScriptEntry& e) {
         return a.integer(e.cbfirst, 1, 1000000, "count") &&
                a.integer(e.cb_code, 0, 65535, "callback code") &&
                (!a.more() || !looks_like_bytes(a) || a.bytes(e.cb_data, "callback data"));
     }},
    {"acktype",
     [](Args& a, ScriptEntry& e) { return a.integer(e.acktype, 0, 255, "header type"); }},
    {"doneerror",
     [](Args& a, ScriptEntry& e) { return a.i32(e.doneerror.emplace(), "error value"); }},
    {"donetype",
     [](Args& a, ScriptEntry& e) { return a.integer(e.donetype, 0, 255, "header type"); }},
    {"donelen",
     [](Args& a, ScriptEntry& e) {
         e.donelen = a.take("over") ? ScriptEntry::Len::OverCapacity : ScriptEntry::Len::Fixed;
         return e.donelen == ScriptEntry::Len::OverCapacity || a.i32(e.donelen_value, "length");
     }},
    {"short",
     [](Args& a, ScriptEntry& e) {
         return step(a, e.short_step, "ack done data") &&
                (!a.peek_int() || a.integer(e.short_bytes, 0, 64, "byte count"));
     }},
    {"dataheader", [](Args& a, ScriptEntry& e) { return step(a, e.dataheader_step, "ack done"); }},
    {"delay", [](Args& a, ScriptEntry& e) { return a.number(e.delay_ms, "milliseconds"); }},
    {"unplug",
     [](Args& a, ScriptEntry& e) {
         return step(a, e.unplug_step, "request input done output") &&
                (!a.take("return") || a.number(e.unplug_return_s, "seconds"));
     }},
    {"hidfail",
     [](Args& a, ScriptEntry& e) {
         return step(a, e.hidfail_step, "request ack input done output");
     }},
    {"silent", [](Args&, ScriptEntry& e) { return e.silent = true; }},
};

bool fn_statement(Args& a, Device& d) {
    uint16_t code;
    if (!a.integer(code, 0, 65535, "function code")) return false;
    if (a.take("clear")) {
        d.decl.scripts.erase(code);
        return true;
    }
    ScriptEntry e;
    bool explicit_model = false;
    while (a.more()) {
        std::string w;
        a.word(w, "item");
        explicit_model = explicit_model || w == "model";
        auto it = std::find_if(std::begin(FN_ITEMS), std::end(FN_ITEMS),
                               [&w](const auto& i) { return w == i.name; });
        if (it == std::end(FN_ITEMS)) return a.fail("unknown fn item '" + w + "'");
        if (!it->parse(a, e)) return false;
    }
    e.model = explicit_model || !(e.result || e.out);
    d.decl.scripts[code].entries.push_back(std::move(e));
    return true;
}

const struct {
    const char* name;
    OptionParser parse;
} CALLBACK_OPTIONS[] = {
    {"at",
     [](Args& a, CallbackRule& r) {
         r.trigger = CallbackRule::Trigger::At;
         return a.number(r.at_s, "seconds");
     }},
    {"after",
     [](Args& a, CallbackRule& r) {
         r.trigger = CallbackRule::Trigger::After;
         return (a.take("any") || a.integer(r.after_fn, 0, 65535, "function code or any")) &&
                (!a.peek_int() || a.integer(r.nth, 1, 1000000000, "count"));
     }},
    {"each", [](Args&, CallbackRule& r) { return r.each = true; }},
    {"delay", [](Args& a, CallbackRule& r) { return a.number(r.delay_s, "seconds"); }},
    {"carddata",
     [](Args& a, CallbackRule& r) { return a.bytes(r.cb.carddata.emplace(), "card data"); }},
};

bool is_option(const Token& t) {
    for (const auto& o : CALLBACK_OPTIONS)
        if (is_word(t, o.name)) return true;
    return false;
}

// `callback CODE ...` (code < 0) or `card ...` and its kin (fixed code).
bool callback_statement(Args& a, Device& d, int code) {
    CallbackRule r;
    if (code >= 0)
        r.cb.code = static_cast<uint16_t>(code);
    else if (!a.integer(r.cb.code, 0, 65535, "callback code"))
        return false;
    if (a.more() && !is_option(a.peek()) && !a.bytes(r.cb.data, "callback data")) return false;
    while (a.more()) {
        std::string w;
        a.word(w, "option");
        auto it = std::find_if(std::begin(CALLBACK_OPTIONS), std::end(CALLBACK_OPTIONS),
                               [&w](const auto& o) { return w == o.name; });
        if (it == std::end(CALLBACK_OPTIONS)) return a.fail("unknown callback option '" + w + "'");
        if (!it->parse(a, r)) return false;
    }
    if (r.each && r.trigger != CallbackRule::Trigger::After) return a.fail("'each' needs 'after'");
    d.decl.callbacks.push_back(r);
    if (!d.finalized) return true;
    // A callback added to a live device starts from now.
    const double now = clock_ms();
    if (r.trigger == CallbackRule::Trigger::Start) queue_callback(d, r.cb, now);
    if (r.trigger == CallbackRule::Trigger::At)
        schedule(now + r.at_s * 1000, action(Action::Kind::Callback, d.shared_from_this(), r.cb));
    return true;
}

bool module_record(Args& a, Device& d) {
    ModuleRecord& m = d.model.record;
    while (a.more()) {
        int f;
        if (!a.choice(f, "pcb type features serial part date sw lib")) return false;
        bool ok = f == 0   ? version(a, m.pcb, "pcb")
                  : f == 1 ? a.integer(m.pcb_type, 0, 255, "pcb type")
                  : f == 2 ? a.integer(m.features, 0, UINT32_MAX, "feature bits")
                  : f == 3 ? a.word(m.serial, "serial")
                  : f == 4 ? a.word(m.part, "part number")
                  : f == 5 ? a.integer(m.date, 0, UINT32_MAX, "date")
                  : f == 6 ? version(a, m.sw, "sw")
                           : version(a, m.lib, "lib");
        if (!ok) return false;
    }
    return true;
}

bool extfw(Args& a, Device& d) {
    Extfw& x = d.model.extfw;
    int what, which;
    if (!a.choice(what, "busy reject unfinished after_close needed")) return false;
    switch (what) {
    case 0:
        if (!a.choice(which, "start finish pieces piece")) return false;
        if (which == 3) {
            int k;
            return a.integer(k, 1, 100000000, "piece number") &&
                   a.integer(x.busy_piece[k], 0, 100000000, "count");
        }
        return a.integer(which == 0   ? x.busy_start
                         : which == 1 ? x.busy_finish
                                      : x.busy_pieces,
                         0, 100000000, "count");
    case 1: {
        int k;
        return a.choice(which, "piece") && a.integer(k, 1, 100000000, "piece number") &&
               a.i32(x.reject_piece[k], "result");
    }
    case 2:
        x.state = Extfw::State::Receiving;
        x.expected = 1000;
        x.partial.clear();
        return !a.more() || a.integer(x.expected, 0, UINT32_MAX, "length");
    case 3:
        return a.choice_bool(x.close_restarts, "idle restart");
    default:
        return a.on_off(x.needed);
    }
}

bool param(Args& a, Device& d, bool set) {
    std::string key;
    Bytes b;
    if (!a.word(key, "key") || (set && !a.bytes(b, "value"))) return false;
    if (!d.finalized) {
        d.model.param_overrides[key] = set ? std::optional<Bytes>(b) : std::nullopt;
    } else if (set) {
        d.model.params[key] = d.model.defaults[key] = b;
    } else {
        d.model.params.erase(key);
        d.model.defaults.erase(key);
    }
    return true;
}

const struct {
    const char* name;
    Parser parse;
} STATEMENTS[] = {
    // identity and bus
    {"product",
     [](Args& a, Device& d) { return a.integer(d.decl.product, 0, 0xFFFF, "product ID"); }},
    {"vendor",
     [](Args& a, Device& d) {
         if (!a.integer(d.decl.vendor, 0, 0xFFFF, "vendor ID")) return false;
         if (d.finalized) d.persona.vendor = d.decl.vendor;
         return true;
     }},
    {"interface",
     [](Args& a, Device& d) { return a.integer(d.decl.iface, 0, 255, "interface number"); }},
    {"extra",
     [](Args& a, Device& d) {
         return a.integer(d.decl.extras.emplace_back(), 0, 255, "interface number");
     }},
    {"serial",
     [](Args& a, Device& d) {
         const bool none = a.peek_is("none");
         if (!a.word(d.decl.serial.emplace(), "serial number")) return false;
         if (none) d.decl.serial.reset();
         return true;
     }},
    {"port", [](Args& a, Device& d) { return a.word(d.decl.port, "port"); }},
    {"usb_config",
     [](Args& a, Device& d) {
         return a.integer(d.decl.usb_config, 0, 255, "configuration number");
     }},
    {"path", [](Args& a, Device& d) { return a.word(d.decl.explicit_path, "path"); }},
    {"plain", [](Args&, Device& d) { return (d.decl.protocol = 0) == 0; }},
    {"protocol", [](Args&, Device& d) { return (d.decl.protocol = 1) == 1; }},
    {"latency", [](Args& a, Device& d) { return a.number(d.decl.latency_ms, "milliseconds"); }},
    {"pace", [](Args& a, Device& d) { return a.on_off(d.decl.pace); }},
    {"appear", [](Args& a, Device& d) { return a.number(d.decl.appear_s, "seconds"); }},
    {"disappear", [](Args& a, Device& d) { return a.number(d.decl.disappear_s, "seconds"); }},
    // restarts and personalities
    {"normal",
     [](Args& a, Device& d) { return a.integer(d.decl.normal_product, 0, 0xFFFF, "product ID"); }},
    {"reset_to",
     [](Args& a, Device& d) {
         d.decl.reset_to_iface = -1;
         return a.integer(d.decl.reset_to.emplace(), 0, 0xFFFF, "product ID") &&
                (!a.take("interface") ||
                 a.integer(d.decl.reset_to_iface, 0, 255, "interface number"));
     }},
    {"reset",
     [](Args& a, Device& d) {
         int never;
         return a.choice(never, "never") && (d.decl.reset_never = true);
     }},
    {"service_delay",
     [](Args& a, Device& d) { return a.number(d.decl.service_delay_s, "seconds"); }},
    {"service",
     [](Args& a, Device& d) {
         int i;
         if (!a.choice(i, "return never stay")) return false;
         d.decl.service_mode = static_cast<Declared::Service>(i);
         return true;
     }},
    {"leave_delay",
     [](Args& a, Device& d) { return a.number(d.decl.leave_delay_ms, "milliseconds"); }},
    // device-wide faults
    {"fail_write",
     [](Args& a, Device& d) {
         return a.integer(d.decl.fail_write_at, 1, INT32_MAX, "report number");
     }},
    {"fail_read",
     [](Args& a, Device& d) {
         return a.integer(d.decl.fail_read_at, 1, INT32_MAX, "report number");
     }},
    {"unplug_at",
     [](Args& a, Device& d) {
         d.decl.unplug_at_return_s = -1;
         return a.integer(d.decl.unplug_at, 1, INT32_MAX, "report number") &&
                (!a.take("return") || a.number(d.decl.unplug_at_return_s, "seconds"));
     }},
    // scripts and callbacks
    {"fn", fn_statement},
    {"callback", [](Args& a, Device& d) { return callback_statement(a, d, -1); }},
    {"card", [](Args& a, Device& d) { return callback_statement(a, d, 1); }},
    {"card_error", [](Args& a, Device& d) { return callback_statement(a, d, 2); }},
    {"card_refused", [](Args& a, Device& d) { return callback_statement(a, d, 3); }},
    {"card_removed", [](Args& a, Device& d) { return callback_statement(a, d, 4); }},
    // the built-in model
    {"param", [](Args& a, Device& d) { return param(a, d, true); }},
    {"noparam", [](Args& a, Device& d) { return param(a, d, false); }},
    {"config_blob",
     [](Args& a, Device& d) { return a.bytes(d.model.config_blob.emplace(), "bytes"); }},
    {"log_blob", [](Args& a, Device& d) { return a.bytes(d.model.log_blob, "bytes"); }},
    {"status", [](Args& a, Device& d) { return sequence(a, d.model.status, true); }},
    {"status_after_reset",
     [](Args& a, Device& d) { return sequence(a, d.model.status_after_reset, true); }},
    {"features",
     [](Args& a, Device& d) { return a.integer(d.model.features, 0, UINT32_MAX, "feature bits"); }},
    {"module_count",
     [](Args& a, Device& d) { return a.integer(d.model.module_count, 0, 255, "count"); }},
    {"module_desc", [](Args& a, Device& d) { return a.bytes(d.model.module_desc, "description"); }},
    {"module_record", module_record},
    {"lib_version", [](Args& a, Device& d) { return a.bytes(d.model.lib_version, "text"); }},
    {"status_message", [](Args& a, Device& d) { return a.bytes(d.model.status_message, "text"); }},
    {"extfw", extfw},
    {"extfw_check", [](Args& a, Device& d) { return sequence(a, d.model.extfw.check, false); }},
};

} // namespace

bool apply_statement(Device& d, const Tokens& t, std::string& err, const std::string& base_dir) {
    Args a(t, err, base_dir);
    const std::string& s = t[0].text;
    for (const auto& st : STATEMENTS)
        if (s == st.name) return st.parse(a, d) && err.empty() && a.end();
    return a.fail("unknown statement '" + s + "'");
}

} // namespace emu::detail
