// Hostile text as a forward URL: the parser either fails leaving nothing behind, or fills a
// forward whose credential lines, when built, have exactly the lengths their wire forms need.
#include "config/x_server_config.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    x_forward_t f = {};
    if (!x_server_parse_forward_url(&f, text.c_str())) {
        if (f.proto != 0 || f.host.data != nullptr || f.username.data != nullptr ||
            f.password.data != nullptr || f.has_username != 0)
            abort();
        return 0;
    }
    if (f.proto > X_FORWARD_TOVASK) abort();
    if (f.host.data != nullptr && strlen(reinterpret_cast<char *>(f.host.data)) != f.host.len)
        abort();
    if (f.has_username) {
        if (f.username.len + f.password.len + 1 > 255) abort();
        if (!x_forward_create_auth(&f)) abort();
        if (f.s5_auth.len != f.username.len + f.password.len + 3) abort();
        if (f.s5_auth.data[1] != f.username.len) abort();
        if (f.base64_auth.len != 29 + (f.username.len + f.password.len + 3) / 3 * 4) abort();
    }
    x_forward_member_free(&f);
    return 0;
}
