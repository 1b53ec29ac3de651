// IPv4 address ranges: a comma-separated list of addresses ("a.b.c.d", a range of one) and CIDR
// ranges ("a.b.c.d/len"), read from configuration and matched against peer addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

struct x_cidr_t {
    uint32_t net;  // first address of the range, host order, host bits cleared
    uint32_t mask; // prefix mask, host order (0 for /0)
};

struct x_cidr_list_t {
    uint32_t num;    // entries in items
    x_cidr_t *items; // the ranges, null when there are none
};

// The ranges of `text`, blanks around entries ignored, host bits below the prefix cleared. An
// empty text (or one of blanks) gives an empty list, which matches nothing. False on a malformed
// entry, with that entry (cut to bad_cap - 1 bytes) in `bad`, or on allocation failure, with an
// empty `bad`; the list is then left empty.
[[nodiscard]] bool x_cidr_list_parse(x_cidr_list_t *list, const char *text, char *bad,
                                     size_t bad_cap);
// Whether the address (network order) lies in one of the ranges.
bool x_cidr_list_match(const x_cidr_list_t *list, in_addr_t addr);
// Frees the ranges and empties the list.
void x_cidr_list_free(x_cidr_list_t *list);
