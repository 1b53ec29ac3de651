#include "auth/x_acl_match.h"

#include "core/log.h"
#include "core/socket_util.h"
#include "dict/dict.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

uint64_t label_hash(const void *key) {
    auto *s = static_cast<const ngx_str_t *>(key);
    return dictGenCaseHashFunction(s->data, s->len);
}

int label_compare(dict *, const void *a, const void *b) {
    auto *x = static_cast<const ngx_str_t *>(a);
    auto *y = static_cast<const ngx_str_t *>(b);
    return x->len == y->len &&
           (x->len == 0 || strncasecmp(reinterpret_cast<const char *>(x->data),
                                       reinterpret_cast<const char *>(y->data), x->len) == 0);
}

void node_free(dict *, void *val) {
    auto *node = static_cast<x_acl_node_t *>(val);
    if (node->pool) dictRelease(node->pool);
    ngx_str_free(&node->rule);
    free(node);
}

// Keys are the nodes' own labels; the table frees the nodes (and with them their subtrees).
dictType node_dict_type = {label_hash, nullptr,   nullptr, label_compare,
                           nullptr,    node_free, nullptr, nullptr};
dictType port_dict_type = {dictHashU16Key, nullptr, nullptr, dictComparePtrKey,
                           nullptr,        nullptr, nullptr, nullptr};

void *port_key(uint16_t port) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(port));
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

// Digits only, or "0x" followed by hex digits: text that address parsers read as a number.
bool numeric_label(const char *p, size_t n) {
    if (n == 0) return false;
    if (n >= 2 && p[0] == '0' && (p[1] | 0x20) == 'x') {
        for (size_t i = 2; i < n; i++)
            if (!is_hex(p[i])) return false;
        return true;
    }
    for (size_t i = 0; i < n; i++)
        if (p[i] < '0' || p[i] > '9') return false;
    return true;
}

