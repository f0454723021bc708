#include <gtest/gtest.h>

#include <initializer_list>

#include "tunnel_client/protocol/DictionaryCodec.h"
#include "tunnel_client/protocol/ProtocolFrame.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/WireValue.h"

using kx::core::Binary;
using kx::core::Dictionary;
using kx::core::String;
using tunnel::WireValue;

namespace {

Binary bytes(std::initializer_list<int> values) {
    Binary b;
    for (int v : values) b.append(static_cast<uint8_t>(v));
    return b;
}

Binary entry(const char* key, const Binary& value, uint32_t announced) {
    Binary b(key);
    uint8_t header[5] = {0, uint8_t(announced), uint8_t(announced >> 8), uint8_t(announced >> 16),
                         uint8_t(announced >> 24)};
    b.append(header, 5);
    b.append(value);
    return b;
}

Binary entry(const char* key, const char* value) {
    Binary v(value);
    return entry(key, v, static_cast<uint32_t>(v.length()));
}

Dictionary<Binary> decode(const Binary& in) {
    Dictionary<Binary> out;
    out.set(L"stale", Binary("x"));  // decoding must clear what was there
    tunnel::decodeDictionary(in, &out);
    return out;
}

}  // namespace

TEST(DictionaryCodec, EncodesCallMessageInKeyOrder) {
    Dictionary<Binary> d;
    d.set(L"method", WireValue::fromText(L"zero_make"));
    d.set(L"@", WireValue::fromText(L"call"));
    Binary out("garbage");
    tunnel::encodeDictionary(d, &out);

    Binary expected = bytes({0x40, 0x00, 0x04, 0x00, 0x00, 0x00, 0x63, 0x61, 0x6C, 0x6C});
    expected.append(Binary("method"));
    expected.append(bytes({0x00, 0x09, 0x00, 0x00, 0x00}));
    expected.append(Binary("zero_make"));
    EXPECT_EQ(expected, out);
    EXPECT_EQ(d, decode(out));
}

TEST(DictionaryCodec, NumbersTravelAsDecimalText) {
    Dictionary<Binary> d;
    d.set(L"nat_id", WireValue::fromInt64(17));
    Binary out;
    tunnel::encodeDictionary(d, &out);
    Binary expected("nat_id");
    expected.append(bytes({0x00, 0x02, 0x00, 0x00, 0x00, 0x31, 0x37}));
    EXPECT_EQ(expected, out);
    EXPECT_EQ(17, WireValue::int64(decode(out), L"nat_id"));
}

TEST(DictionaryCodec, EmptyDictionaryKeysAndValues) {
    Binary out("x");
    tunnel::encodeDictionary(Dictionary<Binary>(), &out);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_TRUE(decode(Binary()).isEmpty());

    Dictionary<Binary> d;
    d.set(L"", Binary());
    d.set(L"k", Binary());
    tunnel::encodeDictionary(d, &out);
    EXPECT_EQ(bytes({0, 0, 0, 0, 0, 'k', 0, 0, 0, 0, 0}), out);
    EXPECT_EQ(d, decode(out));

    tunnel::encodeDictionary(d, nullptr);
    tunnel::decodeDictionary(out, nullptr);
}

TEST(DictionaryCodec, NonAsciiKeysAndBinaryValuesRoundTrip) {
    Dictionary<Binary> d;
    d.set(L"\u9519\u8bef", WireValue::fromText(L"\u5907\u7528"));
    d.set(L"raw", bytes({0, 1, 0xFF, 0, 0x80}));
    Binary out;
    tunnel::encodeDictionary(d, &out);
    EXPECT_EQ(d, decode(out));
}

TEST(DictionaryCodec, TruncatedInputKeepsEntriesBeforeIt) {
    Binary two = entry("a", "1");
    two.append(entry("b", "22"));

    // Every prefix of the second entry decodes to just the first.
    Binary first = entry("a", "1");
    for (int32_t cut = first.length(); cut < two.length(); ++cut) {
        Dictionary<Binary> d = decode(Binary(two.data(), cut));
        ASSERT_EQ(1, d.size()) << "cut at " << cut;
        EXPECT_EQ(Binary("1"), d.get(L"a"));
    }
    EXPECT_EQ(2, decode(two).size());

    // A value announcing more bytes than remain.
    Binary longer = entry("a", "1");
    longer.append(entry("b", Binary("xy"), 3));
    Dictionary<Binary> d = decode(longer);
    EXPECT_EQ(1, d.size());
    EXPECT_FALSE(d.contains(L"b"));
}

