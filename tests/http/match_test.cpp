// Match, the sign-in page scan and the sign-in form test: hand-picked cases
// and pages, then random ones of the hard shapes against plain references
// written from the behaviour; the allocations failed in turn.
#include <gtest/gtest.h>
#include <locale.h>
#include <rolm/http.h>

#include <algorithm>
#include <random>

#include "faults.h"
#include "support.h"

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

// The plain tag test, from the right: the type value (its first place), then
// exactly one "=", one "type" and one "input" in front of what was found.
static BOOL ReferenceTag(const std::string& tag) {
    std::wstring text(tag.size(), L'\0');
    text.resize(::MultiByteToWideChar(CP_ACP, 0, tag.data(), static_cast<int>(tag.size()), &text[0],
                                      static_cast<int>(text.size())));
    const struct { const wchar_t* word; bool ignoreCase, once; } steps[] = {
        {L"password", true, false}, {L"=", false, true}, {L"type", true, true}, {L"input", true, true}};
    for (const auto& step : steps) {
        const Offsets found = Reference(text, step.word, step.ignoreCase, kAll);
        if (found.empty() || (step.once && found.size() != 1)) return FALSE;
        text.resize(found[0]);
    }
    return TRUE;
}

// The plain walk: each tag of 19 to 199 bytes gets its ">" zeroed and is tested alone.
static BOOL ReferencePage(char* page) {
    for (size_t i = 0, open = std::string::npos; page[i] != '\0'; ++i) {
        if (page[i] == '<') open = i;
        const size_t span = page[i] == '>' && open != std::string::npos ? i - std::exchange(open, std::string::npos) : 0;
        if (span >= 20 && span <= 200 && (page[i] = '\0', ReferenceTag(page + i - span + 1))) return TRUE;
    }
    return FALSE;
}

// The plain tokenizer: a browser's states, one byte at a time; true at the
// end of an input tag whose first type attribute reads password once its
// numeric references are decoded.
static BOOL ReferenceForm(const std::string& page) {
    enum { kData, kOpen, kEndOpen, kName, kBeforeAttr, kAttr, kAfterAttr, kBeforeValue, kValue, kComment, kBogus,
           kText } state = kData;
    const std::string texts = " script style xmp iframe noembed noframes textarea title ";
    std::string name, attr, value, type, ends;  // ends: the element whose end tag ends the text
    bool endTag = false, typeSeen = false;
    char quote = 0;
    size_t comment = 0;
    const auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
    const auto attribute = [&] {  // each numeric reference becomes its letter, or a '?'
        if (attr != "type" || std::exchange(typeSeen, true)) return;
        for (size_t j = 0; j < value.size(); ++j) {
            const bool reference = value.compare(j, 2, "&#") == 0;
            const bool hex = reference && j + 2 < value.size() && (value[j + 2] | 0x20) == 'x';
            size_t end = j + 2 + hex;
            unsigned long code = 0;
            for (int c; reference && end < value.size() && strchr(hex ? "0123456789abcdefABCDEF" : "0123456789",
                                                                  c = value[end]) && c; ++end)
                code = std::min(code * (hex ? 16 : 10) + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10), 0x110000ul);
            if (end == j + 2 + hex) {
                type += lower(value[j]);
                continue;
            }
            type += code < 128 && isalpha(static_cast<int>(code)) ? lower(static_cast<char>(code)) : '?';
            j = end < value.size() && value[end] == ';' ? end : end - 1;
        }
    };
    for (size_t i = 0; i < page.size(); ++i) {
        const char c = page[i];
        const bool space = c != 0 && strchr(" \t\n\r\f", c), letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
        if (c == '>' && state >= kName && state <= kValue && !(state == kValue && quote)) {
            if (state >= kAttr) attribute();
            if (endTag) state = kData;
            else if (name == "input" && type == "password") return TRUE;
            else if (name == "plaintext") return FALSE;
            else state = texts.find(" " + (ends = name) + " ") != std::string::npos ? kText : kData;
            continue;
        }
        switch (state) {
        case kData: if (c == '<') state = kOpen; break;
        case kOpen:
            if (c == '!' && page.compare(i + 1, 2, "--") == 0) state = kComment, i += 2, comment = i + 1;
            else if (c == '!' || c == '?') state = kBogus;
            else if (c == '/') state = kEndOpen;
            else if (letter) state = kName, name = lower(c), endTag = typeSeen = false, type.clear();
            else state = kData, --i;
            break;
        case kEndOpen:
            if (letter) state = kName, name = lower(c), endTag = true;
            else state = c == '>' ? kData : kBogus;
            break;
        case kName: if (space || c == '/') state = kBeforeAttr; else name += lower(c); break;
        case kBeforeAttr: if (!space && c != '/') state = kAttr, attr = lower(c), value.clear(); break;
        case kAttr:
            if (space) state = kAfterAttr;
            else if (c == '/') attribute(), state = kBeforeAttr;
            else if (c == '=') state = kBeforeValue;
            else attr += lower(c);
            break;
        case kAfterAttr:
            if (c == '=') state = kBeforeValue;
            else if (!space) attribute(), state = c == '/' ? kBeforeAttr : kAttr, attr = lower(c), value.clear();
            break;
        case kBeforeValue:
            if (!space) state = kValue, quote = c == '"' || c == '\'' ? c : 0, value = quote ? "" : std::string(1, c);
            break;
        case kValue:
            if (quote ? c == quote : space) attribute(), state = kBeforeAttr;
            else value += c;
            break;
        case kComment:  // "<!-->", "<!--->", then "-->" or "--!>"
            if (c == '>' && (i == comment || (i == comment + 1 && page[i - 1] == '-') ||
                             (i >= comment + 2 && page.compare(i - 2, 2, "--") == 0) ||
                             (i >= comment + 3 && page.compare(i - 3, 3, "--!") == 0)))
                state = kData;
            break;
        case kBogus: if (c == '>') state = kData; break;
        case kText:
            if (c == '<' && i + ends.size() + 2 < page.size() && page[i + 1] == '/' &&
                strchr(" \t\n\r\f/>", page[i + ends.size() + 2]) && page[i + ends.size() + 2]) {
                std::string tail = page.substr(i + 2, ends.size());
                std::transform(tail.begin(), tail.end(), tail.begin(), lower);
                if (tail == ends) state = kName, name = ends, endTag = true, i += ends.size() + 1;
            }
            break;
        }
    }
    return FALSE;
}

