// Event-loop threads: the main thread (index 0) and the workers, each with its own epoll
// instance, session table, resolver, timer lists and deferred close and free queues.
#pragma once

#include "core/x_timer.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sys/epoll.h>

struct x_server_t;
struct x_client_t;
struct x_dns_t;
struct dict;

constexpr int WORK_THREAD_MAX_EVENTS = 1024;

// A singly linked list of sessions through their `next` field.
struct x_client_list_t {
    x_client_t *head;
    x_client_t *tail;
};

struct work_thread_t {
    x_server_t *server;         // back pointer
    std::atomic<pthread_t> tid; // set at initialisation, cleared when a worker ends
    uint32_t index;             // 0 for the main thread, 1... for workers
    int epoll_fd;               // the thread's epoll instance
    struct epoll_event events[WORK_THREAD_MAX_EVENTS]; // epoll_wait results
    x_client_list_t client_close_list;                 // sessions closed during the current pass
    x_client_list_t client_free_list;                  // sessions to free (main thread)
    dict *session_to_clients;                          // session id -> x_client_t * owned here
    x_dns_t *dns;                                      // the thread's resolver
    x_timer_t tovask_timer;                            // 500 ms: agent-forwarding requests
    x_timer_t conn_timer;                              // src_timeout: waiting for client data
    x_timer_t dst_timer;                               // dst_timeout: connecting outwards
    x_timer_t flow_timer;                              // 1000 ms: periodic flow samples
    x_timer_t reply_timer;                             // 60000 ms: idle check
    x_timer_t verify_timer;                            // 10000 ms: re-verification
    uint64_t last_show_cache_time;                     // last session-table size line (main thread)
    uint8_t *relay_scratch;                            // relay reads copied here, made at first use
    int relay_pipe[2];                                 // relay splices through it; 0: none
    std::atomic<bool> inited;                          // initialisation completed
    pthread_t join_id;                                 // the pthread to join (workers only)
};

// The session table's type: 32-bit ids in the key slot, owning neither keys nor values.
extern struct dictType session_dict_type;

// Index 0 initialises in the calling thread; other indexes start their own thread.
[[nodiscard]] bool work_thread_start(x_server_t *server, work_thread_t *thread, uint32_t index);
// Affinity, session table, epoll, resolver, timer lists; sets `inited`.
[[nodiscard]] bool work_thread_init(work_thread_t *thread);
// Releases what work_thread_init built (not the sessions).
void work_thread_free(work_thread_t *thread);
// One loop pass: wait, dispatch, periodic checks, timers, close and free queues.
void work_thread_do(work_thread_t *thread);
// The loop body for pf_run: -1 once the server stops running, else one pass and 0.
int on_ev_loop(work_thread_t *thread);
// Receives every inter-thread message.
void work_thread_on_ipc(work_thread_t *thread, uint32_t self, uint32_t from, uint32_t type,
                        void *data);
