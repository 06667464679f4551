// The card test console: live card reads on every testable reader.
#pragma once

#include <cstdint>

// Runs until Ctrl+C, then stops the workers in list order. Returns 0.
int32_t card_test_run();
