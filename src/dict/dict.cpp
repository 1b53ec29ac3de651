#include "dict/dict.h"

#include "dict/redisassert.h"
#include "dict/siphash.h"
#include "dict/zmalloc.h"

#include <cstring>

namespace {

constexpr signed char DICT_HT_INITIAL_EXP = 2;

inline unsigned long mask_of(const dict *d, int t) {
    return dictBuckets(d, t) - 1;
}

uint64_t hash_key(dict *d, const void *key) {
    if (d->type->hashFunction) return d->type->hashFunction(key);
    return dictHashU64Key(key);
}

bool keys_equal(dict *d, const void *a, const void *b) {
    if (d->type->keyCompare) return d->type->keyCompare(d, a, b) != 0;
    return a == b;
}

void free_entry(dict *d, dictEntry *e) {
    if (d->type->keyDestructor) d->type->keyDestructor(d, e->key);
    if (d->type->valDestructor) d->type->valDestructor(d, e->v.val);
    zfree(e);
}

void reset_table(dict *d, int t) {
    d->ht_table[t] = nullptr;
    d->ht_used[t] = 0;
    d->ht_size_exp[t] = -1;
}

signed char next_exp(unsigned long size) {
    signed char e = DICT_HT_INITIAL_EXP;
    while (e < 63 && (1ul << e) < size)
        e++;
    return e;
}

int expand(dict *d, unsigned long size) {
    if (dictIsRehashing(d) || d->ht_used[0] > size) return DICT_ERR;
    signed char exp = next_exp(size);
    if (exp == d->ht_size_exp[0]) return DICT_ERR;
    auto **table = static_cast<dictEntry **>(zcalloc(sizeof(dictEntry *) * (1ul << exp)));
    if (d->ht_table[0] == nullptr) { // first allocation: no rehash needed
        d->ht_table[0] = table;
        d->ht_size_exp[0] = exp;
        return DICT_OK;
    }
    d->ht_table[1] = table;
    d->ht_size_exp[1] = exp;
    d->ht_used[1] = 0;
    d->rehashidx = 0;
    return DICT_OK;
}

void expand_if_needed(dict *d) {
    if (dictIsRehashing(d)) return;
    if (d->ht_size_exp[0] < 0) {
        expand(d, 1ul << DICT_HT_INITIAL_EXP);
        return;
    }
    unsigned long buckets = dictBuckets(d, 0);
    if (d->ht_used[0] < buckets) return;
    if (d->type->expandAllowed) {
        double ratio = static_cast<double>(d->ht_used[0]) / static_cast<double>(buckets);
        size_t more = sizeof(dictEntry *) * (1ul << next_exp(d->ht_used[0] + 1));
        if (!d->type->expandAllowed(more, ratio)) return;
    }
    expand(d, d->ht_used[0] + 1);
}

void rehash_step(dict *d) {
    if (d->pauserehash == 0) dictRehash(d, 1);
}

unsigned long long fingerprint(const dict *d) {
    unsigned long long parts[6] = {reinterpret_cast<uintptr_t>(d->ht_table[0]),
                                   static_cast<unsigned long long>(d->ht_size_exp[0]),
                                   d->ht_used[0],
                                   reinterpret_cast<uintptr_t>(d->ht_table[1]),
                                   static_cast<unsigned long long>(d->ht_size_exp[1]),
                                   d->ht_used[1]};
    unsigned long long h = 0;
    for (unsigned long long p : parts) {
        h += p;
        h = (~h) + (h << 21);
        h ^= h >> 24;
        h = (h + (h << 3)) + (h << 8);
        h ^= h >> 14;
        h = (h + (h << 2)) + (h << 4);
        h ^= h >> 28;
        h += h << 31;
    }
    return h;
}

void clear_table(dict *d, int t, void (*callback)(dict *)) {
    unsigned long buckets = dictBuckets(d, t);
    for (unsigned long i = 0; i < buckets && d->ht_used[t] > 0; i++) {
        if (callback && (i & 65535) == 0) callback(d);
        dictEntry *e = d->ht_table[t][i];
        while (e) {
            dictEntry *next = e->next;
            free_entry(d, e);
            d->ht_used[t]--;
            e = next;
        }
    }
    zfree(d->ht_table[t]);
    reset_table(d, t);
}

} // namespace

dict *dictCreate(dictType *type) {
    auto *d = static_cast<dict *>(zmalloc(sizeof(dict)));
    d->type = type;
    reset_table(d, 0);
    reset_table(d, 1);
    d->rehashidx = -1;
    d->pauserehash = 0;
    return d;
}

int dictRehash(dict *d, int n) {
    if (!dictIsRehashing(d)) return 0;
    int empty_visits = n * 10;
    while (n-- && d->ht_used[0] != 0) {
        assert_invariant(dictBuckets(d, 0) > static_cast<unsigned long>(d->rehashidx));
        while (d->ht_table[0][d->rehashidx] == nullptr) {
            d->rehashidx++;
            if (--empty_visits == 0) return 1;
        }
        dictEntry *e = d->ht_table[0][d->rehashidx];
        while (e) {
            dictEntry *next = e->next;
            unsigned long idx = hash_key(d, e->key) & mask_of(d, 1);
            e->next = d->ht_table[1][idx];
            d->ht_table[1][idx] = e;
            d->ht_used[0]--;
            d->ht_used[1]++;
            e = next;
        }
        d->ht_table[0][d->rehashidx] = nullptr;
        d->rehashidx++;
    }
    if (d->ht_used[0] == 0) {
        zfree(d->ht_table[0]);
        d->ht_table[0] = d->ht_table[1];
        d->ht_used[0] = d->ht_used[1];
        d->ht_size_exp[0] = d->ht_size_exp[1];
        reset_table(d, 1);
        d->rehashidx = -1;
        return 0;
    }
    return 1;
}

