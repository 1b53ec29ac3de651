#include "auth/ip_restrict.h"

#include "auth/x_acl_match.h"
#include "core/log.h"
#include "core/x_timer.h"
#include "dict/dict.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

// Address part of a line, before "/".
constexpr size_t ADDR_TEXT_MAX = 19;

dictType addr_dict_type = {dictHashU32Key, nullptr, nullptr, dictComparePtrKey,
                           nullptr,        nullptr, nullptr, nullptr};

void *addr_key(uint32_t addr) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(addr));
}

uint32_t mask_of(unsigned len) {
    return len == 0 ? 0 : ~uint32_t{0} << (32 - len);
}

bool set_has(dict *d, uint32_t key) {
    return d != nullptr && dictFind(d, addr_key(key)) != nullptr;
}

// Adds key to *d (created on demand); false when it was there already or cannot be stored.
bool set_add(dict **d, uint32_t key) {
    if (*d == nullptr) *d = dictCreate(&addr_dict_type);
    if (*d == nullptr || set_has(*d, key)) return false;
    return dictAdd(*d, addr_key(key), reinterpret_cast<void *>(1)) == DICT_OK;
}

void set_clear(ip_rule_set_t *set) {
    if (set->hosts) dictRelease(set->hosts);
    for (dict *&d : set->nets) {
        if (d) dictRelease(d);
        d = nullptr;
    }
    set->hosts = nullptr;
    set->net_lens = 0;
}

// The prefix length after "/": digits only, 1 to 32; -1 otherwise.
int parse_prefix(const char *p, size_t n) {
    if (n == 0 || n > 2) return -1;
    int v = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v >= 1 && v <= 32 ? v : -1;
}

bool add_rule_line(void *ctx, const char *p, size_t n) {
    if (p[0] == '#') return true;
    if (n > IP_RESTRICT_LINE_MAX) {
        log_error("ip restrict line longer than %zu characters skipped: %.*s...\n",
                  IP_RESTRICT_LINE_MAX, 32, p);
        return true;
    }
    ip_rule_set_add_line(static_cast<ip_rule_set_t *>(ctx), p, n);
    return true;
}

// Whole lines: a long comment stays a comment instead of leaking its tail as an entry.
bool read_rules(ip_rule_set_t *set, FILE *fp) {
    return x_list_file_read_lines(fp, add_rule_line, set);
}

} // namespace

ip_rule_set_t *ip_rule_set_create() {
    return static_cast<ip_rule_set_t *>(calloc(1, sizeof(ip_rule_set_t)));
}

void ip_rule_set_free(ip_rule_set_t *set) {
    if (set == nullptr) return;
    set_clear(set);
    free(set);
}

bool ip_rule_set_contains(const ip_rule_set_t *set, in_addr_t addr) {
    if (set == nullptr) return false;
    if (set_has(set->hosts, addr)) return true;
    uint32_t host = ntohl(addr);
    for (unsigned len = 1; len <= 30; len++) {
        if ((set->net_lens & (1u << len)) == 0) continue;
        uint32_t mask = mask_of(len);
        uint32_t net = host & mask;
        // Network and broadcast addresses are not hosts of the network.
        if (host == net || host == (net | ~mask)) continue;
        if (set_has(set->nets[len], htonl(net))) return true;
    }
    return false;
}

