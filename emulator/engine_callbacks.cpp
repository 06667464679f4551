// SPDX-License-Identifier: GPL-2.0-or-later
// Callback transfers: the reader announces a card or an event with
// CB_REQUEST and sends its data once the host acknowledges it.

#include "engine.h"

namespace emu::detail {

void start_callback(Device& dev, const PendingCallback& callback, bool in_place, double now) {
    Engine& eng = dev.eng;
    eng.cb = CbTransfer{callback, std::max(now, eng.last_visible) + CB_ACK_TIMEOUT_MS,
                        dev.log.callbacks.size()};
    dev.log.callbacks.push_back(
        {next_seq(), emu::Callback{now, callback.code, callback.data, in_place,
                                   outcome_name(CallbackOutcome::Pending), 0}});
    transcript_dirty();
    eng.state = EngineState::CbWaitAck;
    send(dev, CB_REQUEST, static_cast<int32_t>(callback.data.size()), now, callback.code);
}

void end_callback(Device& dev, CallbackOutcome outcome, int32_t value, double now) {
    Engine& eng = dev.eng;
    if (eng.cb.record < dev.log.callbacks.size()) {
        dev.log.callbacks[eng.cb.record].value.outcome = outcome_name(outcome);
        dev.log.callbacks[eng.cb.record].value.host_value = value;
        transcript_dirty();
    }
    const PendingCallback done = eng.cb.cb;
    eng.cb = CbTransfer{};
    eng.state = EngineState::Idle;
    if (outcome == CallbackOutcome::Done) card_delivered(dev.model, done);
    if (outcome == CallbackOutcome::Done || outcome == CallbackOutcome::Refused ||
        outcome == CallbackOutcome::Timeout)
        try_announce(dev, now);
}

void try_announce(Device& dev, double now) {
    Engine& eng = dev.eng;
    if (eng.state != EngineState::Idle || dev.open_handle == nullptr || !dev.present ||
        eng.pending.empty() || !speaks_protocol(dev))
        return;
    const PendingCallback callback = eng.pending.front();
    eng.pending.pop_front();
    start_callback(dev, callback, false, now);
}

void fire_triggers(Device& dev, uint16_t fn, double now) {
    for (CallbackRule& rule : dev.decl.callbacks) {
        if (rule.trigger != CallbackRule::Trigger::After ||
            (rule.after_fn >= 0 && rule.after_fn != fn))
            continue;
        ++rule.seen;
        if (!(rule.each ? rule.seen % rule.nth == 0 : !rule.fired && rule.seen == rule.nth))
            continue;
        rule.fired = true;
        if (rule.delay_s <= 0)
            dev.eng.pending.push_back(rule.cb);
        else
            schedule(now + rule.delay_s * 1000,
                     action(Action::Kind::Callback, dev.shared_from_this(), rule.cb));
    }
}

void queue_callback(Device& dev, const PendingCallback& callback, double now) {
    if (!dev.present)
        return note(dev, now, fmt("callback %d dropped: device not on the bus", callback.code));
    dev.eng.pending.push_back(callback);
    try_announce(dev, now);
    dev.cv.notify_all();
}

} // namespace emu::detail
