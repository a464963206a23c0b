// Match against a plain reference search, and the sign-in page scan.
#include <gtest/gtest.h>
#include <rolm/http.h>
#include <wchar.h>

#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace {

using Offsets = std::vector<UINT>;

struct Found {
    DWORD error;
    Offsets offsets;
};

Found Search(const wchar_t* source, const wchar_t* find, BOOL ignoreCase, UINT maxCount = 0xFFFFFFFF) {
    UINT* offsets = reinterpret_cast<UINT*>(1);
    UINT count = 0xDEAD;
    Found f;
    f.error = Match(source, find, &offsets, &count, ignoreCase, maxCount, FALSE);
    EXPECT_EQ(offsets == nullptr, count == 0) << "a null array comes with a count of 0";
    if (offsets != nullptr) f.offsets.assign(offsets, offsets + count);
    free(offsets);
    return f;
}

Found RunLengths(const std::wstring& source, const std::wstring& find, BOOL ignoreCase, UINT maxCount) {
    UINT* offsets = reinterpret_cast<UINT*>(1);
    UINT count = 0xDEAD;
    Found f;
    f.error = Match(source.data(), static_cast<UINT>(source.size()), find.data(),
                    static_cast<UINT>(find.size()), &offsets, &count, ignoreCase, maxCount, FALSE);
    EXPECT_EQ(offsets == nullptr, count == 0);
    if (offsets != nullptr) f.offsets.assign(offsets, offsets + count);
    free(offsets);
    return f;
}

// The plain search the fast one must agree with.
Offsets Reference(const std::wstring& s, const std::wstring& f, bool ignoreCase, UINT maxCount) {
    Offsets out;
    if (f.empty() || s.size() < f.size()) return out;
    const size_t limit = maxCount < s.size() / f.size() ? maxCount : s.size() / f.size();
    for (size_t p = 0; p + f.size() <= s.size() && out.size() < limit;) {
        int c = ignoreCase ? _wcsnicmp(s.data() + p, f.data(), f.size()) : wcsncmp(s.data() + p, f.data(), f.size());
        if (c == 0) {
            out.push_back(static_cast<UINT>(p));
            p += f.size();
        } else {
            ++p;
        }
    }
    return out;
}

TEST(Match, Cases) {
    struct Case {
        const wchar_t* source;
        const wchar_t* find;
        BOOL ignoreCase;
        UINT maxCount;
        Offsets expected;
    } cases[] = {
        {L"aaaa", L"aa", FALSE, 0xFFFFFFFF, {0, 2}},
        {L"abcABC", L"abc", TRUE, 0xFFFFFFFF, {0, 3}},
        {L"abcABC", L"abc", FALSE, 0xFFFFFFFF, {0}},
        {L"abab", L"ab", FALSE, 1, {0}},
        {L"abab", L"ab", FALSE, 2, {0, 2}},
        {L"ab", L"ab", FALSE, 0xFFFFFFFF, {0}},
        {L"AB", L"ab", TRUE, 0xFFFFFFFF, {0}},
        {L"a", L"ab", FALSE, 0xFFFFFFFF, {}},
        {L"abab", L"", FALSE, 0xFFFFFFFF, {}},
        {nullptr, L"ab", FALSE, 0xFFFFFFFF, {}},
        {L"abab", nullptr, FALSE, 0xFFFFFFFF, {}},
        {L"abab", L"ab", FALSE, 0, {}},
        {L"xxabcdefxabcdefabcdef", L"abcdef", FALSE, 0xFFFFFFFF, {2, 9, 15}},
        {L"XXABCDEFxAbCdEfabcdeF", L"abcdef", TRUE, 0xFFFFFFFF, {2, 9, 15}},
        {L"aaaaaaaaa", L"aaaa", FALSE, 0xFFFFFFFF, {0, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.source ? "source" : "null source") << " max " << c.maxCount);
        Found f = Search(c.source, c.find, c.ignoreCase, c.maxCount);
        EXPECT_EQ(0u, f.error);
        EXPECT_EQ(c.expected, f.offsets);
    }
}