int dictAdd(dict *d, void *key, void *val) {
    if (dictIsRehashing(d)) rehash_step(d);
    if (dictFind(d, key) != nullptr) return DICT_ERR;
    expand_if_needed(d);
    int t = dictIsRehashing(d) ? 1 : 0;
    unsigned long idx = hash_key(d, key) & mask_of(d, t);
    size_t meta = d->type->dictEntryMetadataBytes ? d->type->dictEntryMetadataBytes(d) : 0;
    auto *e = static_cast<dictEntry *>(zcalloc(sizeof(dictEntry) + meta));
    e->key = d->type->keyDup ? d->type->keyDup(d, key) : key;
    e->v.val = d->type->valDup ? d->type->valDup(d, val) : val;
    e->next = d->ht_table[t][idx];
    d->ht_table[t][idx] = e;
    d->ht_used[t]++;
    return DICT_OK;
}

dictEntry *dictFind(dict *d, const void *key) {
    if (dictSize(d) == 0) return nullptr;
    if (dictIsRehashing(d)) rehash_step(d);
    uint64_t h = hash_key(d, key);
    for (int t = 0; t <= 1; t++) {
        if (d->ht_table[t] == nullptr) break;
        for (dictEntry *e = d->ht_table[t][h & mask_of(d, t)]; e; e = e->next)
            if (key == e->key || keys_equal(d, key, e->key)) return e;
        if (!dictIsRehashing(d)) break;
    }
    return nullptr;
}

void *dictFetchValue(dict *d, const void *key) {
    dictEntry *e = dictFind(d, key);
    return e ? e->v.val : nullptr;
}

int dictDelete(dict *d, const void *key) {
    if (dictSize(d) == 0) return DICT_ERR;
    if (dictIsRehashing(d)) rehash_step(d);
    uint64_t h = hash_key(d, key);
    for (int t = 0; t <= 1; t++) {
        if (d->ht_table[t] == nullptr) break;
        unsigned long idx = h & mask_of(d, t);
        dictEntry *prev = nullptr;
        for (dictEntry *e = d->ht_table[t][idx]; e; prev = e, e = e->next) {
            if (key != e->key && !keys_equal(d, key, e->key)) continue;
            if (prev)
                prev->next = e->next;
            else
                d->ht_table[t][idx] = e->next;
            d->ht_used[t]--;
            free_entry(d, e);
            return DICT_OK;
        }
        if (!dictIsRehashing(d)) break;
    }
    return DICT_ERR;
}

void dictEmpty(dict *d, void (*callback)(dict *)) {
    clear_table(d, 0, callback);
    clear_table(d, 1, callback);
    d->rehashidx = -1;
    d->pauserehash = 0;
}

void dictRelease(dict *d) {
    dictEmpty(d, nullptr);
    zfree(d);
}

int dictTryExpand(dict *d, unsigned long size) {
    return expand(d, size);
}

void dictInitIterator(dictIterator *iter, dict *d) {
    iter->d = d;
    iter->table = 0;
    iter->index = -1;
    iter->safe = 0;
    iter->entry = nullptr;
    iter->nextEntry = nullptr;
    iter->fingerprint = 0;
}

void dictInitSafeIterator(dictIterator *iter, dict *d) {
    dictInitIterator(iter, d);
    iter->safe = 1;
}

dictEntry *dictNext(dictIterator *iter) {
    for (;;) {
        if (iter->entry == nullptr) {
            if (iter->index == -1 && iter->table == 0) {
                if (iter->safe)
                    iter->d->pauserehash++;
                else
                    iter->fingerprint = fingerprint(iter->d);
            }
            iter->index++;
            if (iter->index >= static_cast<long>(dictBuckets(iter->d, iter->table))) {
                if (dictIsRehashing(iter->d) && iter->table == 0) {
                    iter->table++;
                    iter->index = 0;
                } else {
                    return nullptr;
                }
            }
            if (iter->d->ht_table[iter->table] == nullptr) return nullptr;
            iter->entry = iter->d->ht_table[iter->table][iter->index];
        } else {
            iter->entry = iter->nextEntry;
        }
        if (iter->entry) {
            iter->nextEntry = iter->entry->next;
            return iter->entry;
        }
    }
}

void dictResetIterator(dictIterator *iter) {
    if (iter->index == -1 && iter->table == 0) return;
    if (iter->safe)
        iter->d->pauserehash--;
    else
        assert_invariant(iter->fingerprint == fingerprint(iter->d));
}

uint64_t dictGenHashFunction(const void *key, size_t len) {
    return siphash(static_cast<const uint8_t *>(key), len);
}

uint64_t dictGenCaseHashFunction(const unsigned char *buf, size_t len) {
    return siphash_nocase(buf, len);
}

uint64_t dictHashU32Key(const void *key) {
    auto v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    return dictGenHashFunction(&v, sizeof v);
}

uint64_t dictHashU16Key(const void *key) {
    auto v = static_cast<uint16_t>(reinterpret_cast<uintptr_t>(key));
    return dictGenHashFunction(&v, sizeof v);
}

uint64_t dictHashU64Key(const void *key) {
    auto v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
    return dictGenHashFunction(&v, sizeof v);
}

int dictComparePtrKey(dict *, const void *key1, const void *key2) {
    return key1 == key2;
}
