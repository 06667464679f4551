// SPDX-License-Identifier: GPL-2.0-or-later
// Loading a scenario: its lines read and checked as a whole, then the world
// replaced by its devices; and the scenario, control file and transcript
// file named in the environment.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "state.h"
#include "world.h"

namespace emu::detail {

namespace {

constexpr double MAX_AT_SECONDS = 1e9;

// An `at SECONDS COMMAND ...` line: the command and where it stood.
struct AtCommand {
    double ms;
    std::string line; // the command and its arguments
    int lineno;
};

// A scenario as its lines are read.
struct Loading {
    const std::string& base_dir;
    std::vector<std::shared_ptr<Device>> devices;
    std::vector<AtCommand> commands;
    bool reports_on = true;
    std::shared_ptr<Device> current; // the device block the lines belong to
};

std::string dirname_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool valid_name(const std::string& name) {
    if (name.empty()) return false;
    for (char ch : name)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
              ch == '_' || ch == '-' || ch == '.'))
            return false;
    return true;
}

// The text of a line after its first count words (plain words, no quotes),
// split where the tokenizer splits.
std::string rest_after_words(std::string_view line, int count) {
    size_t pos = 0;
    for (int word = 0; word < count; ++word) {
        while (pos < line.size() && is_space(line[pos]))
            ++pos;
        while (pos < line.size() && !is_space(line[pos]))
            ++pos;
    }
    while (pos < line.size() && is_space(line[pos]))
        ++pos;
    return std::string(line.substr(pos));
}

bool device_line(Loading& load, const Tokens& tokens, int lineno, std::string& err) {
    if (tokens.size() < 2 || tokens.size() > 3 || !valid_name(tokens[1].text)) {
        err = "device wants NAME [PRODUCT] (name of letters, digits, _ - .)";
        return false;
    }
    for (auto& dev : load.devices) {
        if (dev->name != tokens[1].text) continue;
        err = "device '" + tokens[1].text + "' defined twice";
        return false;
    }
    const int index = static_cast<int>(load.devices.size()) + 1;
    load.current = std::make_shared<Device>(tokens[1].text, index);
    load.current->decl.line = lineno;
    load.devices.push_back(load.current);
    if (tokens.size() < 3) return true;
    const Tokens product{Token{"product", Token::Word}, tokens[2]};
    return apply_statement(*load.current, product, err, load.base_dir);
}

bool option_line(Loading& load, const Tokens& tokens, std::string& err) {
    if (tokens.size() != 3) {
        err = "option wants NAME VALUE";
        return false;
    }
    const std::string& value = tokens[2].text;
    if (tokens[1].text == "transcript_reports" && (value == "on" || value == "off")) {
        load.reports_on = value == "on";
        return true;
    }
    err = "unknown option '" + tokens[1].text + " " + value + "'";
    return false;
}

bool at_line(Loading& load, const Tokens& tokens, std::string_view line, int lineno,
             std::string& err) {
    double seconds;
    if (tokens.size() < 4 || !parse_number(tokens[1], seconds) || !(seconds >= 0) ||
        seconds > MAX_AT_SECONDS) {
        err = "at wants SECONDS COMMAND NAME ...";
        return false;
    }
    const std::string& command = tokens[2].text;
    if (command != "plug" && command != "unplug" && command != "event" && command != "with" &&
        command != "param") {
        err = "at: unknown command '" + command + "'";
        return false;
    }
    if (tokens[3].kind != Token::Word) {
        err = "at: device name expected";
        return false;
    }
    load.commands.push_back({seconds * 1000, rest_after_words(line, 2), lineno});
    return true;
}

// One line of the scenario; false with the reason in err.
bool read_line(Loading& load, std::string_view line, int lineno, std::string& err) {
    Tokens tokens;
    if (!tokenize(line, tokens, err)) return false;
    if (tokens.empty()) return true;
    const std::string& keyword = tokens[0].text;
    if (tokens[0].kind != Token::Word) {
        err = "statement expected";
        return false;
    }
    if (keyword == "device") return device_line(load, tokens, lineno, err);
    if (keyword == "end") {
        if (tokens.size() != 1) {
            err = "end takes nothing";
            return false;
        }
        load.current.reset();
        return true;
    }
    if (keyword == "option") return option_line(load, tokens, err);
    if (keyword == "at") return at_line(load, tokens, line, lineno, err);
    if (!load.current) {
        err = "'" + keyword + "' outside a device block";
        return false;
    }
    return apply_statement(*load.current, tokens, err, load.base_dir);
}

