// Result codes of korvo's SPSC ring queue: shared by the ring itself and by the public
// operation table (korvo/spsc_queue.hpp). No interpreter needed. Non-negative means success;
// the negative codes are distinct failure reasons.
#pragma once

namespace korvo::spsc_queue {

// push_wake / push_var_wake: stored, and the consumer may be asleep on the caller's own wake-up
// primitive (an empty try_pop* armed a wake-up and it has taken nothing since): wake it now.
// Once per such sleep.
inline constexpr int k_wake = 1;
// push*: stored, no wake-up needed. try_pop*: the queue is empty, nothing taken (and the
// consumer's wake-up is armed). release(): the message was let go. stop(): no one to wake.
inline constexpr int k_ok = 0;
// pop* / try_pop*: exactly one message was taken and *data / *size describe it.
inline constexpr int k_taken = 1;
// push*: not stored, the queue is full (neither overwrite nor block_on_full; with overwrite only
// when the message cannot fit beside the one the consumer is holding right now).
inline constexpr int k_full = -1;
// push*: not stored, and never will be: longer than a slot (fixed family) or than the whole
// byte ring can hold (variable family).
inline constexpr int k_too_large = -2;
// push*: not stored, the queue was stopped (also ends a block_on_full wait). pop* / try_pop*:
// stopped and nothing left to take (queued messages are still handed out after stop).
inline constexpr int k_stopped = -3;
// pop* / try_pop*: the next message was pushed through the other family (push vs push_var).
// Nothing is handed out; it stays first in line for a pop of its own family.
inline constexpr int k_wrong_family = -4;
// release(): the consumer holds no message.
inline constexpr int k_nothing_held = -5;

}  // namespace korvo::spsc_queue
