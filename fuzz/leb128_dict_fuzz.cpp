// Hostile bytes into the LEB128 decoder (both forms) and into the hash table's key handling:
// decoded values become keys that are added, looked up and deleted, checked against a model.
#include "core/buf.h"
#include "dict/dict.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

dictType num_type = {dictHashU64Key, nullptr, nullptr, dictComparePtrKey,
                     nullptr,        nullptr, nullptr, nullptr};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    buf_t b{};
    if (!buf_alloc(&b, size)) return 0;
    memcpy(b.last, data + 1, size - 1);
    b.last += size - 1;
    uint8_t start = data[0] % 8;
    dict *d = dictCreate(&num_type);
    std::map<uint64_t, uint64_t> model;
    uint64_t step = 0;
    while (b.pos < b.last) {
        uint8_t head = 0;
        if (start >= 2) head = *b.pos++;
        uint8_t *before = b.pos;
        uint64_t v = 0;
        if (!buf_read_uleb128_(&b, head, start, &v)) {
            if (b.pos != before) abort(); // a failed decode must restore pos
            break;
        }
        // Re-encoding must give a value of the same length class that decodes back.
        buf_t e{};
        uint8_t tag = start >= 2 ? static_cast<uint8_t>(head & (0xFF << (9 - start))) : 0;
        if (!buf_write_uleb128_(&e, tag, start, v)) abort();
        if (static_cast<size_t>(e.last - e.pos) != get_uleb128_len_(start, v)) abort();
        buf_free(&e);
        void *k = reinterpret_cast<void *>(static_cast<uintptr_t>(v % 512));
        switch (step++ % 3) {
        case 0: {
            bool fresh = model.emplace(v % 512, v).second;
            if ((dictAdd(d, k, reinterpret_cast<void *>(static_cast<uintptr_t>(v))) == DICT_OK) !=
                fresh)
                abort();
            break;
        }
        case 1:
            if ((dictFind(d, k) != nullptr) != (model.count(v % 512) == 1)) abort();
            break;
        default:
            if ((dictDelete(d, k) == DICT_OK) != (model.erase(v % 512) == 1)) abort();
        }
        if (dictSize(d) != model.size()) abort();
    }
    dictRelease(d);
    buf_free(&b);
    return 0;
}
