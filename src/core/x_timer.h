// Timer lists with one fixed timeout each, and the process's clocks.
//
// Every event of a list shares the list's timeout and is appended when registered, so a list is
// ordered by expiry: registration, deletion and expiry of the head are O(1). Lists are checked once
// per loop pass; an event fires when strictly more than `timeout` ms have passed since it was
// registered. Durations use the monotonic clock, so a wall-clock step cannot freeze or burst
// timers.
#pragma once

#include <cstdint>

struct x_timer_event_t;
using x_timer_callback = void (*)(void *ctx, x_timer_event_t *ev);

struct x_timer_t {
    uint64_t timeout;      // ms an event may stay in the list before it fires
    x_timer_event_t *head; // oldest registration
    x_timer_event_t *tail; // newest registration
};

struct x_timer_event_t {
    void *ctx;                 // callback argument, usually the owning record
    x_timer_callback callback; // called as callback(ctx, ev) when the event expires
    uint64_t time;             // registration time, monotonic ms (x_time_ms)
    x_timer_t *timer;          // list the event is in, null when unregistered
    x_timer_event_t *prev;     // list links
    x_timer_event_t *next;
};

// Monotonic milliseconds: every duration and every stamp compared against one.
uint64_t x_time_ms();
// Monotonic microseconds: the bandwidth buckets' clock.
uint64_t x_time_us();
// Wall-clock milliseconds (seconds × 1000 + µs / 1000): only for what is printed or sent.
uint64_t x_time_wall_ms();
// Test seam: replace the millisecond clock used by x_time_ms (null restores the real one).
void x_time_set_clock(uint64_t (*ms_clock)());

void x_timer_init(x_timer_t *timer, uint64_t timeout_ms);
// Registers ev at the tail with a fresh stamp, first removing it from any list it is in.
// An event without a callback is logged and left unregistered.
void x_timer_reg(x_timer_t *timer, x_timer_event_t *ev);
// Removes ev from its list; nothing happens when it is not registered.
void x_timer_del(x_timer_event_t *ev);
// Fires every event whose age exceeds the list's timeout, oldest first. Callbacks may register,
// move or delete any event, this list's included; the walk always resumes from the current head.
void x_timer_check(x_timer_t *timer);
