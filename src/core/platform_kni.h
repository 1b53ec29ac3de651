// The loop driver and the message channel between the main thread and the workers.
//
// Each worker has two single-producer single-consumer rings: `rx` (main -> worker) and `tx`
// (worker -> main), 16384 slots each (16383 usable), woken by an eventfd registered edge-triggered
// in the consumer's epoll. The main thread's messages to itself are delivered synchronously.
#pragma once

#include "core/epoll.h"

#include <atomic>
#include <cstdint>

struct work_thread_t;

constexpr uint32_t PF_IPC_QUEUE_SIZE = 16384;

// Message types.
constexpr uint32_t X_IPC_AUTH_REQ = 1;     // owner -> main: session id
constexpr uint32_t X_IPC_AUTH_RESP = 2;    // main -> owner: session id
constexpr uint32_t X_IPC_CLIENT_CLOSE = 3; // owner -> main: the x_client_t *
constexpr uint32_t X_IPC_FLOW = 4;         // owner -> main: heap flow sample
constexpr uint32_t X_IPC_REPORT = 5;       // owner -> main: heap access line
constexpr uint32_t X_IPC_ACL_REQ = 6;      // owner -> main: session id
constexpr uint32_t X_IPC_ACL_RESP = 7;     // main -> owner: session id
constexpr uint32_t X_IPC_VERIFY_REQ = 8;   // owner -> main: session id
constexpr uint32_t X_IPC_VERIFY_RESP = 9;  // main -> owner: session id

// One message.
struct pf_ipc_event_t {
    uint32_t from; // sender's thread index (0: the main thread)
    uint32_t type; // X_IPC_*
    void *data;    // a session id widened to a pointer, or a record, by type
};
static_assert(sizeof(pf_ipc_event_t) == 16, "a message is 16 bytes");

// Receives every message: thread is the receiver, self its index, from the sender's index.
using pf_ipc_callback = void (*)(work_thread_t *thread, uint32_t self, uint32_t from, uint32_t type,
                                 void *data);

struct pf_ipc_queue_t {
    uint32_t id;                 // index of the consuming thread
    uint32_t queue_size;         // slots in the ring
    pf_ipc_event_t *queue;       // the slots
    std::atomic<uint32_t> front; // next slot to consume (consumer only)
    std::atomic<uint32_t> rear;  // next slot to fill (producer only)
    event_data_t ev_data;        // the eventfd's registration in the consumer's epoll
    work_thread_t *thread;       // consuming thread
    pf_ipc_callback callback;    // called for every message
};

struct pf_ipc_t {
    pf_ipc_queue_t rx; // main -> this thread
    pf_ipc_queue_t tx; // this thread -> main
};

struct pf_ipc_list_t {
    pf_ipc_event_t *buf; // every ring's slots, 2 × PF_IPC_QUEUE_SIZE per thread
    pf_ipc_t *list;      // one pair of rings per thread index
    uint32_t count;      // thread count
};

// Calls fn(thread) until it returns non-zero.
void pf_run(int (*fn)(work_thread_t *), work_thread_t *thread);

// Creates the channel for every thread of `threads` (count entries, [0] the main thread).
[[nodiscard]] bool pf_ipc_init(work_thread_t *threads, uint32_t count, pf_ipc_callback callback);
// Creates the ring's eventfd and registers it in the consumer's epoll.
[[nodiscard]] bool pf_ipc_set_callback(pf_ipc_queue_t *queue, work_thread_t *thread,
                                       pf_ipc_callback callback);
// Queues a message to the main thread (synchronous when from is 0). False when the channel is
// missing, `from` is out of range or the ring is full.
[[nodiscard]] bool pf_ipc_send_to_main(uint32_t from, uint32_t type, void *data);
// Queues a message from the main thread to thread `to` (synchronous when to is 0).
[[nodiscard]] bool pf_ipc_send_to_worker(uint32_t to, uint32_t type, void *data);
// Event handler of a ring's eventfd: drains the ring.
void pf_ipc_on_data(x_server_t *server, event_data_t *ev, uint32_t events);
// Unregisters and closes every eventfd and frees the channel; safe when it does not exist.
void pf_ipc_close();
