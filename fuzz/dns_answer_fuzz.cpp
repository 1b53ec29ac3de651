// Hostile bytes as a DNS response (both families, matched against a question) and as a hosts
// file: every read stays inside the input, and whatever is accepted respects the limits.
#include "net/x_dns.h"
#include "net/x_hosts.h"

#include <cstdlib>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (bool v6 : {false, true}) {
        x_dns_answer_t ans;
        int status = x_dns_parse_response(data, size, v6, &ans);
        if (status != 0 && status != X_ERROR_DNS_STATUS_ERROR &&
            status != X_ERROR_DNS_STATUS_NOT_FOUND)
            abort();
        if (ans.addr_count > X_DNS_MAX_ADDRS || (status == 0) != (ans.addr_count > 0)) abort();
        if (ans.ttl & 0x80000000u) abort();
    }
    uint8_t query[512];
    (void)x_dns_answer_matches(data, size, query, x_dns_build_query(query, 1, "a.b", 3, false));
    // Every name the hosts reader keeps is a valid name and is found again.
    x_hosts_t h;
    if (!x_hosts_parse(&h, reinterpret_cast<const char *>(data), size)) abort();
    for (size_t i = 0; i < h.count; i++) {
        const x_hosts_entry_t &e = h.entries[i];
        uint8_t addr[16];
        if (!x_dns_name_valid(h.names + e.name_off, e.name_len) ||
            !x_hosts_find(&h, h.names + e.name_off, e.name_len, e.family, addr))
            abort();
    }
    x_hosts_free(&h);
    return 0;
}
