// Match, the sign-in page scan and the sign-in form test: cases and pages
// (pages/), then random texts and pages of the hard shapes against a plain
// search, a plain tag-by-tag walk and a plain tokenizer, each written from
// the behaviour; the allocations failed in turn.
#include <gtest/gtest.h>
#include <locale.h>
#include <rolm/http.h>

#include <charconv>
#include <random>
#include <utility>

#include "faults.h"
#include "scripted_server.h"

using namespace rolm_test;
using Offsets = std::vector<UINT>;
static const UINT kAll = 0xFFFFFFFF;

// Both forms (with lengths when sourceLength is given). The array and its count agree.
static Offsets Search(const wchar_t* source, const wchar_t* find, BOOL ignoreCase, UINT maxCount,
                      UINT sourceLength = 0, UINT findLength = 0) {
    UINT count = 0xDEAD, *offsets = reinterpret_cast<UINT*>(1);
    EXPECT_EQ(0u, sourceLength == 0
                      ? Match(source, find, &offsets, &count, ignoreCase, maxCount, FALSE)
                      : Match(source, sourceLength, find, findLength, &offsets, &count, ignoreCase, maxCount, FALSE));
    EXPECT_EQ(offsets == nullptr, count == 0) << "a null array comes with a count of 0";
    Offsets out(offsets, offsets + (offsets ? count : 0));
    free(offsets);
    return out;
}

// The plain search: left to right, a match skips its length; compares stop at a zero both texts share.
static Offsets Reference(const std::wstring& s, const std::wstring& f, bool ignoreCase, UINT maxCount) {
    Offsets out;
    for (size_t p = 0; p + f.size() <= s.size() && out.size() < maxCount && !f.empty(); ++p)
        if ((ignoreCase ? _wcsnicmp(s.data() + p, f.data(), f.size()) : wcsncmp(s.data() + p, f.data(), f.size())) == 0)
            out.push_back(static_cast<UINT>(p)), p += f.size() - 1;
    return out;
}

static const size_t kNone = std::string::npos;

// The plain walk: each tag of 19 to 199 bytes gets its ">" zeroed and is
// tested alone, from the right: the type value (its first place), then
// exactly one "=", one "type" and one "input" in front of what was found.
static BOOL ReferencePage(char* page) {
    for (size_t i = 0, open = kNone; page[i] != '\0'; ++i) {
        if (page[i] == '<') open = i;
        const int span = page[i] == '>' && open != kNone ? static_cast<int>(i - std::exchange(open, kNone)) : 0;
        if (span < 20 || span > 200) continue;
        page[i] = '\0';
        std::wstring tag(span, L'\0');
        tag.resize(::MultiByteToWideChar(CP_ACP, 0, page + i - span + 1, span - 1, &tag[0], span));
        bool found = true;
        for (const wchar_t* word : {L"password", L"=", L"type", L"input"}) {  // once each, but the value
            const Offsets at = Reference(tag, word, true, kAll);
            found = found && !at.empty() && (at.size() == 1 || word[0] == L'p') && (tag.resize(at[0]), true);
        }
        if (found) return TRUE;
    }
    return FALSE;
}

