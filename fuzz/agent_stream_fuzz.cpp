// Hostile bytes as a tunnel stream, an agent's hello and an agent's control answer: the frame
// reader walks the stream and every frame it accepts lies inside it; no reader reads past its cut.
#include "net/x_tovask.h"
#include "proto/socks5_udp_tun.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 70000) return 0;
    // Copies of exact length, so that any read past the end is caught.
    std::vector<uint8_t> copy(data, data + size);
    s5_udp_tun_frame_t f;
    for (size_t at = 0; at < size; at += f.len) {
        int rc = s5_udp_tun_read_frame(copy.data() + at, size - at, &f);
        if (rc != S5_UDP_TUN_FRAME && rc != S5_UDP_TUN_DROP) break;
        if (f.len == 0 || f.len > size - at || f.len > S5_UDP_TUN_FRAME_MAX) abort();
        if (rc == S5_UDP_TUN_FRAME &&
            (f.header.len > f.len || f.header.addr + f.header.addr_len > copy.data() + at + f.len))
            abort();
    }
    for (size_t cut = 0; cut <= size && cut <= X_TOVASK_HELLO_LEN; cut++) {
        std::vector<uint8_t> part(data, data + cut);
        x_tovask_hello_t hello;
        (void)x_tovask_read_hello(part.data(), part.size(), &hello);
    }
    int64_t code;
    uint32_t session;
    (void)x_tovask_decode_answer(copy.data(), copy.size(), &code, &session);
    return 0;
}
