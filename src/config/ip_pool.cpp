#include "config/ip_pool.h"

#include "config/ini.h"
#include "config/x_server_config.h"
#include "core/log.h"
#include "core/socket_util.h"
#include "core/x_timer.h"
#include "dict/dict.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Text of an address item before its "/prefix".
constexpr size_t IP_TEXT_MAX = 19;

x_ip_pool_netcard_fn netcard_set = set_netcard_virtual_ip;
x_ip_pool_netcard_fn netcard_clean = clean_netcard_virtual_ip;

// pool_ip_used: the address lives in the key pointer; the table owns its nodes.
void used_node_free(dict *, void *node) {
    free(node);
}
dictType used_type = {dictHashU32Key, nullptr,        nullptr, dictComparePtrKey,
                      nullptr,        used_node_free, nullptr, nullptr};

void *ip_key(in_addr_t ip) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(ip));
}

// The load set holds owned strings: "a<address in hex>" for addresses, "n<alias name>" for alias
// interface names, so one table answers both questions.
uint64_t set_hash(const void *key) {
    return dictGenHashFunction(key, strlen(static_cast<const char *>(key)));
}
int set_compare(dict *, const void *a, const void *b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
}
void set_key_free(dict *, void *key) {
    free(key);
}
dictType conf_set_type = {set_hash,     nullptr, nullptr, set_compare,
                          set_key_free, nullptr, nullptr, nullptr};

[[noreturn]] void die(const char *msg) {
    log_error("%s\n", msg);
    exit(1);
}

const char *port_name(const x_config_port_t *port) {
    return port->name.data ? reinterpret_cast<const char *>(port->name.data) : "";
}

const char *ip_text(in_addr_t ip, char buf[INET_ADDRSTRLEN]) {
    if (!inet_ntop(AF_INET, &ip, buf, INET_ADDRSTRLEN)) buf[0] = '\0';
    return buf;
}

void queue_push_tail(ip_node_queue *q, ip_node *node) {
    node->next = nullptr;
    if (q->tail)
        q->tail->next = node;
    else
        q->head = node;
    q->tail = node;
}

ip_node *queue_pop_head(ip_node_queue *q) {
    ip_node *node = q->head;
    q->head = node->next;
    if (!q->head) q->tail = nullptr;
    node->next = nullptr;
    return node;
}

// Adds an owned copy of key to the load set, with value; exits when memory runs out.
void set_add(dict *set, const char *key, uint64_t value) {
    char *copy = strdup(key);
    if (!copy) die("ip_node_queue ip node malloc failed");
    dictEntry *entry = dictFind(set, copy);
    if (entry) {
        free(copy);
        return;
    }
    dictAdd(set, copy, reinterpret_cast<void *>(static_cast<uintptr_t>(value)));
}

// State of one level while its list is read.
struct level_load_t {
    x_config_port_t *port;
    ip_node_queue *queue;
    dict *set;
    uint32_t max;   // the level's maximum
    uint32_t count; // addresses added so far
};

// Appends one address to the level's free list after checking that neither the address nor its
// alias interface name is taken.
bool add_address(level_load_t *ld, in_addr_t ip) {
    char text[INET_ADDRSTRLEN];
    char addr_key[16];
    snprintf(addr_key, sizeof addr_key, "a%08x", static_cast<unsigned>(ntohl(ip)));
    if (dictFind(ld->set, addr_key)) {
        log_error("conf error, add ip:%s failed ,it's constant\n", ip_text(ip, text));
        return false;
    }
    char alias[NETCARD_ALIAS_NAME_MAX + 1];
    netcard_virtual_ip_name(port_name(ld->port), ld->port->name.len, ip, alias);
    char alias_key[NETCARD_ALIAS_NAME_MAX + 2];
    snprintf(alias_key, sizeof alias_key, "n%s", alias);
    if (dictEntry *other = dictFind(ld->set, alias_key)) {
        char other_text[INET_ADDRSTRLEN];
        auto other_ip = static_cast<in_addr_t>(reinterpret_cast<uintptr_t>(other->v.val));
        log_error("conf error, add ip:%s failed, its alias interface %s is the one of ip:%s\n",
                  ip_text(ip, text), alias, ip_text(other_ip, other_text));
        return false;
    }
    auto *node = static_cast<ip_node *>(calloc(1, sizeof(ip_node)));
    if (!node) die("ip_node_queue ip node malloc failed");
    node->ip = ip;
    queue_push_tail(ld->queue, node);
    set_add(ld->set, addr_key, ip);
    set_add(ld->set, alias_key, ip);
    (void)netcard_clean(port_name(ld->port), ld->port->name.len, ip);
    ld->count++;
    return true;
}

