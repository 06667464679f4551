// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/history.h"

#include <fcntl.h>
#include <pwd.h>
#include <sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/diag.h"
#include "base/text.h"
#include "cli/exit_status.h"
#include "cli/tool_settings.h"
#include "discovery/reader_list.h"
#include "services/reader_functions.h"

namespace {

constexpr const char* HISTORY_OPERATIONS = "cdmpwuXb"; // those that can change a reader
constexpr int HOST_NAME_SIZE = 256;

std::string header_line() {
    return text_fields_line({"time", "event", "host", "user", "pid", "serial", "path", "model",
                             "operation", "input", "input_bytes", "input_sha256", "status",
                             "seconds", "message"});
}

// Says the history's failure, once a process: written straight to standard
// error, so that it never becomes the message of a reader's run.
void tell(History* history, const std::string& file, const char* reason) {
    if (history->told.exchange(true) || diag_verbosity < 1) return;
    const std::string text = "Cannot write history " + file + ": " + reason;
    diag_write((term_safe_text(text.c_str()) + "\n").c_str());
}

// Where the history lives by default; empty when there is no home.
std::string default_path() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state != nullptr && *state != '\0') return std::string(state) + "/brinlet/history.tsv";
    if (home != nullptr && *home != '\0')
        return std::string(home) + "/.local/state/brinlet/history.tsv";
    return "";
}

// Makes every missing folder above the file. 0, or the errno of the first
// that cannot be made.
int make_folders(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        if (mkdir(path.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

// A new file appears with its header already in it: written beside, then
// linked under its name, which fails when another process made it first.
int create_with_header(const History& history) {
    const std::string beside = history.path + "." + history.pid + ".new";
    const int fd =
        open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    const std::string header = header_line();
    const bool written =
        write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size());
    int error = written ? 0 : errno != 0 ? errno : EIO;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && link(beside.c_str(), history.path.c_str()) != 0 && errno != EEXIST)
        error = errno;
    unlink(beside.c_str());
    return error;
}

std::string user_name() {
    char buffer[1024];
    passwd entry = {};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(geteuid());
}

// The time now in UTC, ISO 8601 with milliseconds.
std::string now_text() {
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc = {};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

void append(History* history, const std::string& line) {
    if (write(history->fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        tell(history, history->path, strerror(errno != 0 ? errno : EIO));
}

// The checksum of the run's input, made once for an input that several
// runs share.
std::string input_hash(History* history, const uint8_t* input, int32_t length) {
    const std::lock_guard<std::mutex> lock(history->hash_lock);
    if (history->hashed != input || history->hashed_len != length) {
        static const uint8_t none = 0;
        char hex[SHA256_DIGEST_STRING_LENGTH];
        SHA256Data(input != nullptr ? input : &none, static_cast<size_t>(length), hex);
        history->hash = hex;
        history->hashed = input;
        history->hashed_len = length;
    }
    return history->hash;
}

std::string operation_text(const BatchPlan& plan, const ToolSettings& settings) {
    const char letter = plan.operation->letter;
    std::string text(1, letter);
    if (letter == 'p') text += std::to_string(settings.protocol);
    if (letter == 'b') text += std::to_string(settings.raw_function);
    return text;
}

} // namespace

History::~History() {
    if (fd >= 0) close(fd);
}

void history_open(History* history, const ToolSettings& settings) {
    const BatchOperation* operation = settings.operation;
    if (operation == nullptr || std::strchr(HISTORY_OPERATIONS, operation->letter) == nullptr)
        return;
    const char* named = std::getenv("BRINLET_HISTORY");
    if (named != nullptr && *named == '\0') return;
    history->path = named != nullptr ? named : default_path();
    if (history->path.empty())
        return tell(history, "$HOME/.local/state/brinlet/history.tsv", "no home folder");
    char host[HOST_NAME_SIZE] = {};
    gethostname(host, sizeof host - 1);
    history->host = host;
    history->user = user_name();
    history->pid = std::to_string(getpid());
    int error = make_folders(history->path);
    if (error == 0 && access(history->path.c_str(), F_OK) != 0)
        error = create_with_header(*history);
    if (error == 0) history->fd = open(history->path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (error == 0 && history->fd < 0) error = errno;
    if (error != 0) tell(history, history->path, strerror(error));
}

std::string history_line(const HistoryRun& r, std::string_view time, std::string_view event,
                         std::string_view status, std::string_view seconds,
                         std::string_view message) {
    const History& h = *r.history;
    return text_fields_line({time, event, h.host, h.user, h.pid, r.serial, r.path, r.model,
                             r.operation, r.input, r.input_bytes, r.input_sha256, status, seconds,
                             message});
}

void history_started(HistoryRun* record, const Reader& reader, const BatchPlan& plan,
                     const ToolSettings& settings, const uint8_t* input, int32_t input_len) {
    History* history = record->history;
    if (history == nullptr || history->fd < 0 || record->started) return;
    record->started = true;
    record->start = std::chrono::steady_clock::now();
    record->serial = reader.serial;
    record->path = reader.path;
    record->model = reader.model->description;
    record->operation = operation_text(plan, settings);
    if (plan.sends_input && !plan.protocol_input) {
        record->input = settings.has_input_path ? settings.input_path : "-";
        record->input_bytes = std::to_string(input_len);
        record->input_sha256 = input_hash(history, input, input_len);
    }
    append(history, history_line(*record, now_text(), "started", "", "", ""));
}

void history_ended(HistoryRun* record, int32_t result, std::string_view message) {
    if (!record->started) return;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - record->start;
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f", took.count());
    while (!message.empty() && message.back() == '\n')
        message.remove_suffix(1);
    append(record->history, history_line(*record, now_text(), result == 0 ? "ok" : "failed",
                                         std::to_string(exit_status(result)), seconds, message));
}

std::string failure_words(uint16_t function, int32_t result) {
    return "Function " + std::to_string(function) + " answered " + std::to_string(result);
}

std::string run_failure_words(const BatchPlan& plan, int32_t result) {
    const uint16_t module_check = FN_EXTFW_CHECK;
    return failure_words(plan.operation->module_check ? module_check : plan.function, result);
}
