// INI reader: loads a whole file once and answers lookups of a value by section and key.
//
// After ini_load the buffer is a run of NUL-terminated tokens separated by NUL bytes. A token
// starting with "[" is a section header (the name follows the bracket); every other token is a
// key whose value is the next token. Keys before the first header belong to the section "".
// Lookups compare section and key names ignoring ASCII case; the first match in file order wins.
// Returned values point into the buffer and stay valid until ini_free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

struct ini_t {
    char *data; // the file text, owned, rewritten in place into tokens; size + 1 bytes
    char *end;  // one past the last byte of the file text (the extra NUL sits there)
};

// Reads a regular file of less than 2 GiB whole and tokenises it. Null when the file cannot be
// opened, is not a regular file, is too large, cannot be read whole, or memory runs out. Prints
// nothing: the caller reports the failure.
ini_t *ini_load(const char *filename);
// The whole regular file of less than 2 GiB in a fresh buffer of size + 1 bytes, the last one NUL
// (free with free()). Null when it cannot be opened (a FIFO does not block), is not a regular
// file, is too large, cannot be read whole, or memory runs out.
char *ini_read_whole(const char *filename, size_t *size);
// Frees the buffer and the record; null is ignored.
void ini_free(ini_t *ini);

// The value of key in section (any section when section is null), or null.
const char *ini_get(const ini_t *ini, const char *section, const char *key);
// 1 when the key exists, else 0. With a null format the value pointer is stored into
// *(const char **)dst; otherwise the value is scanned with the format into dst.
int ini_sget(const ini_t *ini, const char *section, const char *key, const char *scanfmt,
             void *dst);
// 1 when a header with that name exists, else 0.
int ini_has_section(const ini_t *ini, const char *section);
// Number of sections prefix0, prefix1, ... up to the first one missing.
uint32_t ini_get_section_count(const ini_t *ini, const char *prefix);

// Required getters: a missing key writes "[ini] section/key not found!" to standard error and
// ends the process with status 1; so does a number that is not wholly decimal.
const char *ini_get_string(const ini_t *ini, const char *section, const char *key);
int64_t ini_get_int64(const ini_t *ini, const char *section, const char *key);
// inet_addr of the value (network order; malformed text gives INADDR_NONE).
in_addr_t ini_get_ip(const ini_t *ini, const char *section, const char *key);

// Optional getters: the default when the key is missing. A malformed number still ends the
// process, as above.
const char *ini_opt_string(const ini_t *ini, const char *section, const char *key, const char *def);
int64_t ini_opt_int64(const ini_t *ini, const char *section, const char *key, int64_t def);
in_addr_t ini_opt_ip(const ini_t *ini, const char *section, const char *key, in_addr_t def);

// 0 when the strings are equal ignoring ASCII case, else the difference of the first differing
// lower-cased bytes.
int strcmpci(const char *a, const char *b);
