// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/reader_fixture.h"

#include "link/reader_link.h"
#include "support/process.h"

void EmulatedReaders::SetUp() {
    emu::reset();
    diag_verbosity = 0;
    readers_init();
}

void EmulatedReaders::TearDown() {
    readers_exit();
    emu::reset();
    diag_verbosity = 0;
}

int EmulatedReaders::load(std::string_view scenario) {
    const int r = emu::load_scenario(scenario);
    EXPECT_EQ(r, 0) << emu::last_error();
    return readers_enumerate();
}

Reader* EmulatedReaders::open_reader(std::string_view scenario, int index) {
    load(scenario);
    Reader* reader = reader_by_index(index);
    if (reader != nullptr && reader_open(reader) == 0) return reader;
    ADD_FAILURE() << (reader == nullptr ? "no reader at " + std::to_string(index)
                                        : "reader_open failed");
    return nullptr;
}

std::vector<Reader*> listed_readers() {
    ReaderSnapshot listed;
    readers_snapshot(&listed);
    return {listed.readers, listed.readers + listed.count};
}

std::vector<std::vector<uint8_t>> host_reports(std::string_view device) {
    std::vector<std::vector<uint8_t>> out;
    for (const emu::Report& r : emu::reports(device))
        if (r.to_device) out.emplace_back(r.bytes.begin(), r.bytes.end());
    return out;
}

double elapsed_ms(double since) {
    return now_ms() - since;
}
