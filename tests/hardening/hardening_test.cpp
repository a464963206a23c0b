// The parsers on inputs that end where readable memory ends (a read past the
// last byte faults), the library's owners, and the guarded heap that every
// test program runs on: a write just outside a block, a foreign or repeated
// release, a leak.
#include <winsock2.h>
#include <gtest/gtest.h>
#include <rolm/rolm.h>

#include <string>

#include "common/unique.h"
#include "faults.h"
#include "http/form_header.h"

using namespace rolm_test;

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

// Parsers read, and texts are written, up to the end of their room and no further.
TEST(Overrun, ParsersAndTextsStopAtTheEndOfTheirRoom) {
    TraceLog::Get();  // traced texts are read too
    GuardedPage page, other;
    ASSERT_TRUE(page.guarded && other.guarded) << "the pages after the inputs are inaccessible";
    for (int size = 0; size < 80; ++size) {  // replies of every length, each header length announced; none ours
        std::string bytes(size, '\x45');
        if (size > 0) bytes[0] = static_cast<char>(0x40 | size % 16);
        echo_checksum(page.Place(bytes.data(), bytes.size()), size);  // its sums are net_test's
        EXPECT_FALSE(decode_resp(page.Place(bytes.data(), bytes.size()), size, nullptr)) << size;
    }
    const struct { std::string text; BOOL page, tag, form; } rows[] = {
        {"<input type=password>", TRUE, TRUE, TRUE}, {"input type=password", FALSE, TRUE, FALSE},
        {"<", FALSE, FALSE, FALSE}, {"<" + std::string(300, 'x'), FALSE, FALSE, FALSE},
        {"input type=", FALSE, FALSE, FALSE}, {"<a title='" + std::string(40, 'x'), FALSE, FALSE, FALSE},
        {"<script>" + std::string(40, 'x') + "</scrip", FALSE, FALSE, FALSE}};
    for (const auto& row : rows) {
        EXPECT_EQ(row.form, IsSignInForm(page.Place(row.text.data(), row.text.size()), row.text.size())) << row.text;
        std::string text = row.text + '\0';
        EXPECT_EQ(row.page, IsAuthenticationPage(page.Place(&text[0], text.size()))) << row.text;
        EXPECT_EQ(row.tag, IsInputTagOfType(page.Place(&text[0], text.size()), L"password")) << row.text;
    }
    const std::wstring source = L"abcABCab", find = L"ab";  // no terminators: the lengths bound them
    for (BOOL ignoreCase : {FALSE, TRUE}) {
        UINT* offsets = nullptr;
        UINT count = 0;
        EXPECT_EQ(0u, Match(page.Place(source.data(), 8), 8, other.Place(find.data(), 2), 2, &offsets, &count,
                            ignoreCase, 9, TRUE));
        EXPECT_EQ(ignoreCase ? 3u : 2u, count);
        free(offsets);
    }
    TraceLog::Get().Clear();
    // Room for a text and its terminator, or ERROR_INSUFFICIENT_BUFFER with nothing written: the form header (47
    // characters) into a buffer at the end of readable memory.
    const std::string header = "Content-Type: application/x-www-form-urlencoded";
    for (size_t room : {header.size(), header.size() + 1}) {
        char* buffer = page.base + 4096 - room;
        DWORD length = 0;
        const bool fits = room > header.size();
        EXPECT_EQ(fits ? 0u : DWORD(ERROR_INSUFFICIENT_BUFFER), rolm::GetFormHeader(buffer, room, &length)) << room;
        EXPECT_EQ(fits ? header : "", std::string(buffer, length)) << room;
    }
}

// The library's owner, on a resource of the test's own: each value closed once, on move, put, reset and at the
// end, with the thread's last error kept; reset() tells what the close said.
int g_closed[4];
struct Counted {
    using pointer = int;
    static pointer Empty() { return 0; }
    static BOOL Close(pointer value) {
        ++g_closed[value];
        ::SetLastError(ERROR_INVALID_DATA);
        return value != 3;
    }
};

TEST(Owners, CloseEachValueOnceAndKeepTheLastError) {
    {
        rolm::Unique<Counted> one(1), two(2);
        ::SetLastError(1234);
        one = std::move(two);  // closes 1
        *two.put() = 3;        // closes nothing
        EXPECT_FALSE(two.reset()) << "the close of 3 fails";
        EXPECT_TRUE(one.reset(1)) << "the close of 2";
        *one.put() = 2;  // closes 1
        EXPECT_EQ(1234u, ::GetLastError());
    }
    EXPECT_EQ((std::vector<int>{0, 2, 2, 1}), std::vector<int>(g_closed, g_closed + 4)) << "closes of 0, 1, 2, 3";
}

// Every byte of the 64 before and after a block is watched, whatever is written there.
TEST(HeapGuard, SeesEveryWriteJustOutsideABlock) {
    for (size_t size : {0u, 1u, 13u, 100u}) {
        for (bool process : {false, true}) {
            void* block = process ? ::HeapAlloc(::GetProcessHeap(), 0, size) : malloc(size);
            ASSERT_NE(nullptr, block);
            volatile unsigned char* bytes = static_cast<unsigned char*>(block);  // the compiler keeps every write
            EXPECT_EQ(nullptr, HeapDamage(block));
            for (ptrdiff_t at = -64; at < ptrdiff_t(size) + 64; at += at == -1 ? ptrdiff_t(size) + 1 : 1) {
                const unsigned char kept = bytes[at];
                for (int value : {~kept, 0, int('E')}) {
                    bytes[at] = static_cast<unsigned char>(value);
                    EXPECT_NE(nullptr, HeapDamage(block)) << size << " " << at << " " << value;
                }
                bytes[at] = kept;
            }
            if (process) ::HeapFree(::GetProcessHeap(), 0, block);
            if (!process) free(block);
        }
    }
}

// heap N: a release the guard must refuse, ending the program. Through volatile pointers the compiler knows
// neither the block's size nor what a release is handed, and warns of none of the misuses.
ROLM_CHILD(heap) {
    char local[32];
    char* volatile block = static_cast<char*>(malloc(16));
    char* volatile foreign = local + 8;
    switch (argv[0][0]) {
    case 'o': block[16] = 1; free(block); break;  // one past the end
    case 'u': block[-1] = 1; free(block); break;  // one before the start
    case 't': free(block); free(block); break;  // twice
    case 'f': free(foreign); break;  // never allocated
    case 'h': ::HeapFree(::GetProcessHeap(), 0, block); break;  // to another heap
    case 'l': ::LocalFree(foreign); break;  // no local block
    }
    return 0;
}

TEST(HeapGuard, RefusesWhatIsNotItsOwnAndFindsLeaks) {
    for (const wchar_t* what : {L"o", L"u", L"t", L"f", L"h", L"l"})
        EXPECT_EQ(0xC0000374u, RunProgram(ChildCommandLine(L"heap", what))) << what;
    const std::wstring leaks = L" --gtest_filter=HeapGuard.DISABLED_Leaks --gtest_also_run_disabled_tests";
    EXPECT_EQ(1u, RunProgram(L"\"" + ProgramPath() + L"\"" + leaks)) << "a test that leaks fails";
}

void* volatile g_leaked;
TEST(HeapGuard, DISABLED_Leaks) { g_leaked = malloc(24); }
