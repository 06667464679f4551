// SPDX-License-Identifier: GPL-2.0-or-later
// One emulated USB device, as three records: what the scenario declares
// about it on the bus (identity, restarts, scripts, device-wide faults),
// the reader model behind its configuration interface (parameters, images,
// status, module, Extfw, card) and the protocol engine's state; plus its
// presence on the bus and its transcript.
//
// Every member is guarded by `mu`, except the constant `name` and `index`.
// Lock order across the emulator: process lock, world lock, device lock,
// timeline lock (see world.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emu.h"
#include "scenario.h"
#include "wire.h"

struct hid_device_;

namespace emu::detail {

using Handle = ::hid_device_;

// ---- what the reader firmware knows: function codes, its own result
// codes, the USB personalities it can take ----
enum FunctionCode : uint16_t {
    FN_STATUS_MESSAGE = 13,
    FN_GET_LOG = 501,
    FN_SET_CONFIG = 502,
    FN_GET_CONFIG = 503,
    FN_GET_PARAM = 504,
    FN_SET_DEFAULTS = 505,
    FN_RESET = 506,
    FN_UPDATE_FIRMWARE = 510,
    FN_ENTER_SERVICE = 511,
    FN_UPDATE_SERVICE_FIRMWARE = 512,
    FN_REGISTER_CALLBACK = 530,
    FN_EXTFW_START = 535,
    FN_EXTFW_DATA = 536,
    FN_EXTFW_FINISH = 537,
    FN_TEST_CARD_DONE = 542,
    FN_TEST_WAIT_CARD = 562,
    FN_TEST_CARD_OK = 563,
    FN_TEST_CARD_BAD = 564,
    FN_CARD_QUERY = 600,
    FN_CARD_DETAIL = 601,
    FN_EXTFW_CHECK = 1500,
    FN_LIB_VERSION = 2000,
    FN_GET_FEATURES = 2100,
    FN_MODULE_COUNT = 2103,
    FN_MODULE_DESCRIPTION = 2104,
    FN_MODULE_RECORD = 2106,
    FN_GET_STATUS = 2107,
    FN_SET_CUSTOM_CONFIG = 2403
};

// Results the emulated firmware gives.
constexpr int32_t RDR_OK = 0;
constexpr int32_t RDR_UNKNOWN_PARAM = -2;    // FN_GET_PARAM: no such key
constexpr int32_t RDR_WRONG_FIRMWARE = -4;   // image sent to the wrong firmware
constexpr int32_t RDR_UNKNOWN_FUNCTION = -6; // no such function
constexpr int32_t RDR_SEQUENCE_ERROR = -13;  // Extfw sequence out of order
constexpr int32_t RDR_NO_CARD = -20;         // FN_CARD_QUERY/DETAIL without a card
constexpr int32_t RDR_BAD_INPUT = -22;       // input of the wrong size or form
constexpr int32_t RDR_BUSY = -25;
constexpr int32_t EXTFW_NOT_NEEDED = 1; // FN_EXTFW_CHECK result: module is current

constexpr uint16_t PRODUCT_SERVICE = 0x0200;
constexpr int SERVICE_INTERFACE = 0;

// One USB personality: product ID, the interface of the configuration link
// and the USBMODE number that selects it (-1 when no USBMODE value does).
struct Personality {
    uint16_t product;
    int interface_number;
    int usb_mode;
    const char* name;
};

// Product ID -> personality; nullptr for products the firmware never takes.
const Personality* find_personality(uint16_t product);
// USBMODE value -> personality; nullptr when the value selects none.
const Personality* personality_for_mode(int usb_mode);

constexpr size_t HOST_QUEUE_MAX = 30; // reports hidapi keeps per open device
constexpr double NEVER = 1e300;

// ---- what the scenario declares ----

// Where a scripted fault strikes within one exchange.
enum class Step { None, Ack, Input, Done, Output, Request };

// One scripted answer for one function code.
struct ScriptEntry {
    int times = 1;     // exchanges this entry serves before the next one
    bool model = true; // output (and side effects) from the built-in model
    std::optional<int32_t> result, reqerror, doneerror;
    std::optional<Bytes> out;
    int noack = 0;   // requests left unanswered first; -1: all of them
    int cbfirst = 0; // CB_REQUESTs in place of CTL_ACK first
    uint16_t cb_code = 0;
    Bytes cb_data;
    int acktype = -1;  // header type sent once in place of CTL_ACK
    int donetype = -1; // header type in place of CTL_DONE
    enum class Len { Real, Fixed, OverCapacity } donelen = Len::Real;
    int32_t donelen_value = 0;
    Step short_step = Step::None; // report handed over with fewer bytes
    int short_bytes = 5;
    Step dataheader_step = Step::None; // header sent as a data packet
    double delay_ms = 0;               // before CTL_DONE
    Step unplug_step = Step::None;
    double unplug_return_s = -1; // < 0: stays away
    Step hidfail_step = Step::None;
    bool silent = false; // never sends CTL_DONE
};

struct FnScript {
    std::vector<ScriptEntry> entries;
    size_t index = 0;
    int used = 0;
};

struct PendingCallback {
    uint16_t code = 0;
    Bytes data;
    std::optional<Bytes> carddata; // what FN_CARD_DETAIL answers after this card
};

// A callback the scenario announces: at the start, at a time, or after
// completed exchanges.
struct CallbackRule {
    PendingCallback cb;
    enum class Trigger { Start, At, After } trigger = Trigger::Start;
    double at_s = 0;
    int after_fn = -1; // -1: any function
    int nth = 1;
    bool each = false;
    double delay_s = 0;
    int seen = 0;
    bool fired = false;
};

struct Declared {
    uint16_t vendor = READER_VENDOR_ID;
    uint16_t product = 0;
    int line = 0;   // scenario line of the device statement
    int iface = -1; // -1: the personality's configuration interface
    std::vector<int> extras;
    std::optional<std::string> serial = std::string(); // nullopt: no serial number
    std::string port;
    int usb_config = 1;
    std::string explicit_path;
    int protocol = -1; // 1 speaks the reader protocol, 0 plain HID, -1 by vendor
    double latency_ms = 0;
    bool pace = true;
    double appear_s = -1, disappear_s = -1;
    uint16_t normal_product = 0;
    std::optional<uint16_t> reset_to;
    int reset_to_iface = -1;
    bool reset_never = false;
    double service_delay_s = 0.5;
    enum class Service { Return, Never, Stay } service_mode = Service::Return;
    double leave_delay_ms = 10;
    int fail_write_at = 0, fail_read_at = 0, unplug_at = 0;
    double unplug_at_return_s = -1;
    std::vector<CallbackRule> callbacks;
    std::map<uint16_t, FnScript> scripts;
};

// ---- the reader model ----

// A sequence of answers (status, Extfw check); the last item repeats unless
// the sequence cycles.
struct SeqItem {
    int32_t result = 0; // function result
    int32_t value = 0;  // status code (FN_GET_STATUS only)
    int count = 1;      // -1: forever
};
struct Sequence {
    std::vector<SeqItem> items;
    bool cycle = false;
    size_t index = 0;
    int used = 0;
};
SeqItem next_item(Sequence& s);

struct ModuleRecord {
    uint8_t pcb[3] = {2, 1, 0};
    uint8_t pcb_type = 4;
    uint32_t features = 0x00000013;
    std::string serial = "M0000001";
    std::string part = "ICM-7720-01";
    uint32_t date = 1700000000;
    uint8_t sw[3] = {1, 4, 2};
    uint8_t lib[3] = {3, 4, 0};
};

// The card reader module's firmware loader ("Extfw"). Lives in the module,
// so it survives the USB device leaving the bus.
struct Extfw {
    enum class State { Idle, Started, Receiving } state = State::Idle;
    uint32_t expected = 0;
    Bytes partial, image;
    bool needed = false;
    bool close_restarts = false; // Finish on an unfinished sequence re-arms it
    int busy_start = 0, busy_finish = 0, busy_pieces = 0;
    std::map<int, int> busy_piece;       // piece number (1-based) -> busy answers
    std::map<int, int32_t> reject_piece; // piece number -> result
    int busy_step = 0;                   // step the busy count belongs to
    int busy_left = 0;
    int pieces = 0; // pieces accepted in this sequence
    Sequence check; // FN_EXTFW_CHECK answers; empty: from `needed`
};

Bytes text_bytes(const std::string& s); // the text and a NUL

struct Model {
    std::map<std::string, std::optional<Bytes>> param_overrides; // before the device goes live
    std::map<std::string, Bytes> params, defaults;
    std::optional<Bytes> config_blob; // unset: generated from the parameters
    Bytes log_blob = text_bytes("000000.000 I reader started\n000000.412 I module ready\n");
    Bytes custom_config;
    std::map<int, Bytes> firmware_images;
    Sequence status, status_after_reset;
    uint32_t features = 0;
    int module_count = 1;
    Bytes module_desc = text_bytes("ICM-7720-01\nMultiprotocol 13.56 MHz reader module\nauto\n"
                                   "ISO14443A\nMIFARE DESFire NTAG\nboot 1.2");
    ModuleRecord record;
    Bytes lib_version = text_bytes("LibReader 3.4.0");
    Bytes status_message = text_bytes("Reader ready");
    Extfw extfw;
    double module_busy_until = -1;
    bool card_present = false;
    uint16_t card_handle = 0;
    Bytes card_data;
};

// What the model asks for once the exchange is over.
enum class After { Nothing, Reset, EnterService };
enum class ReturnAs { Normal, Service, Same };

struct ModelAnswer {
    int32_t result = 0;
    Bytes output;
    After after = After::Nothing;
};

// ---- the protocol engine ----

// One report on its way to the host.
struct QReport {
    Report bytes{};
    int length = REPORT_BYTES;
    double visible_at = 0;
    bool fail_once = false; // the read that would deliver it fails once
};

enum class EngineState { Idle, Input, WaitFetch, CbWaitAck, CbWaitDone };

// How an acknowledged exchange ended, as the transcript names it.
enum class ExchangeOutcome {
    Fetched,      // the host fetched the output
    Refused,      // the host answered CTL_DONE with CTL_ERROR
    NoOutput,     // CTL_DONE announced no output
    RequestError, // CTL_ERROR answered the request (fault)
    DoneError,    // CTL_ERROR or another header in place of CTL_DONE (fault)
    NoDone,       // CTL_DONE never sent (fault)
    Abandoned,    // the host started anew or closed the interface
    Unplugged,    // the device left the bus
};
// How a callback transfer ended; Pending while it runs.
enum class CallbackOutcome { Pending, Done, Refused, Timeout, Abandoned, Unplugged };
const char* outcome_name(ExchangeOutcome outcome);
const char* outcome_name(CallbackOutcome outcome);

// The exchange in progress (it spans several requests when faults or
// callbacks make the host ask again).
struct ExchangeCtx {
    bool active = false;
    uint16_t fn = 0;
    int32_t input_len = 0;
    uint32_t capacity = 0;
    Bytes input;
    double ms = 0;
    ScriptEntry entry;
    bool scripted = false;
    int requests = 0, noack_left = 0, cbfirst_left = 0;
    bool acked = false;
    bool request_fault_done = false, ack_fault_done = false, input_fault_done = false;
    int32_t result = 0;
    Bytes output;
    int32_t announced = 0;
    After after = After::Nothing;
};

struct CbTransfer {
    PendingCallback cb;
    double deadline = 0;
    size_t record = 0; // index into the transcript's callbacks
};

// The data packets still to be sent for one block.
struct OutStream {
    Bytes data;
    size_t pos = 0;
    int short_bytes = -1;       // first packet handed over with this many bytes
    bool fault_hidfail = false; // first packet fails the read once
    bool active() const { return pos < data.size(); }
};

struct Engine {
    EngineState state = EngineState::Idle;
    ExchangeCtx ctx;
    CbTransfer cb;
    std::deque<PendingCallback> pending;
    std::deque<QReport> flight; // produced, not yet on the bus (latency, delay)
    std::deque<QReport> hostq;  // on the bus, in hidapi's queue
    OutStream stream;
    std::deque<QReport> after_stream; // headers waiting for the data block to end
    double last_visible = 0;
    double busy_until = -1;
    int writes = 0, reads = 0;
};

// ---- presence and transcript ----

struct Persona {
    uint16_t vendor = 0;
    uint16_t product = 0;
    int iface = 0;
    std::string path;
    std::vector<int> extras; // other HID interfaces of the composite device
    bool service = false;
};

template <class T> struct Logged {
    uint64_t seq;
    T value;
};
struct NoteRec {
    double ms;
    bool event; // plug/unplug and the like, else an oddity or fault
    std::string text;
};
struct Transcript {
    std::vector<Logged<emu::Report>> reports;
    std::vector<Logged<emu::Exchange>> exchanges;
    std::vector<Logged<emu::Callback>> callbacks;
    std::vector<Logged<NoteRec>> notes;
};

struct Device : std::enable_shared_from_this<Device> {
    Device(std::string device_name, int number) : name(std::move(device_name)), index(number) {}
    const std::string name;
    const int index; // 1-based, scenario order
    std::mutex mu;
    std::condition_variable cv;

