// SPDX-License-Identifier: GPL-2.0-or-later
// Tables of test cases. Every row has a `name`: it names the row's test, as
// ctest lists it, and it is what gtest prints of the row in a failure.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

// The rows' printer lives in the including file's unnamed namespace, beside
// the rows' types, where argument-dependent lookup finds it.
namespace {
template <typename Row>
requires requires(const Row& row) {
    row.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}
} // namespace

// Runs the parameterised Suite once per row, as Prefix/Suite.Test/RowName.
#define TABLE_TEST(Prefix, Suite, rows)                                                            \
    INSTANTIATE_TEST_SUITE_P(Prefix, Suite, ::testing::ValuesIn(rows),                             \
                             [](const auto& row) { return std::string(row.param.name); })
