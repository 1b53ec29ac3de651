#include "net/x_conn_pool.h"

#include <cstdlib>
#include <cstring>

#include "config/x_server_config.h"
#include "core/log.h"
#include "net/x_udp_client.h"
#include "net/x_ws_client.h"

x_conn_pool_t *x_conn_pool_create(work_thread_t *thread, const char *if_name, uint32_t bind_addr,
                                  uint32_t pool_size) {
    if (pool_size > X_CONN_POOL_MAX) return nullptr;
    auto *pool = static_cast<x_conn_pool_t *>(calloc(1, sizeof(x_conn_pool_t)));
    if (!pool) return nullptr;
    pool->thread = thread;
    if (if_name && *if_name) {
        strncpy(pool->if_name, if_name, X_TRANS_IF_NAME_MAX);
        pool->if_name[X_TRANS_IF_NAME_MAX] = '\0';
    }
    pool->bind_addr = bind_addr;
    pool->pool_size = pool_size;
    return pool;
}

x_trans_client_t *x_trans_client_create(uint16_t trans_type, work_thread_t *thread,
                                        const char *if_name, uint32_t bind_addr) {
    switch (trans_type) {
    case X_TRANS_WS:
        return reinterpret_cast<x_trans_client_t *>(x_ws_client_create(thread, if_name, bind_addr));
    case X_TRANS_UDP:
        return reinterpret_cast<x_trans_client_t *>(
            x_udp_client_create(thread, if_name, bind_addr));
    case X_TRANS_TCP:
        return reinterpret_cast<x_trans_client_t *>(
            x_tcp_client_create(thread, if_name, bind_addr));
    default:
        return nullptr;
    }
}

bool x_conn_pool_add(x_conn_pool_t *pool, uint16_t trans_type,
                     const x_config_remote_server_t *servers, uint32_t server_num,
                     const char *server_path, uint32_t reconn_inval, uint32_t heartbeat_timeout,
                     void *original, data_handler data_func, init_handler init_func,
                     close_handler close_func) {
    uint32_t slot = 0;
    while (slot < pool->pool_size && pool->trans_pool[slot])
        slot++;
    if (slot == pool->pool_size) return true;
    if (server_num == 0 || !servers) {
        log_error("conn pool add without servers\n");
        return false;
    }
    if (trans_type > X_TRANS_TCP) {
        log_error("conn pool add trans type %d is not support\n", trans_type);
        return false;
    }
    const char *path = server_path ? server_path : "";
    for (uint32_t server = 0; slot < pool->pool_size; slot++, server = (server + 1) % server_num) {
        const x_config_remote_server_t *s = &servers[server];
        const char *host =
            s->server_host.data ? reinterpret_cast<const char *>(s->server_host.data) : "";
        log_info("client [%u] address: %s:%u path: %s\n", slot, host, s->server_port, path);
        x_trans_client_t *c =
            x_trans_client_create(trans_type, pool->thread, pool->if_name, pool->bind_addr);
        if (!c || !c->do_init) {
            log_error("conn pool add trans calloc client failed\n");
            free(c);
            return false;
        }
        if (!c->do_init(c, host, s->server_port, path, reconn_inval, 0, heartbeat_timeout, original,
                        data_func, init_func, close_func)) {
            c->do_free(c);
            return false;
        }
        pool->trans_pool[slot] = c;
    }
    return true;
}

bool x_conn_pool_put(x_conn_pool_t *pool, x_trans_client_t *client) {
    for (uint32_t slot = 0; slot < pool->pool_size; slot++) {
        if (!pool->trans_pool[slot]) {
            pool->trans_pool[slot] = client;
            return true;
        }
    }
    return false;
}

bool x_conn_pool_send(x_conn_pool_t *pool, const uint8_t *buf, size_t len) {
    uint32_t n = pool->pool_size;
    for (uint32_t step = 1; step <= n; step++) {
        uint32_t slot = (pool->cur_index + step) % n;
        x_trans_client_t *c = pool->trans_pool[slot];
        if (!c || c->status != X_TRANS_CONNECTED || !c->do_send) continue;
        pool->cur_index = slot;
        return c->do_send(c, buf, len);
    }
    return true;
}

void x_conn_pool_conn_check(x_conn_pool_t *pool) {
    for (uint32_t slot = 0; slot < pool->pool_size; slot++) {
        x_trans_client_t *c = pool->trans_pool[slot];
        if (c && c->do_check) c->do_check(c);
    }
}

uint32_t x_conn_pool_connected(const x_conn_pool_t *pool) {
    uint32_t n = 0;
    for (uint32_t slot = 0; slot < pool->pool_size; slot++) {
        const x_trans_client_t *c = pool->trans_pool[slot];
        if (c && c->status == X_TRANS_CONNECTED) n++;
    }
    return n;
}

void x_conn_pool_free(x_conn_pool_t *pool) {
    if (!pool) return;
    for (uint32_t slot = 0; slot < pool->pool_size; slot++) {
        x_trans_client_t *c = pool->trans_pool[slot];
        if (c && c->do_free) c->do_free(c);
        pool->trans_pool[slot] = nullptr;
    }
    free(pool);
}
