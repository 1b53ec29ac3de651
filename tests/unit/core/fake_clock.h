// A settable millisecond clock for time-driven tests, in force while a FakeClock lives.
#pragma once

#include "core/x_timer.h"

#include <cstdint>

struct FakeClock {
    static inline uint64_t now = 0;
    explicit FakeClock(uint64_t start) {
        now = start;
        x_time_set_clock([] { return now; });
    }
    ~FakeClock() { x_time_set_clock(nullptr); }
};
