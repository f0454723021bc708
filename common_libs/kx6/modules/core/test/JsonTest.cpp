#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/src/json/JsonBuilder.h"
#include "core/src/json/JsonParser.h"

using namespace kx::core;

namespace {
bool parse(const wchar_t* text, Any& out) {
    return JsonParser::parseAny(String(text), out);
}

Any parsed(const wchar_t* text) {
    Any out;
    EXPECT_TRUE(parse(text, out)) << String(text).toStdString();
    return out;
}

std::string build(const Any& value, bool prettyMode) {
    JsonBuilder b;
    b.init(prettyMode);
    String out;
    EXPECT_TRUE(b.build(value, out));
    return out.toStdString();
}

std::string compact(const Any& value) {
    return build(value, false);
}
std::string pretty(const Any& value) {
    return build(value, true);
}
}  // namespace

TEST(JsonParser, NumbersTakeTheNarrowestWidth) {
    EXPECT_TRUE(parsed(L"127").is<int8_t>());
    EXPECT_TRUE(parsed(L"-128").is<int8_t>());
    EXPECT_TRUE(parsed(L"128").is<int16_t>());
    EXPECT_TRUE(parsed(L"-129").is<int16_t>());
    EXPECT_TRUE(parsed(L"300").is<int16_t>());
    EXPECT_TRUE(parsed(L"32767").is<int16_t>());
    EXPECT_TRUE(parsed(L"32768").is<int32_t>());
    EXPECT_TRUE(parsed(L"-32769").is<int32_t>());
    EXPECT_TRUE(parsed(L"70000").is<int32_t>());
    EXPECT_EQ(parsed(L"2147483647").as<int32_t>(), 2147483647);
    EXPECT_EQ(parsed(L"-2147483648").as<int32_t>(), INT32_MIN);
    EXPECT_EQ(parsed(L"2147483648").as<int64_t>(), 2147483648LL);
    EXPECT_EQ(parsed(L"-2147483649").as<int64_t>(), -2147483649LL);
    EXPECT_EQ(parsed(L"5000000000").as<int64_t>(), 5000000000LL);
    EXPECT_EQ(parsed(L"9223372036854775807").as<int64_t>(), INT64_MAX);
    EXPECT_EQ(parsed(L"300").as<int16_t>(), 300);
}

TEST(JsonParser, NumberRunsFollowTheConversionRules) {
    EXPECT_DOUBLE_EQ(parsed(L"1.5").as<double>(), 1.5);
    EXPECT_DOUBLE_EQ(parsed(L".5").as<double>(), 0.5);
    EXPECT_DOUBLE_EQ(parsed(L"-2.5e2").as<double>(), -250.0);
    EXPECT_EQ(parsed(L"-").as<int8_t>(), 0);  // converts to nothing
    EXPECT_DOUBLE_EQ(parsed(L".").as<double>(), 0.0);
    // The run ends at the first character outside it.
    JsonParser p;
    ASSERT_TRUE(p.setInput(String(L"1.5E3x")));
    Any v;
    ASSERT_TRUE(p.parse(v));
    EXPECT_DOUBLE_EQ(v.as<double>(), 1500.0);
    EXPECT_EQ(p.position(), 5);
}

// Regression (fuzzing): an exponent without a '.' went through the integer
// conversion, which stops at the 'e', so 1e+20 read back as the integer 1.
TEST(JsonParser, ExponentWithoutDotReadsAsDouble) {
    const struct {
        const wchar_t* text;
        double value;
    } cases[] = {
        {L"1e5", 1e5},     {L"1e+20", 1e20},  {L"1e-07", 1e-7},
        {L"-3E2", -300.0}, {L"2E-1", 0.2},    {L"[7e0]", 7.0},
    };
    for (const auto& c : cases) {
        Any v = parsed(c.text);
        if (v.is<Array<Any>>()) v = Any(v.as<Array<Any>>()[0]);
        ASSERT_TRUE(v.is<double>()) << String(c.text).toStdString();
        EXPECT_EQ(v.as<double>(), c.value) << String(c.text).toStdString();
    }
    // Plain digit runs keep the narrowest-integer rule.
    EXPECT_TRUE(parsed(L"-0").is<int8_t>());
    EXPECT_TRUE(parsed(L"100").is<int8_t>());
}

