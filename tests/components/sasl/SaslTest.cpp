#include <gtest/gtest.h>

#include "components/codec/Base64.h"
#include "components/sasl/Sasl.h"

namespace zef::test {
namespace {

constexpr const char* kServerFirst =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";

// RFC 7677's exchange, then the server's proof checked both ways.
TEST(Sasl, ScramSha256ReferenceExchange) {
    sasl::ScramSha256 scram("user", "pencil", "rOprNGfwEbeRWgbNEkqO");
    EXPECT_EQ(scram.ClientFirst(), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    EXPECT_EQ(scram.ClientFinal(kServerFirst),
              "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
              "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
    EXPECT_FALSE(scram.ServerFinalIsValid("v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
    EXPECT_TRUE(scram.ServerFinalIsValid("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
    EXPECT_FALSE(scram.ServerFinalIsValid("e=invalid-proof"));
    EXPECT_EQ(scram.Error(), "the server refused the SCRAM login: invalid-proof");
    // SASLprep maps the soft hyphen to nothing and escapes "," and "="; a control is refused.
    EXPECT_EQ(sasl::ScramSha256("a,b=I\u00ADX", "p", "n").ClientFirst(), "n,,n=a=2Cb=3DIX,r=n");
    sasl::ScramSha256 control("user", "pen\acil", "n");
    EXPECT_FALSE(control.ClientFinal("r=nx,s=QUJD,i=4096"));
    EXPECT_NE(control.Error().find("password"), std::string::npos);
}

// Nonce not ours or not extended, iterations too few, too many or not a number, salt outside the
// alphabet or not whole groups or missing, an extension we must understand, nothing.
TEST(Sasl, ScramRefusesMalformedOrUnsafeChallenges) {
    for (const char* challenge :
         {"r=OTHER,s=QUJD,i=4096", "r=abc,s=QUJD,i=4096", "r=abcX,s=QUJD,i=4095",
          "r=abcX,s=QUJD,i=99999999", "r=abcX,s=QUJD,i=40x6", "r=abcX,s=QUJ*,i=4096",
          "r=abcX,s=QUJ,i=4096", "r=abcX,i=4096", "m=ext,r=abcX,s=QUJD,i=4096", ""}) {
        sasl::ScramSha256 scram("user", "pencil", "abc");
        EXPECT_FALSE(scram.ClientFinal(challenge)) << challenge;
        EXPECT_FALSE(scram.Error().empty() || scram.ServerFinalIsValid("v=")) << challenge;
    }
    EXPECT_TRUE(sasl::ScramSha256("user", "pencil", "abc").ClientFinal("r=abcX,s=QUJD,i=4096"));
    EXPECT_NE(sasl::ScramSha256("u", "p").ClientFirst(), sasl::ScramSha256("u", "p").ClientFirst());
}

// The responses themselves are checked byte for byte in the SMTP dialogue rows.
TEST(Sasl, OAuthErrorDetail) {
    const std::pair<const char*, const char*> errors[] = {
        {R"({"status":"invalid_token","scope":"mail","openid-configuration":"x"})",
         "invalid_token (scope mail)"},
        {R"( {"status":"401","schemes":"Bearer","scope":"https://m/","n":[1,{"a":true}]} )",
         "token refused (status 401, schemes Bearer, scope https://m/)"},
        {R"({"error":"invalid\u00e9\u0001","status":400})", "invalid\xC3\xA9? (status 400)"},
        {"{}", "token refused"},
    };
    for (const auto& [json, description] : errors) {
        EXPECT_EQ(sasl::DescribeOAuthError(json), description) << json;
    }
    for (const char* notJson : {"", "401", "{\"a\":1", "{\"a\" 1}", "{\"a\":\"\\q\"}", "{}x"}) {
        EXPECT_EQ(sasl::DescribeOAuthError(notJson), std::nullopt) << notJson;
    }
}

}  // namespace
}  // namespace zef::test
