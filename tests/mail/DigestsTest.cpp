#include "mail/AuthResponses.h"
#include "mail/Hmac.h"
#include "mail/Md5.h"
#include "mail/MimeUtils.h"
#include "mail/Sha1.h"

#include "MimeReference.h"

#include <gtest/gtest.h>

#include <random>

using namespace pv;

namespace {

std::string Md5Hex(std::string_view s) {
    return DigestToHex(MD5Digest(s), false);
}
std::string Sha1Hex(std::string_view s) {
    return DigestToHex(Sha1Digest(s), false);
}

std::string Bytes(std::size_t n, unsigned char b) {
    return std::string(n, static_cast<char>(b));
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

} // namespace

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string digits;
    for (int i = 0; i < 8; ++i)
        digits += "1234567890";
    EXPECT_EQ(Md5Hex(digits), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, HexDigestIsUpperCaseAndContextIsIncremental) {
    EXPECT_EQ(MD5HexDigest("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(MD5HexDigest("").size(), 32u);

    // Fed in odd pieces across block boundaries the digest stays the same.
    const std::string data = RandomBytes(1000, 1);
    TMD5Context ctx;
    for (std::size_t i = 0, step = 1; i < data.size(); i += step, step = step * 3 % 71 + 1)
        ctx.Update(std::string_view(data).substr(i, step));
    const auto d = ctx.Final();
    EXPECT_EQ(std::string(d.begin(), d.end()), MD5Digest(data));
    // Finished: more bytes are refused and the digest stays.
    EXPECT_FALSE(ctx.Update("x"));
    EXPECT_EQ(ctx.Final(), d);
    ctx.Init();
    ctx.Update("abc");
    EXPECT_EQ(DigestToHex(std::string_view(reinterpret_cast<const char *>(ctx.Final().data()), 16),
                          false),
              "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Sha1, Fips180AndRfc3174Vectors) {
    EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    TSha1Context ctx;
    const std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(ctx.Input(thousand), shaSuccess);
    TSha1Context::TDigest d{};
    ASSERT_EQ(ctx.Result(d), shaSuccess);
    EXPECT_EQ(DigestToHex(std::string_view(reinterpret_cast<const char *>(d.data()), 20), false),
              "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    ctx.Reset();
    for (int i = 0; i < 10; ++i)
        ctx.Input("0123456701234567012345670123456701234567012345670123456701234567");
    ASSERT_EQ(ctx.Result(d), shaSuccess);
    EXPECT_EQ(DigestToHex(std::string_view(reinterpret_cast<const char *>(d.data()), 20), true),
              "DEA356A2CDDD90C7A7ECEDC5EBB563934F460452");
}

TEST(Sha1, StateErrorsAfterResult) {
    TSha1Context ctx;
    ctx.Input("abc");
    TSha1Context::TDigest first{}, second{};
    ASSERT_EQ(ctx.Result(first), shaSuccess);
    EXPECT_EQ(ctx.Input("d"), shaStateError);
    ASSERT_EQ(ctx.Result(second), shaSuccess);
    EXPECT_EQ(first, second); // the refused bytes changed nothing
    EXPECT_EQ(ctx.Input(nullptr, 3), shaNull);
    ctx.Reset();
    EXPECT_EQ(ctx.Input("abc"), shaSuccess);
}

TEST(Digests, PaddingBoundariesAgreeWithPython) {
    if (!pvtest::ReferenceAvailable())
        GTEST_SKIP() << pvtest::Python << " is not installed";
    // Lengths around the 56- and 64-byte marks exercise every padding branch.
    std::vector<std::vector<std::string>> requests;
    std::vector<std::string> inputs;
    for (std::size_t n : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000}) {
        inputs.push_back(RandomBytes(n, static_cast<unsigned>(n) + 7));
        requests.push_back({"md5", inputs.back()});
        requests.push_back({"sha1", inputs.back()});
    }
    const auto answers = pvtest::RunReference(requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(Md5Hex(inputs[i]), answers[2 * i]) << inputs[i].size() << " bytes";
        EXPECT_EQ(Sha1Hex(inputs[i]), answers[2 * i + 1]) << inputs[i].size() << " bytes";
    }
}

TEST(Hmac, Rfc2202Md5Vectors) {
    auto hex = [](std::string_view text, std::string_view key) {
        return DigestToHex(HmacMd5(text, key), false);
    };
    std::string key25;
    for (int i = 1; i <= 25; ++i)
        key25 += static_cast<char>(i);
    EXPECT_EQ(hex("Hi There", Bytes(16, 0x0b)), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hex("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hex(Bytes(50, 0xdd), Bytes(16, 0xaa)), "56be34521d144c88dbb8c733f0e8b3f6");
    EXPECT_EQ(hex(Bytes(50, 0xcd), key25), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(hex("Test With Truncation", Bytes(16, 0x0c)), "56461ef2342edc00f9bab995690efd4c");
    EXPECT_EQ(hex("Test Using Larger Than Block-Size Key - Hash Key First", Bytes(80, 0xaa)),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(hex("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                  Bytes(80, 0xaa)),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(Hmac, Rfc2202Sha1Vectors) {
    auto hex = [](std::string_view text, std::string_view key) {
        return DigestToHex(HmacSha1(text, key), false);
    };
    std::string key25;
    for (int i = 1; i <= 25; ++i)
        key25 += static_cast<char>(i);
    EXPECT_EQ(hex("Hi There", Bytes(20, 0x0b)), "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(hex("what do ya want for nothing?", "Jefe"),
              "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(hex(Bytes(50, 0xdd), Bytes(20, 0xaa)), "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    EXPECT_EQ(hex(Bytes(50, 0xcd), key25), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
    EXPECT_EQ(hex("Test With Truncation", Bytes(20, 0x0c)),
              "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    EXPECT_EQ(hex("Test Using Larger Than Block-Size Key - Hash Key First", Bytes(80, 0xaa)),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
    EXPECT_EQ(hex("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                  Bytes(80, 0xaa)),
              "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(AuthResponses, CramMd5MatchesRfc2195Example) {
    const std::string challenge = Base64EncodeText("<1896.697170952@postoffice.reston.mci.net>");
    EXPECT_EQ(challenge, "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    const std::string response = CramMd5Response(challenge, "tim", "tanstaaftanstaaf");
    EXPECT_EQ(response, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
    EXPECT_EQ(Base64DecodeText(response), "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST(AuthResponses, CramWithLongPasswordsAgreesWithPython) {
    if (!pvtest::ReferenceAvailable())
        GTEST_SKIP() << pvtest::Python << " is not installed";
    const std::string challenge = "<31337.1234567890@mail.example>";
    std::vector<std::string> passwords = {"", "short", std::string(64, 'p'), std::string(65, 'q'),
                                          RandomBytes(200, 3)};
    std::vector<std::vector<std::string>> requests;
    for (const auto &p : passwords) {
        requests.push_back({"hmac-md5", p, challenge});
        requests.push_back({"hmac-sha1", p, challenge});
    }
    const auto answers = pvtest::RunReference(requests);
    ASSERT_EQ(answers.size(), requests.size());
    const std::string b64 = Base64EncodeText(challenge);
    for (std::size_t i = 0; i < passwords.size(); ++i) {
        EXPECT_EQ(Base64DecodeText(CramMd5Response(b64, "user", passwords[i])),
                  "user " + answers[2 * i])
            << passwords[i].size();
        EXPECT_EQ(Base64DecodeText(CramSha1Response(b64, "user", passwords[i])),
                  "user " + answers[2 * i + 1])
            << passwords[i].size();
    }
}

TEST(AuthResponses, PlainCredentialsAndMechanismList) {
    using namespace std::string_literals;
    EXPECT_EQ(Base64DecodeText(AuthPlainCredentials("joe", "", "secret")), "joe\0joe\0secret"s);
    EXPECT_EQ(Base64DecodeText(AuthPlainCredentials("joe", "joe@example.org", "pw")),
              "joe\0joe@example.org\0pw"s);

    std::vector<std::string> list;
    EXPECT_FALSE(AddAuthMechanisms(list, "250-mail.example Hello"));
    EXPECT_FALSE(AddAuthMechanisms(list, "250-AUTHENTICATE X"));
    EXPECT_TRUE(AddAuthMechanisms(list, "250-auth LOGIN PLAIN"));
    EXPECT_TRUE(AddAuthMechanisms(list, "250 AUTH=LOGIN"));
    EXPECT_EQ(list, (std::vector<std::string>{"", "LOGIN", "PLAIN"}));
    EXPECT_TRUE(HasAuthMechanism(list, "login"));
    EXPECT_FALSE(HasAuthMechanism(list, "CRAM-MD5"));
    EXPECT_FALSE(AddAuthMechanisms(list, "25"));
}