TEST(JsonParser, StringsAndEscapes) {
    EXPECT_EQ(parsed(L"\"\\u0041\"").as<String>(), String(L"A"));
    EXPECT_EQ(parsed(L"\"\\u00e9\\u00E9\"").as<String>(), String(L"\u00e9\u00e9"));
    EXPECT_EQ(parsed(L"\"a\\\"b\\\\c\\/d\"").as<String>(), String(L"a\"b\\c/d"));
    EXPECT_EQ(parsed(L"\"\\b\\f\\n\\r\\t\"").as<String>(), String(L"\b\f\n\r\t"));
    EXPECT_EQ(parsed(L"\"tab\tinside\"").as<String>(), String(L"tab\tinside"));
    // A surrogate pair stays as two units.
    String pair = parsed(L"\"\\ud83d\\ude00\"").as<String>();
    ASSERT_EQ(pair.length(), 2);
    EXPECT_EQ(pair[0], 0xD83D);
    EXPECT_EQ(pair[1], 0xDE00);
    EXPECT_EQ(parsed(L"\"\"").as<String>(), String());

    Any out(int32_t(42));
    for (const wchar_t* bad :
         {L"\"\\x41\"", L"\"\\u004\"", L"\"\\u00g1\"", L"\"open", L"\"\\", L"\"\\u12"}) {
        EXPECT_FALSE(parse(bad, out)) << String(bad).toStdString();
        EXPECT_EQ(out.as<int32_t>(), 42);  // untouched on failure
    }
}

TEST(JsonParser, ContainersLiteralsAndWhitespace) {
    // NUL counts as whitespace too.
    const std::wstring text =
        std::wstring(1, L'\0') + L" \t\r\n\v\f{ \"b\" : [1, true, false, null, \"x\"], \"a\":{} }";
    Any v;
    ASSERT_TRUE(JsonParser::parseAny(String(text.data(), int32_t(text.size())), v));
    ASSERT_TRUE(v.is<Dictionary<Any>>());
    const Dictionary<Any>& d = v.as<Dictionary<Any>>();
    ASSERT_EQ(d.size(), 2);
    EXPECT_TRUE(d.get(L"a").as<Dictionary<Any>>().isEmpty());
    const Array<Any>& arr = d.get(L"b").as<Array<Any>>();
    ASSERT_EQ(arr.size(), 5);
    EXPECT_EQ(arr[0].as<int8_t>(), 1);
    EXPECT_TRUE(arr[1].as<bool>());
    EXPECT_FALSE(arr[2].as<bool>());
    EXPECT_TRUE(arr[3].isEmpty());
    EXPECT_EQ(arr[4].as<String>(), String(L"x"));
    EXPECT_TRUE(parsed(L"[]").as<Array<Any>>().isEmpty());
    EXPECT_TRUE(parsed(L"null").isEmpty());
}

TEST(JsonParser, RepeatedKeyKeepsTheLastValue) {
    Any v = parsed(L"{\"a\":1,\"a\":2}");
    const Dictionary<Any>& d = v.as<Dictionary<Any>>();
    EXPECT_EQ(d.size(), 1);
    EXPECT_EQ(d.get(L"a").as<int8_t>(), 2);
}

TEST(JsonParser, TrailingTextIsNotExamined) {
    Dictionary<Any> d;
    EXPECT_TRUE(JsonParser::parseDictionary(String(L"{\"k\":\"v\"} trailing ]]] garbage"), d));
    EXPECT_EQ(d.get(L"k").as<String>(), String(L"v"));
    EXPECT_TRUE(parsed(L"truex").as<bool>());
}

TEST(JsonParser, MalformedInputFails) {
    const wchar_t* bad[] = {L"",          L"   ",    L"[1 2]",    L"[1,",      L"[1,]",
                            L"{\"a\" 1}", L"{a:1}",  L"{\"a\":}", L"{\"a\":1", L"{\"a\":1,}",
                            L"True",      L"nul",    L"fals",     L"[",        L"{",
                            L"+1",        L"'text'", L"[1;2]"};
    for (const wchar_t* text : bad) {
        Any out(String(L"kept"));
        EXPECT_FALSE(parse(text, out)) << String(text).toStdString();
        EXPECT_EQ(out.as<String>(), String(L"kept"));
    }
    Dictionary<Any> d;
    EXPECT_FALSE(JsonParser::parseDictionary(String(L"[1]"), d));
}

