// SPDX-License-Identifier: GPL-2.0-or-later
// Test fixture: the program's reader layer on emulated readers, in-process.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/diag.h"
#include "discovery/reader_list.h"
#include "emu.h"
#include "support/process.h" // now_ms

class EmulatedReaders : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Loads the scenario and enumerates; fails the test on a bad scenario.
    int load(std::string_view scenario);
    // load() and reader_open of the reader at index; nullptr on failure.
    Reader* open_reader(std::string_view scenario, int index = 0);
};

// The listed readers, in order; valid until the next enumeration.
std::vector<Reader*> listed_readers();
// Reports the host wrote to a device (64 bytes each).
std::vector<std::vector<uint8_t>> host_reports(std::string_view device);
// Milliseconds on the steady clock since `since`, a now_ms() value.
double elapsed_ms(double since);
