// The upstream socket of a session during an upstream handshake: the small steps every client
// protocol's handshake handlers share (the connect's outcome, whole-message sends, watching for
// the reply, emptying the handshake buffer, letting go of the socket before a retry).
//
// The socket is the session's tcp_dst_ev_data; the handshake buffer is its down.buf.
#pragma once

#include "core/epoll.h"

#include <cstddef>
#include <cstdint>

struct x_client_t;

// Outcome of a non-blocking connect once its socket reported: 0 when connected, else the error.
int x_forward_connect_error(const event_data_t *ev, uint32_t events);
// Sends one whole handshake message; false with *err set otherwise. A short send counts as
// EAGAIN: the messages are small and the connection fresh, so no partial-send state is kept.
[[nodiscard]] bool x_forward_send(x_client_t *client, const void *data, size_t len, int *err);
// Watches the upstream socket for input with `handler`; false when the registration failed.
[[nodiscard]] bool x_forward_watch(x_client_t *client, event_handler handler);
// Empties the handshake buffer once a reply was consumed.
void x_forward_consume(x_client_t *client);
// Before a retry: clears the socket's handler, takes it out of the event loop, closes it and
// clears the stored descriptor (nothing to do without one). False when it could not be taken
// out of the event loop: the session must close.
[[nodiscard]] bool x_forward_release_socket(x_client_t *client);
