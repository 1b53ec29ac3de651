// Hostile bytes into the LEB128 decoder (both forms) and into the hash table's key handling:
// decoded values become keys that are added, looked up and deleted, checked against a model.
#include "core/buf.h"
#include "dict/dict.h"

#include <cstdlib>
#include <cstring>
#include <map>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static dictType num_type = {dictHashU64Key, nullptr, nullptr, dictComparePtrKey,
                                nullptr,        nullptr, nullptr, nullptr};
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
        uint8_t head = start >= 2 ? *b.pos++ : 0;
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
        uint64_t key = v % 512, op = step++ % 3;
        void *k = reinterpret_cast<void *>(static_cast<uintptr_t>(key));
        void *val = reinterpret_cast<void *>(static_cast<uintptr_t>(v));
        if (op == 0 && (dictAdd(d, k, val) == DICT_OK) != model.emplace(key, v).second) abort();
        if (op == 1 && (dictFind(d, k) != nullptr) != (model.count(key) == 1)) abort();
        if (op == 2 && (dictDelete(d, k) == DICT_OK) != (model.erase(key) == 1)) abort();
        if (dictSize(d) != model.size()) abort();
    }
    dictRelease(d);
    buf_free(&b);
    return 0;
}
