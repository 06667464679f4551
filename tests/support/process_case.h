// Tables of program runs: each case is one run of the real binary on
// emulated readers and everything it must end with.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

// Tables of cases name only the fields a case sets; the others keep their
// defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

struct ProcessCase {
    std::string name;
    std::vector<std::string> args; // "$D" stands for the run's directory, here and below
    ProcessOptions how;            // scenario, standard streams
    std::vector<std::pair<std::string, std::string>> files; // written to $D before the run
    int status = 0;                                         // -1: any status
    std::optional<std::string> out = "";       // standard output, exactly; nullopt: not checked
    std::optional<std::string> err = "";       // standard error, exactly; nullopt: not checked
    std::vector<std::string> err_has;          // pieces of standard error
    std::string device;                        // whose exchanges are checked; "" = every device
    std::optional<std::vector<int>> functions; // the device's exchanges, exactly
    std::vector<int> starts;                   // the first of the device's exchanges
    std::map<int, int> counts;                 // how often the device saw these functions
    std::map<std::string, std::string> last;   // fields of the device's last exchange
    std::optional<std::string> file;           // the contents of $D/out after the run
    double min_ms = 0, max_ms = 30000;
    std::function<void(const ProcessResult&)> also; // checks of its own
};

inline void PrintTo(const ProcessCase& c, std::ostream* os) {
    *os << c.name;
}

// Runs the cases side by side, each in a directory of its own.
std::vector<ProcessResult> run_cases(const std::vector<ProcessCase>& cases, int threads = 8);
void check_case(const ProcessCase& c, const ProcessResult& r);