void ip_rule_set_add_line(ip_rule_set_t *set, const char *line, size_t len) {
    if (len == 0 || line[0] == '#') return;
    const char *slash = static_cast<const char *>(memchr(line, '/', len));
    size_t alen = slash ? static_cast<size_t>(slash - line) : len;
    int prefix = 32;
    if (slash != nullptr) {
        prefix = parse_prefix(slash + 1, len - alen - 1);
        if (prefix < 0) {
            log_error("invalid subnet mask: %.*s\n", static_cast<int>(len), line);
            return;
        }
    }
    char text[ADDR_TEXT_MAX + 1];
    in_addr a;
    bool ok = alen > 0 && alen <= ADDR_TEXT_MAX;
    if (ok) {
        memcpy(text, line, alen);
        text[alen] = '\0';
        ok = inet_pton(AF_INET, text, &a) == 1;
    }
    if (!ok) {
        log_error("invalid ip address: %.*s\n", static_cast<int>(len), line);
        return;
    }
    uint32_t net = ntohl(a.s_addr) & mask_of(static_cast<unsigned>(prefix));
    bool added;
    if (prefix >= 31) {
        // A /31 admits only the lower address of its pair.
        added = set_add(&set->hosts, htonl(net));
    } else {
        added = set_add(&set->nets[prefix], htonl(net));
        if (added) set->net_lens |= 1u << prefix;
    }
    if (!added) log_error("add ip rule failed: %.*s\n", static_cast<int>(len), line);
}

bool ip_restrict_load_file(ip_rule_set_t *pool, const char *file) {
    FILE *fp = fopen(file, "r");
    if (fp == nullptr) {
        log_error("open ip restrict file failed: %s\n", file);
        return false;
    }
    // The rules are replaced only once the file is open: one that cannot be read keeps the
    // rules in force instead of opening (deny) or closing (allow) the door to everyone.
    set_clear(pool);
    bool ok = read_rules(pool, fp);
    fclose(fp);
    return ok;
}

bool ip_restrict_init(ip_restrict_t *r, uint8_t mode, const ngx_str_t *file) {
    r->ip_restrict_mode = mode;
    if (mode == IP_RESTRICT_NO) return true;
    if (file != nullptr && file->len > 0 && !ngx_str_copy(&r->ip_restrict_file, file)) {
        log_error("ip restrict file name malloc failed\n");
        return false;
    }
    r->ip_rule_pool = ip_rule_set_create();
    if (r->ip_rule_pool == nullptr) {
        log_error("ip restrict rule pool malloc failed\n");
        return false;
    }
    if (r->ip_restrict_file.len > 0) {
        const char *path = reinterpret_cast<const char *>(r->ip_restrict_file.data);
        struct stat st;
        if (stat(path, &st) != 0) {
            log_error("get allow file stat failed\n");
            return false;
        }
        log_info("ip restrict file %s is changed\n", path);
        if (!ip_restrict_load_file(r->ip_rule_pool, path))
            log_error("load ip restrict file failed\n");
        r->last_file_modified_time = st.st_mtime;
    }
    r->last_file_check_time = x_time_ms();
    return true;
}

void ip_restrict_check(ip_restrict_t *r, uint64_t now_ms) {
    if (r->ip_restrict_mode == IP_RESTRICT_NO || r->ip_restrict_file.len == 0 ||
        r->last_file_check_time + IP_RESTRICT_CHECK_MS > now_ms)
        return;
    const char *path = reinterpret_cast<const char *>(r->ip_restrict_file.data);
    struct stat st;
    // A file that cannot be examined is looked at again a period later, not on every pass.
    if (stat(path, &st) != 0) {
        log_error("get allow file stat failed\n");
    } else if (st.st_mtime != r->last_file_modified_time) {
        log_info("ip restrict file %s is changed\n", path);
        if (!ip_restrict_load_file(r->ip_rule_pool, path))
            log_error("load ip restrict file failed\n");
        r->last_file_modified_time = st.st_mtime;
    }
    r->last_file_check_time = now_ms;
}

bool ip_restrict_lookup(const ip_restrict_t *r, in_addr_t addr) {
    if (r == nullptr || r->ip_rule_pool == nullptr) return true;
    switch (r->ip_restrict_mode) {
    case IP_RESTRICT_ALLOW:
        return ip_rule_set_contains(r->ip_rule_pool, addr);
    case IP_RESTRICT_DENY:
        return !ip_rule_set_contains(r->ip_rule_pool, addr);
    default:
        return true;
    }
}

void ip_restrict_uninit(ip_restrict_t *r) {
    ip_rule_set_free(r->ip_rule_pool);
    r->ip_rule_pool = nullptr;
    ngx_str_free(&r->ip_restrict_file);
}
