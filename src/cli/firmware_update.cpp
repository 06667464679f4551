// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/firmware_update.h"

#include <strings.h>

#include <cstring>

#include "base/diag.h"
#include "base/pause.h"
#include "base/result.h"
#include "cli/batch_run.h"
#include "link/ctl_exchange.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"
#include "services/reader_status.h"

namespace {

// The USB port of a reader: its path up to the ':' before configuration and
// interface. A restarted reader keeps its port, though another personality
// may bring its link up on another interface. Empty when the path has none.
void port_of(const Reader* reader, char (&port)[READER_PATH_SIZE]) {
    const char* colon = std::strchr(reader->path, ':');
    const size_t n = colon != nullptr ? static_cast<size_t>(colon - reader->path) : 0;
    std::memcpy(port, reader->path, n);
    port[n] = '\0';
}

bool same_serial(const Reader* reader, const BatchRun* run) {
    return strcasecmp(reader->serial, run->serial) == 0;
}

bool on_port(const Reader* reader, const BatchRun* run) {
    char port[READER_PATH_SIZE];
    port_of(reader, port);
    return run->port[0] != '\0' && std::strcmp(port, run->port) == 0;
}

struct Look {
    const BatchRun* run;
    bool in_service = false; // the reader found runs its service firmware
};

// Whether reader is the run's reader: same serial number, and on the same
// USB port whenever its path has one. A reader with that serial on another
// port is another reader (plugged in while this one restarted, say): it is
// never taken for this one.
bool is_run_reader(const Reader& reader, void* context) {
    auto* look = static_cast<Look*>(context);
    if (!same_serial(&reader, look->run)) return false;
    if (look->run->port[0] != '\0' && !on_port(&reader, look->run)) return false;
    look->in_service = reader.model->can_update_firmware;
    return true;
}

enum class Wanted { AnyFirmware, NormalFirmware };

// One look at the list: the run's reader, opened, or nullptr. Several runs
// may look at once (-a): the reader is matched under the list's lock, and
// reader_open refuses a record that another run's enumeration dropped
// meanwhile. Once open the record no longer changes, so it is matched again
// there: that enumeration may have given it another device's identity.
// *in_service tells a reader still in its service firmware.
Reader* look_once(const BatchRun* run, Wanted wanted, bool* in_service) {
    if (readers_enumerate() == 0) {
        diag(2, "No readers found.");
        return nullptr;
    }
    Look look{.run = run};
    Reader* found = readers_find(is_run_reader, &look);
    if (found == nullptr) return nullptr;
    if (wanted == Wanted::NormalFirmware && look.in_service) {
        *in_service = true;
        reader_unref(found);
        return nullptr;
    }
    diag(2, "reader is back!\n");
    const int r = reader_open(found);
    reader_unref(found); // an open record stays listed, and the list keeps it
    if (r < 0) {
        diag(1, "Cannot open cfg interface: %d\n", r);
        return nullptr;
    }
    Look again{.run = run};
    if (!is_run_reader(*found, &again) || again.in_service != look.in_service) {
        reader_close(found);
        return nullptr;
    }
    return found;
}

// Looks for the run's reader once a second. With NormalFirmware a reader
// still in its service firmware is not back yet: it may answer for a while
// after the restart request before it leaves the bus. Returns 0 with the
// reader open in run->reader, BATCH_READER_LOST after the attempts, or
// BATCH_READER_UNUSABLE when the reader was in its service firmware at the
// last attempt.
int32_t find_again(BatchRun* run, int* attempts, Wanted wanted) {
    bool in_service = false;
    for (;;) {
        if (++*attempts > FIND_AGAIN_ATTEMPTS) {
            if (in_service) {
                diag(1, "Reader did not leave the service firmware\n");
                return BATCH_READER_UNUSABLE;
            }
            diag(1, "Cannot find back the reader, timeout.");
            return BATCH_READER_LOST;
        }
        pause_ms(FIND_AGAIN_PAUSE_MS);
        in_service = false;
        Reader* found = look_once(run, wanted, &in_service);
        if (found != nullptr) {
            run->reader = found;
            return 0;
        }
    }
}

} // namespace

int32_t firmware_identify(BatchRun* run) {
    std::memcpy(run->serial, run->reader->serial, sizeof run->serial);
    port_of(run->reader, run->port);
    bool serial_shared = run->serial[0] == '\0';
    bool port_shared = run->port[0] == '\0';
    for (int i = 0; const Reader* r = reader_by_index(i); ++i) {
        if (r == run->reader || !same_serial(r, run)) continue;
        serial_shared = true;
        if (on_port(r, run)) port_shared = true;
    }
    if (serial_shared && port_shared) {
        diag(1, "Reader cannot be told from another reader after its restart: its serial "
                "number is empty or not unique\n");
        return BATCH_READER_UNUSABLE;
    }
    return 0;
}

int32_t firmware_switch_phase(BatchRun* run) {
    while (!run->reader->model->can_update_firmware) {
        int32_t capacity = 0;
        const int32_t r = reader_ctl(run->reader, FN_ENTER_SERVICE, 0, nullptr, &capacity, nullptr);
        if (r != 0) {
            diag(1, "Cannot force firmware update: %d\n", r);
            return BATCH_READER_UNUSABLE;
        }
        reader_close(run->reader);
        const int32_t found = find_again(run, &run->switch_attempts, Wanted::AnyFirmware);
        if (found != 0) return found;
    }
    return 0;
}

int32_t firmware_restart_phase(BatchRun* run) {
    diag(2, "Resetting back to normal firmware");
    // A reader that did not take the restart request (the link broke during
    // the transfer) stays in its service firmware: finding it there is the
    // answer, not a reason to wait for it to leave.
    const bool restarting = reader_reset(run->reader) == 0;
    reader_close(run->reader);
    int attempts = 0;
    const int32_t found =
        find_again(run, &attempts, restarting ? Wanted::NormalFirmware : Wanted::AnyFirmware);
    if (found != 0) return found;
    diag(2, "Waiting for reader\n");
    const int w = reader_wait_ready(run->reader);
    diag(2, "DONE %d", w);
    if (w < 0) {
        diag(2, "Cannot wait for reader: %d\n", w);
        return BATCH_READER_UNUSABLE;
    }
    if (run->reader->model->can_update_firmware) {
        diag(1, "Reader did not leave the service firmware\n");
        return BATCH_READER_UNUSABLE;
    }
    return 0;
}
