// Recognition of a proxy's sign-in page by its password input tag.
#include <rolm/http.h>
#include <string.h>
#include <wctype.h>

#include "common/unique.h"
#include "http/scratch.h"
#include "http/sse2.h"

namespace {

// Tags whose span ("<" to ">") lies outside this range are not looked at.
const size_t kMinSpan = 20;
const size_t kMaxSpan = 200;

// Searches keyword in text and cuts the text at its first occurrence. With
// exactlyOne, a text holding the keyword more than once does not count.
bool CutAt(wchar_t* text, const wchar_t* keyword, BOOL fIgnoreCase, bool exactlyOne) {
    UINT* offsets = nullptr;
    UINT count = 0;
    if (Match(text, keyword, &offsets, &count, fIgnoreCase, 0xFFFFFFFF, FALSE) != 0) return false;
    rolm::UniqueCHeapBlock owner(offsets);
    if (count == 0 || (exactlyOne && count != 1)) return false;
    text[offsets[0]] = L'\0';
    return true;
}

}  // namespace

BOOL IsInputTagOfType(LPCSTR lpszTag, LPCWSTR lpszType) {
    // 1. The tag as wide text; a tag from a page is at most 199 bytes.
    const char* tag = lpszTag != nullptr ? lpszTag : "";
    size_t bytes = strlen(tag);
    if (bytes > 0x3FFFFFFF) return FALSE;
    rolm::Scratch<wchar_t, 200> text(bytes + 1);
    if (text.data() == nullptr) return FALSE;
    int chars = bytes == 0 ? 0
                           : ::MultiByteToWideChar(CP_ACP, 0, tag, static_cast<int>(bytes), text.data(),
                                                   static_cast<int>(bytes + 1));
    text.data()[chars > 0 ? chars : 0] = L'\0';

    // 2 to 5, from the right: the type value, one "=", one "type", one "input".
    return CutAt(text.data(), lpszType, TRUE, false) && CutAt(text.data(), L"=", FALSE, true) &&
           CutAt(text.data(), L"type", TRUE, true) && CutAt(text.data(), L"input", TRUE, true);
}

namespace {

const size_t kNone = static_cast<size_t>(-1);
const wchar_t kPassword[] = L"password";

// Whether each byte below 0x80 stands for the character of the same code
// in the ANSI code page, alone and in a run, so that a tag of such bytes
// reads the same as 8-bit and as wide text. Fixed for the process.
bool AsciiIsItself() {
    static volatile LONG known = 0;  // 1 yes, 2 no
    if (known == 0) {
        char bytes[127];
        wchar_t wide[127];
        bool same = true;
        for (int c = 1; c < 128; ++c) {
            bytes[c - 1] = static_cast<char>(c);
            same = same && !::IsDBCSLeadByte(static_cast<BYTE>(c));
        }
        same = same && ::MultiByteToWideChar(CP_ACP, 0, bytes, 127, wide, 127) == 127;
        for (int c = 1; c < 128 && same; ++c) same = wide[c - 1] == static_cast<wchar_t>(c);
        known = same ? 1 : 2;
    }
    return known == 1;
}

// Proves, without converting a tag, that the tag test would give 0: case
// ignored as the C runtime folds in its current locale, "password" can only
// be found where a byte 'w' or 'W' or a byte of 0x80 and above stands (the
// hint bytes), and in a tag of bytes below 0x80 only where its eight
// letters stand in a row. Both are checked against towlower itself first.
class PasswordFilter {
public:
    // Whether tag [begin, end), with a hint byte in it, may still hold the type value.
    bool MayHold(const char* begin, const char* end) {
        if (!Ready()) return true;
        for (const char* at = begin; at < end; ++at)
            if (static_cast<unsigned char>(*at) >= 0x80) return true;
        for (const char* at = begin; at + 8 <= end; ++at) {
            int i = 0;
            while (i < 8 && folded_[static_cast<unsigned char>(at[i])] == key_[i]) ++i;
            if (i == 8) return true;
        }
        return false;
    }
    // Whether a tag without a hint byte is proved not to hold it.
    bool Excludes() { return Ready(); }

private:
    // Folds the 127 codes once per scan (the locale may change between scans).
    bool Ready() {
        if (state_ == 0) {
            state_ = AsciiIsItself() ? 1 : 2;
            for (int i = 0; i < 8; ++i) key_[i] = static_cast<wchar_t>(towlower(kPassword[i]));
            folded_[0] = 0;
            for (int c = 1; c < 128 && state_ == 1; ++c) {
                folded_[c] = static_cast<wchar_t>(towlower(static_cast<wchar_t>(c)));
                if (folded_[c] == key_[4] && c != 'w' && c != 'W') state_ = 2;  // "password"[4]
            }
        }
        return state_ == 1;
    }

