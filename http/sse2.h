// SSE2 where the processor has it: the text scans of the HTTP family take 16
// bytes at a time there. The build targets processors without it (the
// product's floor), so only the functions marked ROLM_SSE2_CODE use it, and
// only after IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE).
#pragma once

#include <windows.h>

#if defined(_M_IX86) || defined(_M_X64) || defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif
#define ROLM_SSE2 1
#if defined(__GNUC__)
#define ROLM_SSE2_CODE __attribute__((target("sse2")))
#else
#define ROLM_SSE2_CODE
#endif
#endif

namespace rolm {

// Indexes of the lowest and highest set bit of a mask that isn't 0.
#if defined(_MSC_VER)
inline unsigned LowestBit(unsigned mask) {
    unsigned long bit;
    _BitScanForward(&bit, mask);
    return bit;
}
inline unsigned HighestBit(unsigned mask) {
    unsigned long bit;
    _BitScanReverse(&bit, mask);
    return bit;
}
#else
inline unsigned LowestBit(unsigned mask) { return static_cast<unsigned>(__builtin_ctz(mask)); }
inline unsigned HighestBit(unsigned mask) { return 31 - static_cast<unsigned>(__builtin_clz(mask)); }
#endif

}  // namespace rolm
