// JSON text for value trees: a compact encoder (no whitespace) and a parser.
//
// The parser is strict in some places and lenient in others:
//   - whitespace is space, TAB, LF and CR only;
//   - a comma before "}" is accepted, one before "]" is not;
//   - numbers are runs of digits, ".", "e", "E" and "-" ("+" ends the run); with "." or an
//     exponent they are BJSON_DOUBLE, else BJSON_UINT without a sign and BJSON_INT with one
//     (out-of-range integers clamp); a number cannot be the last byte of the text;
//   - strings are copied byte for byte except escapes; "\uXXXX" gives that code point in UTF-8,
//     each escape on its own;
//   - after the top-level value only whitespace may follow, and a NUL ends the text early;
//   - nesting deeper than BJSON_MAX_DEPTH fails.
// The encoder writes doubles with six decimals ("%f"), or in "%.17g" form without a '+' when
// that text would exceed 63 characters; NaN and infinities are written as null. Strings escape
// '"', '\\', '/', LF, CR, TAB, backspace and form feed; every other byte is written as it is.
#pragma once

#include "bjson/binary_json.h"
#include "core/buf.h"

#include <cstddef>

// Encodes into a new buffer (1024 bytes first, doubling), appends a NUL and hands out the buffer
// (free with free()) and its size including the NUL. False on failure (nothing allocated).
[[nodiscard]] bool bjson_encode_to_str(const bjson_val_t *val, char **buffer, size_t *size);
// Appends the text to buf (1024 bytes first when it has no storage); no NUL. On failure the
// write position is restored.
[[nodiscard]] bool bjson_encode_to_str_with_buf(const bjson_val_t *val, buf_t *buf);
// Parses one value from text[0, len); on success stores the new tree (strings and keys owned)
// in *val. False for a null argument, a zero length, a syntax error or trailing text.
[[nodiscard]] bool bjson_decode_from_str(bjson_val_t **val, const char *text, size_t len);
