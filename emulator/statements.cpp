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

bool step(Args& args, Step& where, const char* choices) {
    int i;
    if (!args.choice(i, choices)) return false;
    std::string word = std::string(choices) + " ";
    for (; i > 0; --i)
        word.erase(0, word.find(' ') + 1);
    word.resize(word.find(' '));
    where = word == "ack"       ? Step::Ack
            : word == "input"   ? Step::Input
            : word == "done"    ? Step::Done
            : word == "request" ? Step::Request
                                : Step::Output;
    return true;
}

// Sequence items: NUMBER, busy, needed, not_needed, error=N, each with an
// optional :COUNT (COUNT may be *); a leading `cycle` repeats them all.
bool sequence(Args& args, Sequence& seq, bool status) {
    seq = Sequence{};
    seq.cycle = args.take("cycle");
    while (args.more()) {
        std::string word, count;
        args.word(word, "item");
        SeqItem item;
        if (size_t colon = word.find(':'); colon != std::string::npos) {
            count = word.substr(colon + 1);
            word.resize(colon);
            int64_t repeat;
            if (count == "*")
                item.count = -1;
            else if (parse_int_range(Token{count}, 1, INT32_MAX, repeat))
                item.count = static_cast<int>(repeat);
            else
                return args.fail("bad count in '" + count + "'");
        }
        int64_t value;
        const bool error = word.rfind("error=", 0) == 0;
        if (word == "busy") {
            item.result = RDR_BUSY;
        } else if (!status && (word == "needed" || word == "not_needed")) {
            item.result = word == "needed" ? 0 : EXTFW_NOT_NEEDED;
        } else if (parse_int_range(Token{error ? word.substr(6) : word}, INT32_MIN, INT32_MAX,
                                   value)) {
            (status && !error ? item.value : item.result) = static_cast<int32_t>(value);
        } else {
            return args.fail("bad sequence item '" + word + "'");
        }
        seq.items.push_back(item);
    }
    return seq.items.empty() ? args.fail("empty sequence") : true;
}

bool version(Args& args, uint8_t out[3], const char* what) {
    std::string word;
    unsigned value[3];
    char extra;
    if (!args.word(word, what) ||
        std::sscanf(word.c_str(), "%u.%u.%u%c", &value[0], &value[1], &value[2], &extra) != 3 ||
        value[0] > 255 || value[1] > 255 || value[2] > 255)
        return args.fail(std::string(what) + " wants A.B.C");
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<uint8_t>(value[i]);
    return true;
}

// A byte value where a word could also be the next keyword.
bool looks_like_bytes(const Args& args) {
    const Token& token = args.peek();
    return token.kind != Token::Word || token.text.rfind("x:", 0) == 0 ||
           token.text.rfind("rep:", 0) == 0 || token.text.rfind("file:", 0) == 0;
}

const struct {
    const char* name;
    ItemParser parse;
} FN_ITEMS[] = {
    {"result",
     [](Args& args, ScriptEntry& entry) { return args.i32(entry.result.emplace(), "result"); }},
    {"out", [](Args& args,
               ScriptEntry& entry) { return args.bytes(entry.out.emplace(), "output bytes"); }},
    {"model", [](Args&, ScriptEntry&) { return true; }},
    {"times", [](Args& args,
                 ScriptEntry& entry) { return args.integer(entry.times, 1, 1000000000, "count"); }},
    {"noack",
     [](Args& args, ScriptEntry& entry) {
         entry.noack = args.take("all") ? -1 : 5;
         return !args.peek_int() || args.integer(entry.noack, 1, 1000000, "count");
     }},
    {"reqerror",
     [](Args& args, ScriptEntry& entry) {
         return args.i32(entry.reqerror.emplace(), "error value");
     }},
    {"cbfirst",
     [](Args& args, ScriptEntry& entry) {
         return args.integer(entry.cbfirst, 1, 1000000, "count") &&
                args.integer(entry.cb_code, 0, 65535, "callback code") &&
                (!args.more() || !looks_like_bytes(args) ||
                 args.bytes(entry.cb_data, "callback data"));
     }},
    {"acktype",
     [](Args& args, ScriptEntry& entry) {
         return args.integer(entry.acktype, 0, 255, "header type");
     }},
    {"doneerror",
     [](Args& args, ScriptEntry& entry) {
         return args.i32(entry.doneerror.emplace(), "error value");
     }},
    {"donetype",
     [](Args& args, ScriptEntry& entry) {
         return args.integer(entry.donetype, 0, 255, "header type");
     }},
    {"donelen",
     [](Args& args, ScriptEntry& entry) {
         entry.donelen =
             args.take("over") ? ScriptEntry::Len::OverCapacity : ScriptEntry::Len::Fixed;
         return entry.donelen == ScriptEntry::Len::OverCapacity ||
                args.i32(entry.donelen_value, "length");
     }},
    {"short",
     [](Args& args, ScriptEntry& entry) {
         return step(args, entry.short_step, "ack done data") &&
                (!args.peek_int() || args.integer(entry.short_bytes, 0, 64, "byte count"));
     }},
    {"dataheader",
     [](Args& args, ScriptEntry& entry) { return step(args, entry.dataheader_step, "ack done"); }},
    {"delay",
     [](Args& args, ScriptEntry& entry) { return args.number(entry.delay_ms, "milliseconds"); }},
    {"unplug",
     [](Args& args, ScriptEntry& entry) {
         return step(args, entry.unplug_step, "request input done output") &&
                (!args.take("return") || args.number(entry.unplug_return_s, "seconds"));
     }},
    {"hidfail",
     [](Args& args, ScriptEntry& entry) {
         return step(args, entry.hidfail_step, "request ack input done output");
     }},
    {"silent", [](Args&, ScriptEntry& entry) { return entry.silent = true; }},
};

