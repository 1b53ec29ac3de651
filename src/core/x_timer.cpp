#include "core/x_timer.h"

#include "core/log.h"

#include <ctime>
#include <sys/time.h>

namespace {

uint64_t (*clock_override)() = nullptr;

uint64_t monotonic_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

} // namespace

uint64_t x_time_ms() {
    if (clock_override) return clock_override();
    return monotonic_ns() / 1000000ull;
}

uint64_t x_time_us() {
    return monotonic_ns() / 1000ull;
}

uint64_t x_time_wall_ms() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000ull + static_cast<uint64_t>(tv.tv_usec) / 1000ull;
}

void x_time_set_clock(uint64_t (*ms_clock)()) {
    clock_override = ms_clock;
}

void x_timer_init(x_timer_t *timer, uint64_t timeout_ms) {
    timer->timeout = timeout_ms;
}

void x_timer_del(x_timer_event_t *ev) {
    x_timer_t *timer = ev->timer;
    if (timer == nullptr) return;
    if (ev->prev)
        ev->prev->next = ev->next;
    else
        timer->head = ev->next;
    if (ev->next)
        ev->next->prev = ev->prev;
    else
        timer->tail = ev->prev;
    ev->timer = nullptr;
    ev->prev = nullptr;
    ev->next = nullptr;
}

void x_timer_reg(x_timer_t *timer, x_timer_event_t *ev) {
    if (ev->timer) x_timer_del(ev);
    if (ev->callback == nullptr) {
        log_error("timer register with no callback\n");
        return;
    }
    ev->timer = timer;
    ev->time = x_time_ms();
    ev->prev = timer->tail;
    ev->next = nullptr;
    if (timer->tail)
        timer->tail->next = ev;
    else
        timer->head = ev;
    timer->tail = ev;
}

void x_timer_check(x_timer_t *timer) {
    while (timer->head) {
        uint64_t now = x_time_ms();
        x_timer_event_t *ev = timer->head;
        // Age, not now − timeout: the monotonic clock may be younger than a long timeout.
        if (now < ev->time || now - ev->time <= timer->timeout) break;
        x_timer_del(ev);
        ev->callback(ev->ctx, ev);
    }
}
