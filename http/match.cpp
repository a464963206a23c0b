// Non-overlapping search of one wide text in another.
#include <rolm/http.h>
#include <rolm/trace.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>

#include "common/unique.h"
#include "http/scratch.h"
#include "http/sse2.h"

namespace {

const size_t kNotFound = static_cast<size_t>(-1);

// Characters compared as wcsncmp does.
struct ExactChars {
    static const bool kExact = true;
    wchar_t operator()(wchar_t c) const { return c; }
};

// Characters compared as _wcsnicmp does: both folded with the C runtime's
// towlower in its current locale. The first 256 are looked up once per search.
class FoldedChars {
public:
    static const bool kExact = false;
    FoldedChars() { memset(table_, 0xFF, sizeof table_); }
    wchar_t operator()(wchar_t c) {
        if (c >= 256) return static_cast<wchar_t>(towlower(c));
        if (table_[c] == 0xFFFF) table_[c] = static_cast<wchar_t>(towlower(c));
        return table_[c];
    }

private:
    wchar_t table_[256];
};

// Finds the leftmost occurrence at or after a position, in time linear in
// the text and the find text whatever they hold. A short find text is
// followed bit-parallel; a longer one by the two-way search over the
// (folded) characters, which never compares a text character again and
// again, with a skip on the low byte of the character under the window's
// last position that passes over most of an ordinary text unread. Exact
// compares of up to 31 characters look at eight positions at once instead.
template <typename Chars>
class Finder {
public:
    Finder(const wchar_t* find, size_t length, Chars& chars) : find_(find), length_(length), chars_(chars) {
        memset(table_, 0, sizeof table_);
        if (length_ < kSkipFrom) {
            for (size_t i = 0; i < length_; ++i) {
                short_[i] = At(i);
                table_[short_[i] & 0xFF] |= 1u << i;
            }
            return;
        }
        for (size_t i = 0; i < length_; ++i) table_[At(i) & 0xFF] = static_cast<UINT>(i + 1);
#ifdef ROLM_SSE2
        byEnds_ = Chars::kExact && length_ < kEndsBelow && ::IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE);
#endif

        // Critical factorization: the later of the maximal suffixes for the
        // two orders of the characters starts the right half.
        size_t period = 0, otherPeriod = 0;
        const size_t split = MaximalSuffix(false, &period), other = MaximalSuffix(true, &otherPeriod);
        if (other > split) {
            split_ = other;
            period = otherPeriod;
        } else {
            split_ = split;
        }
        bool periodic = true;
        for (size_t i = 0; i < split_ && periodic; ++i) periodic = At(i) == At(i + period);
        if (periodic) {
            period_ = period;
            memory_ = length_ - period;
        } else {
            period_ = std::max(split_ - 1, length_ - split_) + 1;
            memory_ = 0;
        }
    }

    // First position p, from <= p <= last, where the find text stands.
    size_t Next(const wchar_t* source, size_t from, size_t last) {
        if (length_ < kSkipFrom) return NextShort(source, from, last);
#ifdef ROLM_SSE2
        if (byEnds_) return NextByEnds(source, from, last);
#endif
        return NextTwoWay(source, from, last);
    }

private:
    static const size_t kSkipFrom = 8;
    static const size_t kEndsBelow = 32;

    size_t NextTwoWay(const wchar_t* source, size_t from, size_t last) {
        size_t known = 0;  // the window's first characters known to be equal
        for (size_t p = from; p <= last;) {
            const wchar_t* window = source + p;
            size_t k = Skip(window);
            if (k != 0) {
                p += k < known ? known : k;
                known = 0;
                // Most of a text passes here: two skips per bound check.
                while (p + length_ <= last) {
                    if ((k = Skip(source + p)) == 0) break;
                    p += k;
                    if ((k = Skip(source + p)) == 0) break;
                    p += k;
                }
                continue;
            }
            for (k = split_ > known ? split_ : known; k < length_ && At(k) == chars_(window[k]); ++k) {
            }
            if (k < length_) {
                p += k - split_ + 1;
                known = 0;
                continue;
            }
            for (k = split_; k > known && At(k - 1) == chars_(window[k - 1]); --k) {
            }
            if (k <= known) return p;
            p += period_;
            known = memory_;
        }
        return kNotFound;
    }

#ifdef ROLM_SSE2
    // A find text of moderate length, compared exactly, where the skip's
    // chain of dependent loads is slower than looking at every position:
    // candidates by their first and last characters, eight positions at a
    // time. Checking them in full may cost the text passed over and twice the
    // find text; past that the two-way search goes on, so time stays linear.
    ROLM_SSE2_CODE size_t NextByEnds(const wchar_t* source, size_t from, size_t last) {
        const __m128i first = _mm_set1_epi16(static_cast<short>(find_[0]));
        const __m128i lastChar = _mm_set1_epi16(static_cast<short>(find_[length_ - 1]));
        size_t p = from, work = 0;
        for (; p <= last && last - p >= 7; p += 8) {
            const __m128i front = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + p));
            const __m128i back = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + p + length_ - 1));
            unsigned candidates = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
                                      _mm_cmpeq_epi16(front, first), _mm_cmpeq_epi16(back, lastChar)))) & 0x5555;
            for (; candidates != 0; candidates &= candidates - 1) {
                const size_t q = p + rolm::LowestBit(candidates) / 2;
                size_t i = 1;
                while (i < length_ - 1 && find_[i] == source[q + i]) ++i;
                if (i >= length_ - 1) return q;
                work += i;
                if (work > q - from + 2 * length_) return NextTwoWay(source, q + 1, last);
            }
        }
        return p <= last ? NextTwoWay(source, p, last) : kNotFound;
    }
