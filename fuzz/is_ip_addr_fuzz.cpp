// Host names from clients into the lenient IPv4 parser, checked against inet_pton: any text the
// standard parser accepts must give the same address, and a result is never made from a part
// above 255.
#include "core/socket_util.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly size bytes, so reading past host_len shows up under AddressSanitizer.
    auto *host = static_cast<char *>(malloc(size ? size : 1));
    if (!host) return 0;
    memcpy(host, data, size);
    in_addr_t got = is_ip_addr(host, size);

    if (size < 32 && !memchr(host, '\0', size)) {
        char text[32];
        memcpy(text, host, size);
        text[size] = '\0';
        struct in_addr want;
        if (inet_pton(AF_INET, text, &want) == 1 && got != want.s_addr) abort();
    }
    // Every run of digits in an accepted text reads 255 at most.
    if (got != 0) {
        unsigned part = 0;
        for (size_t i = 0; i < size; i++) {
            if (host[i] == '.') {
                part = 0;
            } else {
                part = part * 10 + static_cast<unsigned>(host[i] - '0');
                if (part > 255) abort();
            }
        }
    }
    free(host);
    return 0;
}