bool level_full(const level_load_t *ld) {
    return ld->count >= ld->max;
}

// Parses a prefix length of 1 to 32 written in exactly len decimal digits; 0 when it is not one.
int parse_prefix(const char *p, size_t len) {
    if (len == 0 || len > 2) return 0;
    int v = 0;
    for (size_t i = 0; i < len; i++) {
        if (p[i] < '0' || p[i] > '9') return 0;
        v = v * 10 + (p[i] - '0');
    }
    return v >= 1 && v <= 32 ? v : 0;
}

// Reads the address text of an item; false after the invalid-ip message.
bool parse_item_ip(const char *p, size_t len, in_addr_t *ip) {
    char buf[IP_TEXT_MAX + 1];
    if (len <= IP_TEXT_MAX) {
        memcpy(buf, p, len);
        buf[len] = '\0';
        if (inet_pton(AF_INET, buf, ip) == 1) return true;
    }
    log_error("ip_pool init failed, ip %.*s is invalid\n", static_cast<int>(len), p);
    return false;
}

enum class item_result { next, level_done, failed };

// One list item: an address, or an address with a prefix length. Addresses are added in
// ascending order; the level may fill up part way through a range.
item_result parse_item(level_load_t *ld, const char *item, size_t len) {
    const char *slash = static_cast<const char *>(memchr(item, '/', len));
    if (!slash) {
        in_addr_t ip;
        if (!parse_item_ip(item, len, &ip) || !add_address(ld, ip)) return item_result::failed;
        return level_full(ld) ? item_result::level_done : item_result::next;
    }
    size_t ip_len = static_cast<size_t>(slash - item);
    int prefix = parse_prefix(slash + 1, len - ip_len - 1);
    if (prefix == 0) {
        log_error("ip_pool init failed, ipstr %.*s is error\n", static_cast<int>(len), item);
        return item_result::failed;
    }
    in_addr_t ip;
    if (!parse_item_ip(item, ip_len, &ip)) return item_result::failed;
    if (prefix >= 31) return add_address(ld, ip) ? item_result::next : item_result::failed;
    uint32_t host_mask = 0xffffffffu >> prefix;
    uint32_t first = ntohl(ip);
    uint32_t network = first & ~host_mask;
    uint32_t broadcast = network | host_mask;
    if (first == network) first++;
    for (uint32_t a = first; a < broadcast; a++) {
        if (!add_address(ld, htonl(a))) return item_result::failed;
        if (level_full(ld)) return item_result::level_done;
    }
    return item_result::next;
}

bool parse_list(level_load_t *ld, const char *list) {
    const char *p = list;
    for (;;) {
        const char *comma = strchr(p, ',');
        size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        item_result r = parse_item(ld, p, len);
        if (r == item_result::failed) return false;
        if (r == item_result::level_done || !comma) return true;
        p = comma + 1;
    }
}

bool load_level(ini_t *ini, const char *section, x_config_port_t *port, dict *set, int level) {
    char key[32];
    snprintf(key, sizeof key, "max_level%d_user", level);
    uint32_t max = static_cast<uint32_t>(ini_get_int64(ini, section, key));
    port->max_level_user[level - 1] = max;

    auto *queue = static_cast<ip_node_queue *>(calloc(1, sizeof(ip_node_queue)));
    if (!queue) die("user mgr malloc failed");
    port->queue_level_ip[level - 1] = queue;
    queue->pool_ip_used = dictCreate(&used_type);
    if (!queue->pool_ip_used) die("ip_node_queue ip used dict init failed");

    snprintf(key, sizeof key, "level%d_virtual_ip_list", level);
    const char *list = ini_get_string(ini, section, key);
    level_load_t ld{port, queue, set, max, 0};
    if (!parse_list(&ld, list)) return false;
    if (ld.count < max) {
        log_error("add ip list is too few, has %d, max_user %d\n", static_cast<int>(ld.count),
                  static_cast<int>(max));
    }
    // Sized to the addresses the level really holds: no more can ever be in use at once, and a
    // large maximum must not reserve memory for users that have no address to get.
    if (ld.count > 0 && dictTryExpand(queue->pool_ip_used, ld.count) != DICT_OK)
        die("ip_node_queue ip used dict init failed");
    return true;
}

} // namespace

dict *x_ip_pool_conf_set_create() {
    return dictCreate(&conf_set_type);
}

void x_ip_pool_set_netcard_ops(x_ip_pool_netcard_fn set_ip, x_ip_pool_netcard_fn clean_ip) {
    netcard_set = set_ip ? set_ip : set_netcard_virtual_ip;
    netcard_clean = clean_ip ? clean_ip : clean_netcard_virtual_ip;
}