#endif

    wchar_t At(size_t i) { return chars_(find_[i]); }

    // How far the window can move by its last character alone; 0 when that
    // character's low byte is the find text's last one.
    size_t Skip(const wchar_t* window) { return length_ - table_[chars_(window[length_ - 1]) & 0xFF]; }

    // A short find text, where skipping gains little: bit i of the state
    // says the last i + 1 characters read may be its first i + 1, judged by
    // their low bytes, so that no character is read twice and a candidate
    // is only checked in full.
    size_t NextShort(const wchar_t* source, size_t from, size_t last) {
        const UINT whole = 1u << (length_ - 1);
        UINT state = 0;
        for (size_t end = from; end < last + length_; ++end) {
            state = ((state << 1) | 1) & table_[chars_(source[end]) & 0xFF];
            if ((state & whole) == 0) continue;
            const wchar_t* window = source + end + 1 - length_;
            size_t i = 0;
            while (i < length_ && short_[i] == chars_(window[i])) ++i;
            if (i == length_) return end + 1 - length_;
        }
        return kNotFound;
    }

    // Start of the find text's maximal suffix for one order of the
    // characters, and that suffix's period.
    size_t MaximalSuffix(bool reversed, size_t* period) {
        size_t start = 0, candidate = 1, k = 0, p = 1;  // the suffix so far, and the one compared with it
        while (candidate + k < length_) {
            const wchar_t a = At(start + k), b = At(candidate + k);
            if (a == b) {
                if (k + 1 == p) {
                    candidate += p;
                    k = 0;
                } else {
                    ++k;
                }
            } else if ((a > b) != reversed) {
                candidate += k + 1;
                k = 0;
                p = candidate - start;
            } else {
                start = candidate++;
                k = 0;
                p = 1;
            }
        }
        *period = p;
        return start;
    }

    const wchar_t* find_;
    size_t length_;
    Chars& chars_;
    // By low byte: a short find text's positions as bits, a long one's
    // last index + 1 (0: absent).
    UINT table_[256];
    wchar_t short_[kSkipFrom];
    bool byEnds_ = false;
    size_t split_ = 0;   // the right half's first index
    size_t period_ = 1;  // shift after the window's whole right half matched
    size_t memory_ = 0;  // characters known equal after that shift
};