// The plain tokenizer: a browser's reading of tags, comments and text
// elements, one at a time; true at the end of an input tag whose first type
// attribute, its numeric references decoded, is password in any case. What
// never ends hides the rest of the page.
static BOOL ReferenceForm(const std::string& page) {
    std::string low = page;  // names, values and references in any case
    for (char& c : low) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    const auto letter = [&](size_t at) { return at < low.size() && low[at] >= 'a' && low[at] <= 'z'; };
    const auto any = [&](size_t at, const char* set) { return at < low.size() && low[at] && strchr(set, low[at]); };
    const std::string text = " script style xmp iframe noembed noframes textarea title ";
    for (size_t i = low.find('<'); i != kNone; i = low.find('<', i)) {
        const bool end = low.compare(i + 1, 1, "/") == 0, comment = low.compare(i, 4, "<!--") == 0;
        for (size_t from = i + 4; comment && (i = low.find('>', i + 1)) != kNone;)  // "-->", "--!>", "<!-->", "<!--->"
            if (low.compare(i - 2, 2, "--") == 0 || (i >= from + 3 && low.compare(i - 3, 3, "--!") == 0)) break;
        if (!comment && (any(i + 1, "!?") || (end && !letter(i + 2)))) i = low.find('>', i);  // a bogus comment
        if (i == kNone || low[i] == '>' || !letter(i + 1 + end)) {
            i += i != kNone;
            continue;
        }
        size_t at = low.find_first_of(" \t\n\r\f/>", i + 1 + end);
        const std::string name = low.substr(i + 1 + end, at - i - 1 - end);
        std::string type;
        bool typed = false;
        while ((at = low.find_first_not_of(" \t\n\r\f/", at)) != kNone && low[at] != '>') {
            const size_t equals = low.find_first_of(" \t\n\r\f/=>", at + 1);
            const std::string attr = low.substr(at, equals - at);
            std::string value;
            at = low.find_first_not_of(" \t\n\r\f", equals);
            if (at != kNone && low[at] == '=' && (at = low.find_first_not_of(" \t\n\r\f", at + 1)) != kNone) {
                const bool quoted = any(at, "\"'");
                const size_t close = quoted ? low.find(low[at], at + 1) : low.find_first_of(" \t\n\r\f>", at);
                value = low.substr(at + quoted, close - at - quoted);
                at = close + (quoted && close != kNone);
            }
            if (attr != "type" || std::exchange(typed, true)) continue;
            for (size_t k = 0; k < value.size(); ++k) {  // each numeric reference becomes its letter, or a '?'
                const bool reference = value.compare(k, 2, "&#") == 0, hex = reference && value[k + 2] == 'x';
                const char* digits = value.data() + (reference ? k + 2 + hex : k);
                unsigned long code = 0;  // too many digits: no letter
                const char* stop = std::from_chars(digits, value.data() + value.size(), code, hex ? 16 : 10).ptr;
                if (!reference || stop == digits) {
                    type += value[k];
                    continue;
                }
                type += code < 128 && isalpha(static_cast<int>(code)) ? static_cast<char>(code | 0x20) : '?';
                k = static_cast<size_t>(stop - value.data()) - (*stop != ';');
            }
        }
        if (at == kNone) return FALSE;
        if (!end && name == "input" && type == "password") return TRUE;
        if (!end && name == "plaintext") return FALSE;
        i = at + 1;
        if (end || text.find(" " + name + " ") == std::string::npos) continue;
        for (i = low.find("</" + name, i); i != kNone && !any(i + 2 + name.size(), " \t\n\r\f/>");)
            i = low.find("</" + name, i + 1);
    }
    return FALSE;
}

TEST(MatchAndPage, Cases) {
    // What the random texts below never give: an empty or missing text matches nowhere.
    const wchar_t* const nowhere[][2] = {{L"abab", L""}, {nullptr, L"ab"}, {L"abab", nullptr}};
    for (const auto& c : nowhere)
        EXPECT_EQ(Offsets(), Search(c[0], c[1], FALSE, kAll)) << (c[0] ? c[0] : L"-") << " " << (c[1] ? c[1] : L"-");
    const std::string min = "input type=password", tag = "input" + std::string(300, ' ') + "type=password";
    EXPECT_FALSE(IsAuthenticationPage(nullptr) || IsInputTagOfType(nullptr, L"password") ||
                 IsInputTagOfType(min.c_str(), L"") || IsInputTagOfType(min.c_str(), nullptr));
    UINT count = 7, *offsets = reinterpret_cast<UINT*>(1);
    TraceLog::Get().Clear();
    EXPECT_EQ(87u, Match(L"ab", L"a", nullptr, &count, FALSE, 1, TRUE));
    EXPECT_EQ(87u, Match(L"ab", 2, L"a", 1, &offsets, nullptr, FALSE, 1, TRUE));
    EXPECT_TRUE(offsets == reinterpret_cast<UINT*>(1) && count == 7) << "slots written";
    ASSERT_EQ(0u, Match(L"aaaaaa", 6, L"aax", 2, &offsets, &count, TRUE, kAll, TRUE));  // shown as far as searched
    free(offsets);
    EXPECT_TRUE(LinesFit(Cases("match traced")[0].lines, TraceLog::Get().Take()));
    const std::wstring blanks(300, L' ');  // 300 entries: the working array comes from the heap
    Faults faults;
    TortureTable(faults, 8, Failures("match torture"), [&] {
        const DWORD result = Match(blanks.c_str(), L" ", &offsets, &count, FALSE, kAll, TRUE);
        const bool agree = (offsets == nullptr) == (count == 0);
        free(offsets);
        EXPECT_TRUE(agree) << "a null array comes with a count of 0";
        return Outcome{result, count};
    });
    TortureTable(faults, 8, Failures("tag torture"), [&] {
        return Outcome{static_cast<DWORD>(IsInputTagOfType(tag.c_str(), L"password")), 0};
    });
    EXPECT_FALSE(IsSignInForm(nullptr, 5) || IsSignInForm("<input type=password>", 20));
}

static BOOL WINAPI NoSse2(DWORD) { return FALSE; }