TEST(DictionaryCodec, HostileInputsStopDecoding) {
    // No zero byte at all.
    EXPECT_TRUE(decode(Binary("method")).isEmpty());

    // Lengths of 2^31 and above stop at that entry, whatever follows.
    for (uint32_t n : {0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFBu}) {
        Binary in = entry("a", "1");
        in.append(entry("b", Binary("zzzzzzzz"), n));
        in.append(entry("c", "3"));
        Dictionary<Binary> d = decode(in);
        EXPECT_EQ(1, d.size()) << n;
    }

    // Trailing garbage after complete entries is ignored.
    Binary in = entry("a", "1");
    in.append(Binary("junk"));
    EXPECT_EQ(1, decode(in).size());
}

TEST(DictionaryCodec, LegalLengthNearTwoGigabytesDoesNotWrapTheBoundsCheck) {
    // terminator offset + 5 + length passes 2^31 here; in 32 bits it would
    // wrap negative and pass the check, reading far past the buffer.
    for (uint32_t n : {0x7FFFFFFFu, 0x7FFFFFFAu, 0x7FFFFFF0u}) {
        Binary in = entry("k", Binary("short"), n);
        EXPECT_TRUE(decode(in).isEmpty()) << n;
    }
}

TEST(DictionaryCodec, DuplicateKeysKeepTheLaterValue) {
    Binary in = entry("k", "first");
    in.append(entry("x", "1"));
    in.append(entry("k", "second"));
    Dictionary<Binary> d = decode(in);
    EXPECT_EQ(2, d.size());
    EXPECT_EQ(Binary("second"), d.get(L"k"));
}

TEST(DictionaryCodec, InvalidUtf8KeyBecomesEmptyKey) {
    Binary in = entry("\xC3\x28", "v");
    Dictionary<Binary> d = decode(in);
    ASSERT_EQ(1, d.size());
    EXPECT_EQ(Binary("v"), d.get(L""));
}

TEST(WireValue, DecimalReadingIsLenientAndSaturates) {
    EXPECT_EQ(17, WireValue::toInt64(Binary("17")));
    EXPECT_EQ(-1, WireValue::toInt64(Binary("-1")));
    EXPECT_EQ(12, WireValue::toInt64(Binary("+12ms")));
    EXPECT_EQ(0, WireValue::toInt64(Binary("")));
    EXPECT_EQ(0, WireValue::toInt64(Binary("abc")));
    EXPECT_EQ(INT64_MAX, WireValue::toInt64(Binary("99999999999999999999999")));
    EXPECT_EQ(INT64_MIN, WireValue::toInt64(Binary("-99999999999999999999999")));
    EXPECT_EQ(INT64_MIN, WireValue::toInt64(Binary("-9223372036854775808")));
    EXPECT_EQ(INT64_MAX, WireValue::toInt64(Binary("9223372036854775807")));
    EXPECT_EQ(INT32_MAX, WireValue::toInt32(Binary("4294967296")));
    EXPECT_EQ(INT32_MIN, WireValue::toInt32(Binary("-4294967296")));
    EXPECT_EQ(Binary("-42"), WireValue::fromInt64(-42));
    EXPECT_EQ(String(), WireValue::toText(Binary("\xFF")));
}

TEST(ProtocolFrame, KindsAndPrefixes) {
    using tunnel::ProtocolFrame;
    EXPECT_EQ(0, ProtocolFrame::kindOf(Binary()));
    EXPECT_EQ(0, ProtocolFrame::kindOf(bytes({0x01})));
    EXPECT_EQ(0, ProtocolFrame::kindOf(bytes({0x02, 0x01, 0x41, 0x00})));
    EXPECT_EQ(0, ProtocolFrame::kindOf(bytes({0x01, 0x03})));
    EXPECT_EQ(tunnel::wire::FRAME_KIND_MESSAGE, ProtocolFrame::kindOf(bytes({0x01, 0x01})));
    EXPECT_EQ(tunnel::wire::FRAME_KIND_DATA, ProtocolFrame::kindOf(bytes({0x01, 0x02})));

    Dictionary<Binary> d;
    d.set(L"@", Binary("return"));
    Binary frame;
    ProtocolFrame::encodeMessage(d, &frame);
    EXPECT_EQ(bytes({0x01, 0x01, '@', 0, 6, 0, 0, 0, 'r', 'e', 't', 'u', 'r', 'n'}), frame);
    Dictionary<Binary> back;
    ProtocolFrame::decodeMessage(frame, &back);
    EXPECT_EQ(d, back);

    ProtocolFrame::encodeData(bytes({1, 1, 0, 0, 0, 0}), &frame);
    EXPECT_EQ(bytes({0x01, 0x02, 1, 1, 0, 0, 0, 0}), frame);
}
