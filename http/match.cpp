// Non-overlapping search of one wide text in another.
#include <rolm/http.h>
#include <rolm/trace.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>

#include "common/unique.h"
#include "http/scratch.h"

namespace {

const size_t kNotFound = static_cast<size_t>(-1);

// Characters compared as wcsncmp does.
struct ExactChars {
    wchar_t operator()(wchar_t c) const { return c; }
    static bool Equal(const wchar_t* a, const wchar_t* b, size_t count) {
        return count == 0 || memcmp(a, b, count * sizeof(wchar_t)) == 0;
    }
    // Index of the first c in [from, end), or end.
    static size_t FindFirst(const wchar_t* text, size_t from, size_t end, wchar_t c) {
        return static_cast<size_t>(std::find(text + from, text + end, c) - text);
    }
};

// Characters compared as _wcsnicmp does: both folded with the C runtime's
// towlower in its current locale. The first 256 are looked up once per search.
class FoldedChars {
public:
    FoldedChars() { memset(table_, 0xFF, sizeof table_); }
    wchar_t operator()(wchar_t c) {
        if (c >= 256) return static_cast<wchar_t>(towlower(c));
        if (table_[c] == 0xFFFF) table_[c] = static_cast<wchar_t>(towlower(c));
        return table_[c];
    }
    size_t FindFirst(const wchar_t* text, size_t from, size_t end, wchar_t folded) {
        while (from < end && (*this)(text[from]) != folded) ++from;
        return from;
    }
    bool Equal(const wchar_t* a, const wchar_t* b, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if ((*this)(a[i]) != (*this)(b[i])) return false;
        return true;
    }

private:
    wchar_t table_[256];
};

// Finds the leftmost occurrence at or after a position. Which occurrence is
// found does not depend on how: a long find text skips ahead by the
// Boyer-Moore-Horspool rule on the low byte of the (folded) character under
// the window's last position, a short one tests each position's first character.
template <typename Chars>
class Finder {
public:
    Finder(const wchar_t* find, size_t length, Chars& chars)
        : find_(find), length_(length), chars_(chars) {
        if (length_ < kSkipFrom) return;
        for (size_t i = 0; i < 256; ++i) shift_[i] = static_cast<UINT>(length_);
        for (size_t i = 0; i + 1 < length_; ++i) shift_[chars_(find_[i]) & 0xFF] = static_cast<UINT>(length_ - 1 - i);
        last_ = chars_(find_[length_ - 1]);
    }

    // First position p, from <= p <= last, where the find text stands.
    size_t Next(const wchar_t* source, size_t from, size_t last) {
        if (length_ < kSkipFrom) {
            const wchar_t first = chars_(find_[0]);
            for (size_t p = from; p <= last; ++p) {
                p = chars_.FindFirst(source, p, last + 1, first);
                if (p > last) break;
                if (chars_.Equal(source + p + 1, find_ + 1, length_ - 1)) return p;
            }
            return kNotFound;
        }
        for (size_t p = from; p <= last;) {
            const wchar_t c = chars_(source[p + length_ - 1]);
            if (c == last_ && chars_.Equal(source + p, find_, length_ - 1)) return p;
            p += shift_[c & 0xFF];
        }
        return kNotFound;
    }

private:
    static const size_t kSkipFrom = 8;
    const wchar_t* find_;
    size_t length_;
    Chars& chars_;
    UINT shift_[256];
    wchar_t last_ = 0;
};

// Steps 4 to 8, on valid slots.
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

// Step 9.
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
