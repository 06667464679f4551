// SPDX-License-Identifier: GPL-2.0-or-later
// The protocol engine's parts as its files call each other: the path of
// reports towards the host (engine_outgoing.cpp), exchanges
// (engine_exchange.cpp), callback transfers (engine_callbacks.cpp), the
// host's reports (engine_incoming.cpp), presence on the bus
// (engine_presence.cpp) and the transcript (engine_records.cpp). Every
// function runs under the device's lock.
#pragma once

#include <cstdint>
#include <string>

#include "device.h"
#include "world.h"

namespace emu::detail {

constexpr double CB_ACK_TIMEOUT_MS = 2000; // a callback transfer the host does not answer ends

inline bool in_callback(const Engine& eng) {
    return eng.state == EngineState::CbWaitAck || eng.state == EngineState::CbWaitDone;
}

inline bool speaks_protocol(const Device& dev) {
    return dev.decl.protocol >= 0 ? dev.decl.protocol == 1 : dev.persona.vendor == READER_VENDOR_ID;
}

// engine_records.cpp
__attribute__((format(printf, 1, 2))) std::string fmt(const char* format, ...);
void log_report(Device& dev, const Report& report, bool to_device, double ms, int length,
                const char* flag);

// engine_outgoing.cpp
// Moves the reports whose time has come into hidapi's queue.
void settle(Device& dev, double now);
// Produces the next data packets of the current block.
void pump(Device& dev, double now);
// A header towards the host, damaged by the script's faults for fault_step.
void send_header(Device& dev, const HeaderBytes& header, double now, Step fault_step = Step::None,
                 double extra_delay = 0);
void send(Device& dev, uint8_t type, int32_t value, double now, uint16_t code = 0);
// A data block towards the host; faults: the script's faults for the output apply.
void start_data(Device& dev, const Bytes& data, double now, bool faults);
void clear_bus(Engine& eng);

// engine_exchange.cpp
void consume_entry(Device& dev);
void start_exchange(Device& dev, const Header& header, double now);
void complete(Device& dev, ExchangeOutcome outcome, double now, bool refused = false,
              int32_t host_error = 0);
void unplug_fault(Device& dev, double now, double return_s, const char* what);
// The input is in: the reader answers with CTL_DONE or what the script says.
void run_exchange(Device& dev, double now);
void fetch_output(Device& dev, double now);

// engine_callbacks.cpp
void start_callback(Device& dev, const PendingCallback& callback, bool in_place, double now);
void end_callback(Device& dev, CallbackOutcome outcome, int32_t value, double now);
// Starts the next pending callback transfer when the reader is free for it.
void try_announce(Device& dev, double now);
// The callbacks the scenario sets to follow an exchange for fn.
void fire_triggers(Device& dev, uint16_t fn, double now);

// engine_presence.cpp
// A leave or return of the device, dropped if it leaves or returns before.
void schedule_for(Device& dev, double at_ms, Action::Kind kind, ReturnAs as, double return_s = -1,
                  const char* reason = "");

} // namespace emu::detail
