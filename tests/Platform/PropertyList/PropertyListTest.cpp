#include "Platform/AudioServer/PropertyList/PropertyList.h"

#include <atomic>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Releases a created reference at the end of a test.
struct Owned {
    explicit Owned(PLRef r)
        : ref(r) {}
    ~Owned() { PLRelease(ref); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    PLRef ref;
    operator PLRef() const { return ref; }
};

TEST(PropertyList, StringsCopyTheirBytesAndRejectMalformedUTF8) {
    char buffer[] = "Line 1";
    Owned s(PLStringCreate(buffer));
    buffer[0] = 'X';
    EXPECT_STREQ(PLStringGetUTF8(s), "Line 1");
    EXPECT_EQ(PLStringGetLength(s), 6u);

    Owned japanese(PLStringCreate("ライン"));
    EXPECT_STREQ(PLStringGetUTF8(japanese), "ライン");

    Owned prefix(PLStringCreateWithBytes("abcdef", 3));
    EXPECT_STREQ(PLStringGetUTF8(prefix), "abc");

    EXPECT_EQ(PLStringCreateWithBytes("\xff", 1), nullptr);
    EXPECT_EQ(PLStringCreateWithBytes("\xc0\xaf", 2), nullptr);     // overlong '/'
    EXPECT_EQ(PLStringCreateWithBytes("\xed\xa0\x80", 3), nullptr); // surrogate
    EXPECT_EQ(PLStringCreateWithBytes("\xe3\x83", 2), nullptr);     // cut short
    Owned empty(PLStringCreateWithBytes(nullptr, 0));
    EXPECT_STREQ(PLStringGetUTF8(empty), "");
}

TEST(PropertyList, NumbersConvertWithTruncationAndClamping) {
    Owned i(PLNumberCreateInt64(int64_t{1} << 40));
    Owned f(PLNumberCreateFloat64(-2.5));
    Owned nan(PLNumberCreateFloat64(std::numeric_limits<double>::quiet_NaN()));
    Owned huge(PLNumberCreateFloat64(1e300));
    EXPECT_FALSE(PLNumberIsFloat(i));
    EXPECT_TRUE(PLNumberIsFloat(f));

    int64_t i64 = 0;
    int32_t i32 = 0;
    double d = 0;
    float x = 0;
    ASSERT_TRUE(PLNumberGetInt32(i, &i32));
    EXPECT_EQ(i32, std::numeric_limits<int32_t>::max());
    ASSERT_TRUE(PLNumberGetInt64(f, &i64));
    EXPECT_EQ(i64, -2);
    ASSERT_TRUE(PLNumberGetInt64(nan, &i64));
    EXPECT_EQ(i64, 0);
    ASSERT_TRUE(PLNumberGetInt64(huge, &i64));
    EXPECT_EQ(i64, std::numeric_limits<int64_t>::max());
    ASSERT_TRUE(PLNumberGetFloat64(i, &d));
    EXPECT_EQ(d, 1099511627776.0);
    ASSERT_TRUE(PLNumberGetFloat32(f, &x));
    EXPECT_EQ(x, -2.5f);

    Owned text(PLStringCreate("2"));
    EXPECT_FALSE(PLNumberGetInt64(text, &i64));
    EXPECT_FALSE(PLNumberGetFloat32(nullptr, &x));
}

TEST(PropertyList, EqualityIsDeepAndComparesNumbersByValue) {
    Owned two(PLNumberCreateInt64(2));
    Owned twoF(PLNumberCreateFloat64(2.0));
    Owned twoHalf(PLNumberCreateFloat64(2.5));
    Owned yes(PLBooleanCreate(true));
    Owned one(PLNumberCreateInt64(1));
    EXPECT_TRUE(PLEqual(two, twoF));
    EXPECT_FALSE(PLEqual(two, twoHalf));
    EXPECT_FALSE(PLEqual(yes, one)); // a boolean is not a number

    const char* keysA[] = {"number", "name"};
    const char* keysB[] = {"name", "number"};
    Owned name(PLStringCreate("Line 1"));
    PLRef valuesA[] = {two, name};
    PLRef valuesB[] = {name, twoF};
    Owned a(PLDictionaryCreate(keysA, valuesA, 2));
    Owned b(PLDictionaryCreate(keysB, valuesB, 2));
    EXPECT_TRUE(PLEqual(a, b)); // key order does not matter

    PLRef items1[] = {a, two};
    PLRef items2[] = {two, a};
    Owned arr1(PLArrayCreate(items1, 2));
    Owned arr2(PLArrayCreate(items2, 2));
    EXPECT_FALSE(PLEqual(arr1, arr2)); // element order does
    EXPECT_FALSE(PLEqual(nullptr, nullptr));
}

TEST(PropertyList, DictionariesKeepCreationOrderAndTheLastValueOfARepeatedKey) {
    Owned one(PLNumberCreateInt64(1));
    Owned two(PLNumberCreateInt64(2));
    Owned three(PLNumberCreateInt64(3));
    std::string key = "b"; // keys are copied
    const char* keys[] = {key.c_str(), "a", "b"};
    PLRef values[] = {one, two, three};
    Owned d(PLDictionaryCreate(keys, values, 3));
    key = "z";
    ASSERT_EQ(PLDictionaryGetCount(d), 2u);
    EXPECT_STREQ(PLDictionaryGetKeyAtIndex(d, 0), "b");
    EXPECT_STREQ(PLDictionaryGetKeyAtIndex(d, 1), "a");
    EXPECT_EQ(PLDictionaryGetValue(d, "b"), three.ref);
    EXPECT_EQ(PLDictionaryGetValueAtIndex(d, 1), two.ref);
    EXPECT_EQ(PLDictionaryGetValue(d, "z"), nullptr);
    EXPECT_EQ(PLDictionaryGetKeyAtIndex(d, 2), nullptr);

    const char* badKeys[] = {"a", nullptr};
    EXPECT_EQ(PLDictionaryCreate(badKeys, values, 2), nullptr);
}

// Keys are text like strings: a key that is not UTF-8 could never be stored or shown, so the dictionary
// is not made.
TEST(PropertyList, DictionaryKeysMustBeWellFormedUTF8) {
    Owned one(PLNumberCreateInt64(1));
    const PLRef values[] = {one, one};
    for (const char* bad : {"\xff", "caf\xc3", "\xed\xa0\x80", "\xc0\xaf"}) {
        SCOPED_TRACE(bad);
        const char* keys[] = {"fine", bad};
        EXPECT_EQ(PLDictionaryCreate(keys, values, 2), nullptr);
    }
    const char* keys[] = {"名前", "caf\xc3\xa9"};
    Owned d(PLDictionaryCreate(keys, values, 2));
    EXPECT_EQ(PLDictionaryGetCount(d), 2u);
}

// Nesting is bounded where values are made, so storing, comparing and releasing them never recurse
// without limit: a chain as deep as allowed works end to end, one level more is not made.
TEST(PropertyList, ContainersNestNoDeeperThanTheLimit) {
    Owned leaf(PLNumberCreateInt64(7));
    EXPECT_EQ(PLGetDepth(leaf), 1u);
    EXPECT_EQ(PLGetDepth(nullptr), 0u);
    const auto chain = [&](bool dictionaries, size_t depth) {
        PLRef value = PLRetain(leaf);
        const char* key = "k";
        for (size_t level = 1; level < depth && value != nullptr; ++level) {
            PLRef next = dictionaries ? PLDictionaryCreate(&key, &value, 1) : PLArrayCreate(&value, 1);
            PLRelease(value);
            value = next;
        }
        return value;
    };
    for (bool dictionaries : {false, true}) {
        SCOPED_TRACE(dictionaries ? "dictionaries" : "arrays");
        Owned deepest(chain(dictionaries, PL_MAX_DEPTH));
        ASSERT_NE(deepest.ref, nullptr);
        EXPECT_EQ(PLGetDepth(deepest), size_t(PL_MAX_DEPTH));
        Owned twin(chain(dictionaries, PL_MAX_DEPTH));
        EXPECT_TRUE(PLEqual(deepest, twin));

        EXPECT_EQ(chain(dictionaries, PL_MAX_DEPTH + 1), nullptr);
        EXPECT_EQ(chain(dictionaries, 40000), nullptr);
        const char* key = "k";
        PLRef inner = deepest.ref;
        EXPECT_EQ(PLArrayCreate(&inner, 1), nullptr);
        EXPECT_EQ(PLDictionaryCreate(&key, &inner, 1), nullptr);
        EXPECT_EQ(PLGetRetainCount(deepest), 1u) << "a refused container kept a reference";
    }
    Owned empty(PLArrayCreate(nullptr, 0));
    EXPECT_EQ(PLGetDepth(empty), 1u);
}

TEST(PropertyList, ContainersKeepTheirValuesAliveAfterTheCallerReleases) {
    PLRef name = PLStringCreate("Line 2");
    PLRef array = PLArrayCreate(&name, 1);
    PLRelease(name);
    EXPECT_STREQ(PLStringGetUTF8(PLArrayGetValueAtIndex(array, 0)), "Line 2");
    EXPECT_EQ(PLArrayGetValueAtIndex(array, 1), nullptr);
    PLRelease(array);

    PLRef withHole[] = {nullptr};
    EXPECT_EQ(PLArrayCreate(withHole, 1), nullptr);
    Owned empty(PLArrayCreate(nullptr, 0));
    EXPECT_EQ(PLGetType(empty), PLTypeArray);
    EXPECT_EQ(PLArrayGetCount(empty), 0u);
}

TEST(PropertyList, DataCopiesItsBytes) {
    unsigned char bytes[] = {1, 2, 3};
    Owned d(PLDataCreate(bytes, 3));
    bytes[0] = 9;
    ASSERT_EQ(PLDataGetLength(d), 3u);
    EXPECT_EQ(static_cast<const unsigned char*>(PLDataGetBytes(d))[0], 1);
    Owned empty(PLDataCreate(nullptr, 0));
    EXPECT_EQ(PLDataGetLength(empty), 0u);
    EXPECT_EQ(PLDataCreate(nullptr, 4), nullptr);
}

TEST(PropertyList, GettersOfTheWrongTypeAnswerNothing) {
    Owned s(PLStringCreate("x"));
    EXPECT_EQ(PLArrayGetCount(s), 0u);
    EXPECT_EQ(PLDictionaryGetValue(s, "x"), nullptr);
    EXPECT_EQ(PLDataGetBytes(s), nullptr);
    EXPECT_FALSE(PLBooleanGetValue(s));
    EXPECT_EQ(PLStringGetUTF8(nullptr), nullptr);
    EXPECT_EQ(PLGetType(nullptr), PLTypeNone);
    EXPECT_EQ(PLRetain(nullptr), nullptr);
    PLRelease(nullptr);
}

TEST(PropertyList, RetainAndReleaseFromManyThreads) {
    PLRef name = PLStringCreate("shared");
    PLRef array = PLArrayCreate(&name, 1);
    PLRelease(name);
    std::vector<std::thread> threads;
    std::atomic<int> reads{0};
    for (int t = 0; t < 8; ++t) {
        PLRetain(array);
        threads.emplace_back([array, &reads] {
            for (int i = 0; i < 2000; ++i) {
                PLRef held = PLRetain(array);
                if (std::strcmp(PLStringGetUTF8(PLArrayGetValueAtIndex(held, 0)), "shared") == 0) {
                    reads.fetch_add(1, std::memory_order_relaxed);
                }
                PLRelease(held);
            }
            PLRelease(array);
        });
    }
    PLRelease(array);
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(reads.load(), 8 * 2000);
}

} // namespace