TEST(MatchAndPage, Cases) {
    const struct { const wchar_t *source, *find; BOOL ignoreCase; UINT maxCount; Offsets expected; } cases[] = {
        {L"aaaa", L"aa", FALSE, kAll, {0, 2}}, {L"abcABC", L"abc", TRUE, kAll, {0, 3}},
        {L"abcABC", L"abc", FALSE, kAll, {0}}, {L"abab", L"ab", FALSE, 1, {0}}, {L"abab", L"ab", FALSE, 2, {0, 2}},
        {L"ab", L"ab", FALSE, kAll, {0}}, {L"a", L"ab", FALSE, kAll, {}}, {L"abab", L"", FALSE, kAll, {}},
        {nullptr, L"ab", FALSE, kAll, {}}, {L"abab", nullptr, FALSE, kAll, {}}, {L"abab", L"ab", FALSE, 0, {}},
        {L"aaaaaaaaaaaaabaaaaaaaaaaaaaaa", L"aaaaaaabaaaaaaaa", FALSE, kAll, {6}}};  // after many near misses
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, Search(c.source, c.find, c.ignoreCase, c.maxCount)) << (c.source ? c.source : L"-");
    const std::string min = "input type=password";  // 19 bytes: the shortest tested span
    const struct { std::string page; BOOL expected; } pages[] = {
        {"<input type='password' name='pw'>", 1}, {"<INPUT TYPE=PASSWORD x>", 1}, {"<" + min + ">", 1},
        {"<input name='pw' type='password'>", 0}, {"<input id='password' name='pw'>", 0},
        {"<input type='text' value='password'>", 0}, {"<select type='password' name='x'>", 0},
        {"<input input type='password' x>", 0}, {"<" + min + std::string(180, ' ') + ">", 1},
        {"<" + min + std::string(181, ' ') + ">", 0}, {"<<" + min + ">", 1}, {"<" + min + " <b>", 0}};
    for (const auto& c : pages) EXPECT_EQ(c.expected, IsAuthenticationPage(&std::string(c.page)[0])) << c.page;
    std::string page = "<a title='no password here'>x<b><" + min + ">y";  // the tested tags' ">" zeroed, also at 0
    EXPECT_TRUE(IsAuthenticationPage(&page[0]));
    EXPECT_EQ("<a title='no password here'" + std::string(1, '\0') + "x<b><" + min + '\0' + "y", page);
    const std::string tag = "input" + std::string(300, ' ') + "type=password";  // searched in heap arrays
    EXPECT_TRUE(!IsAuthenticationPage(nullptr) && !IsInputTagOfType(nullptr, L"password") &&
                !IsInputTagOfType(min.c_str(), L"") && !IsInputTagOfType(min.c_str(), nullptr) &&
                IsInputTagOfType(tag.c_str(), L"password"));
    UINT count = 7, *offsets = reinterpret_cast<UINT*>(1);
    TraceLog::Get().Clear();
    EXPECT_EQ(87u, Match(L"ab", L"a", nullptr, &count, FALSE, 1, TRUE));
    EXPECT_EQ(87u, Match(L"ab", 2, L"a", 1, &offsets, nullptr, FALSE, 1, TRUE));
    EXPECT_TRUE(offsets == reinterpret_cast<UINT*>(1) && count == 7) << "slots written";
    ASSERT_EQ(0u, Match(L"aaaaaa", 6, L"aax", 2, &offsets, &count, TRUE, kAll, TRUE));  // shown as far as searched
    free(offsets);
    EXPECT_TRUE(LinesFit({L"Match > returns ERROR_INVALID_PARAMETER", L"Match > is called with lpszSource == (ab), lpszFind == (a)",
        L"Match > and fIgnoreCase == (0), uiMaxCount == (00000001)", L"Match > returns the error code == 87",
        L"Match > is called with lpszSource == (aaaaaa), lpszFind == (aa)",
        L"Match > and fIgnoreCase == (1), uiMaxCount == (FFFFFFFF)", L"Match > number of matches == 3",
        L"Match > offset of the 1th match == 0", L"Match > offset of the 2th match == 2",
        L"Match > offset of the 3th match == 4", L"Match > returns the error code == 0"}, TraceLog::Get().Take()));
    const std::wstring blanks(300, L' ');  // 300 entries: the working array comes from the heap
    Faults faults;
    TortureTable(faults, 8, {{"malloc#1", 1001, 0, L"Match > returns the error code == 1001"},
                             {"malloc#2", 8, 0, L"Match > returns the error code == 8"}}, [&] {
        const DWORD result = Match(blanks.c_str(), L" ", &offsets, &count, FALSE, kAll, TRUE);
        const bool agree = (offsets == nullptr) == (count == 0);
        free(offsets);
        EXPECT_TRUE(agree) << "a null array comes with a count of 0";
        return Outcome{result, count};
    });
    TortureTable(faults, 8, {{"malloc", FALSE, 0, L""}}, [&] {
        return Outcome{static_cast<DWORD>(IsInputTagOfType(tag.c_str(), L"password")), 0};
    });
}