bool fn_statement(Args& args, Device& dev) {
    uint16_t code;
    if (!args.integer(code, 0, 65535, "function code")) return false;
    if (args.take("clear")) {
        dev.decl.scripts.erase(code);
        return true;
    }
    ScriptEntry entry;
    bool explicit_model = false;
    while (args.more()) {
        std::string word;
        args.word(word, "item");
        explicit_model = explicit_model || word == "model";
        auto it = std::find_if(std::begin(FN_ITEMS), std::end(FN_ITEMS),
                               [&word](const auto& item) { return word == item.name; });
        if (it == std::end(FN_ITEMS)) return args.fail("unknown fn item '" + word + "'");
        if (!it->parse(args, entry)) return false;
    }
    entry.model = explicit_model || !(entry.result || entry.out);
    dev.decl.scripts[code].entries.push_back(std::move(entry));
    return true;
}

const struct {
    const char* name;
    OptionParser parse;
} CALLBACK_OPTIONS[] = {
    {"at",
     [](Args& args, CallbackRule& rule) {
         rule.trigger = CallbackRule::Trigger::At;
         return args.number(rule.at_s, "seconds");
     }},
    {"after",
     [](Args& args, CallbackRule& rule) {
         rule.trigger = CallbackRule::Trigger::After;
         return (args.take("any") ||
                 args.integer(rule.after_fn, 0, 65535, "function code or any")) &&
                (!args.peek_int() || args.integer(rule.nth, 1, 1000000000, "count"));
     }},
    {"each", [](Args&, CallbackRule& rule) { return rule.each = true; }},
    {"delay", [](Args& args, CallbackRule& rule) { return args.number(rule.delay_s, "seconds"); }},
    {"carddata",
     [](Args& args, CallbackRule& rule) {
         return args.bytes(rule.cb.carddata.emplace(), "card data");
     }},
};

bool is_option(const Token& token) {
    for (const auto& option : CALLBACK_OPTIONS)
        if (is_word(token, option.name)) return true;
    return false;
}

// `callback CODE ...` (code < 0) or `card ...` and its kin (fixed code).
bool callback_statement(Args& args, Device& dev, int code) {
    CallbackRule rule;
    if (code >= 0)
        rule.cb.code = static_cast<uint16_t>(code);
    else if (!args.integer(rule.cb.code, 0, 65535, "callback code"))
        return false;
    if (args.more() && !is_option(args.peek()) && !args.bytes(rule.cb.data, "callback data"))
        return false;
    while (args.more()) {
        std::string word;
        args.word(word, "option");
        auto it = std::find_if(std::begin(CALLBACK_OPTIONS), std::end(CALLBACK_OPTIONS),
                               [&word](const auto& option) { return word == option.name; });
        if (it == std::end(CALLBACK_OPTIONS))
            return args.fail("unknown callback option '" + word + "'");
        if (!it->parse(args, rule)) return false;
    }
    if (rule.each && rule.trigger != CallbackRule::Trigger::After)
        return args.fail("'each' needs 'after'");
    dev.decl.callbacks.push_back(rule);
    if (!dev.finalized) return true;
    // A callback added to a live device starts from now.
    const double now = clock_ms();
    if (rule.trigger == CallbackRule::Trigger::Start) queue_callback(dev, rule.cb, now);
    if (rule.trigger == CallbackRule::Trigger::At)
        schedule(now + rule.at_s * 1000,
                 action(Action::Kind::Callback, dev.shared_from_this(), rule.cb));
    return true;
}

