// Hostile user names through the parsers of the forward schemes and the token backend: every
// part they return lies inside the name, and a token name has all four parts.
#include "auth/x_auth_forward.h"
#include "auth/x_auth_tovask.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ngx_str_t name{size, const_cast<uint8_t *>(data)};
    auto inside = [&](const ngx_str_t &s) {
        if (s.len && (s.data < data || s.data + s.len > data + size)) abort();
    };
    x_kestrum_name_t k{};
    if (x_auth_parse_kestrum_name(&name, &k) && k.user.data &&
        k.user.len + k.upstream_user.len + 1 != size)
        abort();
    x_zembo_name_t z{};
    if (x_auth_parse_zembo_name(&name, &z)) {
        for (const ngx_str_t *p : {&z.account, &z.country, &z.region, &z.city, &z.tail})
            inside(*p);
        if (z.account.len + z.country.len + z.region.len + z.city.len + z.tail.len + 4 != size)
            abort();
    }
    x_forward_name_t f{};
    if (x_auth_parse_forward_name(&name, &f) && (f.host.len == 0 || f.port == 0)) abort();
    inside(f.account);
    x_tovask_name_t t{};
    if (x_auth_tovask_parse_name(&name, &t)) {
        for (const ngx_str_t *p : {&t.user, &t.password, &t.host})
            if (p->len == 0) abort();
        if (t.port == 0) abort();
    }
    inside(k.user);
    inside(k.upstream_user);
    return 0;
}
