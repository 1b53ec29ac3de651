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

TEST(Timer, ReRegistrationMovesTheEventAndRestartsItsTimeout) {
    Clock clock;
    x_timer_t t1{}, t2{};
    x_timer_init(&t1, 100);
    x_timer_init(&t2, 50);
    Fired log;
    Named a = make("a", &log), b = make("b", &log);
    for (Named *n : {&a, &b}) {
        n->ev.ctx = n;
        n->ev.callback = on_fire;
        x_timer_reg(&t1, &n->ev);
    }
    fake_now += 90;
    x_timer_reg(&t1, &a.ev); // a moves behind b with a new stamp
    EXPECT_EQ(t1.head, &b.ev);
    EXPECT_EQ(t1.tail, &a.ev);
    fake_now += 11;
    x_timer_check(&t1);
    EXPECT_EQ(log.names, std::vector<std::string>{"b"});
    x_timer_reg(&t2, &a.ev); // into another list
    EXPECT_EQ(t1.head, nullptr);
    fake_now += 51;
    x_timer_check(&t1);
    x_timer_check(&t2);
    EXPECT_EQ(log.names, (std::vector<std::string>{"b", "a"}));
}

TEST(Timer, CallbackDeletingTheNextEventKeepsTheListConsistent) {
    Clock clock;
    x_timer_t t{};
    x_timer_init(&t, 10);
    Fired log;
    Named a = make("a", &log), b = make("b", &log), c = make("c", &log);
    for (Named *n : {&a, &b, &c}) {
        n->ev.ctx = n;
        n->ev.callback = on_fire;
        x_timer_reg(&t, &n->ev);
    }
    log.to_delete = &b.ev;
    fake_now += 11;
    x_timer_check(&t);
    EXPECT_EQ(log.names, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(b.ev.timer, nullptr);
    EXPECT_EQ(t.head, nullptr);
}

TEST(Timer, EventWithoutCallbackIsNotRegisteredAndDelIsIdempotent) {
    Clock clock;
    x_timer_t t{};
    x_timer_init(&t, 10);
    x_timer_event_t ev{};
    x_timer_reg(&t, &ev);
    EXPECT_EQ(ev.timer, nullptr);
    EXPECT_EQ(t.head, nullptr);
    x_timer_del(&ev);
    EXPECT_EQ(t.head, nullptr);
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