TEST(Match, MissingSlots) {
    UINT* offsets = reinterpret_cast<UINT*>(1);
    UINT count = 7;
    rolm_test::TraceLog::Get().Clear();
    EXPECT_EQ(87u, Match(L"ab", L"a", nullptr, &count, FALSE, 1, TRUE));
    EXPECT_EQ(87u, Match(L"ab", 2, L"a", 1, &offsets, nullptr, FALSE, 1, TRUE));
    EXPECT_EQ(reinterpret_cast<UINT*>(1), offsets);
    EXPECT_EQ(7u, count);
    std::vector<std::wstring> expected = {
        L"Match > returns ERROR_INVALID_PARAMETER",
        L"Match > is called with lpszSource == (ab), lpszFind == (a)",
        L"Match > and fIgnoreCase == (0), uiMaxCount == (00000001)",
        L"Match > returns the error code == 87",
    };
    EXPECT_EQ(expected, rolm_test::TraceLog::Get().Take());
}

TEST(Match, TraceLines) {
    UINT* offsets = nullptr;
    UINT count = 0;
    rolm_test::TraceLog::Get().Clear();
    ASSERT_EQ(0u, Match(L"aaaaaa", L"aa", &offsets, &count, TRUE, 0xFFFFFFFF, TRUE));
    free(offsets);
    ASSERT_EQ(0u, Match(nullptr, L"aa", &offsets, &count, FALSE, 5, TRUE));
    // With lengths the texts are shown as far as they are searched.
    ASSERT_EQ(0u, Match(L"abcdef", 3, L"bcx", 2, &offsets, &count, FALSE, 5, TRUE));
    free(offsets);
    std::vector<std::wstring> expected = {
        L"Match > is called with lpszSource == (aaaaaa), lpszFind == (aa)",
        L"Match > and fIgnoreCase == (1), uiMaxCount == (FFFFFFFF)",
        L"Match > number of matches == 3",
        L"Match > offset of the 1th match == 0",
        L"Match > offset of the 2th match == 2",
        L"Match > offset of the 3th match == 4",
        L"Match > returns the error code == 0",
        L"Match > is called with lpszSource == (NULL), lpszFind == (aa)",
        L"Match > and fIgnoreCase == (0), uiMaxCount == (00000005)",
        L"Match > number of matches == 0",
        L"Match > returns the error code == 0",
        L"Match > is called with lpszSource == (abc), lpszFind == (bc)",
        L"Match > and fIgnoreCase == (0), uiMaxCount == (00000005)",
        L"Match > number of matches == 1",
        L"Match > offset of the 1th match == 1",
        L"Match > returns the error code == 0",
    };
    EXPECT_EQ(expected, rolm_test::TraceLog::Get().Take());
}

// S / F entries: 254 fit the stack array, 255 and more come from the heap.
TEST(Match, WorkingArrayAcrossItsStackLimit) {
    for (size_t n : {253u, 254u, 255u, 256u, 509u, 100000u}) {
        std::wstring source(n, L'a');
        Found f = Search(source.c_str(), L"a", FALSE);
        ASSERT_EQ(n, f.offsets.size());
        EXPECT_EQ(n - 1, f.offsets.back());
        Found two = Search((source + L"b").c_str(), L"aa", FALSE, static_cast<UINT>(n / 2 - 1));
        EXPECT_EQ(n / 2 - 1, two.offsets.size());
    }
}

// Both compares stop at a zero character the texts share.
TEST(Match, ZeroInsideTheComparedSpan) {
    const std::wstring source(L"a\0b_a\0c_a\0", 10);
    const std::wstring find(L"a\0z", 3);
    EXPECT_EQ((Offsets{0, 4}), RunLengths(source, find, FALSE, 0xFFFFFFFF).offsets);
    EXPECT_EQ(Reference(source, find, false, 0xFFFFFFFF), RunLengths(source, find, FALSE, 0xFFFFFFFF).offsets);
    EXPECT_EQ(Reference(source, find, true, 0xFFFFFFFF), RunLengths(source, find, TRUE, 0xFFFFFFFF).offsets);
}

TEST(Match, AgreesWithAPlainSearch) {
    const wchar_t alphabet[] = L"abAB\x00E9\x00C9\x0434\x0414\x03C3\x03A3\x00DF";
    const unsigned seed = 20261205;
    std::mt19937 random(seed);
    for (int round = 0; round < 4000; ++round) {
        const size_t letters = 2 + random() % (_countof(alphabet) - 2);
        std::wstring source(random() % 300, L' '), find(1 + random() % 9, L' ');
        for (wchar_t& c : source) c = alphabet[random() % letters];
        for (wchar_t& c : find) c = alphabet[random() % letters];
        if (random() % 3 == 0 && source.size() > find.size())  // plant an occurrence
            source.replace(random() % (source.size() - find.size()), find.size(), find);
        const bool ignoreCase = random() % 2 == 0;
        const UINT maxCount = random() % 4 == 0 ? static_cast<UINT>(random() % 5) : 0xFFFFFFFF;
        Found f = RunLengths(source, find, ignoreCase, maxCount);
        ASSERT_EQ(0u, f.error);
        ASSERT_EQ(Reference(source, find, ignoreCase, maxCount), f.offsets)
            << "seed " << seed << " round " << round << " ignoreCase " << ignoreCase << " max " << maxCount
            << " find length " << find.size() << " source length " << source.size();
    }
}

