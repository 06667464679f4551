// SPDX-License-Identifier: GPL-2.0-or-later
// The path of reports towards the host: latency, hidapi's queue, data blocks
// sent in packets, and the faults that damage a report on its way.
#include <algorithm>
#include <utility>

#include "engine.h"

namespace emu::detail {

namespace {

QReport make_q(Engine& eng, const Report& report, double at) {
    QReport queued;
    queued.bytes = report;
    queued.visible_at = eng.last_visible = std::max(at, eng.last_visible);
    return queued;
}

// The headers held back behind a data block follow it once it is sent.
void release_after_stream(Engine& eng) {
    eng.stream = OutStream{};
    for (QReport& queued : eng.after_stream) {
        queued.visible_at = eng.last_visible = std::max(queued.visible_at, eng.last_visible);
        eng.flight.push_back(queued);
    }
    eng.after_stream.clear();
}
// The faults the script sets for this step damage the header on its way.
void damage_header(Device& dev, QReport& queued, uint8_t type, Step step, double now) {
    const ScriptEntry& entry = dev.eng.ctx.entry;
    const std::string what = header_type_name(type);
    if (entry.dataheader_step == step) {
        queued.bytes[0] &= static_cast<uint8_t>(~CTRL_HEADER);
        note(dev, now, "fault: " + what + " sent as a data packet");
    }
    if (entry.short_step == step) {
        queued.length = std::clamp(entry.short_bytes, 0, REPORT_BYTES);
        note(dev, now, "fault: " + what + fmt(" handed over with %d bytes", queued.length));
    }
    if (entry.hidfail_step == step) {
        queued.fail_once = true;
        note(dev, now, "fault: read of " + what + " fails");
    }
}

} // namespace

// Moves the reports whose time has come into hidapi's queue, which holds 30
// and drops the oldest beyond that.
void settle(Device& dev, double now) {
    Engine& eng = dev.eng;
    while (!eng.flight.empty() && eng.flight.front().visible_at <= now) {
        QReport queued = eng.flight.front();
        eng.flight.pop_front();
        log_report(dev, queued.bytes, false, queued.visible_at, queued.length, "");
        eng.hostq.push_back(queued);
        if (eng.hostq.size() <= HOST_QUEUE_MAX) continue;
        log_report(dev, eng.hostq.front().bytes, false, now, eng.hostq.front().length, "dropped");
        note(dev, now, "host queue full: oldest report dropped");
        eng.hostq.pop_front();
    }
}

// Produces the next data packets of the current block. With pacing on, the
// reader sends only while hidapi's queue has room, so a slow host loses no
// data; with pacing off it sends the whole block at once.
void pump(Device& dev, double now) {
    Engine& eng = dev.eng;
    OutStream& stream = eng.stream;
    while (stream.active() &&
           (!dev.decl.pace || eng.flight.size() + eng.hostq.size() < HOST_QUEUE_MAX)) {
        const size_t length = std::min<size_t>(PAYLOAD_MAX, stream.data.size() - stream.pos);
        QReport queued = make_q(eng, make_packet(false, &stream.data[stream.pos], length),
                                now + dev.decl.latency_ms);
        if (stream.pos == 0 && stream.short_bytes >= 0) {
            queued.length = stream.short_bytes;
            note(dev, now, fmt("fault: data packet handed over with %d bytes", queued.length));
        }
        if (stream.pos == 0 && stream.fault_hidfail) {
            queued.fail_once = true;
            note(dev, now, "fault: read of the first data packet fails");
        }
        stream.pos += length;
        eng.flight.push_back(queued);
    }
    if (!stream.active()) release_after_stream(eng);
    settle(dev, now);
}

void send_header(Device& dev, const HeaderBytes& header, double now, Step fault_step,
                 double extra_delay) {
    Engine& eng = dev.eng;
    QReport queued = make_q(eng, make_packet(true, header.data(), header.size()),
                            now + dev.decl.latency_ms + extra_delay);
    if (fault_step != Step::None && eng.ctx.active)
        damage_header(dev, queued, header[0], fault_step, now);
    (eng.stream.active() ? eng.after_stream : eng.flight).push_back(queued);
    settle(dev, now);
}

void send(Device& dev, uint8_t type, int32_t value, double now, uint16_t code) {
    send_header(dev, encode_header({type, value, code, 0}), now);
}

void start_data(Device& dev, const Bytes& data, double now, bool faults) {
    Engine& eng = dev.eng;
    eng.stream = OutStream{};
    eng.stream.data = data;
    if (faults && eng.ctx.active) {
        const ScriptEntry& entry = eng.ctx.entry;
        if (entry.short_step == Step::Output)
            eng.stream.short_bytes = std::clamp(entry.short_bytes, 0, REPORT_BYTES);
        eng.stream.fault_hidfail = entry.hidfail_step == Step::Output;
    }
    pump(dev, now);
}

void clear_bus(Engine& eng) {
    eng.hostq.clear();
    eng.flight.clear();
    eng.after_stream.clear();
    eng.stream = OutStream{};
}

double next_visible(const Device& dev) {
    return dev.eng.flight.empty() ? NEVER : dev.eng.flight.front().visible_at;
}

int take_report(Device& dev, Handle* handle, QReport& out, double now) {
    Engine& eng = dev.eng;
    if (handle->dead) {
        if (handle->leftover.empty()) return -1;
        out = handle->leftover.front();
        handle->leftover.pop_front();
        return 1;
    }
    if (handle != dev.open_handle) return 0; // another interface: nothing for the host
    settle(dev, now);
    if (eng.hostq.empty()) return 0;
    QReport& front = eng.hostq.front();
    if (front.fail_once) {
        front.fail_once = false;
        return -1;
    }
    if (++eng.reads == dev.decl.fail_read_at) {
        note(dev, now, fmt("fault: read %d fails", eng.reads));
        return -1;
    }
    out = front;
    eng.hostq.pop_front();
    pump(dev, now);
    return 1;
}

} // namespace emu::detail
