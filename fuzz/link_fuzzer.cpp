// A hostile reader: the fuzz input decides every report the "device"
// delivers and which writes fail, and drives one CTL exchange and a few
// callback polls through the real link code. hidapi is replaced here by a
// scripted stand-in, and the link's waits are instant.
#include <hidapi.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>

#include "cli/tool_settings.h"
#include "discovery/reader.h"
#include "link/ctl_exchange.h"
#include "link/pause.h"
#include "link/reader_callbacks.h"
#include "link/reader_link.h"

namespace {

struct Script {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    unsigned writes = 0;
    unsigned fail_write = 0; // 1-based index of the write that fails, 0 = none
};
Script script;
int fake_device;

uint8_t next_byte() { return script.pos < script.size ? script.data[script.pos++] : 0; }

int32_t touch_all(Reader*, uint16_t, uint32_t length, const uint8_t* data) {
    // Reading every byte lets the sanitizer catch a length that lies.
    unsigned sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += data[i];
    return static_cast<int32_t>(sum & 1);
}

} // namespace

void pause_ms(int) {}

extern "C" {
int hid_init(void) { return 0; }
int hid_exit(void) { return 0; }
hid_device* hid_open_path(const char*) { return reinterpret_cast<hid_device*>(&fake_device); }
void hid_close(hid_device*) {}
hid_device_info* hid_enumerate(unsigned short, unsigned short) { return nullptr; }
void hid_free_enumeration(hid_device_info*) {}

int hid_write(hid_device*, const unsigned char* data, size_t length) {
    volatile unsigned char sink = 0;
    for (size_t i = 0; i < length; ++i) sink = sink ^ data[i];
    ++script.writes;
    return script.writes == script.fail_write ? -1 : static_cast<int>(length);
}

// Records: 0xFE time-out, 0xFF failure, else a length (cut to 65) and that
// many report bytes. Past the end of the input every read times out.
int hid_read_timeout(hid_device*, unsigned char* data, size_t length, int) {
    if (script.pos >= script.size) return 0;
    const uint8_t kind = next_byte();
    if (kind == 0xFE) return 0;
    if (kind == 0xFF) return -1;
    size_t n = kind % 66;
    n = std::min({n, length, script.size - script.pos});
    std::memcpy(data, script.data + script.pos, n);
    script.pos += n;
    return static_cast<int>(n);
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    script = Script{data + 6, size - 6, 0, 0, data[0]};
    tool_settings = ToolSettings{};
    tool_settings.verbosity = data[1] & 1 ? 2 : 0;
    const uint16_t function = static_cast<uint16_t>((data[2] << 8) | data[3]);
    const int32_t input_len = data[4];
    const int32_t capacity = data[5] * 4;

    auto reader = std::make_unique<Reader>();
    reader->in_report_size = REPORT_SIZE;
    reader->out_report_size = REPORT_SIZE;
    if (reader_open(reader.get()) != 0) return 0;
    auto input = std::make_unique<uint8_t[]>(static_cast<size_t>(input_len) + 1);
    auto output = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity) + 1);
    int32_t output_len = capacity;
    reader_ctl(reader.get(), function, input_len, input.get(), &output_len,
               capacity != 0 ? output.get() : nullptr);
    if (output_len < 0 || output_len > capacity) __builtin_trap();
    for (int i = 0; i < 4 && script.pos < script.size; ++i)
        reader_poll_callbacks(reader.get(), touch_all);
    reader_close(reader.get());
    return 0;
}
