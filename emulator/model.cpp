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
#include "state.h"

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

// The module record FN_MODULE_RECORD answers: byte offsets of its fields.
constexpr size_t RECORD_BYTES = 128;
constexpr size_t RECORD_PCB = 1;      // PCB version, 3 bytes
constexpr size_t RECORD_PCB_TYPE = 4; // 1 byte
constexpr size_t RECORD_FEATURES = 5; // 4 bytes, little-endian
constexpr size_t RECORD_SERIAL = 11;  // text
constexpr size_t RECORD_SERIAL_BYTES = 32;
constexpr size_t RECORD_PART = 43; // part number, text
constexpr size_t RECORD_PART_BYTES = 20;
constexpr size_t RECORD_DATE = 63; // 4 bytes, big-endian
constexpr size_t RECORD_SW = 67;   // module firmware version, 3 bytes
constexpr size_t RECORD_LIB = 70;  // library version, 3 bytes
constexpr size_t VERSION_BYTES = 3;

std::string as_string(const Bytes& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

Bytes be32(uint32_t value) {
    Bytes bytes(4);
    put_be32(bytes.data(), value);
    return bytes;
}

// "KEY=VALUE" with an optional NUL at the end and nothing else: one
// parameter assignment. Anything else is a configuration file.
bool split_assignment(const Bytes& in, std::string& key, std::string& value) {
    std::string text(in.begin(), in.end());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    if (text.find('\0') != std::string::npos || text.find('\n') != std::string::npos) return false;
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    for (size_t i = 0; i < eq; ++i)
        if (!std::isalnum(static_cast<unsigned char>(text[i])) && text[i] != '_') return false;
    key = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

// The three steps of the module's firmware loader share one busy count per
// step; a new step starts a new count.
bool extfw_busy(Extfw& loader, int step, int count) {
    if (loader.busy_step != step) {
        loader.busy_step = step;
        loader.busy_left = count;
    }
    if (loader.busy_left <= 0) return false;
    --loader.busy_left;
    return true;
}

// One call of a function: the device, its model, the input, the time and
// the answer being built.
struct Call {
    Device& dev;
    Model& model;
    const Bytes& in;
    double now;
    ModelAnswer& answer;
};

void set_config(Call& call) {
    std::string key, value;
    if (!split_assignment(call.in, key, value)) {
        call.model.config_blob = call.in;
    } else if (key == "RDRNEEDRESTART") {
        if (std::atoi(value.c_str()) == 0) return;
        call.model.module_busy_until = call.now + MODULE_RESTART_MS;
        note(call.dev, call.now, "card reader module restarts");
    } else if (call.model.params.count(key) == 0) {
        call.answer.result = RDR_UNKNOWN_PARAM;
    } else {
        call.model.params[key] = text_bytes(value);
        if (key != "READERPROTOCOL") return;
        // A stored protocol replaces a custom configuration.
        call.model.custom_config.clear();
        call.model.params.erase("RDRCFG_CSUM");
    }
}

void get_config(Call& call) {
    if (call.model.config_blob) {
        call.answer.output = *call.model.config_blob;
        return;
    }
    std::string text;
    for (const auto& [key, value] : call.model.params)
        text += key + "=" + as_string(value) + "\n";
    call.answer.output.assign(text.begin(), text.end());
}

void get_param(Call& call) {
    auto it = call.model.params.find(as_string(call.in));
    if (it == call.model.params.end())
        call.answer.result = RDR_UNKNOWN_PARAM;
    else
        call.answer.output = it->second;
}

// 510 belongs to the service firmware, 512 to the normal one.
void store_image(Call& call, int fn, bool service) {
    if (call.dev.persona.service != service)
        call.answer.result = RDR_WRONG_FIRMWARE;
    else
        store_firmware_image(call.model, fn, call.in);
}

void extfw_start(Call& call) {
    Extfw& loader = call.model.extfw;
    if (call.in.size() != 4) {
        call.answer.result = RDR_BAD_INPUT;
    } else if (loader.state != Extfw::State::Idle) {
        call.answer.result = RDR_SEQUENCE_ERROR;
        note(call.dev, call.now, "extfw: start while an earlier sequence is unfinished");
    } else if (extfw_busy(loader, 1, loader.busy_start)) {
        call.answer.result = RDR_BUSY;
    } else {
        loader.state = Extfw::State::Started;
        loader.expected = get_be32(call.in.data());
        loader.partial.clear();
        loader.pieces = loader.busy_step = 0;
    }
}

void extfw_data(Call& call) {
    Extfw& loader = call.model.extfw;
    const int piece = loader.pieces + 1;
    auto busy = loader.busy_piece.find(piece);
    auto reject = loader.reject_piece.find(piece);
    if (loader.state == Extfw::State::Idle) {
        call.answer.result = RDR_SEQUENCE_ERROR;
    } else if (call.in.empty()) {
        call.answer.result = RDR_BAD_INPUT;
    } else if (extfw_busy(loader, 1000 + piece,
                          busy != loader.busy_piece.end() ? busy->second : loader.busy_pieces)) {
        call.answer.result = RDR_BUSY;
    } else if (reject != loader.reject_piece.end()) {
        call.answer.result = reject->second;
    } else if (loader.partial.size() + call.in.size() > loader.expected) {
        call.answer.result = RDR_BAD_INPUT;
        note(call.dev, call.now, "extfw: more data than the announced length");
    } else {
        loader.partial.insert(loader.partial.end(), call.in.begin(), call.in.end());
        loader.pieces = piece;
        loader.state = Extfw::State::Receiving;
        loader.busy_step = 0;
    }
}

void extfw_finish(Call& call) {
    Extfw& loader = call.model.extfw;
    if (loader.state == Extfw::State::Idle) {
        call.answer.result = RDR_SEQUENCE_ERROR;
    } else if (extfw_busy(loader, -1, loader.busy_finish)) {
        call.answer.result = RDR_BUSY;
    } else if (loader.partial.size() == loader.expected) {
        loader.image = loader.partial;
        take_image_version(call.model, FN_EXTFW_FINISH, loader.image);
        loader.needed = false;
        loader.state = Extfw::State::Idle;
        loader.busy_step = 0;
    } else {
        note(call.dev, call.now, "extfw: unfinished sequence closed");
        loader.busy_step = loader.pieces = 0;
        loader.partial.clear();
        loader.state = loader.close_restarts ? Extfw::State::Started : Extfw::State::Idle;
    }
}

void card_query(Call& call) {
    if (!call.model.card_present) {
        call.answer.result = RDR_NO_CARD;
        return;
    }
    call.answer.output.resize(2);
    put_be16(call.answer.output.data(), call.model.card_handle);
}

void card_detail(Call& call) {
    if (call.in.size() != 2)
        call.answer.result = RDR_BAD_INPUT;
    else if (!call.model.card_present || get_be16(call.in.data()) != call.model.card_handle)
        call.answer.result = RDR_NO_CARD;
    else
        call.answer.output = call.model.card_data;
}

// FN_MODULE_DESCRIPTION and FN_MODULE_RECORD take the module index.
void module_info(Call& call, bool as_record) {
    if ((call.in.empty() ? 0 : call.in[0]) >= call.model.module_count) {
        call.answer.result = RDR_BAD_INPUT;
        return;
    }
    if (!as_record) {
        call.answer.output = call.model.module_desc;
        return;
    }
    const ModuleRecord& module = call.model.record;
    Bytes record(RECORD_BYTES, 0);
    std::memcpy(&record[RECORD_PCB], module.pcb, VERSION_BYTES);
    record[RECORD_PCB_TYPE] = module.pcb_type;
    for (size_t i = 0; i < 4; ++i) // the one little-endian number in the record
        record[RECORD_FEATURES + i] = static_cast<uint8_t>(module.features >> (8 * i));
    // The texts keep a NUL at the end of their fields.
    std::memcpy(&record[RECORD_SERIAL], module.serial.data(),
                std::min(module.serial.size(), RECORD_SERIAL_BYTES - 1));
    std::memcpy(&record[RECORD_PART], module.part.data(),
                std::min(module.part.size(), RECORD_PART_BYTES - 1));
    put_be32(&record[RECORD_DATE], module.date);
    std::memcpy(&record[RECORD_SW], module.sw, VERSION_BYTES);
    std::memcpy(&record[RECORD_LIB], module.lib, VERSION_BYTES);
    call.answer.output = std::move(record);
}

void get_status(Call& call) {
    const SeqItem item =
        call.model.status.items.empty() ? SeqItem{0, 1, -1} : next_item(call.model.status);
    call.answer.result = item.result;
    if (item.result == 0) call.answer.output = be32(static_cast<uint32_t>(item.value));
}

void set_custom_config(Call& call) {
    call.model.custom_config = call.in;
    unsigned sum = 0;
    for (uint8_t byte : call.in)
        sum = (sum + byte) & 0xFFFF;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", sum);
    if (call.model.params.count("READERPROTOCOL"))
        call.model.params["READERPROTOCOL"] = text_bytes("999");
    call.model.params["RDRCFG_CSUM"] = text_bytes(buf);
}

// Functions that need the card reader module answer busy while it restarts.
const struct {
    uint16_t fn;
    bool needs_module;
    void (*run)(Call&);
} FUNCTIONS[] = {
    {FN_STATUS_MESSAGE, false, [](Call& call) { call.answer.output = call.model.status_message; }},
    {FN_GET_LOG, false, [](Call& call) { call.answer.output = call.model.log_blob; }},
    {FN_SET_CONFIG, false, set_config},
    {FN_GET_CONFIG, false, get_config},
    {FN_GET_PARAM, false, get_param},
    {FN_SET_DEFAULTS, false,
     [](Call& call) {
         call.model.params = call.model.defaults;
         call.model.custom_config.clear();
     }},
    {FN_RESET, false, [](Call& call) { call.answer.after = After::Reset; }},
    {FN_UPDATE_FIRMWARE, false, [](Call& call) { store_image(call, FN_UPDATE_FIRMWARE, true); }},
    {FN_ENTER_SERVICE, false, [](Call& call) { call.answer.after = After::EnterService; }},
    {FN_UPDATE_SERVICE_FIRMWARE, false,
     [](Call& call) { store_image(call, FN_UPDATE_SERVICE_FIRMWARE, false); }},
    {FN_REGISTER_CALLBACK, true,
     [](Call& call) { call.answer.result = call.in.size() == 8 ? RDR_OK : RDR_BAD_INPUT; }},
    {FN_EXTFW_START, false, extfw_start},
    {FN_EXTFW_DATA, false, extfw_data},
    {FN_EXTFW_FINISH, false, extfw_finish},
    {FN_TEST_WAIT_CARD, false, [](Call& call) { call.model.card_present = false; }},
    {FN_TEST_CARD_DONE, false, [](Call&) {}},
    {FN_TEST_CARD_OK, false, [](Call&) {}},
    {FN_TEST_CARD_BAD, false, [](Call&) {}},
    {FN_CARD_QUERY, true, card_query},
    {FN_CARD_DETAIL, true, card_detail},
    {FN_EXTFW_CHECK, true,
     [](Call& call) {
         Extfw& loader = call.model.extfw;
         call.answer.result = !loader.check.items.empty() ? next_item(loader.check).result
                              : loader.needed             ? 0
                                                          : EXTFW_NOT_NEEDED;
     }},
    {FN_LIB_VERSION, false, [](Call& call) { call.answer.output = call.model.lib_version; }},
    {FN_GET_FEATURES, true, [](Call& call) { call.answer.output = be32(call.model.features); }},
    {FN_MODULE_COUNT, true,
     [](Call& call) {
         call.answer.output.assign(1, static_cast<uint8_t>(call.model.module_count));
     }},
    {FN_MODULE_DESCRIPTION, true, [](Call& call) { module_info(call, false); }},
    {FN_MODULE_RECORD, true, [](Call& call) { module_info(call, true); }},
    {FN_GET_STATUS, true, get_status},
    {FN_SET_CUSTOM_CONFIG, false, set_custom_config},
};

} // namespace

const Personality* find_personality(uint16_t product) {
    for (const Personality& personality : PERSONALITIES)
        if (personality.product == product) return &personality;
    return nullptr;
}

const Personality* personality_for_mode(int usb_mode) {
    if (usb_mode < 0) return nullptr;
    for (const Personality& personality : PERSONALITIES)
        if (personality.usb_mode == usb_mode) return &personality;
    return nullptr;
}

Bytes text_bytes(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

SeqItem next_item(Sequence& seq) {
    SeqItem item = seq.items[seq.index];
    if (item.count >= 0 && ++seq.used >= item.count &&
        (seq.index + 1 < seq.items.size() || seq.cycle)) {
        seq.index = seq.index + 1 < seq.items.size() ? seq.index + 1 : 0;
        seq.used = 0;
    }
    return item;
}

ModelAnswer run_model(Device& dev, uint16_t fn, const Bytes& in, double now) {
    ModelAnswer answer;
    Call call{dev, dev.model, in, now, answer};
    for (const auto& function : FUNCTIONS) {
        if (function.fn != fn) continue;
        if (function.needs_module && now < dev.model.module_busy_until)
            answer.result = RDR_BUSY;
        else
            function.run(call);
        return answer;
    }
    answer.result = RDR_UNKNOWN_FUNCTION;
    return answer;
}

void finalize_model(Device& dev) {
    Model& model = dev.model;
    Declared& decl = dev.decl;
    if (decl.port.empty()) decl.port = "1-" + std::to_string(dev.index);
    if (decl.normal_product == 0) {
        // A device declared in its service firmware returns to the
        // personality its USBMODE selects.
        decl.normal_product = decl.product != PRODUCT_SERVICE ? decl.product : 0x0202;
        auto mode_param = model.param_overrides.find("USBMODE");
        const Personality* personality =
            decl.product == PRODUCT_SERVICE && mode_param != model.param_overrides.end() &&
                    mode_param->second
                ? personality_for_mode(std::atoi(as_string(*mode_param->second).c_str()))
                : nullptr;
        if (personality != nullptr) decl.normal_product = personality->product;
    }
    const Personality* normal = find_personality(decl.normal_product);
    const int mode = normal != nullptr && normal->usb_mode >= 0 ? normal->usb_mode : 1;
    const std::string hw = decl.serial && !decl.serial->empty() ? "HW" + *decl.serial : "HW000000";
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
    model.defaults.clear();
    for (const auto& [key, value] : builtin)
        model.defaults[key] = text_bytes(value);
    for (const auto& [key, value] : model.param_overrides) {
        if (value)
            model.defaults[key] = *value;
        else
            model.defaults.erase(key);
    }
    model.param_overrides.clear();
    model.params = model.defaults;
    dev.finalized = true;
}

void model_restarted(Device& dev) {
    Model& model = dev.model;
    ++dev.restart_count;
    if (!model.status_after_reset.items.empty()) {
        model.status = model.status_after_reset;
        model.status.index = 0;
        model.status.used = 0;
    }
    // The volatile protocol does not survive a restart.
    auto tmp = model.params.find("READERPROTOCOLTMP");
    auto stored = model.params.find("READERPROTOCOL");
    if (tmp != model.params.end() && stored != model.params.end()) tmp->second = stored->second;
    model.card_present = false;
    model.module_busy_until = -1;
}

void card_delivered(Model& model, const PendingCallback& callback) {
    if (callback.code == 1) {
        model.card_present = true;
        ++model.card_handle;
        model.card_data =
            callback.carddata ? *callback.carddata : text_bytes("UID " + as_string(callback.data));
    } else if (callback.code >= 2 && callback.code <= 4) {
        model.card_present = false;
    }
}

} // namespace emu::detail
