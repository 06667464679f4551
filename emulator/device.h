// One emulated USB device: its identity on the bus, the reader firmware
// behind its configuration interface (protocol engine and built-in model),
// its scripts and faults, and its transcript.
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
#include <set>
#include <string>
#include <vector>

#include "emu.h"
#include "reader_defs.h"
#include "scenario.h"
#include "wire.h"

struct hid_device_;

namespace emu::detail {

class Device;
using Handle = ::hid_device_;

constexpr size_t HOST_QUEUE_MAX = 30; // reports hidapi keeps per open device
constexpr double NEVER = 1e300;

// Where a scripted fault strikes within one exchange.
enum class Step { None, Ack, Input, Done, Output, Request };

// One scripted answer for one function code.
struct ScriptEntry {
    std::string text;  // the statement, quoted in notes
    int times = 1;     // exchanges this entry serves before the next one
    bool model = true; // output (and side effects) from the built-in model
    bool has_result = false;
    int32_t result = 0;
    bool has_out = false;
    Bytes out;
    int noack = 0; // requests left unanswered first; -1: all of them
    bool has_reqerror = false;
    int32_t reqerror = 0; // CTL_ERROR as the answer to the request
    int cbfirst = 0;      // CB_REQUESTs in place of CTL_ACK first
    uint16_t cb_code = 0;
    Bytes cb_data;
    int acktype = -1; // header type sent once in place of CTL_ACK
    bool has_doneerror = false;
    int32_t doneerror = 0; // CTL_ERROR in place of CTL_DONE
    int donetype = -1;     // header type in place of CTL_DONE
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
    bool empty() const { return items.empty(); }
    SeqItem next();
};

struct PendingCallback {
    uint16_t code = 0;
    Bytes data;
    bool has_carddata = false;
    Bytes carddata; // what FN_CARD_DETAIL answers after this card
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
    int burst = 1;
    int seen = 0;
    bool fired = false;
};

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
struct ExtfwModel {
    enum class State { Idle, Started, Receiving } state = State::Idle;
    uint32_t expected = 0;
    Bytes partial;
    Bytes image;
    bool has_image = false;
    bool needed = false;
    bool close_restarts = false; // Finish on an unfinished sequence re-arms it
    int busy_start = 0;
    int busy_finish = 0;
    int busy_pieces = 0;
    std::map<int, int> busy_piece;       // piece number (1-based) -> busy answers
    std::map<int, int32_t> reject_piece; // piece number -> result
    int busy_step = 0;                   // step the busy count belongs to
    int busy_left = 0;
    int pieces = 0; // pieces accepted in this sequence
    Sequence check; // FN_EXTFW_CHECK answers; empty: from `needed`
};

// What the model asks for once the exchange is over.
enum class After { Nothing, Reset, EnterService, UsbRestart };
enum class ReturnAs { Normal, Service, Same };

struct ModelAnswer {
    int32_t result = 0;
    Bytes output;
    After after = After::Nothing;
};

// One report on its way to the host.
struct QReport {
    Report bytes{};
    int length = REPORT_BYTES;
    double visible_at = 0;
    bool fail_once = false; // the read that would deliver it fails once
};

struct Persona {
    uint16_t vendor = 0;
    uint16_t product = 0;
    int iface = 0;
    std::string path;
    std::vector<int> extras; // other HID interfaces of the composite device
    bool service = false;
};

enum class EngineState { Idle, Input, WaitFetch, CbWaitAck, CbWaitDone };

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
    int requests = 0;
    int noack_left = 0;
    int cbfirst_left = 0;
    bool acked = false;
    bool request_fault_done = false;
    bool ack_fault_done = false;
    bool input_fault_done = false;
    int32_t result = 0;
    Bytes output;
    int32_t announced = 0;
    After after = After::Nothing;
};

struct CbTransfer {
    PendingCallback cb;
    bool in_place = false;
    double deadline = 0;
    size_t record = 0; // index into callbacks_log
};

// The data packets still to be sent for one block.
struct OutStream {
    Bytes data;
    size_t pos = 0;
    Step fault_short = Step::None; // first packet short
    int short_bytes = 5;
    bool fault_hidfail = false; // first packet fails the read once
    bool first = true;
    bool active() const { return pos < data.size(); }
};

struct NoteRec {
    uint64_t seq;
    double ms;
    bool event; // plug/unplug and the like, else an oddity or fault
    std::string text;
};
template <class T> struct Logged {
    uint64_t seq;
    T v;
};

class Device : public std::enable_shared_from_this<Device> {
  public:
    Device(std::string name, int index) : name(std::move(name)), index(index) {}

    const std::string name;
    const int index; // 1-based, scenario order
    std::mutex mu;
    std::condition_variable cv;

