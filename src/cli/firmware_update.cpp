#include "cli/firmware_update.h"

#include "cli/batch.h"
#include "cli/tool_settings.h"
#include "link/ctl_exchange.h"
#include "link/pause.h"
#include "link/reader_link.h"
#include "services/reader_functions.h"
#include "services/reader_status.h"

namespace {

// A restarted reader comes back under another product ID and path, so it
// is looked up by its serial number. Each attempt costs about a second.
int32_t find_again(BatchRun* run, int* attempts) {
    for (;;) {
        if (++*attempts > FIND_AGAIN_ATTEMPTS) {
            diag(1, "Cannot find back the reader, timeout.");
            return BATCH_READER_LOST;
        }
        pause_ms(FIND_AGAIN_PAUSE_MS);
        if (readers_enumerate() == 0) {
            diag(2, "No readers found.");
            continue;
        }
        Reader* found = reader_by_serial(run->serial);
        if (found == nullptr) continue;
        diag(2, "reader is back!\n");
        const int r = reader_open(found);
        if (r < 0) {
            diag(1, "Cannot open cfg interface: %d\n", r);
            continue;
        }
        run->reader = found;
        return 0;
    }
}

} // namespace

int32_t firmware_switch_phase(BatchRun* run) {
    while (!run->reader->model->can_update_firmware) {
        int32_t capacity = 0;
        const int32_t r = reader_ctl(run->reader, FN_ENTER_SERVICE, 0, nullptr, &capacity, nullptr);
        if (r != 0) {
            diag(1, "Cannot force firmware update: %d\n", r);
            return BATCH_READER_UNUSABLE;
        }
        reader_close(run->reader);
        const int32_t found = find_again(run, &run->switch_attempts);
        if (found != 0) return found;
    }
    return 0;
}

int32_t firmware_restart_phase(BatchRun* run) {
    diag(2, "Resetting back to normal firmware");
    reader_reset(run->reader);
    reader_close(run->reader);
    int attempts = 0;
    const int32_t found = find_again(run, &attempts);
    if (found != 0) return found;
    diag(2, "Waiting for reader\n");
    const int w = reader_wait_ready(run->reader);
    diag(2, "DONE %d", w);
    if (w < 0) {
        diag(2, "Cannot wait for reader: %d\n", w);
        return BATCH_READER_UNUSABLE;
    }
    // A reader that comes back still in its service firmware did not take
    // the new standard firmware (or never restarted): not a success.
    if (run->reader->model->can_update_firmware) {
        diag(1, "Reader did not leave the service firmware\n");
        return BATCH_READER_UNUSABLE;
    }
    return 0;
}
