// Hostile bytes into the binary JSON decoders (copying, borrowing) and the streamed skip: a tree
// re-encodes to bytes that decode to the same tree, and the skip agrees on where a value ends.
#include "bjson/binary_json.h"
#include "bjson/binary_json_raw.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    bjson_val_t *tree = nullptr, *copied = nullptr;
    bool decoded = bjson_decode(&tree, data, size, false);
    if (bjson_decode(&copied, data, size, true) != decoded) abort();
    buf_t in = {const_cast<uint8_t *>(data), const_cast<uint8_t *>(data + size),
                const_cast<uint8_t *>(data), const_cast<uint8_t *>(data + size)};
    bool skipped = bjson_raw_read_skip(&in) && in.pos == in.last;
    // The decoder also refuses duplicate keys, which the skip does not look at.
    if (decoded && !skipped) abort();
    if (decoded) {
        if (!bjson_equals(tree, copied)) abort();
        uint8_t *out = nullptr;
        size_t out_size = 0;
        if (!bjson_encode(tree, &out, &out_size)) abort();
        bjson_val_t *again = nullptr;
        if (!bjson_decode(&again, out, out_size, true) || !bjson_equals(tree, again)) abort();
        bjson_free(again);
        free(out);
    }
    bjson_free(tree);
    bjson_free(copied);
    return 0;
}