    // ---- identity and bus behaviour (scenario) ----
    uint16_t vendor = READER_VENDOR_ID;
    uint16_t product = 0;
    int iface = -1; // -1: the personality's configuration interface
    std::vector<int> extras;
    bool has_serial = true;
    std::string serial;
    std::string port;
    int usb_config = 1;
    std::string explicit_path;
    int protocol = -1; // 1 speaks the reader protocol, 0 plain HID, -1 by vendor
    double latency_ms = 0;
    bool pace = true;
    bool start_absent = false;
    double appear_s = -1, disappear_s = -1;
    uint16_t normal_product = 0;
    bool has_reset_to = false;
    uint16_t reset_to = 0;
    int reset_to_iface = -1;
    bool follow_usbmode = true;
    double reset_delay_s = 0.5;
    bool reset_never = false;
    double service_delay_s = 0.5;
    enum class Service { Return, Never, Stay } service_mode = Service::Return;
    std::string service_port;
    double leave_delay_ms = 10;
    int fail_write_at = 0, fail_read_at = 0, unplug_at = 0;
    double unplug_at_return_s = -1;
    double cb_ack_timeout_ms = 2000;
    bool cb_retry_refused = false;
    int32_t unknown_fn_result = RDR_UNKNOWN_FUNCTION;
    int32_t unknown_param_result = RDR_UNKNOWN_PARAM;

    // ---- reader model ----
    std::map<std::string, std::optional<Bytes>> param_overrides; // before finalize
    std::map<std::string, Bytes> params, defaults;
    Bytes config_blob;
    bool config_blob_set = false;
    Bytes log_blob;
    bool log_blob_set = false;
    Bytes custom_config;
    std::map<int, Bytes> firmware_images;
    Sequence status, status_after_reset;
    uint32_t features = 0;
    int module_count = 1;
    Bytes module_desc;
    ModuleRecord record;
    Bytes lib_version, status_message;
    ExtfwModel extfw;
    bool rdr_restart_usb = false;
    double module_restart_ms = 300;
    double module_busy_until = -1;
    bool registered = false;
    uint16_t reg_first = 0, reg_second = 0;
    bool card_present = false;
    uint16_t card_handle = 0;
    Bytes card_number, card_data;
    std::vector<CallbackRule> callback_rules;
    std::map<uint16_t, FnScript> scripts;
    bool finalized = false;
    bool start_callbacks_queued = false;

    // ---- presence ----
    bool present = false;
    int gen = 0;
    int away_token = 0;
    int restart_count = 0;
    Persona persona;
    Handle* open_handle = nullptr;
    std::vector<Handle*> extra_handles;
    ReturnAs pending_return = ReturnAs::Same;

    // ---- protocol engine ----
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

    // ---- transcript ----
    std::vector<Logged<emu::Report>> reports_log;
    std::vector<Logged<emu::Exchange>> exchanges_log;
    std::vector<Logged<emu::Callback>> callbacks_log;
    std::vector<NoteRec> notes_log;

    // config.cpp: one device statement; false with the reason in err.
    bool apply(const Tokens& t, std::string& err, const std::string& base_dir);
    // Built-in defaults merged with the scenario; devices go live after it.
    void finalize(double now);

    // engine.cpp
    bool speaks_protocol() const;
    Persona make_persona(ReturnAs as) const;
    Persona declared_persona() const;
    void come_online(double now, const Persona& p, const char* reason);
    void go_offline(double now, const char* reason);
    void on_open(Handle* h, double now);
    void on_close(Handle* h, double now);
    // hid_write of one report through handle h: 0, or -1 when the write
    // fails (device gone, fault).
    int host_write(Handle* h, const Report& r, double now);
    // Next report for the host: 1 and the report, 0 none yet, -1 failure.
    int take_report(Handle* h, QReport& out, double now);
    double next_visible() const;
    void queue_callback(const PendingCallback& p, double now);
    void note(double now, const std::string& text, bool event = false);

    // model.cpp
    ModelAnswer run_model(uint16_t fn, const Bytes& in, uint32_t capacity, double now);
    void restore_defaults();
    void after_return(double now);
    void card_delivered(const PendingCallback& p);

  private:
    // A host report; false when the write must fail (fault), the report
    // then never reaches the reader.
    bool on_host_report(const Report& r, double now);
    void settle(double now);
    void pump(double now);
    void send_header(const HeaderBytes& h, double now, Step fault_step, double extra_delay = 0);
    void start_data(const Bytes& data, double now, Step fault_step);
    void abandon_stream(double now);
    void log_report(const Report& r, bool to_device, double ms, int length, const char* flag);
    void handle_request(const Header& h, double now);
    void start_exchange(const Header& h, double now);
    void answer_ack(double now);
    void run_exchange(double now);
    void fetch_output(double now);
    void complete(const char* outcome, double now, bool refused = false, int32_t host_error = 0,
                  bool fetched = false);
    void start_callback(const PendingCallback& p, bool in_place, double now);
    void end_callback(const char* outcome, int32_t value, double now);
    void try_announce(double now);
    void fire_triggers(uint16_t fn, double now);
    void schedule_after(After a, double now);
    void check_cb_timeout(double now);
    void reset_engine(double now, const char* outcome);
    void consume_entry();
    void unplug_fault(double now, double return_s, const char* what);
    QReport make_q(const Report& r, double now, double extra_delay);
};

uint64_t next_seq();

} // namespace emu::detail
