// The server object: configuration, threads, listeners, backends and sinks of one process.
#pragma once

#include <atomic>

struct x_server_t {
    std::atomic<int> running; // 1 while threads keep looping; every loop pass checks it
};

// The process's one server object, set as soon as it is created.
extern x_server_t *server;

// Seeds rand() and allocates a zeroed server; null (with its log line) on allocation failure.
x_server_t *x_server_create();
// Tear-down used on the start-up failure paths; null is ignored.
void x_server_close(x_server_t *server);
