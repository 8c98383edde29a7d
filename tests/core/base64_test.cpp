#include "core/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tesvorn;

namespace {

std::string encode(std::string_view text) {
    return base64_encode({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

}  // namespace

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(encode(plain), coded) << plain;
        std::string out, error;
        ASSERT_TRUE(base64_decode(coded, out, error)) << coded << ": " << error;
        EXPECT_EQ(out, plain);
    }
}

TEST(Base64, EveryByteValueRoundTrips) {
    std::vector<unsigned char> bytes(256);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(255 - i);
    for (std::size_t n = 0; n <= 5; ++n) {
        const std::span<const unsigned char> head(bytes.data(), bytes.size() - n);
        const std::string coded = base64_encode(head);
        EXPECT_EQ(coded.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        std::string out, error;
        ASSERT_TRUE(base64_decode(coded, out, error)) << error;
        EXPECT_EQ(out, std::string(head.begin(), head.end()));
    }
}

TEST(Base64, StrictDecoding) {
    const std::pair<const char*, const char*> bad[] = {
        {"aGk", "invalid length 3 (not a multiple of 4)"},
        {"aG k", "invalid symbol at offset 2"},
        {"a===", "invalid symbol at offset 1"},
        {"aG=k", "invalid symbol at offset 3"},
        {"aG==aGk=", "invalid symbol at offset 2"},
        {"aGl=", "invalid last symbol at offset 2"},  // non-zero bits under the padding
        {"aR==", "invalid last symbol at offset 1"},
    };
    for (const auto& [text, message] : bad) {
        std::string out, error;
        EXPECT_FALSE(base64_decode(text, out, error)) << text;
        EXPECT_EQ(error, message) << text;
    }
}
