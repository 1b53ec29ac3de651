// Hostile bytes as a DNS response, read for both address families: every read must stay inside
// the message, and whatever is accepted must respect the answer's limits.
#include "net/x_dns.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (bool v6 : {false, true}) {
        x_dns_answer_t ans;
        int status = x_dns_parse_response(data, size, v6, &ans);
        if (status != 0 && status != X_ERROR_DNS_STATUS_ERROR &&
            status != X_ERROR_DNS_STATUS_NOT_FOUND) {
            abort();
        }
        if (ans.addr_count > X_DNS_MAX_ADDRS || (status == 0) != (ans.addr_count > 0)) abort();
        if (ans.ttl & 0x80000000u) abort();
    }
    return 0;
}