int dotted(in_addr_t addr, char *out) {
    auto *b = reinterpret_cast<const uint8_t *>(&addr);
    return snprintf(out, X_ACL_RULE_MAX + 1, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// An IPv6 literal: an IPv4-mapped one is written as the IPv4 address it reaches, any other
// is kept as given.
int canonical_ipv6(const char *host, size_t len, char *out) {
    char text[INET6_ADDRSTRLEN + 1];
    in6_addr a6;
    if (len < sizeof text) {
        memcpy(text, host, len);
        text[len] = '\0';
        if (inet_pton(AF_INET6, text, &a6) == 1 && IN6_IS_ADDR_V4MAPPED(&a6)) {
            in_addr_t v4;
            memcpy(&v4, &a6.s6_addr[12], 4);
            return dotted(v4, out);
        }
    }
    memcpy(out, host, len);
    out[len] = '\0';
    return static_cast<int>(len);
}

void trim_item_blanks(const char **p, size_t *n) {
    while (*n > 0 && (**p == ' ' || **p == '\t')) {
        (*p)++;
        (*n)--;
    }
    while (*n > 0 && ((*p)[*n - 1] == ' ' || (*p)[*n - 1] == '\t'))
        (*n)--;
}

// Strips blanks around an item and dots after it: a rule written with a trailing dot or blank
// would otherwise never match.
void trim_item(const char **p, size_t *n) {
    trim_item_blanks(p, n);
    while (*n > 0 && (*p)[*n - 1] == '.')
        (*n)--;
    trim_item_blanks(p, n);
}

bool add_name_rule(dict *node_pool, const char *item, size_t len) {
    char canon[X_ACL_RULE_MAX + 1];
    int n = x_acl_canonical_host(item, len, true, canon);
    if (n < 0) {
        log_error("acl rule [%.*s] is malformed, ignored\n", static_cast<int>(len), item);
        return true;
    }
    return x_acl_rule_add_node(node_pool, canon, static_cast<size_t>(n));
}

// Adds one trimmed, non-empty item to the two tables, with the fillers' log lines.
bool add_item(dict *node_pool, dict *port_pool, const char *item, size_t len) {
    if (len > X_ACL_RULE_MAX) {
        log_error("acl rule [%.*s...] longer than %zu characters, ignored\n", 32, item,
                  X_ACL_RULE_MAX);
        return true;
    }
    if (item[0] == ':') {
        ngx_str_t port = {len - 1, reinterpret_cast<uint8_t *>(const_cast<char *>(item + 1))};
        if (x_acl_match_add_port_cache(port_pool, &port)) return true;
        log_error("acl match add [%.*s] port cache dict failed\n", static_cast<int>(len), item);
        return false;
    }
    if (add_name_rule(node_pool, item, len)) return true;
    log_error("acl match add [%.*s] node cache dict failed\n", static_cast<int>(len), item);
    return false;
}

bool create_tables(dict **node_pool, dict **port_pool) {
    if (*node_pool == nullptr) *node_pool = x_acl_create_node_dict();
    if (*node_pool == nullptr) {
        log_error("acl match create node cache dict failed\n");
        return false;
    }
    if (*port_pool == nullptr) *port_pool = x_acl_create_port_dict();
    if (*port_pool == nullptr) {
        log_error("acl match create port cache dict failed\n");
        return false;
    }
    return true;
}

void release_tables(dict *node_pool, dict *port_pool) {
    if (node_pool) dictRelease(node_pool);
    if (port_pool) dictRelease(port_pool);
}

x_acl_node_t *find_label(dict *pool, const char *label, size_t len) {
    if (pool == nullptr) return nullptr;
    ngx_str_t key = {len, reinterpret_cast<uint8_t *>(const_cast<char *>(label))};
    return static_cast<x_acl_node_t *>(dictFetchValue(pool, &key));
}

} // namespace

bool x_list_file_read_lines(FILE *fp, bool (*on_line)(void *ctx, const char *line, size_t len),
                            void *ctx) {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t got;
    bool ok = true;
    while (ok && (got = getline(&line, &cap, fp)) >= 0) {
        // A lone CR ends a line as well as LF does.
        const char *p = line;
        const char *end = line + got;
        while (ok && p < end) {
            const char *stop = p;
            while (stop < end && *stop != '\r' && *stop != '\n')
                stop++;
            const char *q = p;
            size_t n = static_cast<size_t>(stop - p);
            trim_item_blanks(&q, &n);
            if (n > 0) ok = on_line(ctx, q, n);
            p = stop + 1;
        }
    }
    free(line);
    return ok;
}

dict *x_acl_create_node_dict() {
    return dictCreate(&node_dict_type);
}
dict *x_acl_create_port_dict() {
    return dictCreate(&port_dict_type);
}

int x_acl_canonical_host(const char *host, size_t len, bool leading_dot_ok, char *out) {
    if (host == nullptr) return -1;
    while (len > 0 && host[len - 1] == '.')
        len--;
    if (len == 0 || len > X_ACL_RULE_MAX) return -1;
    if (memchr(host, ':', len) != nullptr) return canonical_ipv6(host, len, out);
    size_t start = (leading_dot_ok && host[0] == '.') ? 1 : 0;
    if (start == len) return -1;
    size_t last_pos = start; // start of the rightmost label
    for (size_t i = start; i <= len; i++) {
        if (i < len && host[i] != '.') continue;
        if (i == last_pos) return -1; // empty label
        if (i < len) last_pos = i + 1;
    }
    if (start == 0 && numeric_label(host + last_pos, len - last_pos)) {
        // The resolver connects to whatever address it reads from such text; refuse what it
        // would not read as one rather than let it reach a name server.
        in_addr_t a = is_ip_addr(host, len);
        if (a == 0) return -1;
        return dotted(a, out);
    }
    memcpy(out, host, len);
    out[len] = '\0';
    return static_cast<int>(len);
}

bool x_acl_match_normalize_target(x_acl_match_t *match) {
    char canon[X_ACL_RULE_MAX + 1];
    int n = x_acl_canonical_host(reinterpret_cast<const char *>(match->target_host.data),
                                 match->target_host.len, false, canon);
    if (n < 0) return false;
    if (static_cast<size_t>(n) == match->target_host.len &&
        memcmp(canon, match->target_host.data, match->target_host.len) == 0)
        return true;
    ngx_str_t copy = {};
    if (!ngx_str_init(&copy, canon, static_cast<size_t>(n))) return false;
    ngx_str_free(&match->target_host);
    match->target_host = copy;
    return true;
}

x_acl_node_t *x_acl_rule_node_add_cache(dict *dict_cache, const ngx_str_t *node_key, bool any,
                                        bool leaf) {
    auto *node = static_cast<x_acl_node_t *>(dictFetchValue(dict_cache, node_key));
    if (node == nullptr) {
        node = static_cast<x_acl_node_t *>(calloc(1, sizeof(x_acl_node_t)));
        if (node == nullptr) {
            log_error("acl add rule node malloc node failed \n");
            return nullptr;
        }
        node->pool = x_acl_create_node_dict();
        if (node->pool == nullptr) {
            log_error("acl add rule malloc pool failed \n");
            free(node);
            return nullptr;
        }
        if (!ngx_str_copy(&node->rule, node_key)) {
            log_error("acl add rule [%.*s] ngx str init\n", static_cast<int>(node_key->len),
                      node_key->data);
            node_free(nullptr, node);
            return nullptr;
        }
        if (dictAdd(dict_cache, &node->rule, node) != DICT_OK) {
            node_free(nullptr, node);
            return nullptr;
        }
    }
    // Flags are only ever set: a node keeps what every rule through it asked for.
    node->any = node->any || any;
    node->leaf = node->leaf || leaf;
    return node;
}

bool x_acl_rule_add_node(dict *node_pool, const char *rule, size_t len) {
    dict *pool = node_pool;
    size_t end = len; // one past the current label
    for (size_t i = len; i-- > 0;) {
        if (rule[i] != '.') continue;
        ngx_str_t label = {end - i - 1,
                           reinterpret_cast<uint8_t *>(const_cast<char *>(rule + i + 1))};
        x_acl_node_t *node = x_acl_rule_node_add_cache(pool, &label, i == 0, false);
        if (node == nullptr) {
            log_error("acl add node [%.*s] node failed \n", static_cast<int>(len), rule);
            return false;
        }
        pool = node->pool;
        end = i;
    }
    if (end == 0) return true; // a ".name" rule: its any flag is set
    ngx_str_t label = {end, reinterpret_cast<uint8_t *>(const_cast<char *>(rule))};
    if (x_acl_rule_node_add_cache(pool, &label, false, true) == nullptr) {
        log_error("acl add rule [%.*s] node failed \n", static_cast<int>(len), rule);
        return false;
    }
    return true;
}

bool x_acl_match_add_port_cache(dict *port_cache, const ngx_str_t *str_port) {
    if (str_port->len == 0 || str_port->len > 5) return true;
    uint32_t port = 0;
    for (size_t i = 0; i < str_port->len; i++) {
        uint8_t c = str_port->data[i];
        if (c < '0' || c > '9') return true;
        port = port * 10 + (c - '0');
    }
    // Port 0 stands for "no port" in a destination and never matches.
    if (port == 0 || port > 65535) return true;
    void *key = port_key(static_cast<uint16_t>(port));
    if (dictFind(port_cache, key) != nullptr) return true;
    return dictAdd(port_cache, key, nullptr) == DICT_OK;
}

bool x_acl_match_in_cache(const x_acl_cache_t *cache, const x_acl_match_t *match) {
    if (cache == nullptr || match == nullptr) return false;
    if (match->target_port != 0 && cache->port_pool != nullptr &&
        dictFind(cache->port_pool, port_key(match->target_port)) != nullptr)
        return true;
    const char *host = reinterpret_cast<const char *>(match->target_host.data);
    size_t len = match->target_host.len;
    if (cache->node_pool == nullptr || host == nullptr || len == 0) return false;
    dict *pool = cache->node_pool;
    size_t end = len;
    for (size_t i = len; i-- > 0;) {
        if (host[i] != '.') continue;
        x_acl_node_t *node = find_label(pool, host + i + 1, end - i - 1);
        if (node == nullptr) return false;
        if (node->any) return true;
        pool = node->pool;
        end = i;
    }
    if (end == 0) return false;
    x_acl_node_t *node = find_label(pool, host, end);
    if (node == nullptr) return false;
    return dictSize(node->pool) == 0 || node->any || node->leaf;
}

namespace {

void seal_table(dict *d, bool nodes) {
    if (d == nullptr) return;
    while (dictIsRehashing(d))
        dictRehash(d, 100);
    if (!nodes) return;
    dictIterator it;
    dictInitIterator(&it, d);
    while (dictEntry *e = dictNext(&it))
        seal_table(static_cast<x_acl_node_t *>(e->v.val)->pool, true);
    dictResetIterator(&it);
}

} // namespace

void x_acl_cache_seal(x_acl_cache_t *cache) {
    seal_table(cache->node_pool, true);
    seal_table(cache->port_pool, false);
}

void x_acl_cache_member_free(x_acl_cache_t *cache) {
    if (cache == nullptr) return;
    release_tables(cache->node_pool, cache->port_pool);
    cache->node_pool = nullptr;
    cache->port_pool = nullptr;
}

bool x_acl_match_fill_cache_by_file(x_acl_cache_t *cache, const char *filename) {
    FILE *fp = fopen(filename, "r");
    if (fp == nullptr) {
        log_error("acl match file [%s] can not fopen\n", filename);
        return false;
    }
    x_acl_cache_member_free(cache);
    dict *node_pool = nullptr;
    dict *port_pool = nullptr;
    bool ok = create_tables(&node_pool, &port_pool);
    struct Tables {
        dict *node_pool, *port_pool;
    } tables = {node_pool, port_pool};
    // Whole lines, so an overlong one is refused as a whole instead of being read in pieces;
    // blank lines anywhere, the first included, are skipped.
    if (ok)
        ok = x_list_file_read_lines(
            fp,
            [](void *ctx, const char *line, size_t len) {
                auto *t = static_cast<Tables *>(ctx);
                const char *p = line;
                size_t n = len;
                trim_item(&p, &n);
                return n == 0 || add_item(t->node_pool, t->port_pool, p, n);
            },
            &tables);
    // A read error (a directory in place of the file) must not install the lines read so far.
    ok = ok && !ferror(fp);
    fclose(fp);
    if (!ok) {
        release_tables(node_pool, port_pool);
        return false;
    }
    cache->node_pool = node_pool;
    cache->port_pool = port_pool;
    return true;
}

bool x_acl_match_insert_cache(x_acl_cache_t *cache, const ngx_str_t *rule) {
    if (rule == nullptr || rule->len == 0 || rule->data == nullptr) {
        x_acl_cache_member_free(cache);
        return false;
    }
    if (!create_tables(&cache->node_pool, &cache->port_pool)) {
        x_acl_cache_member_free(cache);
        return false;
    }
    const char *p = reinterpret_cast<const char *>(rule->data);
    size_t n = rule->len;
    trim_item(&p, &n);
    if (n == 0) return true;
    if (!add_item(cache->node_pool, cache->port_pool, p, n)) {
        x_acl_cache_member_free(cache);
        return false;
    }
    return true;
}