// Tag shapes a browser reads as a password input or not, then pages of the
// kinds that ask for one (signin-*.html) and that don't (plain-*.html).
TEST(SignInForm, TagShapesAndPages) {
    const std::string pw = "<input type=password>", many = std::string(100000, ' ') + "data-x='>' ";
    const struct { std::string page; BOOL expected; } cases[] = {
        {pw, 1}, {"<INPUT TYPE=\"PassWord\">", 1}, {"<input name='pw' id=x type='password'>", 1},
        {"<input/type=password />", 1}, {"<input type=password/>", 0}, {"<input\n\tclass = \"a b\"\r\n type\f=\n'password' >", 1},
        {"<input type=\"pass&#119;ord\">", 1}, {"<input type=&#X70;assword>", 1}, {"<input type='&#112assword'>", 1},
        {"<input type='&#0000112;assword'>", 1}, {"<input " + many + "type=password>", 1}, {"<input type=\"password \">", 0},
        {"<input type=text type=password>", 0}, {"<input type=&quot;password&quot;>", 0},
        {"<input type=pass\0word>" + std::string(1, '\0'), 0}, {std::string("\0", 1) + pw, 1}, {"<input type=password", 0},
        {"<input type='password>", 0}, {"<inputs type=password>", 0}, {"< input type=password>", 0},
        {"</input type=password>", 0}, {"<a title='" + pw + "'>", 0}, {"<input value=password>", 0},
        {"<input typepassword>", 0}, {"<!-- " + pw + " -->", 0}, {"<!-->" + pw, 1}, {"<!--->" + pw, 1},
        {"<!-- --!>" + pw, 1}, {"<!-- -- >" + pw, 0}, {"<!doctype html>" + pw, 1}, {"<?xml version='1.0'?>" + pw, 1},
        {"</ x>" + pw, 1}, {"</>" + pw, 1}, {"<3 " + pw, 1}, {"<script>'" + pw + "'</script>", 0},
        {"<SCRIPT>x</Script >" + pw, 1}, {"<script>'</scripts>" + pw + "'</script>", 0},
        {"<script></script foo='>" + pw + "'>", 0}, {"<style>" + pw + "</style>", 0}, {"<textarea>" + pw + "</textarea>", 0},
        {"<title>" + pw + "</title>" + pw, 1}, {"<iframe>" + pw, 0}, {"<plaintext>" + pw, 0},
        {"<noscript>" + pw + "</noscript>", 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, IsSignInForm(c.page.data(), c.page.size())) << c.page.substr(0, 60);
        EXPECT_EQ(c.expected, ReferenceForm(c.page)) << "reference: " << c.page.substr(0, 60);
    }
    EXPECT_FALSE(IsSignInForm(nullptr, 5) || IsSignInForm(pw.data(), pw.size() - 1));
    int pages = 0;
    WIN32_FIND_DATAA found;
    const std::string folder = ROLM_TEST_PAGES "/";
    const HANDLE find = ::FindFirstFileA((folder + "*.html").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileA(find, &found), ++pages) {
        const std::string page = ReadFileBytes(Widen(folder + found.cFileName));
        EXPECT_EQ(found.cFileName[0] == 's', IsSignInForm(page.data(), page.size())) << found.cFileName;
    }
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
    EXPECT_EQ(16, pages);
}

