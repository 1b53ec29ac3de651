#include "core/x_timer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

uint64_t fake_now = 0;
uint64_t fake_clock() {
    return fake_now;
}

struct Clock {
    Clock() {
        fake_now = 1000;
        x_time_set_clock(fake_clock);
    }
    ~Clock() { x_time_set_clock(nullptr); }
};

struct Fired {
    std::vector<std::string> names;
    x_timer_event_t *to_delete = nullptr; // deleted by the first callback when set
};

struct Named {
    x_timer_event_t ev{};
    std::string name;
    Fired *log;
};

void on_fire(void *ctx, x_timer_event_t *) {
    auto *n = static_cast<Named *>(ctx);
    n->log->names.push_back(n->name);
    if (n->log->to_delete) {
        x_timer_del(n->log->to_delete);
        n->log->to_delete = nullptr;
    }
}

Named make(const char *name, Fired *log) {
    Named n;
    n.name = name;
    n.log = log;
    return n;
}

} // namespace

TEST(Timer, FiresOnlyStrictlyAfterTimeout) {
    Clock clock;
    x_timer_t t{};
    x_timer_init(&t, 100);
    Fired log;
    Named a = make("a", &log);
    a.ev.ctx = &a;
    a.ev.callback = on_fire;
    x_timer_reg(&t, &a.ev);
    fake_now += 100;
    x_timer_check(&t);
    EXPECT_TRUE(log.names.empty());
    fake_now += 1;
    x_timer_check(&t);
    EXPECT_EQ(log.names, std::vector<std::string>{"a"});
    EXPECT_EQ(a.ev.timer, nullptr);
    EXPECT_EQ(t.head, nullptr);
    EXPECT_EQ(t.tail, nullptr);
}

TEST(Timer, LongTimeoutOnAYoungClockDoesNotFire) {
    x_timer_t t{};
    x_timer_init(&t, 100000);
    fake_now = 5; // the monotonic clock may be younger than the timeout
    x_time_set_clock(fake_clock);
    Fired log;
    Named a = make("a", &log);
    a.ev.ctx = &a;
    a.ev.callback = on_fire;
    x_timer_reg(&t, &a.ev);
    fake_now = 50;
    x_timer_check(&t);
    x_time_set_clock(nullptr);
    EXPECT_TRUE(log.names.empty());
    x_timer_del(&a.ev);
}