// The search itself, once the output slots are known to be valid.
template <typename Chars>
DWORD Search(const wchar_t* source, UINT uiLenSource, const wchar_t* find, UINT uiLenFind,
             UINT** ppuiOffsets, UINT* puiCount, UINT uiMaxCount) {
    *ppuiOffsets = nullptr;
    *puiCount = 0;
    if (uiLenSource == 0 || uiLenFind == 0 || uiMaxCount == 0) return 0;
    if (uiLenSource < uiLenFind) return 0;

    // Both compares end at a zero character that the texts share, so only
    // the find text up to its first zero has to be equal.
    const wchar_t* zero = wmemchr(find, L'\0', uiLenFind);
    const size_t compared = zero != nullptr ? static_cast<size_t>(zero - find) + 1 : uiLenFind;

    // No more matches than this can fit.
    const UINT capacity = uiLenSource / uiLenFind;
    rolm::Scratch<UINT, 254> working(capacity);
    if (working.data() == nullptr) return ERROR_STACK_OVERFLOW;

    Chars chars;
    Finder<Chars> finder(find, compared, chars);
    const UINT limit = uiMaxCount < capacity ? uiMaxCount : capacity;
    const size_t last = uiLenSource - uiLenFind;
    UINT count = 0;
    for (size_t p = 0; count < limit; p += uiLenFind) {
        p = finder.Next(source, p, last);
        if (p == kNotFound) break;
        working.data()[count++] = static_cast<UINT>(p);
    }
    if (count == 0) return 0;

    UINT* offsets = static_cast<UINT*>(malloc(count * sizeof(UINT)));
    if (offsets == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    memcpy(offsets, working.data(), count * sizeof(UINT));
    *ppuiOffsets = offsets;
    *puiCount = count;
    return 0;
}

DWORD SearchBy(BOOL fIgnoreCase, const wchar_t* source, UINT uiLenSource, const wchar_t* find,
               UINT uiLenFind, UINT** ppuiOffsets, UINT* puiCount, UINT uiMaxCount) {
    return fIgnoreCase
               ? Search<FoldedChars>(source, uiLenSource, find, uiLenFind, ppuiOffsets, puiCount, uiMaxCount)
               : Search<ExactChars>(source, uiLenSource, find, uiLenFind, ppuiOffsets, puiCount, uiMaxCount);
}

// The result, traced: the count, each offset, the code.
void TraceResult(DWORD result, const UINT* offsets, UINT count) {
    if (result == 0) {
        TraceWrite(L"Match > number of matches == %d", count);
        for (UINT i = 0; i < count; ++i)
            TraceWrite(L"Match > offset of the %dth match == %d", i + 1, offsets[i]);
    }
    TraceWrite(L"Match > returns the error code == %d", result);
}

int TraceLength(UINT length) { return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length); }

}  // namespace

DWORD Match(LPCWSTR lpszSource, UINT uiLenSource, LPCWSTR lpszFind, UINT uiLenFind,
            UINT** ppuiOffsets, UINT* puiCount, BOOL fIgnoreCase, UINT uiMaxCount, BOOL fTrace) {
    if (lpszSource == nullptr) uiLenSource = 0;
    if (lpszFind == nullptr) uiLenFind = 0;
    if (fTrace) {
        // Shown up to their lengths: the texts need not end there.
        TraceWrite(L"Match > is called with lpszSource == (%.*s), lpszFind == (%.*s)",
                   lpszSource != nullptr ? TraceLength(uiLenSource) : 4, lpszSource != nullptr ? lpszSource : L"NULL",
                   lpszFind != nullptr ? TraceLength(uiLenFind) : 4, lpszFind != nullptr ? lpszFind : L"NULL");
        TraceWrite(L"Match > and fIgnoreCase == (%d), uiMaxCount == (%08.8X)", fIgnoreCase, uiMaxCount);
    }
    DWORD result = ppuiOffsets == nullptr || puiCount == nullptr
                       ? ERROR_INVALID_PARAMETER
                       : SearchBy(fIgnoreCase, lpszSource, uiLenSource, lpszFind, uiLenFind,
                                  ppuiOffsets, puiCount, uiMaxCount);
    if (fTrace)
        TraceResult(result, result == 0 ? *ppuiOffsets : nullptr, result == 0 ? *puiCount : 0);
    return result;
}

DWORD Match(LPCWSTR lpszSource, LPCWSTR lpszFind, UINT** ppuiOffsets, UINT* puiCount,
            BOOL fIgnoreCase, UINT uiMaxCount, BOOL fTrace) {
    if (ppuiOffsets == nullptr || puiCount == nullptr) {
        if (fTrace) TraceWrite(L"Match > returns ERROR_INVALID_PARAMETER");
        return ERROR_INVALID_PARAMETER;
    }
    // Texts longer than a UINT counts are searched in their first 4G characters.
    const size_t sourceLength = lpszSource != nullptr ? wcslen(lpszSource) : 0;
    const size_t findLength = lpszFind != nullptr ? wcslen(lpszFind) : 0;
    const UINT uiLenSource = sourceLength > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<UINT>(sourceLength);
    const UINT uiLenFind = findLength > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<UINT>(findLength);
    if (fTrace) {
        TraceWrite(L"Match > is called with lpszSource == (%s), lpszFind == (%s)",
                   lpszSource != nullptr ? lpszSource : L"NULL", lpszFind != nullptr ? lpszFind : L"NULL");
        TraceWrite(L"Match > and fIgnoreCase == (%d), uiMaxCount == (%08.8X)", fIgnoreCase, uiMaxCount);
    }
    DWORD result = SearchBy(fIgnoreCase, lpszSource, uiLenSource, lpszFind, uiLenFind, ppuiOffsets,
                            puiCount, uiMaxCount);
    if (fTrace) TraceResult(result, *ppuiOffsets, *puiCount);
    return result;
}
