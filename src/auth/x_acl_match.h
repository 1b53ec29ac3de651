// Destination access-control lists.
//
// A list holds host rules matched label by label from the right ("b.c" is exactly that name,
// ".b.c" that name and every name below it) and a set of destination ports (":25"). Labels
// compare without regard to ASCII case. Address literals are rules like any other text, so both
// rules and destinations are brought to one canonical form first: no trailing dots, and address
// literals in the dotted form the resolver would connect to.
//
// Every list is built and read on one thread; nothing here locks.
#pragma once

#include "proto/ngx_string.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct dict;

// Longest rule or file line taken; longer items are refused with a log line.
constexpr size_t X_ACL_RULE_MAX = 261;

// One label at one position of the tree.
struct x_acl_node_t {
    ngx_str_t rule; // owned copy of the label; also the node's key in its parent table
    bool any;       // a ".name" rule ended here: this name and every name below it match
    bool leaf;      // a full rule ended here
    dict *pool;     // labels one level further left (owned, destroyed with the node)
};

// One list: a cache with both tables null is empty and matches nothing.
struct x_acl_cache_t {
    dict *node_pool; // top level of the label tree (rightmost labels)
    dict *port_pool; // listed ports, the number kept in the key itself
};

// The destination a session asks for, filled by the protocol handlers before an ACL question.
struct x_acl_match_t {
    ngx_str_t target_host; // owned copy: a domain name or an address literal
    uint16_t target_port;  // host byte order
};

// Replaces the content of `cache` with the rules of a file. False with the cache unchanged when
// the file cannot be opened; false with the cache empty on a failure after that.
[[nodiscard]] bool x_acl_match_fill_cache_by_file(x_acl_cache_t *cache, const char *filename);
// Adds one rule. An empty rule releases the whole cache and gives false, as does a failure to
// store; a malformed or overlong rule is logged and ignored (true).
[[nodiscard]] bool x_acl_match_insert_cache(x_acl_cache_t *cache, const ngx_str_t *rule);
// Whether the destination of `match` is listed. The host must be in canonical form
// (x_acl_match_normalize_target).
bool x_acl_match_in_cache(const x_acl_cache_t *cache, const x_acl_match_t *match);
// Finishes every pending rehash of the list's tables. A lookup moves buckets of a table that is
// still rehashing, so a list that several threads read (the ads list) is sealed once it is
// loaded and never changed afterwards.
void x_acl_cache_seal(x_acl_cache_t *cache);
// Releases both tables and leaves the cache empty; null is ignored.
void x_acl_cache_member_free(x_acl_cache_t *cache);

// Tree insertion of a name rule of len bytes (already canonical). False on allocation failure.
[[nodiscard]] bool x_acl_rule_add_node(dict *node_pool, const char *rule, size_t len);
// Looks the label node_key up in dict_cache, creating it when absent, and sets the flags given.
// Returns the node, or null on allocation failure.
x_acl_node_t *x_acl_rule_node_add_cache(dict *dict_cache, const ngx_str_t *node_key, bool any,
                                        bool leaf);
// Adds a port item (the text after the colon). Text that is not a port number is ignored (true);
// false only when the table cannot store it.
[[nodiscard]] bool x_acl_match_add_port_cache(dict *port_cache, const ngx_str_t *str_port);
// A new label table or port table; null on allocation failure.
dict *x_acl_create_node_dict();
dict *x_acl_create_port_dict();

// Reads a list file line by line, a line ending at CR or LF, and hands every line that is not
// blank to on_line with the blanks around it removed (len > 0, not NUL-terminated). Lines are
// taken whole, however long. Stops early, returning false, when on_line returns false.
bool x_list_file_read_lines(FILE *fp, bool (*on_line)(void *ctx, const char *line, size_t len),
                            void *ctx);

// Canonical form of a host, written to out (room for X_ACL_RULE_MAX + 1 bytes, NUL-terminated):
// trailing dots removed; text whose last label is numeric (digits, or 0x and hex digits) is an
// address literal and becomes the dotted form of the address the resolver reads from it; an
// IPv4-mapped IPv6 literal becomes its dotted IPv4 form. Returns the length, or -1 when the host
// is empty, too long, has an empty label (other than a leading one when leading_dot_ok), or looks
// numeric without being an address the resolver would take.
int x_acl_canonical_host(const char *host, size_t len, bool leading_dot_ok, char *out);
// Rewrites the session's target_host into canonical form; false when the host is malformed (the
// destination is then refused) or memory runs out.
[[nodiscard]] bool x_acl_match_normalize_target(x_acl_match_t *match);