TEST(JsonParser, NestingDepthIsBounded) {
    std::wstring ok(JsonParser::MAX_DEPTH, L'[');
    ok.append(JsonParser::MAX_DEPTH, L']');
    Any v;
    EXPECT_TRUE(JsonParser::parseAny(String(ok.c_str()), v));

    std::wstring over(JsonParser::MAX_DEPTH + 1, L'[');
    over.append(JsonParser::MAX_DEPTH + 1, L']');
    EXPECT_FALSE(JsonParser::parseAny(String(over.c_str()), v));

    // Deep enough to overflow any stack if recursion were unbounded.
    std::wstring deep(100000, L'[');
    EXPECT_FALSE(JsonParser::parseAny(String(deep.c_str()), v));
    std::wstring objects;
    for (int i = 0; i < 100000; ++i) objects += L"{\"a\":";
    EXPECT_FALSE(JsonParser::parseAny(String(objects.c_str()), v));

    // What the parser accepts, the builder writes back.
    EXPECT_TRUE(JsonParser::parseAny(String(ok.c_str()), v));
    EXPECT_EQ(compact(v),
              std::string(JsonParser::MAX_DEPTH, '[') + std::string(JsonParser::MAX_DEPTH, ']'));
}

TEST(JsonParser, InputLifecycleAndSequentialValues) {
    JsonParser p;
    Any v;
    EXPECT_FALSE(p.parse(v));  // no input yet
    ASSERT_TRUE(p.setInput(String(L"1 [2] \"three\"")));
    EXPECT_FALSE(p.setInput(String(L"2")));
    ASSERT_TRUE(p.parse(v));
    EXPECT_EQ(v.as<int8_t>(), 1);
    ASSERT_TRUE(p.parse(v));
    EXPECT_EQ(v.as<Array<Any>>()[0].as<int8_t>(), 2);
    ASSERT_TRUE(p.parse(v));
    EXPECT_EQ(v.as<String>(), String(L"three"));
    EXPECT_FALSE(p.parse(v));  // input exhausted
    p.reset();
    ASSERT_TRUE(p.setInput(String(L"false")));
    ASSERT_TRUE(p.parse(v));
    EXPECT_FALSE(v.as<bool>());
}

TEST(JsonParser, HugeNumberRunIsParsedAndReleased) {
    // A run far above the work-text release size still parses (and the parser stays usable).
    std::wstring text(1100000, L'0');
    text += L"7";
    JsonParser p;
    ASSERT_TRUE(p.setInput(String(text.c_str())));
    Any v;
    ASSERT_TRUE(p.parse(v));
    EXPECT_EQ(v.as<int8_t>(), 7);
    p.reset();
    ASSERT_TRUE(p.setInput(String(L"12")));
    ASSERT_TRUE(p.parse(v));
    EXPECT_EQ(v.as<int8_t>(), 12);
}

TEST(JsonBuilder, CompactOutputIsByteExact) {
    Dictionary<Any> d;
    d.set(L"b", Any(int32_t(1)));
    d.set(L"a", Any(String(L"q\"\\\r\n\f\b\t/\u00e9")));
    Array<Any> arr;
    arr.append(Any());
    arr.append(Any(true));
    arr.append(Any(false));
    arr.append(Any(int8_t(-8)));
    arr.append(Any(int16_t(300)));
    arr.append(Any(int64_t(5000000000LL)));
    arr.append(Any(1.5));
    arr.append(Any(Binary("secret")));
    arr.append(Any(Array<Any>()));
    arr.append(Any(Dictionary<Any>()));
    d.set(L"c", Any(arr));
    EXPECT_EQ(compact(Any(d)),
              "{\"a\":\"q\\\"\\\\\\r\\n\\f\\b\\t/\xc3\xa9\",\"b\":1,"
              "\"c\":[null,true,false,-8,300,5000000000,1.5,\"<BINARY>\",[],{}]}");

    String out;
    EXPECT_TRUE(JsonBuilder::buildText(d, out, false));
    EXPECT_EQ(out.toStdString(), compact(Any(d)));
}

TEST(JsonBuilder, PrettyOutputIsByteExact) {
    Dictionary<Any> inner;
    inner.set(L"x", Any(int8_t(1)));
    Array<Any> arr;
    arr.append(Any(int8_t(1)));
    arr.append(Any(inner));
    arr.append(Any(Array<Any>()));
    Dictionary<Any> d;
    d.set(L"list", Any(arr));
    d.set(L"empty", Any(Dictionary<Any>()));
    EXPECT_EQ(pretty(Any(d)),
              "{\r\n"
              "\t\"empty\":{\r\n\t},\r\n"
              "\t\"list\":[\r\n"
              "\t\t1,\r\n"
              "\t\t{\r\n\t\t\t\"x\":1\r\n\t\t},\r\n"
              "\t\t[\r\n\t\t]\r\n"
              "\t]\r\n"
              "}");
    EXPECT_EQ(pretty(Any(Array<Any>())), "[\r\n]");
    EXPECT_EQ(pretty(Any(int8_t(3))), "3");
}

