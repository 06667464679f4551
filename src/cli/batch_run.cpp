// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/batch_run.h"

#include <sys/mman.h>

#include "base/result.h"
#include "cli/tool_settings.h"

BatchSpace::~BatchSpace() {
    if (bytes != nullptr) munmap(bytes, BATCH_BUFFER_SIZE);
}

int batch_space_make(BatchSpace* space) {
    if (space->bytes != nullptr) return 0;
    void* room = mmap(nullptr, BATCH_BUFFER_SIZE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED) return SYSTEM_FAILED;
    space->bytes = static_cast<uint8_t*>(room);
    return 0;
}

void batch_run_init(BatchRun* run, const ToolSettings& settings) {
    run->settings = &settings;
    run->plan = batch_plan(settings.operations, settings.raw_function);
    run->draw_bar = settings.show_progress != 0;
    run->output_path = settings.has_output_path ? settings.output_path : nullptr;
    // Standard output that carries the fetched data must hold nothing else.
    run->bar = run->plan.fetches_output && run->output_path == nullptr ? stderr : stdout;
}
