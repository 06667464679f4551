// SPDX-License-Identifier: GPL-2.0-or-later
// The state file (BRINLET_EMU_STATE): what each emulated reader can be made
// to change, so that a later process sees what an earlier one did.
//
//   # brinlet-emu state 1
//   device kbd
//   product 0x0202
//   param FWVERSION x:322e31352e3100
//   config x:...            (only when the reader holds a configuration file)
//   custom x:...
//   image 510 x:...
//   module x:...
//   module_sw 1.4.2
//   module_needed 0
//   end
//
// Devices are known by their scenario name. Every process writes only the
// devices it changed: under an exclusive flock on FILE.lock it reads FILE
// again, puts its changed devices' blocks in, writes FILE.PID.tmp and
// renames it over FILE, so readers never see half a file and two writers
// never lose each other's devices.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "state.h"
#include "world.h"

namespace emu::detail {

namespace {

constexpr const char* HEADER = "# brinlet-emu state 1\n";

using Blocks = std::map<std::string, std::string>; // device name -> its lines

struct StateFile {
    std::mutex mu;
    std::string path;
    Blocks loaded;   // what the file said when this process opened it
    Blocks baseline; // each live device's block when it went live
};

StateFile& state_file() {
    static StateFile file;
    return file;
}

std::string hex_value(const Bytes& bytes) {
    return "x:" + to_hex(bytes);
}

std::string version_text(const uint8_t version[3]) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]);
}

// The lines of one device's block (without "device" and "end").
std::string render_block(const Device& dev) {
    const Model& model = dev.model;
    char product[16];
    // Before its first plug a device is in the product it declares.
    std::snprintf(product, sizeof product, "0x%04x",
                  dev.persona.product != 0 ? dev.persona.product : dev.decl.product);
    std::string out = std::string("product ") + product + "\n";
    for (const auto& [key, value] : model.params)
        out += "param " + key + " " + hex_value(value) + "\n";
    if (model.config_blob) out += "config " + hex_value(*model.config_blob) + "\n";
    out += "custom " + hex_value(model.custom_config) + "\n";
    for (const auto& [fn, image] : model.firmware_images)
        out += "image " + std::to_string(fn) + " " + hex_value(image) + "\n";
    out += "module " + hex_value(model.extfw.image) + "\n";
    out += "module_sw " + version_text(model.record.sw) + "\n";
    out += std::string("module_needed ") + (model.extfw.needed ? "1" : "0") + "\n";
    return out;
}

bool read_text(const std::string& path, std::string& text, std::string& err) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        err = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    char buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0)
        text.append(buf, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!ok) err = "cannot read " + path;
    return ok;
}

// FILE's blocks; a missing or empty file has none.
bool read_blocks(const std::string& path, Blocks& blocks, std::string& err) {
    std::string text;
    if (!read_text(path, text, err)) return false;
    if (text.empty()) return true;
    if (text.rfind(HEADER, 0) != 0) {
        err = path + " is not a brinlet-emu state file";
        return false;
    }
    std::string name;
    std::string* block = nullptr;
    for (size_t pos = std::strlen(HEADER); pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.rfind("device ", 0) == 0) {
            block = &blocks[line.substr(7)];
            block->clear();
        } else if (line == "end") {
            block = nullptr;
        } else if (block != nullptr) {
            *block += line + "\n";
        }
    }
    return true;
}

bool bytes_of(const Token& token, Bytes& out) {
    std::string ignored;
    out.clear();
    return parse_bytes(token, out, ignored, "");
}

// One line of a block applied to the device; false when it makes no sense.
bool apply_line(Device& dev, const Tokens& t, uint16_t& product) {
    Model& model = dev.model;
    Bytes bytes;
    int64_t number = 0;
    const std::string& what = t[0].text;
    if (what == "product" && t.size() == 2 && parse_int_range(t[1], 0, 0xFFFF, number)) {
        product = static_cast<uint16_t>(number);
    } else if (what == "param" && t.size() == 3 && bytes_of(t[2], bytes)) {
        model.params[t[1].text] = bytes;
    } else if (what == "config" && t.size() == 2 && bytes_of(t[1], bytes)) {
        model.config_blob = bytes;
    } else if (what == "custom" && t.size() == 2 && bytes_of(t[1], bytes)) {
        model.custom_config = bytes;
    } else if (what == "image" && t.size() == 3 && parse_int_range(t[1], 0, 0xFFFF, number) &&
               bytes_of(t[2], bytes)) {
        model.firmware_images[static_cast<int>(number)] = bytes;
    } else if (what == "module" && t.size() == 2 && bytes_of(t[1], bytes)) {
        model.extfw.image = bytes;
    } else if (what == "module_sw" && t.size() == 2) {
        const std::string line = "BRINLET-VERSION: " + t[1].text;
        return image_version_bytes(Bytes(line.begin(), line.end()), model.record.sw);
    } else if (what == "module_needed" && t.size() == 2) {
        model.extfw.needed = t[1].text == "1";
    } else {
        return false;
    }
    return true;
}

