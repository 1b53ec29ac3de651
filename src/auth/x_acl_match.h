// Destination access-control lists: the destination a session asks for.
#pragma once

#include "proto/ngx_string.h"

#include <cstdint>

// The destination a session asks for, filled by the protocol handlers before an ACL question.
struct x_acl_match_t {
    ngx_str_t target_host; // owned copy: a domain name (no trailing dot) or an address literal
    uint16_t target_port;  // host byte order
};