// The shapes of http_test.cases for the page scan and the form test, each
// page at every place of a 16-byte block, read 16 bytes at a time and,
// without SSE2, one at a time. Then random pages, and texts: runs of
// one character or of a short unit, with pieces and copies of the find text,
// over case pairs, a zero and characters sharing a low byte (0x0161, 0x2C61
// with 'a'), past 254 matches; 8 positions at a time and (without SSE2) one
// at a time. Both in the C locale and the code page's own; ROLM_TEST_ACP
// names the ANSI code page LANG sets.
TEST(MatchAndPage, ShapesAndRandomTextsAndPagesAgreeWithThePlainAlgorithms) {
    ASSERT_EQ(getenv("ROLM_TEST_ACP") ? strtoul(getenv("ROLM_TEST_ACP"), nullptr, 10) : GetACP(), GetACP());
    const std::vector<Case> shapes = Cases("shapes");
    const std::wstring letters(L"aAbB\0\x00E9\x00C9\x0434\x0414\x03A3\x03C3\x00DF\x0130\x0161\x2C61", 15);
    std::mt19937 random(20261205);
    const auto text = [&](size_t units, size_t kinds, std::wstring t = L"") {
        for (std::wstring unit; units-- > 0; unit.clear()) {
            for (size_t n = 1 + random() % 3; n-- > 0;) unit += letters[random() % kinds];
            for (size_t n = random() % (random() % 2 ? 4 : 100); n-- > 0;) t += unit;
        }
        return t;
    };
    std::vector<std::string> pieces;
    for (const std::wstring& piece : Cases("form pieces")[0].lines) pieces.push_back(http_test::Expand(Utf8(piece)));
    int found = 0, forms = 0;
    std::unique_ptr<ImportPatch> bytes;
    for (int round = 0; round < 60000; ++round) {
        if (round % 400 == 0) setlocale(LC_ALL, round % 800 ? "" : "C");
        if (round == 30000) bytes.reset(new ImportPatch("kernel32.dll", "IsProcessorFeaturePresent", (void*)&NoSse2));
        for (size_t shape = 0; round % 30000 == 0 && shape < shapes.size() * 16; ++shape) {
            const Case& c = shapes[shape / 16];
            const std::string file = ROLM_TEST_DATA "/pages/" + c.Get("file");
            std::string page(shape % 16, ' ');
            page += c.Get("file").empty() ? http_test::Expand(c.Get("text")) : ReadFileBytes(Widen(file));
            const std::string where = c.source + (round ? ", no SSE2, " : ", ") + std::to_string(shape % 16);
            EXPECT_TRUE(c.Get("form").empty() || c.Number("form") == DWORD(IsSignInForm(page.data(), page.size())))
                << where;
            EXPECT_TRUE(c.Get("page").empty() || c.Number("page") == DWORD(IsAuthenticationPage(&page[0]))) << where;
        }
        std::string page(random() % 16, "<>w-"[random() % 4]), reference;  // the page starts after these
        const size_t start = page.size();
        for (size_t n = random() % 30; n-- > 0;)  // and runs of blanks, or now and then of zero bytes
            page += random() % 8 ? pieces[random() % pieces.size()]
                                 : std::string(random() % 200, random() % 4 ? ' ' : '\0');
        const std::string whole = page.substr(start);
        ASSERT_EQ(ReferenceForm(whole), IsSignInForm(whole.data(), whole.size())) << "round " << round << ": " << whole;
        forms += ReferenceForm(whole);
        const BOOL expected = ReferencePage(&(reference = page)[start]);
        ASSERT_EQ(expected, IsAuthenticationPage(&page[start])) << "round " << round << ": " << page;
        ASSERT_EQ(reference, page) << "round " << round << ": the tested tags' '>' zeroed, the rest as it was";
        found += expected;
        if (round % 3 != 0) continue;  // one Match comparison to three pages
        const size_t kinds = 2 + random() % (letters.size() - 1);
        std::wstring source = text(random() % 8, kinds);
        const std::wstring find = text(random() % 3, kinds, {letters[random() % kinds]}).substr(0, 1 + random() % 200);
        for (size_t n = random() % 12; n-- > 0;) {  // near misses at every shift, and copies, some spoilt
            const size_t at = random() % (source.size() + 1), from = random() % find.size();
            std::wstring piece = random() % 2 ? find : find.substr(from, 1 + random() % (find.size() - from));
            if (random() % 3 == 0) piece[random() % piece.size()] = letters[random() % kinds];
            source.insert(at, piece);
        }
        const UINT maxCount = random() % 4 == 0 ? static_cast<UINT>(random() % 5) : kAll;
        ASSERT_EQ(Reference(source, find, round % 2 == 0, maxCount),
                  Search(source.data(), find.data(), round % 2 == 0, maxCount, static_cast<UINT>(source.size()),
                         static_cast<UINT>(find.size())))
            << "round " << round;
    }
    setlocale(LC_ALL, "C");
    EXPECT_TRUE(found > 300 && forms > 300) << found << " sign-in pages, " << forms << " forms: too few to tell";
}
