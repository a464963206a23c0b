// Recognition of a proxy's sign-in page by its password input tag.
#include <rolm/http.h>
#include <string.h>

#include "common/unique.h"
#include "http/scratch.h"

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

BOOL IsAuthenticationPage(LPSTR lpszPage) {
    if (lpszPage == nullptr || *lpszPage == '\0') return FALSE;
    const size_t kNone = static_cast<size_t>(-1);
    size_t open = kNone;
    // The zero written over a tested ">" lies behind the walk, so the walk
    // ends only at the page's own terminating zero.
    for (size_t i = 0; lpszPage[i] != '\0'; ++i) {
        if (lpszPage[i] == '<') {
            open = i;
        } else if (lpszPage[i] == '>' && open != kNone) {
            const size_t span = i - open;
            if (span >= kMinSpan && span <= kMaxSpan) {
                lpszPage[i] = '\0';
                if (IsInputTagOfType(lpszPage + open + 1, L"password")) return TRUE;
            }
            open = kNone;
        }
    }
    return FALSE;
}
