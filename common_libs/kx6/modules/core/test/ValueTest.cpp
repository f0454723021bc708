#include <gtest/gtest.h>

#include <cstring>

#include "core/src/exception/OutOfRangeException.h"
#include "core/src/value/Any.h"
#include "core/src/value/AnyConvert.h"
#include "core/src/value/Array.h"
#include "core/src/value/Binary.h"
#include "core/src/value/Dictionary.h"
#include "core/src/value/String.h"

using namespace kx::core;

TEST(String, EmptySharesOneBufferAndGrowsByPowersOfTwo) {
    String a, b;
    EXPECT_EQ(a.c_str(), b.c_str());
    EXPECT_EQ(0, a.capacity());
    String s(L"abc");
    EXPECT_EQ(31, s.capacity());
    EXPECT_EQ(0, s.c_str()[3]);
    String t(std::wstring(32, L'x').c_str());
    EXPECT_EQ(63, t.capacity());
}

TEST(String, NullTextThrows) {
    const wchar_t* nothing = nullptr;
    try {
        String s(nothing);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(String(L"Assigned string with null pointer!"), e.message());
    }
}

TEST(String, SubstringRightLowerTrimAndSearch) {
    String s(L"Hello/World//");
    EXPECT_EQ(String(L"World"), s.substring(6, 5));
    EXPECT_EQ(String(L"World//"), s.substring(6, 1000));
    EXPECT_EQ(String(), s.substring(100, 2));
    EXPECT_EQ(String(L"d//"), s.right(3));
    EXPECT_EQ(String(L"hello/world//"), s.toLower());
    EXPECT_EQ(String(L"Hello/World"), s.trimSuffix(L"/"));
    EXPECT_EQ(12, s.lastIndexOf(L'/'));
    EXPECT_EQ(-1, s.lastIndexOf(L'#'));
    EXPECT_EQ(String(L"ab"), String(L"a") + L"b");
}

TEST(String, NumbersBothWays) {
    EXPECT_EQ(String(L"-5"), String::fromInt32(-5));
    EXPECT_EQ(String(L"5000000000"), String::fromInt64(5000000000LL));
    EXPECT_EQ(String(L"1.5"), String::fromDouble(1.5));
    EXPECT_EQ(12, String(L"12abc").toInt32());
    EXPECT_EQ(0, String(L"abc").toInt32());
    EXPECT_EQ(0, String().toInt64());
    EXPECT_TRUE(String(L"TRUE").toBool());
    EXPECT_FALSE(String(L"yes").toBool());
}

TEST(String, OrderIsRawCodeUnitsShorterFirst) {
    EXPECT_LT(String(L"a"), String(L"ab"));
    EXPECT_LT(String(L"ab"), String(L"b"));
    EXPECT_FALSE(String(L"b") < String(L"b"));
}

TEST(Utf8, RoundTripAndStrictRejection) {
    String s(L"a\u00e9\u4e2d\U0001F600");
    Binary b = s.toUtf8();
    EXPECT_EQ(1 + 2 + 3 + 4, b.length());
    EXPECT_EQ(s, String::fromUtf8(b));
    const char* invalid[] = {
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xE4\xB8",          // truncated
        "\x80",              // lone continuation
        "\xFF",
        "ok\xC3",
    };
    for (const char* bad : invalid) EXPECT_TRUE(String::fromUtf8(bad).isEmpty()) << bad;
    const wchar_t surrogate[] = {0xD800, 0};
    EXPECT_TRUE(String(surrogate).toUtf8().isEmpty());
}

TEST(Binary, TerminatedAndGrowing) {
    Binary b("abc");
    EXPECT_EQ(3, b.length());
    EXPECT_EQ(0, b.data()[3]);
    Binary n(static_cast<const char*>(nullptr));
    EXPECT_TRUE(n.isEmpty());
    EXPECT_EQ(Binary().data(), Binary().data());
    b.append("defg", 4);
    b.removeFront(2);
    EXPECT_EQ(Binary("cdefg"), b);
    EXPECT_EQ(0, b.data()[5]);
    b.resize(8);
    EXPECT_EQ(0, b[7]);
    EXPECT_THROW(b[8], OutOfRangeException);
    b.append(b.data(), b.length());  // self-append across a reallocation
    EXPECT_EQ(16, b.length());
    // Growing for a read keeps the content and the terminator, and shrinking
    // keeps the capacity.
    Binary r("xyz");
    r.resizeForOverwrite(4096);
    EXPECT_EQ(4096, r.length());
    EXPECT_EQ(0, memcmp(r.data(), "xyz", 3));
    EXPECT_EQ(0, r.data()[4096]);
    int32_t capacity = r.capacity();
    r.resizeForOverwrite(2);
    EXPECT_EQ(Binary("xy"), r);
    EXPECT_EQ(capacity, r.capacity());
    r.resizeForOverwrite(-1);
    EXPECT_TRUE(r.isEmpty());
}

