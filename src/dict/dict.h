// Chained hash table with two bucket arrays and incremental rehashing.
//
// Each table belongs to one thread. Growing allocates a second bucket array; every later add,
// find, fetch or delete moves one bucket until the first array is empty. Sizes are powers of two;
// an empty table has no buckets and gets 4 on its first insertion.
#pragma once

#include <cstddef>
#include <cstdint>

struct dict;

struct dictEntry {
    void *key; // the key (or a number stored in the pointer itself)
    union {
        void *val;
        uint64_t u64;
        int64_t s64;
        double d;
    } v;             // the value
    dictEntry *next; // next entry of the same bucket
};

// Callbacks of one kind of table. Null means: hash the pointer value, store pointers as given,
// compare pointers, destroy nothing.
struct dictType {
    uint64_t (*hashFunction)(const void *key);
    void *(*keyDup)(dict *d, const void *key);
    void *(*valDup)(dict *d, const void *obj);
    int (*keyCompare)(dict *d, const void *key1, const void *key2); // non-zero when equal
    void (*keyDestructor)(dict *d, void *key);
    void (*valDestructor)(dict *d, void *obj);
    int (*expandAllowed)(size_t moreMem, double usedRatio);
    size_t (*dictEntryMetadataBytes)(dict *d);
};

struct dict {
    dictType *type;             // callbacks
    dictEntry **ht_table[2];    // bucket arrays; [1] exists only while rehashing
    unsigned long ht_used[2];   // entries in each array
    long rehashidx;             // next bucket of [0] to move, -1 when not rehashing
    int16_t pauserehash;        // rehash steps are skipped while non-zero
    signed char ht_size_exp[2]; // log2 of each array's bucket count, -1 for none
};

struct dictIterator {
    dict *d;                        // table walked
    long index;                     // current bucket
    int table;                      // current bucket array
    int safe;                       // safe iterators pause rehashing and allow deletes
    dictEntry *entry;               // entry last returned
    dictEntry *nextEntry;           // its successor, taken before the caller may delete it
    unsigned long long fingerprint; // table shape when an unsafe walk began
};

constexpr int DICT_OK = 0;
constexpr int DICT_ERR = 1;

inline unsigned long dictSize(const dict *d) {
    return d->ht_used[0] + d->ht_used[1];
}
inline unsigned long dictBuckets(const dict *d, int table) {
    return d->ht_size_exp[table] < 0 ? 0 : 1ul << d->ht_size_exp[table];
}
inline bool dictIsRehashing(const dict *d) {
    return d->rehashidx != -1;
}

dict *dictCreate(dictType *type);
// DICT_OK when added, DICT_ERR when the key is present (nothing changes).
int dictAdd(dict *d, void *key, void *val);
dictEntry *dictFind(dict *d, const void *key);
void *dictFetchValue(dict *d, const void *key);
// Unlinks the entry, runs the destructors, frees it: DICT_OK when found, DICT_ERR when absent.
int dictDelete(dict *d, const void *key);
// Removes every entry (destructors run) and keeps the table; callback, when set, is called
// every 65536 buckets.
void dictEmpty(dict *d, void (*callback)(dict *));
// dictEmpty, then frees the table itself.
void dictRelease(dict *d);
// Pre-sizes the bucket array for `size` entries.
int dictTryExpand(dict *d, unsigned long size);
// Moves up to n buckets; returns 1 while buckets remain to move.
int dictRehash(dict *d, int n);

void dictInitIterator(dictIterator *iter, dict *d);
void dictInitSafeIterator(dictIterator *iter, dict *d);
dictEntry *dictNext(dictIterator *iter);
// Ends a walk: resumes rehashing (safe) or checks the table did not change (unsafe).
void dictResetIterator(dictIterator *iter);

uint64_t dictGenHashFunction(const void *key, size_t len);
uint64_t dictGenCaseHashFunction(const unsigned char *buf, size_t len);

// Ready-made callbacks for the key kinds the system uses. Numeric keys live in the pointer.
uint64_t dictHashU32Key(const void *key); // low 4 bytes of the number
uint64_t dictHashU16Key(const void *key); // low 2 bytes
uint64_t dictHashU64Key(const void *key); // all 8 bytes
int dictComparePtrKey(dict *d, const void *key1, const void *key2);
