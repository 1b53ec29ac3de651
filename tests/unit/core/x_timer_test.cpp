#include "core/fake_clock.h"
#include "core/x_timer.h"

#include <gtest/gtest.h>

namespace {

// A registered event that counts how often it fired.
struct Probe {
    x_timer_event_t ev{};
    int fired = 0;
    explicit Probe(x_timer_t *t) {
        ev.ctx = this;
        ev.callback = [](void *ctx, x_timer_event_t *) { static_cast<Probe *>(ctx)->fired++; };
        x_timer_reg(t, &ev);
    }
};

} // namespace

TEST(Timer, FiresOnlyStrictlyAfterTimeout) {
    FakeClock clock(1000);
    x_timer_t t{};
    x_timer_init(&t, 100);
    Probe a(&t);
    clock.now += 100;
    x_timer_check(&t);
    EXPECT_EQ(a.fired, 0);
    clock.now += 1;
    x_timer_check(&t);
    EXPECT_EQ(a.fired, 1);
    EXPECT_EQ(a.ev.timer, nullptr);
    EXPECT_EQ(t.head, nullptr);
    EXPECT_EQ(t.tail, nullptr);
}

TEST(Timer, LongTimeoutOnAYoungClockDoesNotFire) {
    x_timer_t t{};
    x_timer_init(&t, 100000);
    FakeClock clock(5); // the monotonic clock may be younger than the timeout
    Probe a(&t);
    clock.now = 50;
    x_timer_check(&t);
    EXPECT_EQ(a.fired, 0);
    x_timer_del(&a.ev);
}