TEST(Array, GrowthAndRangeErrors) {
    Array<int> a;
    EXPECT_EQ(0, a.capacity());
    for (int i = 0; i < 32; ++i) a.append(i);
    EXPECT_EQ(32, a.capacity());
    a.append(32);
    EXPECT_EQ(64, a.capacity());
    Array<int> three{1, 2, 3};
    try {
        three[5];
        FAIL();
    } catch (const OutOfRangeException& e) {
        EXPECT_EQ(String(L"OutOfRangeException. Index 5 out of range [0, 3)"), e.message());
    }
}

TEST(Dictionary, KeyOrderAndMissingLookup) {
    Dictionary<Any> d;
    d.set(L"b", Any(int32_t(1)));
    d.set(L"a", Any(int32_t(2)));
    d.set(L"ab", Any(int32_t(3)));
    String order;
    for (auto& kv : d) order += kv.first;
    EXPECT_EQ(String(L"aabb"), order);
    EXPECT_TRUE(d.get(L"zz").isEmpty());
    const Any* missing = &d.get(L"zz");
    EXPECT_EQ(&(Map<String, Any>::empty()), missing);
    EXPECT_EQ(3, d.size());
}

TEST(Any, TypedAccessAndCastErrors) {
    Any v(int32_t(7));
    EXPECT_EQ(7, v.as<int32_t>());
    EXPECT_THROW(v.as<int64_t>(), BadAnyCastException);
    Any empty;
    try {
        empty.as<String>();
        FAIL();
    } catch (const BadAnyCastException& e) {
        EXPECT_TRUE(e.message().startsWith(L"BadAnyCastException. Can not cast "));
    }
    Any copy = Any(Array<Any>{Any(int8_t(1)), Any(String(L"x"))});
    Any deep = copy;
    deep.as<Array<Any>>()[1] = Any(String(L"y"));
    EXPECT_EQ(String(L"x"), copy.as<Array<Any>>()[1].as<String>());
}

// One row per held type and target conversion.
TEST(AnyConvert, Table) {
    struct Row {
        Any value;
        const wchar_t* text;
        bool flag;
        int32_t i32;
        int64_t i64;
    };
    const Row rows[] = {
        {Any(String(L"12abc")), L"12abc", false, 12, 12},
        {Any(String(L"TRUE")), L"TRUE", true, 0, 0},
        {Any(String(L"abc")), L"abc", false, 0, 0},
        {Any(Binary("42")), L"42", false, 42, 42},
        {Any(Binary("true")), L"true", true, 0, 0},
        {Any(int8_t(-3)), L"-3", true, -3, -3},
        {Any(int16_t(300)), L"300", true, 300, 300},
        {Any(int32_t(0)), L"0", false, 0, 0},
        {Any(int64_t(4294967296LL)), L"4294967296", true, 0, 4294967296LL},
        {Any(2.0), L"2", true, 2, 2},
        {Any(1.0), L"1", false, 1, 1},
        {Any(0.5), L"0.5", false, 0, 0},
        {Any(-1.0), L"-1", false, -1, -1},
        {Any(-2.7), L"-2.7", true, -2, -2},
        {Any(true), L"true", true, 1, 1},
        {Any(false), L"false", false, 0, 0},
        {Any(), L"", false, 0, 0},
        {Any(Array<Any>()), L"", false, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(String(r.text).toStdString());
        EXPECT_EQ(String(r.text), AnyConvert::toText(r.value));
        EXPECT_EQ(r.flag, AnyConvert::toBool(r.value));
        EXPECT_EQ(r.i32, AnyConvert::toInt32(r.value));
        EXPECT_EQ(r.i64, AnyConvert::toInt64(r.value));
    }
}

TEST(AnyConvert, HugeDoublesSaturateInsteadOfOverflowing) {
    EXPECT_EQ(INT64_MAX, AnyConvert::toInt64(Any(1e300)));
    EXPECT_EQ(INT32_MIN, AnyConvert::toInt32(Any(-1e300)));
}