    int state_ = 0;  // 1 ready, 2 no proof possible
    wchar_t key_[8] = {};  // filled by Ready() before any read, which GCC at -O3 can't prove
    wchar_t folded_[128];
};

// The page walk of IsAuthenticationPage, told the ">" of each tag in order
// with the last "<" and last hint byte before it.
class PageWalk {
public:
    explicit PageWalk(char* page) : page_(page) {}

    // A ">" at index at; true when its tag is the password input.
    bool Close(size_t at, size_t lastOpen, size_t lastHint) {
        const size_t open = lastOpen != kNone && (lastClose_ == kNone || lastOpen > lastClose_) ? lastOpen : kNone;
        lastClose_ = at;
        if (open == kNone || at - open < kMinSpan || at - open > kMaxSpan) return false;
        page_[at] = '\0';
        const bool hinted = lastHint != kNone && lastHint > open;
        if (hinted ? !filter_.MayHold(page_ + open + 1, page_ + at) : filter_.Excludes()) return false;
        return IsInputTagOfType(page_ + open + 1, kPassword) != FALSE;
    }

private:
    char* page_;
    size_t lastClose_ = kNone;
    PasswordFilter filter_;
};

// One byte at a time.
BOOL WalkBytes(char* page) {
    PageWalk walk(page);
    size_t open = kNone, hint = kNone;
    for (size_t i = 0;; ++i) {
        const unsigned char c = static_cast<unsigned char>(page[i]);
        if (c == '<') {
            open = i;
        } else if (c == '>') {
            if (walk.Close(i, open, hint)) return TRUE;
        } else if (c == '\0') {
            return FALSE;
        } else if (c >= 0x80 || (c | 0x20) == 'w') {
            hint = i;
        }
    }
}

#ifdef ROLM_SSE2
using rolm::HighestBit;
using rolm::LowestBit;

// Sixteen bytes at a time, as bit masks of "<", ">", zero and hint bytes.
// The loads are aligned, so they never reach into a page past the one
// holding the terminating zero.
ROLM_SSE2_CODE BOOL WalkBlocks(char* page) {
    PageWalk walk(page);
    size_t open = kNone, hint = kNone;
    const size_t misalignment = reinterpret_cast<size_t>(page) & 15;
    const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>'), zero = _mm_setzero_si128();
    const __m128i lower = _mm_set1_epi8(0x20), w = _mm_set1_epi8('w');
    unsigned skip = (1u << misalignment) - 1;  // bytes in front of the page
    // base: the block's index in the page, wrapping below 0 for the first one.
    for (size_t base = 0 - misalignment;; base += 16, skip = 0) {
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(reinterpret_cast<size_t>(page) + base));
        const unsigned opens = _mm_movemask_epi8(_mm_cmpeq_epi8(v, lt)) & ~skip;
        const unsigned ends = _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) & ~skip;
        const unsigned hints = (_mm_movemask_epi8(v) | _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(v, lower), w))) & ~skip;
        unsigned events = (_mm_movemask_epi8(_mm_cmpeq_epi8(v, gt)) & ~skip) | ends;
        while (events != 0) {
            const unsigned bit = LowestBit(events);
            const unsigned before = (1u << bit) - 1;
            if (ends & (1u << bit)) return FALSE;
            const size_t at = base + bit;
            if (walk.Close(at, opens & before ? base + HighestBit(opens & before) : open,
                           hints & before ? base + HighestBit(hints & before) : hint))
                return TRUE;
            events &= events - 1;
        }
        if (opens != 0) open = base + HighestBit(opens);
        if (hints != 0) hint = base + HighestBit(hints);
    }
}
#endif

}  // namespace

BOOL IsAuthenticationPage(LPSTR lpszPage) {
    if (lpszPage == nullptr || *lpszPage == '\0') return FALSE;
#ifdef ROLM_SSE2
    if (::IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE)) return WalkBlocks(lpszPage);
#endif
    return WalkBytes(lpszPage);
}
