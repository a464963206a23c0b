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
const UINT kAll = 0xFFFFFFFF;

// Both forms; a null text stays null. The array and its count agree.
Offsets Search(const wchar_t* source, const wchar_t* find, BOOL ignoreCase, UINT maxCount = kAll,
               UINT sourceLength = 0, UINT findLength = 0) {
    UINT* offsets = reinterpret_cast<UINT*>(1);
    UINT count = 0xDEAD;
    DWORD error = sourceLength == 0 ? Match(source, find, &offsets, &count, ignoreCase, maxCount, FALSE)
                                    : Match(source, sourceLength, find, findLength, &offsets, &count, ignoreCase, maxCount, FALSE);
    EXPECT_EQ(0u, error);
    EXPECT_EQ(offsets == nullptr, count == 0) << "a null array comes with a count of 0";
    Offsets out(offsets, offsets + (offsets ? count : 0));
    free(offsets);
    return out;
}

// The plain search the fast one must agree with: compares stop at a zero both texts share.
Offsets Reference(const std::wstring& s, const std::wstring& f, bool ignoreCase, UINT maxCount) {
    Offsets out;
    for (size_t p = 0; !f.empty() && p + f.size() <= s.size() && out.size() < maxCount;) {
        int c = ignoreCase ? _wcsnicmp(s.data() + p, f.data(), f.size()) : wcsncmp(s.data() + p, f.data(), f.size());
        p += c == 0 ? f.size() : 1;
        if (c == 0) out.push_back(static_cast<UINT>(p - f.size()));
    }
    return out;
}

TEST(Match, Cases) {
    struct Case {
        const wchar_t *source, *find;
        BOOL ignoreCase;
        UINT maxCount;
        Offsets expected;
    } cases[] = {
        {L"aaaa", L"aa", FALSE, kAll, {0, 2}},        {L"abcABC", L"abc", TRUE, kAll, {0, 3}},
        {L"abcABC", L"abc", FALSE, kAll, {0}},        {L"abab", L"ab", FALSE, 1, {0}},
        {L"abab", L"ab", FALSE, 0, {}},               {L"a", L"ab", FALSE, kAll, {}},
        {L"abab", L"", FALSE, kAll, {}},              {L"", L"ab", FALSE, kAll, {}},
        {nullptr, L"ab", FALSE, kAll, {}},            {L"abab", nullptr, FALSE, kAll, {}},
        {L"XXABCDEFxAbCdEfabcdeF", L"abcdef", TRUE, kAll, {2, 9, 15}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.source ? c.source : L"(null)") << " max " << c.maxCount);
        EXPECT_EQ(c.expected, Search(c.source, c.find, c.ignoreCase, c.maxCount));
    }
}

