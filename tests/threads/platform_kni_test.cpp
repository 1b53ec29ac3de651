// The message rings between threads: order, capacity, delivery on the main thread, draining.
#include "core/platform_kni.h"
#include "core/work_thread.h"
#include "core/x_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

struct Message {
    uintptr_t data;
    uint32_t from, type;
};
std::vector<Message> *received = nullptr;

void record(work_thread_t *, uint32_t, uint32_t from, uint32_t type, void *data) {
    received->push_back({reinterpret_cast<uintptr_t>(data), from, type});
}

// Two thread records with epoll instances and the channel between them.
struct Channel {
    work_thread_t threads[2]{};
    std::vector<Message> got;
    explicit Channel(uint32_t count = 2) {
        received = &got;
        for (uint32_t i = 0; i < count; i++) {
            threads[i].index = i;
            threads[i].epoll_fd = epoll_create1(0);
        }
        EXPECT_TRUE(pf_ipc_init(threads, count, record));
    }
    ~Channel() {
        pf_ipc_close();
        for (auto &t : threads)
            if (t.epoll_fd) close(t.epoll_fd);
        received = nullptr;
    }
    // Runs the consumer side of thread i once: waits for its eventfd and drains.
    int drain(uint32_t i, int timeout_ms) {
        struct epoll_event evs[4];
        int n = epoll_wait(threads[i].epoll_fd, evs, 4, timeout_ms);
        for (int k = 0; k < n; k++) {
            auto *ev = static_cast<event_data_t *>(evs[k].data.ptr);
            ev->handler(nullptr, ev, evs[k].events);
        }
        return n;
    }
};

void *as_data(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}

} // namespace

TEST(Rings, FullRingRefusesTheMessageAfter16383) {
    Channel ch;
    uint32_t sent = 0;
    while (pf_ipc_send_to_main(1, X_IPC_FLOW, as_data(sent + 1)))
        sent++;
    EXPECT_EQ(sent, PF_IPC_QUEUE_SIZE - 1);
    ch.drain(0, 1000);
    ASSERT_EQ(ch.got.size(), sent);
    for (uint32_t i = 0; i < sent; i++)
        ASSERT_EQ(ch.got[i].data, i + 1);
    EXPECT_EQ(ch.got[0].from, 1u);
    EXPECT_TRUE(pf_ipc_send_to_main(1, X_IPC_FLOW, as_data(7))); // room again
}

TEST(Rings, MainThreadToItselfIsSynchronous) {
    Channel ch(1);
    ASSERT_TRUE(pf_ipc_send_to_main(0, X_IPC_AUTH_REQ, as_data(42)));
    ASSERT_EQ(ch.got.size(), 1u); // delivered inside the call
    EXPECT_EQ(ch.got[0].type, X_IPC_AUTH_REQ);
    ASSERT_TRUE(pf_ipc_send_to_worker(0, X_IPC_AUTH_RESP, as_data(43)));
    EXPECT_EQ(ch.got.size(), 2u);
    EXPECT_EQ(ch.drain(0, 0), 0);                                 // no eventfd traffic
    EXPECT_FALSE(pf_ipc_send_to_main(1, X_IPC_FLOW, as_data(1))); // no such thread
}

TEST(Rings, ManyMessagesAcrossThreadsArriveInOrderWhileDraining) {
    Channel ch;
    constexpr uintptr_t kMessages = 200000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (uintptr_t i = 1; i <= kMessages; i++)
            while (!pf_ipc_send_to_main(1, X_IPC_REPORT, as_data(i)))
                std::this_thread::yield();
        done = true;
    });
    while (ch.got.size() < kMessages)
        ch.drain(0, 100);
    producer.join();
    ASSERT_EQ(ch.got.size(), kMessages);
    for (uintptr_t i = 0; i < kMessages; i++)
        ASSERT_EQ(ch.got[i].data, i + 1) << i;
    EXPECT_TRUE(done);
}

TEST(Rings, MainToWorkerReachesTheWorkerRing) {
    Channel ch;
    std::thread worker([&] {
        while (ch.got.size() < 1000)
            ch.drain(1, 100);
    });
    for (uintptr_t i = 1; i <= 1000; i++)
        while (!pf_ipc_send_to_worker(1, X_IPC_ACL_RESP, as_data(i)))
            std::this_thread::yield();
    worker.join();
    for (uintptr_t i = 0; i < 1000; i++)
        ASSERT_EQ(ch.got[i].data, i + 1);
    EXPECT_EQ(ch.got[0].from, 0u);
}

TEST(Rings, CloseNoticeThatFindsTheRingFullIsRetriedNextPass) {
    Channel ch;
    ch.threads[1].tid.store(pthread_self()); // this test thread owns the worker's sessions
    x_client_t c{};
    c.thread = &ch.threads[1];
    uint32_t queued = 0;
    while (pf_ipc_send_to_main(1, X_IPC_FLOW, as_data(1)))
        queued++;
    x_client_list_append(&ch.threads[1].client_close_list, &c);
    x_client_check_to_close(&ch.threads[1].client_close_list);
    EXPECT_EQ(ch.threads[1].client_close_list.head, &c); // kept, not leaked
    ch.drain(0, 1000);
    x_client_check_to_close(&ch.threads[1].client_close_list);
    EXPECT_EQ(ch.threads[1].client_close_list.head, nullptr);
    ch.drain(0, 1000);
    ASSERT_EQ(ch.got.size(), queued + 1);
    EXPECT_EQ(ch.got.back().type, X_IPC_CLIENT_CLOSE);
    EXPECT_EQ(ch.got.back().data, reinterpret_cast<uintptr_t>(&c));
}
