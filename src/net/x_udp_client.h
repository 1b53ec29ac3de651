// The UDP transport client: one datagram carries one whole message each way, without a prefix.
//
// The socket is not connected: datagrams go to the resolved server address, and only datagrams
// from exactly that address and port are taken (others, and empty ones, are dropped silently).
// Instead of a heartbeat the server name is resolved again every 30 s and an address change is
// followed. After a failure the socket is reopened `reconn_inval` ms later. Sending and receiving
// never block the loop. A client belongs to its creating thread.
#pragma once

#include "net/x_tcp_client.h"

constexpr size_t X_UDP_RECV_SIZE = 65536;   // receive area, one datagram
constexpr uint64_t X_UDP_RELOAD_MS = 30000; // ms between resolutions of the server name

struct x_udp_client_t {
    x_trans_client_t base;            // type X_TRANS_UDP; heartbeat_timeout unused
    event_data_t ev_data;             // the socket's registration (other_ctx = this client)
    x_dns_query_t *dns_query;         // outstanding resolution, null when none
    uint64_t last_reload_server_time; // ms of the last resolution started
    uint64_t last_reconn_time;        // ms of the last close: reopening waits reconn_inval
    uint32_t reconn_ref;              // consecutive closes counted toward reconn_cnt
    buf_t recv_buf;                   // 65536-byte receive area
    uint32_t generation;              // bumped by every close
};

// A zeroed client of thread with its operation table; null on allocation failure.
x_udp_client_t *x_udp_client_create(work_thread_t *thread, const char *if_name, uint32_t bind_addr);
[[nodiscard]] bool x_udp_client_init(x_trans_client_t *client, const char *host, uint16_t port,
                                     const char *server_path, uint32_t reconn_inval,
                                     uint32_t reconn_cnt, uint32_t heartbeat_timeout,
                                     void *original, data_handler data_func, init_handler init_func,
                                     close_handler close_func);
// One datagram to the server. False when the client has no socket yet or the send fails (the
// client is then closed); a full socket buffer drops the datagram and gives true.
[[nodiscard]] bool x_udp_client_send(x_trans_client_t *client, const uint8_t *buf, size_t len);
void x_udp_client_check(x_trans_client_t *client);
void x_udp_client_close(x_udp_client_t *udp_client);
void x_udp_client_free(x_trans_client_t *client);