// The device takes the remembered block; its parameters are exactly the
// remembered ones (a key it forgot stays forgotten).
void apply_block(Device& dev, const std::string& block) {
    uint16_t product = dev.decl.product;
    dev.model.params.clear();
    dev.model.firmware_images.clear();
    dev.model.config_blob.reset();
    for (size_t pos = 0; pos < block.size();) {
        const size_t end = block.find('\n', pos);
        Tokens tokens;
        std::string err;
        if (tokenize(block.substr(pos, end - pos), tokens, err) && !tokens.empty() &&
            !apply_line(dev, tokens, product))
            std::fprintf(stderr, "brinlet-emu: state of %s: cannot use '%s'\n", dev.name.c_str(),
                         block.substr(pos, end - pos).c_str());
        pos = end + 1;
    }
    // A reader remembered in another personality starts in it.
    if (product != dev.decl.product && dev.decl.vendor == READER_VENDOR_ID)
        dev.persona =
            make_persona(dev, product == PRODUCT_SERVICE ? ReturnAs::Service : ReturnAs::Normal);
}

std::string render_file(const Blocks& blocks) {
    std::string text = HEADER;
    for (const auto& [name, block] : blocks)
        text += "device " + name + "\n" + block + "end\n";
    return text;
}

bool write_whole(const std::string& path, const std::string& text, std::string& err) {
    const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
    FILE* file = std::fopen(tmp.c_str(), "wb");
    if (file == nullptr) {
        err = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fflush(file) == 0 && ok;
    ok = fsync(fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    err = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
}

// The blocks of the devices that changed since they went live.
Blocks changed_blocks(const Blocks& baseline) {
    Blocks changed;
    for (auto& dev : all_devices()) {
        std::lock_guard<std::mutex> lock(dev->mu);
        if (!dev->finalized) continue;
        std::string block = render_block(*dev);
        auto before = baseline.find(dev->name);
        if (before == baseline.end() || before->second != block)
            changed[dev->name] = std::move(block);
    }
    return changed;
}

void save_at_exit() {
    std::string err;
    if (save_state_file(err) != 0) std::fprintf(stderr, "brinlet-emu: state: %s\n", err.c_str());
}

} // namespace

int open_state_file(const std::string& path, std::string& err) {
    Blocks blocks;
    if (!read_blocks(path, blocks, err)) return -1;
    StateFile& file = state_file();
    std::lock_guard<std::mutex> lock(file.mu);
    if (file.path.empty()) std::atexit(save_at_exit);
    file.path = path;
    file.loaded = std::move(blocks);
    file.baseline.clear();
    return 0;
}

void restore_device_state(Device& dev) {
    StateFile& file = state_file();
    std::lock_guard<std::mutex> lock(file.mu);
    if (file.path.empty()) return;
    auto remembered = file.loaded.find(dev.name);
    if (remembered != file.loaded.end()) apply_block(dev, remembered->second);
    file.baseline[dev.name] = render_block(dev);
}

int save_state_file(std::string& err) {
    StateFile& file = state_file();
    std::string path;
    Blocks baseline;
    {
        std::lock_guard<std::mutex> lock(file.mu);
        path = file.path;
        baseline = file.baseline;
    }
    if (path.empty()) return 0;
    Blocks changed = changed_blocks(baseline);
    if (changed.empty()) return 0;
    const std::string lock_path = path + ".lock";
    const int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd < 0 || flock(lock_fd, LOCK_EX) != 0) {
        err = "cannot lock " + lock_path + ": " + std::strerror(errno);
        if (lock_fd >= 0) close(lock_fd);
        return -1;
    }
    Blocks merged;
    bool ok = read_blocks(path, merged, err);
    for (auto& [name, block] : changed)
        merged[name] = block;
    ok = ok && write_whole(path, render_file(merged), err);
    close(lock_fd); // drops the lock
    if (!ok) return -1;
    std::lock_guard<std::mutex> lock(file.mu);
    for (auto& [name, block] : changed)
        file.baseline[name] = std::move(block);
    return 0;
}

} // namespace emu::detail
