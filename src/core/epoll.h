// Registration of descriptors in a thread's epoll instance.
//
// Every registered descriptor has an event_data_t, embedded in the record that owns the
// descriptor; the epoll user data is the record's address and the loop calls its handler.
#pragma once

#include <cstdint>

struct x_server_t;
struct x_client_t;
struct x_config_port_t;
struct event_data_t;

using event_handler = void (*)(x_server_t *server, event_data_t *ev, uint32_t events);

struct event_data_t {
    x_client_t *client;     // owning session, null for listeners, rings, resolver sockets...
    x_config_port_t *xport; // listening port the connection arrived on
    void *other_ctx;        // further context for the handler (relay direction, ring, resolver)
    event_handler handler;  // called as handler(server, ev, events)
    int fd;                 // the descriptor; 0 means none
    uint32_t reg_events;    // mask currently registered; 0 means not registered
};

// Stores handler, then makes `events` the registered mask (ADD, MOD, or DEL for 0). Issues no
// system call when the mask is unchanged. False on bad parameters or a failed epoll_ctl.
[[nodiscard]] bool ev_add_event(int epfd, event_data_t *ev, uint32_t events, event_handler handler);
// Removes the registration; succeeds without a system call when nothing is registered.
[[nodiscard]] bool ev_del_event(int epfd, event_data_t *ev);
// O_NONBLOCK on fd: 0 on success, -1 on failure.
int pf_socket_set_non_block(int fd);