// --- Sign-in page -----------------------------------------------------------

BOOL Page(std::string text) { return IsAuthenticationPage(&text[0]); }
std::string Tag(const std::string& text) { return "<" + text + ">"; }

TEST(IsAuthenticationPage, Tags) {
    struct Case {
        const char* tag;
        BOOL expected;
    } cases[] = {
        {"input type='password' name='pw'", 1},
        {"INPUT TYPE=PASSWORD name='pw'", 1},
        {"input type=password", 1},  // 19 bytes, span 20
        {"input name='pw' type='password'", 0},
        {"input id='password' name='pw'", 0},
        {"input type='text' value='password'", 0},
        {"input type='text' name='pwd_field'", 0},
        {"select type='password' name='x'", 0},
        {"input input type='password' x", 0},
        {"inpu type=password", 0},  // 18 bytes: not tested
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, Page("<html><body>" + Tag(c.tag) + "</body></html>")) << c.tag;
        EXPECT_EQ(c.expected, IsInputTagOfType(c.tag, L"password")) << c.tag;
    }
}

TEST(IsAuthenticationPage, SpanLimits) {
    const std::string match = "input type=password";
    EXPECT_EQ(1, Page(Tag(match + std::string(199 - match.size(), ' '))));  // span 200
    EXPECT_EQ(0, Page(Tag(match + std::string(200 - match.size(), ' '))));  // span 201
    EXPECT_EQ(0, Page(Tag("input type=passwor")));                            // 18 bytes
    EXPECT_EQ(1, IsInputTagOfType("input type=passwor d", L"passwor"));
    // The later "<" counts: the tag text after it is tested alone.
    EXPECT_EQ(1, Page("<a b <input type='password' name='p'>"));
    EXPECT_EQ(0, Page("<input type='password' <b>"));
    // A ">" without an open "<" is passed over.
    EXPECT_EQ(1, Page("> >> <input type='password' name='p'>"));
    EXPECT_EQ(0, Page(""));
    EXPECT_EQ(0, IsAuthenticationPage(nullptr));
    EXPECT_EQ(0, IsInputTagOfType(nullptr, L"password"));
    EXPECT_EQ(0, IsInputTagOfType("input type=password", nullptr));
    EXPECT_EQ(0, IsInputTagOfType("input type=password", L""));
}

TEST(IsAuthenticationPage, OverwritesTheTestedClosingBrackets) {
    std::string page = "<p><a href='https://example.test/x'>link</a><img src='logo.png' alt='l'>!";
    const std::string before = page;
    EXPECT_EQ(0, IsAuthenticationPage(&page[0]));
    std::string expected = before;
    expected[before.find("'>link") + 1] = '\0';
    expected[before.find("'>!") + 1] = '\0';
    EXPECT_EQ(expected, page);  // "<p>" and "</a>" are too short to be tested
}

TEST(IsAuthenticationPage, RealisticSignInPage) {
    const std::string page =
        "<!DOCTYPE html>\r\n<html><head><title>Proxy sign-in</title>\r\n"
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\"></head>\r\n"
        "<body><h1>Authentication required</h1>\r\n"
        "<form method=\"post\" action=\"/login.cgi?redirect=http%3A%2F%2Fexample.test%2F\">\r\n"
        "<label for=\"u\">User</label><input type=\"text\" name=\"username\" id=\"u\" size=\"20\">\r\n"
        "<label for=\"p\">Password</label><input type=\"password\" name=\"secret\" size=\"20\">\r\n"
        "<input type=\"submit\" value=\"Sign in\"></form></body></html>\r\n";
    EXPECT_EQ(1, Page(page));
    std::string without = page;
    without.replace(without.find("type=\"password\""), 15, "type=\"hidden\"  ");
    EXPECT_EQ(0, Page(without));
}

}  // namespace
