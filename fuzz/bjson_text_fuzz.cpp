// Hostile text into the JSON text parser. A parsed tree prints to text that parses again; that
// tree prints to text whose tree is equal to it, and it survives the binary form unchanged.
#include "bjson/binary_json.h"
#include "bjson/binary_json_parse.h"

#include <cstdlib>

namespace {

bjson_val_t *reparse(const bjson_val_t *tree) {
    char *text = nullptr;
    size_t size = 0;
    if (!bjson_encode_to_str(tree, &text, &size)) abort();
    text[size - 1] = '\n'; // a top-level number needs a byte after it
    bjson_val_t *back = nullptr;
    if (!bjson_decode_from_str(&back, text, size)) abort();
    free(text);
    return back;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    bjson_val_t *tree = nullptr;
    if (!bjson_decode_from_str(&tree, reinterpret_cast<const char *>(data), size)) return 0;
    bjson_val_t *once = reparse(tree);
    bjson_val_t *twice = reparse(once);
    if (!bjson_equals(once, twice)) abort();
    uint8_t *bin = nullptr;
    size_t bin_size = 0;
    // Trees with an empty key have no binary form; every other tree travels unchanged.
    if (bjson_encode(once, &bin, &bin_size)) {
        bjson_val_t *back = nullptr;
        if (!bjson_decode(&back, bin, bin_size, false) || !bjson_equals(once, back)) abort();
        bjson_free(back);
        free(bin);
    }
    bjson_free(tree);
    bjson_free(once);
    bjson_free(twice);
    return 0;
}
