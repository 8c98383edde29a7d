#include "core/base64.hpp"

namespace tesvorn {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64_encode(std::span<const unsigned char> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const std::size_t rest = bytes.size() - i; rest != 0) {
        unsigned v = static_cast<unsigned>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64_decode(std::string_view text, std::string& out, std::string& error) {
    out.clear();
    if (text.size() % 4 != 0) {
        error = "invalid length " + std::to_string(text.size()) + " (not a multiple of 4)";
        return false;
    }
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            v[k] = base64_value(c);
            if (v[k] < 0 || pad > 0) {
                error =
                    "invalid symbol at offset " + std::to_string(i + static_cast<std::size_t>(k));
                return false;
            }
        }
        const unsigned n = (static_cast<unsigned>(v[0]) << 18) |
                           (static_cast<unsigned>(v[1]) << 12) |
                           (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        // Canonical padding: the bits dropped by the padding must be zero.
        if ((pad == 1 && (n & 0xFF) != 0) || (pad == 2 && (n & 0xFFFF) != 0)) {
            error = "invalid last symbol at offset " +
                    std::to_string(i + 3 - static_cast<std::size_t>(pad));
            return false;
        }
        out += static_cast<char>((n >> 16) & 0xFF);
        if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(n & 0xFF);
    }
    return true;
}

}  // namespace tesvorn