bool x_parse_ip_pool_conf(ini_t *ini, const char *section, x_config_port_t *port,
                          dict *virtual_ip_dict) {
    if (!ini || !section || !port || !virtual_ip_dict || virtual_ip_dict->type != &conf_set_type) {
        log_error("ip_pool init failed, bad arguments for section %s\n", section ? section : "");
        return false;
    }
    char alias[NETCARD_ALIAS_NAME_MAX + 1];
    if (netcard_virtual_ip_name(port_name(port), port->name.len, 0, alias) == 0) {
        log_error("ip_pool init failed, port %u interface name [%.*s] must have 1 to %zu "
                  "characters\n",
                  port->port_id, static_cast<int>(port->name.len), port_name(port),
                  NETCARD_ALIAS_DEVICE_MAX);
        return false;
    }
    for (int level = 1; level <= static_cast<int>(X_CONFIG_MAX_LEVELS); level++) {
        char key[32];
        snprintf(key, sizeof key, "max_level%d_user", level);
        if (!ini_get(ini, section, key)) break;
        if (!load_level(ini, section, port, virtual_ip_dict, level)) return false;
        port->has_level = static_cast<uint8_t>(level);
    }
    return true;
}

in_addr_t x_get_virtual_ip_by_level(x_config_port_t *port, int level) {
    if (!port || level < 1 || level > port->has_level || !port->queue_level_ip[level - 1]) {
        log_error("get not supported user_level: %02x\n", static_cast<unsigned>(level));
        return 0;
    }
    ip_node_queue *q = port->queue_level_ip[level - 1];
    uint64_t now = x_time_ms();
    ip_node *node = q->head;
    // The free list is ordered by return time: when the head still rests, every node does.
    if (!node || (node->recyc_time != 0 && node->recyc_time + X_IP_POOL_COOLDOWN_MS > now)) {
        log_error("pool ip used up\n");
        log_error("pool ip get ip node failed\n");
        return 0;
    }
    queue_pop_head(q);
    if (dictAdd(q->pool_ip_used, ip_key(node->ip), node) != DICT_OK) {
        node->recyc_time = now;
        queue_push_tail(q, node);
        log_error("pool ip used dict add failed\n");
        return 0;
    }
    in_addr_t ip = node->ip;
    if (!netcard_set(port_name(port), port->name.len, ip)) {
        // Unlink before deleting: the table frees the nodes it still holds.
        dictEntry *entry = dictFind(q->pool_ip_used, ip_key(ip));
        entry->v.val = nullptr;
        dictDelete(q->pool_ip_used, ip_key(ip));
        node->recyc_time = now;
        queue_push_tail(q, node);
        log_error("set netcard virtual user_level %d %.*s:%x failed\n", level,
                  static_cast<int>(port->name.len), port_name(port), ntohl(ip) & 0xffffffu);
        return 0;
    }
    return ip;
}

bool x_recycling_virtual_ip_by_level(x_config_port_t *port, int level, in_addr_t ip) {
    if (!port || level < 1 || level > port->has_level || !port->queue_level_ip[level - 1]) {
        log_error("recycling not supported user_level: %02x\n", static_cast<unsigned>(level));
        return false;
    }
    ip_node_queue *q = port->queue_level_ip[level - 1];
    int name_len = static_cast<int>(port->name.len);
    // Looked up first: an address that is not handed out here may be on the interface for
    // another level or port, and its alias must stay up.
    dictEntry *entry = dictFind(q->pool_ip_used, ip_key(ip));
    if (!entry) {
        log_error("clean netcard virtual port addr %x user_level %d %.*s:%x no node\n", port->addr,
                  level, name_len, port_name(port), ntohl(ip) & 0xffffffu);
        return false;
    }
    if (!netcard_clean(port_name(port), port->name.len, ip)) {
        log_error("clean netcard virtual %.*s:%x fail\n", name_len, port_name(port),
                  ntohl(ip) & 0xffffffu);
    }
    auto *node = static_cast<ip_node *>(entry->v.val);
    entry->v.val = nullptr;
    dictDelete(q->pool_ip_used, ip_key(ip));
    node->recyc_time = x_time_ms();
    queue_push_tail(q, node);
    return true;
}

void x_ip_pool_free(x_config_port_t *port) {
    if (!port) return;
    for (auto &q : port->queue_level_ip) {
        if (!q) continue;
        if (q->pool_ip_used) dictRelease(q->pool_ip_used);
        while (q->head)
            free(queue_pop_head(q));
        free(q);
        q = nullptr;
    }
    port->has_level = 0;
}
