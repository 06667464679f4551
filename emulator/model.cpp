// SPDX-License-Identifier: GPL-2.0-or-later
// The built-in reader firmware: what a reader answers to each function when
// the scenario scripts nothing for it, as a table of function code ->
// handler.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device.h"

namespace emu::detail {

namespace {

// The firmware personalities a reader can present, with the interface its
// configuration link sits on. USB class personalities keep interface 0 for
// the class function and carry the link on interface 1.
constexpr Personality PERSONALITIES[] = {
    {0x0200, 0, -1, "USB service firmware"},
    {0x0201, 0, 0, "RS232 reader"},
    {0x0202, 1, 1, "USB keyboard"},
    {0x0203, 1, 2, "KM USB reader"},
    {0x0204, 1, 3, "USB COM port"},
    {0x0205, 1, 4, "USB Sharp reader"},
    {0x0206, 1, 5, "USB SmartCard CCID"},
    {0x0207, 0, 6, "FX EPA reader"},
    {0x0309, 0, 7, "USB HP reader"},
    {0x030A, 1, 8, "USB reader tester"},
    {0x020B, 1, 9, "reader module serial bridge"},
    {0x020C, 1, 10, "USB HIDRAW reader"},
    {0x030B, 1, 11, "USB BLE test server"},
    {0x02FE, 0, -1, "EPA tester"},
    {0x02FF, 0, -1, "production flasher"},
};

constexpr double MODULE_RESTART_MS = 300; // the module is busy after RDRNEEDRESTART=1

std::string as_string(const Bytes& b) {
    std::string s(b.begin(), b.end());
    if (size_t nul = s.find('\0'); nul != std::string::npos) s.resize(nul);
    return s;
}

Bytes be32(uint32_t v) {
    Bytes b(4);
    put_be32(b.data(), v);
    return b;
}

// "KEY=VALUE" with an optional NUL at the end and nothing else: one
// parameter assignment. Anything else is a configuration file.
bool split_assignment(const Bytes& in, std::string& key, std::string& value) {
    std::string s(in.begin(), in.end());
    if (!s.empty() && s.back() == '\0') s.pop_back();
    if (s.find('\0') != std::string::npos || s.find('\n') != std::string::npos) return false;
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    for (size_t i = 0; i < eq; ++i)
        if (!std::isalnum(static_cast<unsigned char>(s[i])) && s[i] != '_') return false;
    key = s.substr(0, eq);
    value = s.substr(eq + 1);
    return true;
}

// The three steps of the module's firmware loader share one busy count per
// step; a new step starts a new count.
bool extfw_busy(Extfw& x, int step, int count) {
    if (x.busy_step != step) {
        x.busy_step = step;
        x.busy_left = count;
    }
    if (x.busy_left <= 0) return false;
    --x.busy_left;
    return true;
}

struct Call {
    Device& d;
    Model& m;
    const Bytes& in;
    double now;
    ModelAnswer& a;
};

void set_config(Call& c) {
    std::string key, value;
    if (!split_assignment(c.in, key, value)) {
        c.m.config_blob = c.in;
    } else if (key == "RDRNEEDRESTART") {
        if (std::atoi(value.c_str()) == 0) return;
        c.m.module_busy_until = c.now + MODULE_RESTART_MS;
        note(c.d, c.now, "card reader module restarts");
    } else if (c.m.params.count(key) == 0) {
        c.a.result = RDR_UNKNOWN_PARAM;
    } else {
        c.m.params[key] = text_bytes(value);
        if (key != "READERPROTOCOL") return;
        // A stored protocol replaces a custom configuration.
        c.m.custom_config.clear();
        c.m.params.erase("RDRCFG_CSUM");
    }
}

void get_config(Call& c) {
    if (c.m.config_blob) {
        c.a.output = *c.m.config_blob;
        return;
    }
    std::string s;
    for (const auto& [k, v] : c.m.params)
        s += k + "=" + as_string(v) + "\n";
    c.a.output.assign(s.begin(), s.end());
}

void get_param(Call& c) {
    auto it = c.m.params.find(as_string(c.in));
    if (it == c.m.params.end())
        c.a.result = RDR_UNKNOWN_PARAM;
    else
        c.a.output = it->second;
}

// 510 belongs to the service firmware, 512 to the normal one.
void store_image(Call& c, int fn, bool service) {
    if (c.d.persona.service != service)
        c.a.result = RDR_WRONG_FIRMWARE;
    else
        c.m.firmware_images[fn] = c.in;
}

void extfw_start(Call& c) {
    Extfw& x = c.m.extfw;
    if (c.in.size() != 4) {
        c.a.result = RDR_BAD_INPUT;
    } else if (x.state != Extfw::State::Idle) {
        c.a.result = RDR_SEQUENCE_ERROR;
        note(c.d, c.now, "extfw: start while an earlier sequence is unfinished");
    } else if (extfw_busy(x, 1, x.busy_start)) {
        c.a.result = RDR_BUSY;
    } else {
        x.state = Extfw::State::Started;
        x.expected = get_be32(c.in.data());
        x.partial.clear();
        x.pieces = x.busy_step = 0;
    }
}

void extfw_data(Call& c) {
    Extfw& x = c.m.extfw;
    const int k = x.pieces + 1;
    auto bp = x.busy_piece.find(k);
    auto rp = x.reject_piece.find(k);
    if (x.state == Extfw::State::Idle) {
        c.a.result = RDR_SEQUENCE_ERROR;
    } else if (c.in.empty()) {
        c.a.result = RDR_BAD_INPUT;
    } else if (extfw_busy(x, 1000 + k, bp != x.busy_piece.end() ? bp->second : x.busy_pieces)) {
        c.a.result = RDR_BUSY;
    } else if (rp != x.reject_piece.end()) {
        c.a.result = rp->second;
    } else if (x.partial.size() + c.in.size() > x.expected) {
        c.a.result = RDR_BAD_INPUT;
        note(c.d, c.now, "extfw: more data than the announced length");
    } else {
        x.partial.insert(x.partial.end(), c.in.begin(), c.in.end());
        x.pieces = k;
        x.state = Extfw::State::Receiving;
        x.busy_step = 0;
    }
}

void extfw_finish(Call& c) {
    Extfw& x = c.m.extfw;
    if (x.state == Extfw::State::Idle) {
        c.a.result = RDR_SEQUENCE_ERROR;
    } else if (extfw_busy(x, -1, x.busy_finish)) {
        c.a.result = RDR_BUSY;
    } else if (x.partial.size() == x.expected) {
        x.image = x.partial;
        x.needed = false;
        x.state = Extfw::State::Idle;
        x.busy_step = 0;
    } else {
        note(c.d, c.now, "extfw: unfinished sequence closed");
        x.busy_step = x.pieces = 0;
        x.partial.clear();
        x.state = x.close_restarts ? Extfw::State::Started : Extfw::State::Idle;
    }
}

void card_query(Call& c) {
    if (!c.m.card_present) {
        c.a.result = RDR_NO_CARD;
        return;
    }
    c.a.output.resize(2);
    put_be16(c.a.output.data(), c.m.card_handle);
}

void card_detail(Call& c) {
    if (c.in.size() != 2)
        c.a.result = RDR_BAD_INPUT;
    else if (!c.m.card_present || get_be16(c.in.data()) != c.m.card_handle)
        c.a.result = RDR_NO_CARD;
    else
        c.a.output = c.m.card_data;
}

// FN_MODULE_DESCRIPTION and FN_MODULE_RECORD take the module index.
void module_info(Call& c, bool record) {
    if ((c.in.empty() ? 0 : c.in[0]) >= c.m.module_count) {
        c.a.result = RDR_BAD_INPUT;
        return;
    }
    if (!record) {
        c.a.output = c.m.module_desc;
        return;
    }
    const ModuleRecord& m = c.m.record;
    Bytes r(128, 0);
    std::memcpy(&r[1], m.pcb, 3);
    r[4] = m.pcb_type;
    for (int i = 0; i < 4; ++i) // the one little-endian number in the record
        r[5 + i] = static_cast<uint8_t>(m.features >> (8 * i));
    std::memcpy(&r[11], m.serial.data(), std::min<size_t>(m.serial.size(), 31));
    std::memcpy(&r[43], m.part.data(), std::min<size_t>(m.part.size(), 19));
    put_be32(&r[63], m.date);
    std::memcpy(&r[67], m.sw, 3);
    std::memcpy(&r[70], m.lib, 3);
    c.a.output = std::move(r);
}

void get_status(Call& c) {
    const SeqItem s = c.m.status.items.empty() ? SeqItem{0, 1, -1} : next_item(c.m.status);
    c.a.result = s.result;
    if (s.result == 0) c.a.output = be32(static_cast<uint32_t>(s.value));
}

void set_custom_config(Call& c) {
    c.m.custom_config = c.in;
    unsigned sum = 0;
    for (uint8_t x : c.in)
        sum = (sum + x) & 0xFFFF;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", sum);
    if (c.m.params.count("READERPROTOCOL")) c.m.params["READERPROTOCOL"] = text_bytes("999");
    c.m.params["RDRCFG_CSUM"] = text_bytes(buf);
}

// Functions that need the card reader module answer busy while it restarts.
const struct {
    uint16_t fn;
    bool needs_module;
    void (*run)(Call&);
} FUNCTIONS[] = {
    {FN_STATUS_MESSAGE, false, [](Call& c) { c.a.output = c.m.status_message; }},
    {FN_GET_LOG, false, [](Call& c) { c.a.output = c.m.log_blob; }},
    {FN_SET_CONFIG, false, set_config},
    {FN_GET_CONFIG, false, get_config},
    {FN_GET_PARAM, false, get_param},
    {FN_SET_DEFAULTS, false,
     [](Call& c) {
         c.m.params = c.m.defaults;
         c.m.custom_config.clear();
     }},
    {FN_RESET, false, [](Call& c) { c.a.after = After::Reset; }},
    {FN_UPDATE_FIRMWARE, false, [](Call& c) { store_image(c, FN_UPDATE_FIRMWARE, true); }},
    {FN_ENTER_SERVICE, false, [](Call& c) { c.a.after = After::EnterService; }},
    {FN_UPDATE_SERVICE_FIRMWARE, false,
     [](Call& c) { store_image(c, FN_UPDATE_SERVICE_FIRMWARE, false); }},
    {FN_REGISTER_CALLBACK, true,
     [](Call& c) { c.a.result = c.in.size() == 8 ? RDR_OK : RDR_BAD_INPUT; }},
    {FN_EXTFW_START, false, extfw_start},
    {FN_EXTFW_DATA, false, extfw_data},
    {FN_EXTFW_FINISH, false, extfw_finish},
    {FN_TEST_WAIT_CARD, false, [](Call& c) { c.m.card_present = false; }},
    {FN_TEST_CARD_DONE, false, [](Call&) {}},
    {FN_TEST_CARD_OK, false, [](Call&) {}},
    {FN_TEST_CARD_BAD, false, [](Call&) {}},
    {FN_CARD_QUERY, true, card_query},
    {FN_CARD_DETAIL, true, card_detail},
    {FN_EXTFW_CHECK, true,
     [](Call& c) {
         Extfw& x = c.m.extfw;
         c.a.result = !x.check.items.empty() ? next_item(x.check).result
                      : x.needed             ? 0
                                             : EXTFW_NOT_NEEDED;
     }},
    {FN_LIB_VERSION, false, [](Call& c) { c.a.output = c.m.lib_version; }},
    {FN_GET_FEATURES, true, [](Call& c) { c.a.output = be32(c.m.features); }},
    {FN_MODULE_COUNT, true,
     [](Call& c) { c.a.output.assign(1, static_cast<uint8_t>(c.m.module_count)); }},
    {FN_MODULE_DESCRIPTION, true, [](Call& c) { module_info(c, false); }},
    {FN_MODULE_RECORD, true, [](Call& c) { module_info(c, true); }},
    {FN_GET_STATUS, true, get_status},
    {FN_SET_CUSTOM_CONFIG, false, set_custom_config},
};

} // namespace

const Personality* find_personality(uint16_t product) {
    for (const Personality& p : PERSONALITIES)
        if (p.product == product) return &p;
    return nullptr;
}

const Personality* personality_for_mode(int usb_mode) {
    if (usb_mode < 0) return nullptr;
    for (const Personality& p : PERSONALITIES)
        if (p.usb_mode == usb_mode) return &p;
    return nullptr;
}

Bytes text_bytes(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

SeqItem next_item(Sequence& s) {
    SeqItem it = s.items[s.index];
    if (it.count >= 0 && ++s.used >= it.count && (s.index + 1 < s.items.size() || s.cycle)) {
        s.index = s.index + 1 < s.items.size() ? s.index + 1 : 0;
        s.used = 0;
    }
    return it;
}

ModelAnswer run_model(Device& d, uint16_t fn, const Bytes& in, double now) {
    ModelAnswer a;
    Call c{d, d.model, in, now, a};
    for (const auto& f : FUNCTIONS) {
        if (f.fn != fn) continue;
        if (f.needs_module && now < d.model.module_busy_until)
            a.result = RDR_BUSY;
        else
            f.run(c);
        return a;
    }
    a.result = RDR_UNKNOWN_FUNCTION;
    return a;
}

void finalize_model(Device& d) {
    Model& m = d.model;
    Declared& s = d.decl;
    if (s.port.empty()) s.port = "1-" + std::to_string(d.index);
    if (s.normal_product == 0) {
        // A device declared in its service firmware returns to the
        // personality its USBMODE selects.
        s.normal_product = s.product != PRODUCT_SERVICE ? s.product : 0x0202;
        auto it = m.param_overrides.find("USBMODE");
        const Personality* per =
            s.product == PRODUCT_SERVICE && it != m.param_overrides.end() && it->second
                ? personality_for_mode(std::atoi(as_string(*it->second).c_str()))
                : nullptr;
        if (per != nullptr) s.normal_product = per->product;
    }
    const Personality* normal = find_personality(s.normal_product);
    const int mode = normal != nullptr && normal->usb_mode >= 0 ? normal->usb_mode : 1;
    const std::string hw = s.serial && !s.serial->empty() ? "HW" + *s.serial : "HW000000";
    const std::pair<const char*, std::string> builtin[] = {{"FWVERSION", "2.14.0"},
                                                           {"SERVICE_VER", "1.0.3"},
                                                           {"SERVICE_STATUS", "1"},
                                                           {"USBMODE", std::to_string(mode)},
                                                           {"KBDPRESSDLY", "0"},
                                                           {"KBDRELEASEDLY", "0"},
                                                           {"KBDLAYOUT", "0"},
                                                           {"KMMODE", "0"},
                                                           {"READER", "50"},
                                                           {"READERPROTOCOL", "1"},
                                                           {"DEBUG", "0"},
                                                           {"SOUND", "0"},
                                                           {"HWCFG_MAJOR", "3"},
                                                           {"HWCFG_MINOR", "1"},
                                                           {"HWCFG_SUBVERSION", "0"},
                                                           {"HWCFG_SERIAL", hw},
                                                           {"HWCFG_MAN_DATE", "1700000000"}};
    m.defaults.clear();
    for (const auto& [k, v] : builtin)
        m.defaults[k] = text_bytes(v);
    for (const auto& [k, v] : m.param_overrides) {
        if (v)
            m.defaults[k] = *v;
        else
            m.defaults.erase(k);
    }
    m.param_overrides.clear();
    m.params = m.defaults;
    d.finalized = true;
}

void model_restarted(Device& d) {
    Model& m = d.model;
    ++d.restart_count;
    if (!m.status_after_reset.items.empty()) {
        m.status = m.status_after_reset;
        m.status.index = 0;
        m.status.used = 0;
    }
    // The volatile protocol does not survive a restart.
    auto tmp = m.params.find("READERPROTOCOLTMP");
    auto stored = m.params.find("READERPROTOCOL");
    if (tmp != m.params.end() && stored != m.params.end()) tmp->second = stored->second;
    m.card_present = false;
    m.module_busy_until = -1;
}

void card_delivered(Model& m, const PendingCallback& p) {
    if (p.code == 1) {
        m.card_present = true;
        ++m.card_handle;
        m.card_data = p.carddata ? *p.carddata : text_bytes("UID " + as_string(p.data));
    } else if (p.code >= 2 && p.code <= 4) {
        m.card_present = false;
    }
}

} // namespace emu::detail