    Declared decl;
    Model model;
    Engine eng;

    bool finalized = false; // live: statements now change the running device
    bool start_callbacks_queued = false;
    bool present = false;
    int gen = 0;        // appearances on the bus
    int away_token = 0; // invalidates scheduled leave/return actions
    int restart_count = 0;
    Persona persona;
    Handle* open_handle = nullptr;
    std::vector<Handle*> extra_handles;
    ReturnAs pending_return = ReturnAs::Same;
    Transcript log;
};

uint64_t next_seq();
void note(Device& d, double now, const std::string& text, bool event = false);

// statements.cpp: one device statement; false with the reason in err.
bool apply_statement(Device& d, const Tokens& t, std::string& err, const std::string& base_dir);

// model.cpp
// The built-in parameters merged with the scenario's; the device is live after it.
void finalize_model(Device& d);
ModelAnswer run_model(Device& d, uint16_t fn, const Bytes& in, double now);
// The device came back after a restart.
void model_restarted(Device& d);
void card_delivered(Model& m, const PendingCallback& p);

// engine_presence.cpp
Persona declared_persona(const Device& d);
Persona make_persona(const Device& d, ReturnAs as);
void come_online(Device& d, double now, const Persona& p, const char* reason);
void go_offline(Device& d, double now, const char* reason);
// Puts a device that is off the bus back on it (start, plug, return).
void plug_device(Device& d, double now, const char* reason);
void on_open(Device& d, Handle* h, double now);
void on_close(Device& d, Handle* h, double now);

// engine_incoming.cpp
// hid_write of one report through handle h: 0, or -1 when the write fails
// (device gone, fault).
int host_write(Device& d, Handle* h, const Report& r, double now);
// engine_outgoing.cpp
// Next report for the host: 1 and the report, 0 none yet, -1 failure.
int take_report(Device& d, Handle* h, QReport& out, double now);
double next_visible(const Device& d);
// engine_callbacks.cpp
void queue_callback(Device& d, const PendingCallback& p, double now);

} // namespace emu::detail

// The object behind a hid_device pointer: one open interface of one device.
// Guarded by the device's lock.
struct hid_device_ {
    std::shared_ptr<emu::detail::Device> dev;
    int iface = 0;
    bool config = false; // the reader's configuration interface
    bool dead = false;   // the device left the bus (or the world was reset)
    bool nonblocking = false;
    // Reports that were on the bus when the device left: hidapi still hands
    // them out before it reports the failure.
    std::deque<emu::detail::QReport> leftover;
    struct hid_device_info* info = nullptr; // hid_get_device_info's answer
};