// What only the whole scenario shows: `at` lines naming a device declared
// nowhere, devices without a product. The line at fault in lineno.
bool check_whole(const Loading& load, int& lineno, std::string& err) {
    for (const AtCommand& command : load.commands) {
        Tokens tokens;
        std::string ignored;
        tokenize(command.line, tokens, ignored);
        const std::string& name = tokens[1].text;
        lineno = command.lineno;
        if (std::none_of(load.devices.begin(), load.devices.end(),
                         [&name](auto& dev) { return dev->name == name; })) {
            err = "at: no device '" + name + "'";
            return false;
        }
    }
    for (auto& dev : load.devices) {
        lineno = dev->decl.line;
        if (dev->decl.product != 0 || dev->decl.vendor != READER_VENDOR_ID) continue;
        err = "device '" + dev->name + "' has no product";
        return false;
    }
    return true;
}

// The device goes live and on the bus, now or when the scenario says.
// Device lock held.
void start_device(const std::shared_ptr<Device>& dev) {
    finalize_model(*dev);
    restore_device_state(*dev);
    const Declared& decl = dev->decl;
    if (decl.appear_s > 0) {
        Action appear = action(Action::Kind::Plug, dev);
        appear.text = "appear";
        schedule(decl.appear_s * 1000, std::move(appear));
    } else if (dev->persona.product != 0) { // remembered in another personality
        come_online(*dev, 0, dev->persona, "start");
    } else {
        plug_device(*dev, 0, "start");
    }
    if (decl.disappear_s >= 0) {
        Action disappear = action(Action::Kind::Unplug, dev);
        disappear.text = "disappear";
        schedule(decl.disappear_s * 1000, std::move(disappear));
    }
    for (const CallbackRule& rule : decl.callbacks)
        if (rule.trigger == CallbackRule::Trigger::At)
            schedule(rule.at_s * 1000, action(Action::Kind::Callback, dev, rule.cb));
}

// The scenario is good: it replaces the world.
void replace_world(Loading& load) {
    std::lock_guard<std::mutex> process(process_lock());
    for (auto& dev : take_devices()) {
        std::lock_guard<std::mutex> lock(dev->mu);
        go_offline(*dev, clock_ms_if_started(), "reset");
    }
    clear_timeline();
    restart_clock();
    set_transcript_reports(load.reports_on);
    for (auto& dev : load.devices) {
        std::lock_guard<std::mutex> lock(dev->mu);
        start_device(dev);
    }
    for (AtCommand& command : load.commands) {
        Action at;
        at.text = std::move(command.line);
        schedule(command.ms, std::move(at));
    }
    install_devices(std::move(load.devices));
    transcript_dirty();
}

std::string read_file(FILE* file) {
    std::string text;
    char buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0)
        text.append(buf, got);
    return text;
}

void load_from_environment() {
    if (const char* path = std::getenv("BRINLET_EMU_CONTROL"); path != nullptr && *path != '\0') {
        set_control_path(path);
        start_control_watch(path);
    }
    if (const char* path = std::getenv("BRINLET_EMU_TRANSCRIPT"); path != nullptr && *path != '\0')
        set_transcript_path(path);
    if (const char* path = std::getenv("BRINLET_EMU_STATE"); path != nullptr && *path != '\0') {
        std::string err;
        if (open_state_file(path, err) != 0)
            std::fprintf(stderr, "brinlet-emu: state: %s\n", err.c_str());
    }
    const char* path = std::getenv("BRINLET_EMU_SCENARIO");
    if (world_configured() || path == nullptr || *path == '\0') return;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "brinlet-emu: cannot read scenario %s: %s\n", path,
                     std::strerror(errno));
        return;
    }
    const std::string text = read_file(file);
    std::fclose(file);
    std::string err;
    if (load_text(text, dirname_of(path), err) != 0)
        std::fprintf(stderr, "brinlet-emu: scenario %s: %s\n", path, err.c_str());
}

} // namespace

int load_text(std::string_view text, const std::string& base_dir, std::string& err) {
    Loading load{base_dir, {}, {}, true, nullptr};
    int lineno = 0;
    std::string line_err;
    bool good = true;
    for (size_t pos = 0; good && pos <= text.size();) {
        size_t newline = text.find('\n', pos);
        if (newline == std::string_view::npos) newline = text.size();
        ++lineno;
        good = read_line(load, text.substr(pos, newline - pos), lineno, line_err);
        pos = newline + 1;
    }
    if (good) good = check_whole(load, lineno, line_err);
    if (!good) {
        err = "line " + std::to_string(lineno) + ": " + line_err;
        return -1;
    }
    replace_world(load);
    return 0;
}

void reset_world() {
    std::string err;
    load_text("", "", err);
}

void ensure_loaded() {
    static std::once_flag once;
    std::call_once(once, [] { load_from_environment(); });
}

} // namespace emu::detail
