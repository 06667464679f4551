// SPDX-License-Identifier: GPL-2.0-or-later
// The emulated bus: the devices of the loaded scenario (world.cpp), the
// clock and the timeline of scheduled actions (timeline.cpp), the control
// commands and the control file (commands.cpp), scenario loading
// (scenario_load.cpp) and the transcript (transcript.cpp).
//
// Locks, always taken in this order and never held while a reader waits:
//   process lock  - serialises the application of due actions and commands
//   world lock    - the device table and the options
//   device lock   - one device (device.h)
//   timeline lock - the timeline alone (a leaf: taken under a device lock)
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "device.h"

namespace emu::detail {

// A scheduled action on the timeline.
struct Action {
    enum class Kind { Plug, Unplug, Callback, Leave, Return, Command } kind = Kind::Command;
    std::shared_ptr<Device> dev;
    PendingCallback cb;
    ReturnAs as = ReturnAs::Same;
    double return_after_s = -1; // Leave: < 0 stays away
    int token = 0;              // Return: valid only while the device's away_token matches
    std::string text;           // Command: one control line; Leave/Unplug: reason
};

inline Action action(Action::Kind kind, std::shared_ptr<Device> dev, PendingCallback cb = {}) {
    Action made;
    made.kind = kind;
    made.dev = std::move(dev);
    made.cb = std::move(cb);
    return made;
}

// Milliseconds since the clock started; starts it on first use.
double clock_ms();
// 0 before the clock started.
double clock_ms_if_started();
std::chrono::steady_clock::time_point clock_point(double ms);

// Adds an action (timeline lock only; callable under a device lock).
void schedule(double at_ms, Action scheduled);
double next_due();
// Applies every action that is due. Takes the process lock.
void process_due();
// A new scenario: the timeline empties, the clock starts again on first use.
void clear_timeline();
void restart_clock();

// Runs pending control-file commands and every due action. Called at the
// start of each hid_* call and by waiting readers; takes no lock on entry.
void world_tick();
// The same, reading the control file at once, then wakes every waiting
// reader: a command may have scheduled something they must wait for.
void world_tick_control();
// Wakes the readers waiting in hid_read_timeout, to look again at what is
// due. Takes each device lock in turn; none may be held.
void wake_readers();

// Starts the thread that reads the control file whenever it is written
// (control_watch.cpp); without it waiting readers look every 10 ms.
void start_control_watch(const std::string& path);
bool control_watched();

// Scenario loading: replaces the world. 0 or -1 with the error text.
int load_text(std::string_view text, const std::string& base_dir, std::string& err);
void reset_world();
void ensure_loaded();    // first hid_* call: environment scenario, atexit
void mark_configured();  // a scenario came through the C++ interface
bool world_configured(); // a scenario was loaded or came through the C++ interface

std::shared_ptr<Device> find_device(std::string_view name);
std::vector<std::shared_ptr<Device>> all_devices();
// The device whose interface has this path: interface number through iface.
std::shared_ptr<Device> device_by_path(const char* path, int& iface);
std::string extra_path(const Persona& p, int iface);

// The lock that serialises the application of due actions and commands.
std::mutex& process_lock();
// Takes the devices out of the world for a new scenario and marks the world
// configured; install_devices puts the new ones in. Process lock held.
std::vector<std::shared_ptr<Device>> take_devices();
void install_devices(std::vector<std::shared_ptr<Device>> devices);

// One control line (plug, unplug, event, with). 0 or -1 with err.
int run_command(std::string_view line, std::string& err);
// The same with the process lock already held.
int run_command_locked(std::string_view line, std::string& err);
// Control lines come from the file or FIFO at path from now on.
void set_control_path(const std::string& path);
bool control_file_configured();

bool transcript_reports_enabled();
void set_transcript_reports(bool enabled);
std::string render_transcript();
int write_transcript_file(const char* path);
void transcript_dirty();
// Where flush_transcript_env writes the transcript, also at exit.
void set_transcript_path(const std::string& path);
void flush_transcript_env(); // hid_exit: write BRINLET_EMU_TRANSCRIPT
// Milliseconds as the transcript and the messages show them: "12.345".
std::string format_ms(double ms);

void set_last_error(const std::string& error);
std::string get_last_error();

} // namespace emu::detail