bool module_record(Args& args, Device& dev) {
    ModuleRecord& record = dev.model.record;
    while (args.more()) {
        int field;
        if (!args.choice(field, "pcb type features serial part date sw lib")) return false;
        bool ok = field == 0   ? version(args, record.pcb, "pcb")
                  : field == 1 ? args.integer(record.pcb_type, 0, 255, "pcb type")
                  : field == 2 ? args.integer(record.features, 0, UINT32_MAX, "feature bits")
                  : field == 3 ? args.word(record.serial, "serial")
                  : field == 4 ? args.word(record.part, "part number")
                  : field == 5 ? args.integer(record.date, 0, UINT32_MAX, "date")
                  : field == 6 ? version(args, record.sw, "sw")
                               : version(args, record.lib, "lib");
        if (!ok) return false;
    }
    return true;
}

bool extfw(Args& args, Device& dev) {
    Extfw& loader = dev.model.extfw;
    int what, which;
    if (!args.choice(what, "busy reject unfinished after_close needed")) return false;
    switch (what) {
    case 0:
        if (!args.choice(which, "start finish pieces piece")) return false;
        if (which == 3) {
            int piece;
            return args.integer(piece, 1, 100000000, "piece number") &&
                   args.integer(loader.busy_piece[piece], 0, 100000000, "count");
        }
        return args.integer(which == 0   ? loader.busy_start
                            : which == 1 ? loader.busy_finish
                                         : loader.busy_pieces,
                            0, 100000000, "count");
    case 1: {
        int piece;
        return args.choice(which, "piece") && args.integer(piece, 1, 100000000, "piece number") &&
               args.i32(loader.reject_piece[piece], "result");
    }
    case 2:
        loader.state = Extfw::State::Receiving;
        loader.expected = 1000;
        loader.partial.clear();
        return !args.more() || args.integer(loader.expected, 0, UINT32_MAX, "length");
    case 3:
        return args.choice_bool(loader.close_restarts, "idle restart");
    default:
        return args.on_off(loader.needed);
    }
}

bool param(Args& args, Device& dev, bool set) {
    std::string key;
    Bytes value;
    if (!args.word(key, "key") || (set && !args.bytes(value, "value"))) return false;
    if (!dev.finalized) {
        dev.model.param_overrides[key] = set ? std::optional<Bytes>(value) : std::nullopt;
    } else if (set) {
        dev.model.params[key] = dev.model.defaults[key] = value;
    } else {
        dev.model.params.erase(key);
        dev.model.defaults.erase(key);
    }
    return true;
}

