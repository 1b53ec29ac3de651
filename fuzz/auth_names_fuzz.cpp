// Hostile user names through the parsers of the forward schemes and the token backend: every
// part they return lies inside the name, and the parts with their separators rebuild it.
#include "auth/x_auth_forward.h"
#include "auth/x_auth_tovask.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t *g_begin, *g_end;

void inside(const ngx_str_t &s) {
    if (s.len && (s.data < g_begin || s.data + s.len > g_end)) abort();
}

size_t joined(const ngx_str_t *const parts[], size_t n) {
    size_t total = n - 1; // one separator between parts
    for (size_t i = 0; i < n; i++) {
        inside(*parts[i]);
        total += parts[i]->len;
    }
    return total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ngx_str_t name{size, const_cast<uint8_t *>(data)};
    g_begin = data;
    g_end = data + size;
    x_kestrum_name_t k;
    if (x_auth_parse_kestrum_name(&name, &k) && k.user.data) {
        const ngx_str_t *p[] = {&k.user, &k.upstream_user};
        if (joined(p, 2) != size || memchr(k.upstream_user.data, '_', k.upstream_user.len)) abort();
    }
    x_zembo_name_t z;
    if (x_auth_parse_zembo_name(&name, &z)) {
        const ngx_str_t *p[] = {&z.account, &z.country, &z.region, &z.city, &z.tail};
        if (joined(p, 5) != size) abort();
    }
    x_forward_name_t f;
    if (x_auth_parse_forward_name(&name, &f)) {
        if (f.host.len == 0 || f.port == 0 || memchr(f.host.data, '_', f.host.len)) abort();
        inside(f.account);
    }
    x_tovask_name_t t;
    if (x_auth_tovask_parse_name(&name, &t)) {
        const ngx_str_t *p[] = {&t.user, &t.password, &t.host};
        if (!t.user.len || !t.password.len || !t.host.len || t.port == 0) abort();
        if (joined(p, 3) >= size) abort();
    }
    return 0;
}