static BOOL WINAPI NoSse2(DWORD) { return FALSE; }

// Pages at every alignment, 16 bytes at a time and (without SSE2) one at a
// time; the same pages whole for the form test. Match: runs of one character
// or of a short unit, with pieces and copies of the find text, over case
// pairs, a zero and characters sharing a low byte (0x0161, 0x2C61 with 'a'),
// past 254 matches. Both in the C locale and the code page's own;
// ROLM_TEST_ACP names the ANSI code page LANG sets.
TEST(MatchAndPage, AgreeWithThePlainAlgorithms) {
    ASSERT_EQ(getenv("ROLM_TEST_ACP") ? strtoul(getenv("ROLM_TEST_ACP"), nullptr, 10) : GetACP(), GetACP());
    const std::wstring letters(L"aAbB\0\x00E9\x00C9\x0434\x0414\x03A3\x03C3\x00DF\x0130\x0161\x2C61", 15);
    const char* pieces[] = {"<", ">", "<input ", "type", "TyPe", "=", "=password", "PassWord", "passw0rd", "pASSWORD",
                            "Wpassword", "w", "W", "\x81", "\xC0\xE9", "\x82\x60", "\x83w", "\xFF", "\xC9\xF8\xFE", "'",
                            " ", "x", "<input type=password", "<INPUT TYPE='PassWord'", "\"", "/", "\n", "\f", "<!--",
                            "-->", "--!>", "-", "!", "<!", "<?", "</", "&#112;", "&#X50", "&#x", "&#0", "<a ",
                            "<script>", "</script>", "</SCRIPT ", "<style>", "</style>", "<textarea>", "</textarea>",
                            "<title x=\">", "</title>", "<plaintext>", "<noscript>", "name=p ", " type =", "password>",
                            "<input/"};
    std::mt19937 random(20261205);
    const auto text = [&](size_t units, size_t kinds, std::wstring t = L"") {
        for (std::wstring unit; units-- > 0; unit.clear()) {
            for (size_t n = 1 + random() % 3; n-- > 0;) unit += letters[random() % kinds];
            for (size_t n = random() % (random() % 2 ? 4 : 100); n-- > 0;) t += unit;
        }
        return t;
    };
    int found = 0, forms = 0;
    std::unique_ptr<ImportPatch> bytes;
    for (int round = 0; round < 120000; ++round) {
        if (round % 1000 == 0) setlocale(LC_ALL, round % 2000 ? "" : "C");
        if (round == 60000) bytes.reset(new ImportPatch("kernel32.dll", "IsProcessorFeaturePresent", (void*)&NoSse2));
        std::string page(random() % 16, "<>w-"[random() % 4]), reference;  // the page starts after these
        const size_t start = page.size();
        for (size_t n = random() % 30; n-- > 0;)  // and runs of blanks, or now and then of zero bytes
            page += random() % 8 ? pieces[random() % std::size(pieces)] : std::string(random() % 200, random() % 4 ? ' ' : '\0');
        const std::string whole = page.substr(start);
        ASSERT_EQ(ReferenceForm(whole), IsSignInForm(whole.data(), whole.size())) << "round " << round << ": " << whole;
        forms += ReferenceForm(whole);
        const BOOL expected = ReferencePage(&(reference = page)[start]);
        ASSERT_EQ(expected, IsAuthenticationPage(&page[start])) << "round " << round << ": " << reference;
        ASSERT_EQ(reference, page) << "round " << round << ": the tested tags' > zeroed";
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
        ASSERT_EQ(Reference(source, find, round % 6 == 0, maxCount),
                  Search(source.data(), find.data(), round % 6 == 0, maxCount, static_cast<UINT>(source.size()),
                         static_cast<UINT>(find.size())))
            << "round " << round;
    }
    setlocale(LC_ALL, "C");
    EXPECT_TRUE(found > 1000 && forms > 1000 && bytes->patched()) << found << " pages, " << forms << " forms";
}
