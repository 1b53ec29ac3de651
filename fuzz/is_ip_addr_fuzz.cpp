// Host names from clients into the lenient IPv4 parser, checked against inet_pton: any text the
// standard parser accepts gives the same address, and no result is made from a part above 255.
#include "core/socket_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly size bytes, so reading past host_len shows up under AddressSanitizer.
    std::vector<char> host(std::max<size_t>(size, 1));
    memcpy(host.data(), data, size);
    in_addr_t got = is_ip_addr(host.data(), size);
    std::string text(host.data(), size);
    in_addr want;
    if (size < 32 && text.find('\0') == std::string::npos &&
        inet_pton(AF_INET, text.c_str(), &want) == 1 && got != want.s_addr)
        abort();
    // Every run of digits in an accepted text reads 255 at most.
    unsigned part = 0;
    for (size_t i = 0; got != 0 && i < size; i++) {
        part = host[i] == '.' ? 0 : part * 10 + static_cast<unsigned>(host[i] - '0');
        if (part > 255) abort();
    }
    return 0;
}
