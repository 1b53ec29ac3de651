#include "auth/x_auth.h"

#include "core/x_client.h"

void x_auth_start_auth(x_server_t *, x_client_t *client, void (*callback)(x_client_t *)) {
    if (client == nullptr || callback == nullptr || client->auth_index == -1) return;
    // Backends answer once they exist; until then a port that names one refuses its clients.
    client->auth_result.code = X_ERROR_AUTH_SERVER;
    callback(client);
}

void x_auth_start_acl(x_server_t *, x_client_t *client, void (*callback)(x_client_t *, uint32_t)) {
    if (client == nullptr || callback == nullptr) return;
    if (client->auth_index == -1) {
        callback(client, 0);
        return;
    }
    callback(client, 1);
}
