// SPDX-License-Identifier: GPL-2.0-or-later
// Control interface of the reader emulator, for tests in the same process.
//
// libbrinlet_emu exports the hidapi C functions and emulates USB card
// readers behind them. A test links the library in place of hidapi, loads a
// scenario (devices, scripts, faults, see emulator/README.md), drives the
// code under test, then inspects what each reader saw: every report in both
// directions and every exchange it completed.
//
// All functions are thread-safe and may run while other threads are inside
// hid_* calls. A device is named by the name given in the scenario. Calls
// that name an unknown device return -1 (or an empty result).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#define EMU_API __attribute__((visibility("default")))

namespace emu {

constexpr uint16_t READER_VENDOR_ID = 0xF1E0;

// One report on the bus.
struct Report {
    bool to_device = false;          // true: written by the host (hid_write)
    double ms = 0;                   // milliseconds since the emulator clock started
    std::array<uint8_t, 64> bytes{}; // the report (report ID not included)
    int length = 64;                 // bytes hid_read_timeout hands over (short-report fault)
    std::string flag;                // "" normally; "failed" for a write refused by a fault,
                                     // "dropped" for a report pushed out of the full queue
};

// One exchange as the reader saw it, recorded when it ended.
struct Exchange {
    double ms = 0; // when the accepted CTL_REQUEST arrived
    uint16_t function = 0;
    std::vector<uint8_t> input;  // input data received
    uint32_t capacity = 0;       // output capacity announced by the host
    int32_t result = 0;          // value sent in CTL_DONE (or CTL_ERROR)
    int32_t output_len = 0;      // output length announced in CTL_DONE
    std::vector<uint8_t> output; // the output the reader had for it
    bool fetched = false;        // host sent CTL_FETCH and got the output
    bool refused = false;        // host answered CTL_DONE with CTL_ERROR
    int32_t host_error = 0;      // the value of that CTL_ERROR (normally -5)
    // fetched, refused, no_output, request_error, done_error, no_done,
    // abandoned (host started anew), unplugged
    std::string outcome;
};

// One callback transfer started by the reader.
struct Callback {
    double ms = 0; // when CB_REQUEST was sent
    uint16_t code = 0;
    std::vector<uint8_t> data;
    bool in_place_of_ack = false; // sent as the answer to a CTL_REQUEST
    // done (CB_DONE received), refused (CB_ERROR), timeout, unplugged
    std::string outcome;
    int32_t host_value = 0; // value of CB_DONE / CB_ERROR
};

// Replaces everything with the scenario (the previous devices vanish, open
// handles fail from then on). 0, or -1 with the reason in last_error(); on
// failure no device is left.
EMU_API int load_scenario(std::string_view text);
EMU_API std::string last_error();
// No devices, transcripts cleared, clock restarted.
EMU_API void reset();

// Runtime commands; each returns 0 or -1 (unknown device, bad arguments).
EMU_API int plug(std::string_view name);
EMU_API int unplug(std::string_view name);
// Queues a callback; the reader announces it as soon as it can.
EMU_API int send_event(std::string_view name, uint16_t code, const std::vector<uint8_t>& data);
EMU_API int send_event(std::string_view name, uint16_t code, std::string_view text_with_nul);
// Applies one device statement of the scenario language to a live device,
// e.g. script("r1", "fn 504 result -2 times 3") or script("r1", "status busy:2 1").
EMU_API int script(std::string_view name, std::string_view statement);
// One control-file command line: "plug NAME", "unplug NAME",
// "event NAME CODE [BYTES]", "with NAME STATEMENT...".
EMU_API int command(std::string_view line);

// Transcript of one device.
EMU_API std::vector<Report> reports(std::string_view name);
EMU_API std::vector<Exchange> exchanges(std::string_view name);
EMU_API std::vector<Callback> callbacks(std::string_view name);
// Things the reader found wrong or odd in what the host sent, and events
// (plug, unplug, faults fired), one text per line.
EMU_API std::vector<std::string> notes(std::string_view name);
EMU_API void clear_transcript(std::string_view name);
// The whole transcript in the file format of README.md.
EMU_API std::string transcript_text();

// Reader state.
EMU_API bool present(std::string_view name);
EMU_API bool is_open(std::string_view name);
EMU_API uint16_t product(std::string_view name); // 0 for an unknown device
EMU_API std::string path(std::string_view name);
// Parameter value without its NUL; "" when unknown.
EMU_API std::string param(std::string_view name, std::string_view key);
// Last image received with 510 or 512 (empty when none).
EMU_API std::vector<uint8_t> firmware(std::string_view name, int function);
// Configuration file bytes (502 with a non-assignment input, or the blob
// FN_GET_CONFIG returns), custom configuration (2403).
EMU_API std::vector<uint8_t> config_file(std::string_view name);
EMU_API std::vector<uint8_t> custom_config(std::string_view name);
// Module firmware of the last completed Extfw sequence.
EMU_API std::vector<uint8_t> module_image(std::string_view name);
// The module firmware version the module record reports, "A.B.C".
EMU_API std::string module_version(std::string_view name);
// Number of times the device has left the bus and come back.
EMU_API int restarts(std::string_view name);
// Callbacks waiting to be announced.
EMU_API int pending_callbacks(std::string_view name);

// The state file (BRINLET_EMU_STATE in README.md): devices that go live
// from now on (load_scenario) take what FILE remembers of them, and it is
// written back at exit. 0, or -1 with the reason in last_error().
EMU_API int use_state_file(std::string_view path);
// Writes the changed devices into the state file now, as at exit. 0 or -1.
EMU_API int save_state();

// Milliseconds on the emulator clock (0 before it started).
EMU_API double now_ms();

} // namespace emu
