// A fixed set of transport clients towards one or more back-end servers, with outgoing messages
// spread over the connected ones in turn.
//
// A pool and its clients are used by their owning thread only; x_conn_pool_conn_check must run
// on every loop pass of that thread. A pool with no connected client (no slot, every slot empty
// or every client down) takes a message without sending it and reports success: the owner's
// request time-outs deal with the loss.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/x_tcp_client.h"

struct x_config_remote_server_t;

constexpr uint32_t X_CONN_POOL_MAX = 100; // slots of a pool

struct x_conn_pool_t {
    work_thread_t *thread;                         // thread the clients belong to
    char if_name[X_TRANS_IF_NAME_MAX + 1];         // device given to every client
    uint32_t bind_addr;                            // local address given to every client
    uint32_t pool_size;                            // number of slots, at most 100
    uint32_t cur_index;                            // slot that took the last message
    x_trans_client_t *trans_pool[X_CONN_POOL_MAX]; // the clients; null for a slot not filled
};

// A zeroed pool; null when pool_size exceeds 100 or on allocation failure.
x_conn_pool_t *x_conn_pool_create(work_thread_t *thread, const char *if_name, uint32_t bind_addr,
                                  uint32_t pool_size);
// A client of transport trans_type (X_TRANS_WS, X_TRANS_UDP, X_TRANS_TCP) on thread, not yet
// initialised; null for an unknown type or on allocation failure.
x_trans_client_t *x_trans_client_create(uint16_t trans_type, work_thread_t *thread,
                                        const char *if_name, uint32_t bind_addr);
// Fills the empty slots, from the first one on, with clients of trans_type towards the servers
// taken in turn (slot by slot, back to the first server after the last) and starts them; the
// pool's owners are never told of closes. Logs each slot. False on an unknown type or a failed
// client (the slots filled so far stay); true at once for a pool of size 0.
[[nodiscard]] bool x_conn_pool_add(x_conn_pool_t *pool, uint16_t trans_type,
                                   const x_config_remote_server_t *servers, uint32_t server_num,
                                   const char *server_path, uint32_t reconn_inval,
                                   uint32_t heartbeat_timeout, void *original,
                                   data_handler data_func, init_handler init_func,
                                   close_handler close_func);
// Puts an initialised client of the pool's thread into the first empty slot (pools of mixed
// transports); false when every slot is taken. The pool owns the client from then on.
[[nodiscard]] bool x_conn_pool_put(x_conn_pool_t *pool, x_trans_client_t *client);
// Sends on the next connected client after cur_index (one full turn at most) and gives its
// send's result; true without sending when none is connected.
[[nodiscard]] bool x_conn_pool_send(x_conn_pool_t *pool, const uint8_t *buf, size_t len);
// Every client's check; on every loop pass of the owning thread.
void x_conn_pool_conn_check(x_conn_pool_t *pool);
// Number of clients whose status is connected.
uint32_t x_conn_pool_connected(const x_conn_pool_t *pool);
// Frees every client and the pool; null is ignored. Never from inside a client's handler.
void x_conn_pool_free(x_conn_pool_t *pool);