TEST(JsonBuilder, FailuresAndRoundTrip) {
    JsonBuilder uninit;
    String out(L"old");
    EXPECT_FALSE(uninit.build(Any(true), out));

    JsonBuilder b;
    EXPECT_TRUE(b.init());
    EXPECT_FALSE(b.init(true));
    Array<Any> arr;
    arr.append(Any(int8_t(1)));
    arr.append(Any(Array<Any>{Any(int8_t(2))}));
    arr.append(Any(int32_t(0)));
    EXPECT_TRUE(b.build(arr, out));
    EXPECT_EQ(out.toStdString(), "[1,[2],0]");
    // The same builder is reusable: every build starts from a clean depth.
    EXPECT_TRUE(b.build(arr, out));
    EXPECT_EQ(out.toStdString(), "[1,[2],0]");

    const wchar_t* text = L"{\"k\":[1,-2,300,70000,5000000000,1.25,\"s\\n\",true,null,{}]}";
    Dictionary<Any> back;
    ASSERT_TRUE(JsonParser::parseDictionary(String(text), back));
    EXPECT_EQ(compact(Any(back)), String(text).toStdString());
}

// Regression (fuzzing): doubles were written with six significant digits and
// sometimes without a '.', so they came back rounded, as integers, without
// their sign, or as the non-JSON text "inf".
TEST(JsonBuilder, DoublesSurviveARoundTrip) {
    const struct {
        double value;
        const char* text;  // compact form, or null when only the round trip matters
    } cases[] = {
        {1.5, "1.5"},
        {0.1, "0.1"},
        {100.0, "100.0"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {1e20, "1e+20"},
        {1e-7, "1e-07"},
        {0.1234567, "0.1234567"},
        {1.0 / 3.0, "0.3333333333333333"},
        {123456789012.0, "123456789012.0"},
        {-2.5e-300, nullptr},
        {1.7976931348623157e308, nullptr},
        {4.9e-324, nullptr},
    };
    for (const auto& c : cases) {
        std::string text = compact(Any(c.value));
        if (c.text) {
            EXPECT_EQ(text, c.text);
        }
        Any back = parsed(String::fromUtf8(text).c_str());
        ASSERT_TRUE(back.is<double>()) << text;
        EXPECT_EQ(back.as<double>(), c.value) << text;
        EXPECT_EQ(std::signbit(back.as<double>()), std::signbit(c.value)) << text;
    }
}

TEST(JsonBuilder, NonFiniteDoublesAreRefused) {
    Any huge = parsed(L"1.e999");  // the parser's conversion saturates to infinity
    ASSERT_TRUE(huge.is<double>());
    const Any values[] = {huge, Any(-HUGE_VAL), Any(std::nan(""))};
    for (const Any& value : values) {
        JsonBuilder b;
        b.init();
        String out;
        EXPECT_FALSE(b.build(value, out));
        Dictionary<Any> record;
        record.set(L"ok", Any(int8_t(1)));
        record.set(L"x", value);
        EXPECT_FALSE(JsonBuilder::buildText(record, out));
        EXPECT_EQ(out.toStdString().find("inf"), std::string::npos);
        EXPECT_EQ(out.toStdString().find("nan"), std::string::npos);
    }
}

TEST(JsonParser, MutatedInputNeverCrashes) {
    // Cheap in-test fuzzing: flip, drop and duplicate characters of a valid
    // document. Each parse must end with a result (sanitizer builds check the rest).
    const std::wstring seed =
        L"{\"a\":[1,-2.5e3,\"x\\u0041\\n\",true,false,null,{\"b\":{}}],\"c\":\"\\\"q\\\\\"}";
    const wchar_t alphabet[] = L"{}[]\",:\\u0123456789.-+eE tfn\x00e9";
    uint32_t rng = 12345;
    auto next = [&rng] {
        rng = rng * 1103515245u + 12345u;
        return rng >> 8;
    };
    for (int round = 0; round < 3000; ++round) {
        std::wstring text = seed;
        for (int edits = 1 + next() % 4; edits > 0 && !text.empty(); --edits) {
            size_t at = next() % text.size();
            switch (next() % 3) {
                case 0:
                    text[at] = alphabet[next() % (sizeof alphabet / sizeof *alphabet - 1)];
                    break;
                case 1:
                    text.erase(at, 1 + next() % 3);
                    break;
                default:
                    text.insert(at, text.substr(at, 1 + next() % 8));
                    break;
            }
        }
        Any v;
        JsonParser::parseAny(String(text.data(), static_cast<int32_t>(text.size())), v);
    }
}
