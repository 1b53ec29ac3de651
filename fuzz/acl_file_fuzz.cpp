// ACL list files: any bytes load without overrun, canonical forms are stable, and every name
// rule that loaded lists the host it names.
#include "auth/x_acl_match.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void check_line(const x_acl_cache_t *cache, const char *p, size_t n) {
    char canon[X_ACL_RULE_MAX + 1], again[X_ACL_RULE_MAX + 1];
    int len = x_acl_canonical_host(p, n, false, canon);
    if (len < 0) return;
    if (static_cast<size_t>(len) > X_ACL_RULE_MAX || canon[len] != '\0') abort();
    int len2 = x_acl_canonical_host(canon, static_cast<size_t>(len), false, again);
    if (len2 != len || memcmp(canon, again, static_cast<size_t>(len)) != 0) abort();
    // A plain line without blanks or a leading colon is a name rule the file listed.
    if (memchr(p, ' ', n) || memchr(p, '\t', n) || memchr(p, '\0', n) || p[0] == ':') return;
    x_acl_match_t m{{static_cast<size_t>(len), reinterpret_cast<uint8_t *>(canon)}, 0};
    if (!x_acl_match_in_cache(cache, &m)) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::string path = "/tmp/acl_file_fuzz_" + std::to_string(getpid());
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) abort();
    fwrite(data, 1, size, f);
    fclose(f);
    x_acl_cache_t cache{};
    if (!x_acl_match_fill_cache_by_file(&cache, path.c_str())) abort();
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0, end; start <= size; start = end + 1) {
        end = std::min(text.find_first_of("\r\n", start), size);
        if (end > start) check_line(&cache, text.data() + start, end - start);
    }
    x_acl_cache_member_free(&cache);
    return 0;
}
