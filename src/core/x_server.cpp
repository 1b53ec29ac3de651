#include "core/x_server.h"

#include "core/log.h"

#include <cstdlib>
#include <ctime>
#include <new>

x_server_t *server = nullptr;

x_server_t *x_server_create() {
    srand(static_cast<unsigned>(time(nullptr)));
    void *mem = calloc(1, sizeof(x_server_t));
    if (mem == nullptr) {
        log_error("server malloc failed\n");
        return nullptr;
    }
    return new (mem) x_server_t{};
}

void x_server_close(x_server_t *s) {
    if (s == nullptr) return;
    s->running.store(0);
    s->~x_server_t();
    free(s);
}
