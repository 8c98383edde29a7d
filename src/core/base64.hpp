// Base64 as RFC 4648 defines it: the standard alphabet, "=" padding, no line
// breaks. Used for !!binary scalars.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tesvorn {

/// The padded encoding of `bytes`, on one line.
std::string base64_encode(std::span<const unsigned char> bytes);

/// Strict decoding: only the alphabet, a length that is a multiple of four,
/// and canonical padding (the bits the padding drops are zero). On failure
/// `out` is unspecified and `error` describes the fault.
[[nodiscard]] bool base64_decode(std::string_view text, std::string& out, std::string& error);

}  // namespace tesvorn
