#include "dict/dict.h"
#include "dict/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

namespace {

dictType u32_type = {dictHashU32Key, nullptr, nullptr, dictComparePtrKey,
                     nullptr,        nullptr, nullptr, nullptr};

void *key(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}

int destroyed = 0;
void count_val_destructor(dict *, void *) {
    destroyed++;
}

} // namespace

TEST(SipHash, ReferenceVector24) {
    // The reference vector of SipHash-2-4: key 00..0f, message 00..0e.
    uint8_t k[16], msg[15];
    for (int i = 0; i < 16; i++)
        k[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 15; i++)
        msg[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(siphash_cd(msg, sizeof msg, k, 2, 4), 0xa129ca6149be45e5ull);
}

TEST(Dict, GrowsFromFourToEightOnTheFifthInsertAndFindsDuringTheMove) {
    dict *d = dictCreate(&u32_type);
    for (uintptr_t i = 1; i <= 4; i++)
        ASSERT_EQ(dictAdd(d, key(i), key(i * 10)), DICT_OK);
    EXPECT_EQ(dictBuckets(d, 0), 4u);
    EXPECT_FALSE(dictIsRehashing(d));
    ASSERT_EQ(dictAdd(d, key(5), key(50)), DICT_OK);
    EXPECT_TRUE(dictIsRehashing(d));
    EXPECT_EQ(dictBuckets(d, 1), 8u);
    for (uintptr_t i = 1; i <= 5; i++)
        EXPECT_EQ(dictFetchValue(d, key(i)), key(i * 10)) << i;
    while (dictIsRehashing(d))
        dictRehash(d, 1);
    EXPECT_EQ(dictBuckets(d, 0), 8u);
    EXPECT_EQ(dictSize(d), 5u);
    dictRelease(d);
}

TEST(Dict, ManyKeysSurviveRepeatedGrowthAndDeletes) {
    dictType t = u32_type;
    t.valDestructor = count_val_destructor;
    destroyed = 0;
    dict *d = dictCreate(&t);
    for (uintptr_t i = 0; i < 5000; i++)
        ASSERT_EQ(dictAdd(d, key(i), key(i + 1)), DICT_OK);
    for (uintptr_t i = 0; i < 5000; i += 2)
        ASSERT_EQ(dictDelete(d, key(i)), DICT_OK);
    EXPECT_EQ(destroyed, 2500);
    for (uintptr_t i = 0; i < 5000; i++)
        EXPECT_EQ(dictFind(d, key(i)) != nullptr, i % 2 == 1) << i;
    std::set<uintptr_t> seen;
    dictIterator it;
    dictInitIterator(&it, d);
    while (dictEntry *e = dictNext(&it))
        seen.insert(reinterpret_cast<uintptr_t>(e->key));
    dictResetIterator(&it);
    EXPECT_EQ(seen.size(), 2500u);
    dictRelease(d);
    EXPECT_EQ(destroyed, 5000);
}
