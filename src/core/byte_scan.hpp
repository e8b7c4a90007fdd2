// Finding the next byte of a class in received text: every byte a host sends
// passes through here, so blocks of 16 bytes are looked at where the CPU can.
#pragma once
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvane {

// The first byte in [p, end) that lies in [lo, hi] (as unsigned bytes) or
// equals `also`, or end. `begin` <= p is where the readable bytes start: the
// last block is read ending at end when there are 16 bytes before it.
inline const char* find_byte_in(const char* begin, const char* p, const char* end, unsigned char lo,
                                unsigned char hi, char also) {
#if defined(__SSE2__)
  const auto hits_at = [&](const char* at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // c in [lo, hi] <=> (c - lo) as unsigned <= hi - lo <=> min(c - lo, hi - lo) == c - lo
    const __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(lo)));
    const __m128i in_range = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(static_cast<char>(hi - lo))), shifted);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(in_range, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(also)))));
  };
  for (; end - p >= 16; p += 16)
    if (const unsigned hits = hits_at(p)) return p + __builtin_ctz(hits);
  if (p < end && end - begin >= 16) {
    const char* last = end - 16;
    const unsigned hits = hits_at(last) >> (p - last);
    return hits ? p + __builtin_ctz(hits) : end;
  }
#else
  (void)begin;
#endif
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (static_cast<unsigned char>(c - lo) <= hi - lo || *p == also) break;
  }
  return p;
}

}  // namespace orvane
