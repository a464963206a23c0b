// The parsers on inputs that end where readable memory ends: a read past the
// last byte faults. (Leaks, failures and writes past heap blocks are the
// families' torture tables and the guarded heap of every test program.)
#include <winsock2.h>
#include <gtest/gtest.h>
#include <rolm/rolm.h>

#include <string>

#include "support.h"

// A readable page followed by an inaccessible one; Place puts data at its end.
struct GuardedPage {
    char* base = static_cast<char*>(::VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    BOOL guarded = ::VirtualProtect(base + 4096, 4096, PAGE_NOACCESS, &old);
    ~GuardedPage() { ::VirtualFree(base, 0, MEM_RELEASE); }
    template <class T>
    T* Place(const T* data, size_t count) {
        return static_cast<T*>(memcpy(reinterpret_cast<T*>(base + 4096) - count, data, count * sizeof(T)));
    }
};

TEST(Overrun, ParsersStopAtTheEndOfTheirInput) {
    rolm_test::TraceLog::Get();  // traced texts are read too
    GuardedPage page, other;
    for (int size = 0; size < 80; ++size) {  // replies of every length, each header length announced
        std::string bytes(size, '\x45');
        if (size > 0) bytes[0] = static_cast<char>(0x40 | size % 16);
        echo_checksum(page.Place(bytes.data(), bytes.size()), size);
        decode_resp(page.Place(bytes.data(), bytes.size()), size, nullptr);
    }
    for (std::string text : {std::string("<input type='password'>"), std::string("<"), "<" + std::string(300, 'x'), std::string("input type="),
                             "<a title='" + std::string(40, 'x'), "<script>" + std::string(40, 'x') + "</scrip"}) {
        EXPECT_EQ(text[1] == 'i', IsSignInForm(page.Place(text.data(), text.size()), text.size()));
        text += '\0';
        EXPECT_EQ(text[1] == 'i', IsAuthenticationPage(page.Place(&text[0], text.size())));
        IsInputTagOfType(page.Place(text.c_str(), text.size()), L"password");
    }
    const std::wstring source = L"abcABCab", find = L"ab";  // no terminators: the lengths bound them
    for (BOOL ignoreCase : {FALSE, TRUE}) {
        UINT* offsets = nullptr;
        UINT count = 0;
        EXPECT_EQ(0u, Match(page.Place(source.data(), 8), 8, other.Place(find.data(), 2), 2, &offsets, &count, ignoreCase, 9, TRUE));
        EXPECT_EQ(ignoreCase ? 3u : 2u, count);
        free(offsets);
    }
    rolm_test::TraceLog::Get().Clear();
}
