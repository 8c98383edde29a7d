// Byte-level helpers of the scanner's reading loops (word-at-a-time and SSE2
// searches) and its limits, shared by its files. Private to the core.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/char_traits.hpp"

namespace tesvorn::detail {

using chars::is_blank;
using chars::is_blankz;
using chars::is_break;
using chars::is_breakz;
using chars::is_flow_indicator;
using chars::kEnd;

inline constexpr std::size_t kMaxFlowDepth = 255;

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighs = 0x8080808080808080u;

inline std::uint64_t load8(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// The high bit of each byte of `w` that is zero (and maybe of bytes above
// the first such byte, which the callers ignore).
inline constexpr std::uint64_t zero_bytes(std::uint64_t w) noexcept {
    return (w - kOnes) & ~w & kHighs;
}

#if !defined(__SSE2__)
// The first line break (or the end) at or after `p`; ORs the bytes before
// it (and maybe a few after) into `seen`.
inline const unsigned char* find_break(const unsigned char* p, const unsigned char* end,
                                       std::uint64_t& seen) noexcept {
    constexpr std::uint64_t kLf = kOnes * '\n';
    constexpr std::uint64_t kCr = kOnes * '\r';
    while (end - p >= 8) {
        const std::uint64_t w = load8(p);
        seen |= w;
        const std::uint64_t hit = zero_bytes(w ^ kLf) | zero_bytes(w ^ kCr);
        if (hit != 0) return p + std::countr_zero(hit) / 8;
        p += 8;
    }
    for (; p != end && *p != '\n' && *p != '\r'; ++p) seen |= *p;
    return p;
}
#endif

#if defined(__SSE2__)
// Searches 16 bytes at a time for the first of `Stops`, ORing the high bits
// of the bytes passed into `seen`. Returns the stop, or where fewer than 16
// bytes remain with `found` false.
template <char... Stops>
[[gnu::always_inline]] inline const unsigned char* find16(const unsigned char* p,
                                                          const unsigned char* end,
                                                          std::uint64_t& seen,
                                                          bool& found) noexcept {
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_setzero_si128();
        ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(Stops)))), ...);
        const auto stops = static_cast<unsigned>(_mm_movemask_epi8(hit));
        const auto highs = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (stops != 0) {
            const int n = std::countr_zero(stops);
            if ((highs & ((1u << n) - 1)) != 0) seen |= 0x80;
            found = true;
            return p + n;
        }
        if (highs != 0) seen |= 0x80;
        p += 16;
    }
    found = false;
    return p;
}
#endif

// The first byte at or after `p` that stops run `R` (or the end): one of
// `Stops`, the ASCII bytes the run stops at (NUL aside: text read in place
// has none). ORs the bytes before it into `seen`, or at least their high
// bits.
template <chars::Run R, char... Stops>
[[gnu::always_inline]] inline const unsigned char* find_stop(const unsigned char* p,
                                                             const unsigned char* end,
                                                             std::uint64_t& seen) noexcept {
#if defined(__SSE2__)
    bool found = false;
    p = find16<Stops...>(p, end, seen, found);
    if (found) return p;
#else
    if constexpr (R == chars::kRunLine) return find_break(p, end, seen);
#endif
    for (; p != end; ++p) {
        const unsigned char b = *p;
        if (chars::detail::kByteRunStops[b] & R) break;
        seen |= b;
    }
    return p;
}

// The first of `Stops` at or after `p` (or the end), as `find_stop`.
template <char... Stops>
inline const unsigned char* find_any(const unsigned char* p, const unsigned char* end,
                                     std::uint64_t& seen) noexcept {
#if defined(__SSE2__)
    bool found = false;
    p = find16<Stops...>(p, end, seen, found);
    if (found) return p;
#endif
    for (; p != end; ++p) {
        const unsigned char b = *p;
        if (((b == static_cast<unsigned char>(Stops)) || ...)) break;
        seen |= b;
    }
    return p;
}

// How many of the bytes of `w` are UTF-8 continuation bytes (the high bit
// set, the next one clear).
inline constexpr std::size_t continuations(std::uint64_t w) noexcept {
    const std::uint64_t marks = (w & ~(w << 1) & kHighs) >> 7;
    return static_cast<std::size_t>((marks * kOnes) >> 56);
}

// The number of characters in the valid UTF-8 text [p, end).
inline std::size_t count_chars(const unsigned char* p, const unsigned char* end) noexcept {
    std::size_t n = static_cast<std::size_t>(end - p);
    for (; end - p >= 8; p += 8) n -= continuations(load8(p));
    for (; p != end; ++p) n -= (*p & 0xC0) == 0x80;
    return n;
}

// A block-context simple key must see its ':' within this many characters.
inline constexpr std::size_t kMaxSimpleKeyLength = 1024;

inline bool blankz_or_flow(char32_t c, bool in_flow) {
    return is_blankz(c) || (in_flow && is_flow_indicator(c));
}

}  // namespace tesvorn::detail