const struct {
    const char* name;
    Parser parse;
} STATEMENTS[] = {
    // identity and bus
    {"product",
     [](Args& args, Device& dev) {
         return args.integer(dev.decl.product, 0, 0xFFFF, "product ID");
     }},
    {"vendor",
     [](Args& args, Device& dev) {
         if (!args.integer(dev.decl.vendor, 0, 0xFFFF, "vendor ID")) return false;
         if (dev.finalized) dev.persona.vendor = dev.decl.vendor;
         return true;
     }},
    {"interface",
     [](Args& args, Device& dev) {
         return args.integer(dev.decl.iface, 0, 255, "interface number");
     }},
    {"extra",
     [](Args& args, Device& dev) {
         return args.integer(dev.decl.extras.emplace_back(), 0, 255, "interface number");
     }},
    {"serial",
     [](Args& args, Device& dev) {
         const bool none = args.peek_is("none");
         if (!args.word(dev.decl.serial.emplace(), "serial number")) return false;
         if (none) dev.decl.serial.reset();
         return true;
     }},
    {"port", [](Args& args, Device& dev) { return args.word(dev.decl.port, "port"); }},
    {"usb_config",
     [](Args& args, Device& dev) {
         return args.integer(dev.decl.usb_config, 0, 255, "configuration number");
     }},
    {"path", [](Args& args, Device& dev) { return args.word(dev.decl.explicit_path, "path"); }},
    {"plain", [](Args&, Device& dev) { return (dev.decl.protocol = 0) == 0; }},
    {"protocol", [](Args&, Device& dev) { return (dev.decl.protocol = 1) == 1; }},
    {"latency",
     [](Args& args, Device& dev) { return args.number(dev.decl.latency_ms, "milliseconds"); }},
    {"pace", [](Args& args, Device& dev) { return args.on_off(dev.decl.pace); }},
    {"appear", [](Args& args, Device& dev) { return args.number(dev.decl.appear_s, "seconds"); }},
    {"disappear",
     [](Args& args, Device& dev) { return args.number(dev.decl.disappear_s, "seconds"); }},
    // restarts and personalities
    {"normal",
     [](Args& args, Device& dev) {
         return args.integer(dev.decl.normal_product, 0, 0xFFFF, "product ID");
     }},
    {"reset_to",
     [](Args& args, Device& dev) {
         dev.decl.reset_to_iface = -1;
         return args.integer(dev.decl.reset_to.emplace(), 0, 0xFFFF, "product ID") &&
                (!args.take("interface") ||
                 args.integer(dev.decl.reset_to_iface, 0, 255, "interface number"));
     }},
    {"reset",
     [](Args& args, Device& dev) {
         int never;
         return args.choice(never, "never") && (dev.decl.reset_never = true);
     }},
    {"service_delay",
     [](Args& args, Device& dev) { return args.number(dev.decl.service_delay_s, "seconds"); }},
    {"service",
     [](Args& args, Device& dev) {
         int i;
         if (!args.choice(i, "return never stay")) return false;
         dev.decl.service_mode = static_cast<Declared::Service>(i);
         return true;
     }},
    {"leave_delay",
     [](Args& args, Device& dev) { return args.number(dev.decl.leave_delay_ms, "milliseconds"); }},
    // device-wide faults
    {"fail_write",
     [](Args& args, Device& dev) {
         return args.integer(dev.decl.fail_write_at, 1, INT32_MAX, "report number");
     }},
    {"fail_read",
     [](Args& args, Device& dev) {
         return args.integer(dev.decl.fail_read_at, 1, INT32_MAX, "report number");
     }},
    {"unplug_at",
     [](Args& args, Device& dev) {
         dev.decl.unplug_at_return_s = -1;
         return args.integer(dev.decl.unplug_at, 1, INT32_MAX, "report number") &&
                (!args.take("return") || args.number(dev.decl.unplug_at_return_s, "seconds"));
     }},
    // scripts and callbacks
    {"fn", fn_statement},
    {"callback", [](Args& args, Device& dev) { return callback_statement(args, dev, -1); }},
    {"card", [](Args& args, Device& dev) { return callback_statement(args, dev, 1); }},
    {"card_error", [](Args& args, Device& dev) { return callback_statement(args, dev, 2); }},
    {"card_refused", [](Args& args, Device& dev) { return callback_statement(args, dev, 3); }},
    {"card_removed", [](Args& args, Device& dev) { return callback_statement(args, dev, 4); }},
    // the built-in model
    {"param", [](Args& args, Device& dev) { return param(args, dev, true); }},
    {"noparam", [](Args& args, Device& dev) { return param(args, dev, false); }},
    {"config_blob",
     [](Args& args, Device& dev) { return args.bytes(dev.model.config_blob.emplace(), "bytes"); }},
    {"log_blob", [](Args& args, Device& dev) { return args.bytes(dev.model.log_blob, "bytes"); }},
    {"status", [](Args& args, Device& dev) { return sequence(args, dev.model.status, true); }},
    {"status_after_reset",
     [](Args& args, Device& dev) { return sequence(args, dev.model.status_after_reset, true); }},
    {"features",
     [](Args& args, Device& dev) {
         return args.integer(dev.model.features, 0, UINT32_MAX, "feature bits");
     }},
    {"module_count",
     [](Args& args, Device& dev) { return args.integer(dev.model.module_count, 0, 255, "count"); }},
    {"module_desc",
     [](Args& args, Device& dev) { return args.bytes(dev.model.module_desc, "description"); }},
    {"module_record", module_record},
    {"lib_version",
     [](Args& args, Device& dev) { return args.bytes(dev.model.lib_version, "text"); }},
    {"status_message",
     [](Args& args, Device& dev) { return args.bytes(dev.model.status_message, "text"); }},
    {"extfw", extfw},
    {"extfw_check",
     [](Args& args, Device& dev) { return sequence(args, dev.model.extfw.check, false); }},
};

} // namespace

bool apply_statement(Device& dev, const Tokens& tokens, std::string& err,
                     const std::string& base_dir) {
    Args args(tokens, err, base_dir);
    const std::string& name = tokens[0].text;
    for (const auto& statement : STATEMENTS)
        if (name == statement.name) return statement.parse(args, dev) && err.empty() && args.end();
    return args.fail("unknown statement '" + name + "'");
}

} // namespace emu::detail