TEST(Match, TraceLinesAndMissingSlots) {
    UINT* offsets = reinterpret_cast<UINT*>(1);
    UINT count = 7;
    rolm_test::TraceLog::Get().Clear();
    EXPECT_EQ(87u, Match(L"ab", L"a", nullptr, &count, FALSE, 1, TRUE));
    EXPECT_EQ(87u, Match(L"ab", 2, L"a", 1, &offsets, nullptr, FALSE, 1, TRUE));
    EXPECT_EQ(reinterpret_cast<UINT*>(1), offsets);
    EXPECT_EQ(7u, count);
    ASSERT_EQ(0u, Match(L"aaaaaa", L"aa", &offsets, &count, TRUE, kAll, TRUE));
    free(offsets);
    ASSERT_EQ(0u, Match(nullptr, L"aa", &offsets, &count, FALSE, 5, TRUE));
    // With lengths the texts are shown as far as they are searched.
    ASSERT_EQ(0u, Match(L"abcdef", 3, L"bcx", 2, &offsets, &count, FALSE, 5, TRUE));
    free(offsets);
    const std::vector<std::wstring> expected = {
        L"Match > returns ERROR_INVALID_PARAMETER",
        L"Match > is called with lpszSource == (ab), lpszFind == (a)",
        L"Match > and fIgnoreCase == (0), uiMaxCount == (00000001)",
        L"Match > returns the error code == 87",
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

// 254 entries fit the stack array, 255 and more come from the heap.
TEST(Match, WorkingArrayAcrossItsStackLimit) {
    for (size_t n : {253u, 254u, 255u, 256u, 509u, 100000u}) {
        std::wstring source(n, L'a');
        Offsets all = Search(source.c_str(), L"a", FALSE);
        ASSERT_EQ(n, all.size());
        EXPECT_EQ(n - 1, all.back());
        EXPECT_EQ(n / 2 - 1, Search((source + L"b").c_str(), L"aa", FALSE, static_cast<UINT>(n / 2 - 1)).size());
    }
}

// Random texts over a small alphabet with case pairs and a zero character.
TEST(Match, AgreesWithAPlainSearch) {
    const std::wstring alphabet(L"ab\0AB\x00E9\x00C9\x0434\x0414\x03C3\x03A3\x00DF", 12);
    const unsigned seed = 20261205;
    std::mt19937 random(seed);
    for (int round = 0; round < 4000; ++round) {
        const size_t letters = 2 + random() % (alphabet.size() - 1);
        std::wstring source(random() % 300, L' '), find(1 + random() % 9, L' ');
        for (wchar_t& c : source) c = alphabet[random() % letters];
        for (wchar_t& c : find) c = alphabet[random() % letters];
        if (random() % 3 == 0 && source.size() > find.size())  // plant an occurrence
            source.replace(random() % (source.size() - find.size()), find.size(), find);
        const bool ignoreCase = random() % 2 == 0;
        const UINT maxCount = random() % 4 == 0 ? static_cast<UINT>(random() % 5) : kAll;
        ASSERT_EQ(Reference(source, find, ignoreCase, maxCount),
                  Search(source.data(), find.data(), ignoreCase, maxCount, static_cast<UINT>(source.size()),
                         static_cast<UINT>(find.size())))
            << "seed " << seed << " round " << round;
    }
}

// --- Sign-in page -----------------------------------------------------------

BOOL Page(std::string text) { return IsAuthenticationPage(&text[0]); }

TEST(IsAuthenticationPage, TagsAndSpans) {
    const std::string min = "input type=password";  // 19 bytes: the shortest tested span
    struct Case {
        std::string text;
        BOOL expected;
        bool tag;  // a single tag, wrapped in a page and tested alone too
    } cases[] = {
        {"input type='password' name='pw'", 1, true}, {"INPUT TYPE=PASSWORD name='pw'", 1, true},
        {min, 1, true},                               {"input name='pw' type='password'", 0, true},
        {"input id='password' name='pw'", 0, true},   {"input type='text' value='password'", 0, true},
        {"select type='password' name='x'", 0, true}, {"input input type='password' x", 0, true},
        {"inpu type=password", 0, true},  // 18 bytes: not tested
        {"<" + min + std::string(199 - min.size(), ' ') + ">", 1, false},  // 199 bytes: tested
        {"<" + min + std::string(200 - min.size(), ' ') + ">", 0, false},  // 200 bytes: not tested
        // The later "<" counts: the text after it is tested alone.
        {"<a b <input type='password' name='p'>", 1, false}, {"<input type='password' <b>", 0, false},
        {"> >> <input type='password' name='p'>", 1, false}, {"", 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, Page(c.tag ? "<html><body><" + c.text + "></body></html>" : c.text)) << c.text;
        if (c.tag) {
            EXPECT_EQ(c.expected, IsInputTagOfType(c.text.c_str(), L"password")) << c.text;
        }
    }
    EXPECT_EQ(1, IsInputTagOfType("input type=passwor d", L"passwor"));
    EXPECT_EQ(0, IsAuthenticationPage(nullptr));
    EXPECT_EQ(0, IsInputTagOfType(nullptr, L"password"));
    EXPECT_EQ(0, IsInputTagOfType(min.c_str(), nullptr));
    EXPECT_EQ(0, IsInputTagOfType(min.c_str(), L""));
}

TEST(IsAuthenticationPage, OverwritesTheTestedClosingBrackets) {
    std::string page = "<p><a href='https://example.test/x'>link</a><img src='logo.png' alt='l'>!";
    std::string expected = page;
    EXPECT_EQ(0, IsAuthenticationPage(&page[0]));
    expected[expected.find("'>link") + 1] = '\0';
    expected[expected.find("'>!") + 1] = '\0';
    EXPECT_EQ(expected, page);  // "<p>" and "</a>" are too short to be tested
}

TEST(IsAuthenticationPage, RealisticSignInPage) {
    std::string page =
        "<!DOCTYPE html>\r\n<html><head><title>Proxy sign-in</title>\r\n"
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\"></head>\r\n"
        "<body><h1>Authentication required</h1>\r\n"
        "<form method=\"post\" action=\"/login.cgi?redirect=http%3A%2F%2Fexample.test%2F\">\r\n"
        "<label for=\"u\">User</label><input type=\"text\" name=\"username\" id=\"u\" size=\"20\">\r\n"
        "<label for=\"p\">Password</label><input type=\"password\" name=\"secret\" size=\"20\">\r\n"
        "<input type=\"submit\" value=\"Sign in\"></form></body></html>\r\n";
    EXPECT_EQ(1, Page(page));
    EXPECT_EQ(0, Page(page.replace(page.find("type=\"password\""), 15, "type=\"hidden\"  ")));
}

}  // namespace
