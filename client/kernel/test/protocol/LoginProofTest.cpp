#include <gtest/gtest.h>

#include "tunnel_client/protocol/LoginProof.h"

using kx::core::String;
using tunnel::LoginProof;

// Expected values were computed independently with a stock digest library.
TEST(LoginProof, AccessIdIsMd5HexOfTheKey) {
    EXPECT_EQ(String(L"8bf49c407559ebdb7b24d0de4e16dd68"),
              LoginProof::accessId(L"ak-\u5bc6\u94a5-42"));
    EXPECT_EQ(String(L"d41d8cd98f00b204e9800998ecf8427e"), LoginProof::accessId(L""));
}

TEST(LoginProof, DigestChainMatchesIndependentComputation) {
    EXPECT_EQ(String(L"13f8a5ef973336f7cb1a19b0bf68d988"),
              LoginProof::compute(L"ak-\u5bc6\u94a5-42", L"tok123", L"ios", L"1.2.3 (ios)", L"Z9"));
    // Empty token, version and zero id still form a proof.
    EXPECT_EQ(String(L"aa4281620487cad0b4e7b851b95c8937"),
              LoginProof::compute(L"k", L"", L"ios", L"", L""));
    // The one-time id is bound into the proof.
    EXPECT_NE(LoginProof::compute(L"k", L"t", L"ios", L"v", L"1"),
              LoginProof::compute(L"k", L"t", L"ios", L"v", L"2"));
}
