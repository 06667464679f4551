// SPDX-License-Identifier: GPL-2.0-or-later
// The device on the bus: the personality it appears in, leaving and
// returning, and opening and closing its interface.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "engine.h"

namespace emu::detail {

namespace {

// Why the reader stops what it was doing.
enum class Interruption { Unplugged, Closed };

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

} // namespace

void schedule_for(Device& dev, double at_ms, Action::Kind kind, ReturnAs as, double return_s,
                  const char* reason) {
    Action scheduled = action(kind, dev.shared_from_this());
    scheduled.as = as;
    scheduled.return_after_s = return_s;
    scheduled.token = dev.away_token;
    scheduled.text = reason;
    schedule(at_ms, std::move(scheduled));
}

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
