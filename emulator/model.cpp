// The built-in reader firmware: what a reader answers to each function when
// the scenario scripts nothing for it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device.h"

namespace emu::detail {

namespace {

Bytes text(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

std::string as_string(const Bytes& b) {
    std::string s(b.begin(), b.end());
    size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

Bytes be32(uint32_t v) {
    Bytes b(4);
    put_be32(b.data(), v);
    return b;
}

bool is_key_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// "KEY=VALUE" with an optional NUL at the end and nothing else: one
// parameter assignment. Anything else is a configuration file.
bool split_assignment(const Bytes& in, std::string& key, std::string& value) {
    std::string s(in.begin(), in.end());
    if (!s.empty() && s.back() == '\0') s.pop_back();
    if (s.find('\0') != std::string::npos || s.find('\n') != std::string::npos) return false;
    size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    for (size_t i = 0; i < eq; ++i)
        if (!is_key_char(s[i])) return false;
    key = s.substr(0, eq);
    value = s.substr(eq + 1);
    return true;
}

// Functions that need the card reader module; they answer busy while the
// module restarts.
bool needs_module(uint16_t fn) {
    switch (fn) {
    case FN_GET_STATUS:
    case FN_REGISTER_CALLBACK:
    case FN_GET_FEATURES:
    case FN_MODULE_COUNT:
    case FN_MODULE_DESCRIPTION:
    case FN_MODULE_RECORD:
    case FN_EXTFW_CHECK:
    case FN_CARD_QUERY:
    case FN_CARD_DETAIL:
        return true;
    default:
        return false;
    }
}

uint16_t checksum16(const Bytes& b) {
    uint32_t sum = 0;
    for (uint8_t x : b)
        sum = (sum + x) & 0xFFFF;
    return static_cast<uint16_t>(sum);
}

} // namespace

void Device::restore_defaults() {
    params = defaults;
    custom_config.clear();
}

void Device::after_return(double now) {
    (void)now;
    ++restart_count;
    if (!status_after_reset.empty()) {
        status = status_after_reset;
        status.index = 0;
        status.used = 0;
    }
    // The volatile protocol does not survive a restart.
    auto tmp = params.find("READERPROTOCOLTMP");
    auto stored = params.find("READERPROTOCOL");
    if (tmp != params.end() && stored != params.end()) tmp->second = stored->second;
    registered = false;
    card_present = false;
    module_busy_until = -1;
}

void Device::card_delivered(const PendingCallback& p) {
    switch (p.code) {
    case 1:
        card_present = true;
        ++card_handle;
        card_number = p.data;
        card_data = p.has_carddata ? p.carddata : text("UID " + as_string(p.data));
        break;
    case 2:
    case 3:
    case 4:
        card_present = false;
        break;
    default:
        break;
    }
}

ModelAnswer Device::run_model(uint16_t fn, const Bytes& in, uint32_t capacity, double now) {
    (void)capacity; // the reader announces its real length; the host decides
    ModelAnswer a;
    if (now < module_busy_until && needs_module(fn)) {
        a.result = RDR_BUSY;
        return a;
    }
    switch (fn) {
    case FN_STATUS_MESSAGE:
        a.output = status_message;
        break;
    case FN_GET_LOG:
        a.output = log_blob;
        break;
    case FN_SET_CONFIG: {
        std::string key, value;
        if (!split_assignment(in, key, value)) {
            config_blob = in;
            config_blob_set = true;
            break;
        }
        if (key == "RDRNEEDRESTART") {
            if (std::atoi(value.c_str()) != 0) {
                if (rdr_restart_usb) {
                    a.after = After::UsbRestart;
                } else {
                    module_busy_until = now + module_restart_ms;
                    note(now, "card reader module restarts");
                }
            }
            break;
        }
        if (params.find(key) == params.end()) {
            a.result = unknown_param_result;
            break;
        }
        params[key] = text(value);
        if (key == "READERPROTOCOL") {
            // A stored protocol replaces a custom configuration.
            custom_config.clear();
            params.erase("RDRCFG_CSUM");
        }
        break;
    }
    case FN_GET_CONFIG:
        if (config_blob_set) {
            a.output = config_blob;
        } else {
            std::string s;
            for (const auto& [k, v] : params)
                s += k + "=" + as_string(v) + "\n";
            a.output.assign(s.begin(), s.end());
        }
        break;
    case FN_GET_PARAM: {
        std::string key(in.begin(), in.end());
        size_t nul = key.find('\0');
        if (nul != std::string::npos) key.resize(nul);
        auto it = params.find(key);
        if (it == params.end())
            a.result = unknown_param_result;
        else
            a.output = it->second;
        break;
    }
    case FN_SET_DEFAULTS:
        restore_defaults();
        break;
    case FN_RESET:
        a.after = After::Reset;
        break;
    case FN_UPDATE_FIRMWARE:
        if (!persona.service)
            a.result = RDR_WRONG_FIRMWARE;
        else
            firmware_images[FN_UPDATE_FIRMWARE] = in;
        break;
    case FN_ENTER_SERVICE:
        a.after = After::EnterService;
        break;
    case FN_UPDATE_SERVICE_FIRMWARE:
        if (persona.service)
            a.result = RDR_WRONG_FIRMWARE;
        else
            firmware_images[FN_UPDATE_SERVICE_FIRMWARE] = in;
        break;
    case FN_REGISTER_CALLBACK:
        if (in.size() != 8) {
            a.result = RDR_BAD_INPUT;
            break;
        }
        registered = true;
        reg_first = get_be16(&in[4]);
        reg_second = get_be16(&in[6]);
        break;
    case FN_EXTFW_START:
    case FN_EXTFW_DATA:
    case FN_EXTFW_FINISH: {
        ExtfwModel& x = extfw;
        // The busy count belongs to one step; a new step starts a new count.
        auto busy = [&x](int step, int count) {
            if (x.busy_step != step) {
                x.busy_step = step;
                x.busy_left = count;
            }
            if (x.busy_left > 0) {
                --x.busy_left;
                return true;
            }
            return false;
        };
        if (fn == FN_EXTFW_START) {
            if (in.size() != 4) {
                a.result = RDR_BAD_INPUT;
            } else if (x.state != ExtfwModel::State::Idle) {
                a.result = RDR_SEQUENCE_ERROR;
                note(now, "extfw: start while an earlier sequence is unfinished");
            } else if (busy(1, x.busy_start)) {
                a.result = RDR_BUSY;
            } else {
                x.state = ExtfwModel::State::Started;
                x.expected = get_be32(in.data());
                x.partial.clear();
                x.pieces = 0;
                x.busy_step = 0;
            }
        } else if (fn == FN_EXTFW_DATA) {
            const int k = x.pieces + 1;
            auto bp = x.busy_piece.find(k);
            auto rp = x.reject_piece.find(k);
            if (x.state == ExtfwModel::State::Idle) {
                a.result = RDR_SEQUENCE_ERROR;
            } else if (in.empty()) {
                a.result = RDR_BAD_INPUT;
            } else if (busy(1000 + k, bp != x.busy_piece.end() ? bp->second : x.busy_pieces)) {
                a.result = RDR_BUSY;
            } else if (rp != x.reject_piece.end()) {
                a.result = rp->second;
            } else if (x.partial.size() + in.size() > x.expected) {
                a.result = RDR_BAD_INPUT;
                note(now, "extfw: more data than the announced length");
            } else {
                x.partial.insert(x.partial.end(), in.begin(), in.end());
                x.pieces = k;
                x.state = ExtfwModel::State::Receiving;
                x.busy_step = 0;
            }
        } else {
            if (x.state == ExtfwModel::State::Idle) {
                a.result = RDR_SEQUENCE_ERROR;
            } else if (busy(-1, x.busy_finish)) {
                a.result = RDR_BUSY;
            } else if (x.partial.size() == x.expected) {
                x.image = x.partial;
                x.has_image = true;
                x.needed = false;
                x.state = ExtfwModel::State::Idle;
                x.busy_step = 0;
            } else {
                note(now, "extfw: unfinished sequence closed");
                x.busy_step = 0;
                x.pieces = 0;
                x.partial.clear();
                x.state = x.close_restarts ? ExtfwModel::State::Started : ExtfwModel::State::Idle;
            }
        }
        break;
    }
    case FN_TEST_WAIT_CARD:
        card_present = false;
        break;
    case FN_TEST_CARD_DONE:
    case FN_TEST_CARD_OK:
    case FN_TEST_CARD_BAD:
        break;
    case FN_CARD_QUERY:
        if (!card_present) {
            a.result = RDR_NO_CARD;
        } else {
            a.output.resize(2);
            put_be16(a.output.data(), card_handle);
        }
        break;
    case FN_CARD_DETAIL:
        if (in.size() != 2)
            a.result = RDR_BAD_INPUT;
        else if (!card_present || get_be16(in.data()) != card_handle)
            a.result = RDR_NO_CARD;
        else
            a.output = card_data;
        break;
    case FN_EXTFW_CHECK:
        if (!extfw.check.empty())
            a.result = extfw.check.next().result;
        else
            a.result = extfw.needed ? 0 : EXTFW_NOT_NEEDED;
        break;
    case FN_LIB_VERSION:
        a.output = lib_version;
        break;
    case FN_GET_FEATURES:
        a.output = be32(features);
        break;
    case FN_MODULE_COUNT:
        a.output.assign(1, static_cast<uint8_t>(module_count));
        break;
    case FN_MODULE_DESCRIPTION:
    case FN_MODULE_RECORD: {
        const int idx = in.empty() ? 0 : in[0];
        if (idx >= module_count) {
            a.result = RDR_BAD_INPUT;
            break;
        }
        if (fn == FN_MODULE_DESCRIPTION) {
            a.output = module_desc;
            break;
        }
        Bytes r(128, 0);
        const ModuleRecord& m = record;
        r[1] = m.pcb[0];
        r[2] = m.pcb[1];
        r[3] = m.pcb[2];
        r[4] = m.pcb_type;
        // The one little-endian number in the record.
        r[5] = static_cast<uint8_t>(m.features);
        r[6] = static_cast<uint8_t>(m.features >> 8);
        r[7] = static_cast<uint8_t>(m.features >> 16);
        r[8] = static_cast<uint8_t>(m.features >> 24);
        std::memcpy(&r[11], m.serial.data(), std::min<size_t>(m.serial.size(), 31));
        std::memcpy(&r[43], m.part.data(), std::min<size_t>(m.part.size(), 19));
        put_be32(&r[63], m.date);
        std::memcpy(&r[67], m.sw, 3);
        std::memcpy(&r[70], m.lib, 3);
        a.output = std::move(r);
        break;
    }
    case FN_GET_STATUS: {
        SeqItem s = status.empty() ? SeqItem{0, 1, -1} : status.next();
        a.result = s.result;
        if (s.result == 0) a.output = be32(static_cast<uint32_t>(s.value));
        break;
    }
    case FN_SET_CUSTOM_CONFIG: {
        custom_config = in;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04X", checksum16(in));
        if (params.count("READERPROTOCOL")) params["READERPROTOCOL"] = text("999");
        params["RDRCFG_CSUM"] = text(buf);
        break;
    }
    default:
        a.result = unknown_fn_result;
        break;
    }
    return a;
}

} // namespace emu::detail
