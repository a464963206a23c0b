// Recognition of a sign-in form by its password input, the page's tags read
// as a browser's tokenizer reads them.
#include <rolm/http.h>
#include <stddef.h>

#include "http/sse2.h"

namespace {

// The bytes that end the runs a page is made of.
enum : unsigned {
    kSpace = 1,  // space, tab, line feed, form feed, carriage return
    kSlash = 2,
    kGreater = 4,
    kEquals = 8,
    kDoubleQuote = 16,
    kSingleQuote = 32,
    kLess = 64,
    kClassCount = 7
};

struct ByteClasses {
    unsigned char of[256];
    constexpr ByteClasses() : of() {
        for (int i = 0; i < 5; ++i) Set(" \t\n\r\f"[i], kSpace);
        Set('/', kSlash);
        Set('>', kGreater);
        Set('=', kEquals);
        Set('"', kDoubleQuote);
        Set('\'', kSingleQuote);
        Set('<', kLess);
    }
    constexpr void Set(char c, unsigned classes) {
        of[static_cast<unsigned char>(c)] = static_cast<unsigned char>(classes);
    }
};
constexpr ByteClasses kClasses;

bool Is(char c, unsigned classes) { return (kClasses.of[static_cast<unsigned char>(c)] & classes) != 0; }

#ifdef ROLM_SSE2
ROLM_SSE2_CODE inline __m128i Equal(const __m128i& v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }

// The first byte at or after at of one of the classes (kOutside: of none
// of them), or end, sixteen bytes at a time. The loads are aligned, so they
// never reach into a memory page past the one holding the last byte.
template <unsigned kOf, bool kOutside>
ROLM_SSE2_CODE const char* FindBlocks(const char* at, const char* end) {
    const char* block = reinterpret_cast<const char*>(reinterpret_cast<size_t>(at) & ~size_t(15));
    for (unsigned before = (1u << (at - block)) - 1; block < end; block += 16, before = 0) {
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
        __m128i in = _mm_setzero_si128();
        if constexpr ((kOf & kSpace) != 0) {
            const __m128i tab = _mm_or_si128(Equal(v, '\t'), Equal(v, '\n'));
            in = _mm_or_si128(_mm_or_si128(Equal(v, ' '), tab), _mm_or_si128(Equal(v, '\f'), Equal(v, '\r')));
        }
        if constexpr ((kOf & kSlash) != 0) in = _mm_or_si128(in, Equal(v, '/'));
        if constexpr ((kOf & kGreater) != 0) in = _mm_or_si128(in, Equal(v, '>'));
        if constexpr ((kOf & kEquals) != 0) in = _mm_or_si128(in, Equal(v, '='));
        if constexpr ((kOf & kDoubleQuote) != 0) in = _mm_or_si128(in, Equal(v, '"'));
        if constexpr ((kOf & kSingleQuote) != 0) in = _mm_or_si128(in, Equal(v, '\''));
        if constexpr ((kOf & kLess) != 0) in = _mm_or_si128(in, Equal(v, '<'));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(in));
        const unsigned found = (kOutside ? ~mask & 0xFFFFu : mask) & ~before;
        if (found != 0) {
            at = block + rolm::LowestBit(found);
            return at < end ? at : end;
        }
    }
    return end;
}
#endif

// Finds the ends of the runs a page is made of. Most runs in a tag are a few
// bytes long: the first bytes are looked at one at a time, the rest sixteen
// at a time where SSE2 runs.
class Scanner {
public:
    explicit Scanner(const char* end) : end_(end) {
#ifdef ROLM_SSE2
        blocks_ = ::IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
#endif
    }
    const char* end() const { return end_; }

    // The first byte at or after at of one of the classes, or the end.
    template <unsigned kOf>
    const char* Until(const char* at) {
        return Find<kOf, false>(at);
    }
    // The first byte at or after at of none of the classes, or the end.
    template <unsigned kOf>
    const char* Past(const char* at) {
        return Find<kOf, true>(at);
    }

private:
    template <unsigned kOf, bool kOutside>
    const char* Find(const char* at) {
        const char* first = end_ - at > kFirst ? at + kFirst : end_;
        for (; at < first; ++at)
            if (Is(*at, kOf) != kOutside) return at;
#ifdef ROLM_SSE2
        if (blocks_) return FindBlocks<kOf, kOutside>(at, end_);
#endif
        while (at < end_ && Is(*at, kOf) == kOutside) ++at;
        return at;
    }

    static const ptrdiff_t kFirst = 8;
    const char* end_;
    bool blocks_ = false;
};

bool IsLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
unsigned Lower(unsigned c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; }

// A lower-case ASCII word and its length.
struct Word {
    const char* text;
    size_t length;
};
template <size_t N>
constexpr Word MakeWord(const char (&text)[N]) {
    return {text, N - 1};
}

// Whether [begin, end) is the word, case ignored.
bool Spells(const char* begin, const char* end, Word word) {
    if (static_cast<size_t>(end - begin) != word.length) return false;
    for (size_t i = 0; i < word.length; ++i)
        if (Lower(static_cast<unsigned char>(begin[i])) != static_cast<unsigned char>(word.text[i])) return false;
    return true;
}

const Word kInput = MakeWord("input"), kType = MakeWord("type"), kPlaintext = MakeWord("plaintext");
// Elements whose content is text up to their own end tag.
const Word kTextElements[] = {MakeWord("script"),  MakeWord("style"),    MakeWord("xmp"),      MakeWord("iframe"),
                              MakeWord("noembed"), MakeWord("noframes"), MakeWord("textarea"), MakeWord("title")};

// The character a numeric reference at text ("&#..." or "&#x...", the ";"
// optional) stands for, and the text after it; 0 when there is no digit
// (the "&" is then itself). Characters above U+10FFFF count as U+FFFD.
unsigned NumericReference(const char* text, const char* end, const char** after) {
    const char* at = text + 2;
    const bool hex = at < end && (*at | 0x20) == 'x';
    at += hex;
    const char* digits = at;
    unsigned value = 0;
    for (; at < end; ++at) {
        const unsigned c = static_cast<unsigned char>(*at);
        unsigned digit = c - '0';
        if (hex && digit > 9) digit = (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : 16;
        if (digit >= (hex ? 16u : 10u)) break;
        value = value > 0x10FFFF ? value : value * (hex ? 16 : 10) + digit;
    }
    if (at == digits) return 0;
    *after = at < end && *at == ';' ? at + 1 : at;
    return value > 0x10FFFF || value == 0 ? 0xFFFD : value;
}

// Whether an attribute value reads "password", case ignored, once its
// numeric references are decoded. (No named reference stands for a letter.)
bool ReadsPassword(const char* at, const char* end) {
    const char kWord[] = "password";
    size_t matched = 0;
    while (at < end) {
        unsigned c = static_cast<unsigned char>(*at);
        const char* next = at + 1;
        if (c == '&' && next < end && *next == '#') {
            const unsigned referenced = NumericReference(at, end, &next);
            if (referenced != 0) c = referenced;
            else next = at + 1;
        }
        if (matched == 8 || Lower(c) != static_cast<unsigned char>(kWord[matched])) return false;
        ++matched;
        at = next;
    }
    return matched == 8;
}

// One tag from the first letter of its name to its ">", as the tokenizer's
// tag, attribute name and attribute value states read it.
struct Tag {
    const char* name;
    const char* nameEnd;
    const char* end = nullptr;  // after the ">"; null when the page ends inside the tag
    bool typeSeen = false;
    bool typePassword = false;
};

Tag ReadTag(Scanner& scan, const char* at) {
    const char* end = scan.end();
    Tag tag;
    tag.name = at;
    at = tag.nameEnd = scan.Until<kSpace | kSlash | kGreater>(at);
    for (;;) {
        at = scan.Past<kSpace | kSlash>(at);
        if (at == end) return tag;
        if (*at == '>') {
            tag.end = at + 1;
            return tag;
        }
        // A name, where an "=" first is part of the name.
        const char* name = at;
        const char* nameEnd = scan.Until<kSpace | kSlash | kGreater | kEquals>(at + 1);
        at = scan.Past<kSpace>(nameEnd);
        const char* value = at;
        const char* valueEnd = at;
        if (at < end && *at == '=') {
            at = scan.Past<kSpace>(at + 1);
            if (at == end) return tag;
            if (*at == '"' || *at == '\'') {
                value = at + 1;
                at = *at == '"' ? scan.Until<kDoubleQuote>(value) : scan.Until<kSingleQuote>(value);
                if (at == end) return tag;
                valueEnd = at++;
            } else {
                value = at;
                at = valueEnd = scan.Until<kSpace | kGreater>(at);
            }
        }
        // The first of two attributes of one name counts.
        if (!tag.typeSeen && Spells(name, nameEnd, kType)) {
            tag.typeSeen = true;
            tag.typePassword = ReadsPassword(value, valueEnd);
        }
    }
}

// After a comment's "<!--": after its end, or the page's end.
const char* PastComment(Scanner& scan, const char* at) {
    const char* end = scan.end();
    if (at < end && *at == '>') return at + 1;                         // "<!-->"
    if (end - at >= 2 && at[0] == '-' && at[1] == '>') return at + 2;  // "<!--->"
    for (const char* close = at; (close = scan.Until<kGreater>(close)) != end; ++close) {
        if (close - at >= 2 && close[-1] == '-' && close[-2] == '-') return close + 1;
        if (close - at >= 3 && close[-1] == '!' && close[-2] == '-' && close[-3] == '-') return close + 1;
    }
    return end;
}

const char* PastGreater(Scanner& scan, const char* at) {
    const char* close = scan.Until<kGreater>(at);
    return close != scan.end() ? close + 1 : close;
}

// The element, when the tag opens one whose content is text up to its end tag.
const Word* TextElement(const Tag& tag) {
    for (const Word& name : kTextElements)
        if (Spells(tag.name, tag.nameEnd, name)) return &name;
    return nullptr;
}

// After the end tag of the element that closes the text starting at at, or
// the page's end.
const char* PastEndTag(Scanner& scan, const char* at, Word element) {
    const char* end = scan.end();
    for (; (at = scan.Until<kLess>(at)) != end; ++at) {
        const char* after = at + 2 + element.length;
        if (end - at > static_cast<ptrdiff_t>(2 + element.length) && at[1] == '/' && Spells(at + 2, after, element) &&
            Is(*after, kSpace | kSlash | kGreater)) {
            const Tag closing = ReadTag(scan, at + 2);
            return closing.end != nullptr ? closing.end : end;
        }
    }
    return end;
}

}  // namespace

BOOL IsSignInForm(const char* page, size_t length) {
    if (page == nullptr) return FALSE;
    Scanner scan(page + length);
    const char* end = scan.end();
    for (const char* at = page; (at = scan.Until<kLess>(at)) != end;) {
        if (++at == end) break;
        if (*at == '!' && end - at >= 3 && at[1] == '-' && at[2] == '-') {
            at = PastComment(scan, at + 3);
        } else if (*at == '!' || *at == '?') {
            at = PastGreater(scan, at + 1);  // a bogus comment, the doctype among them
        } else if (*at == '/') {
            if (at + 1 == end) break;
            if (at[1] == '>') {
                at += 2;  // "</>" is dropped
            } else if (!IsLetter(at[1])) {
                at = PastGreater(scan, at + 1);
            } else {
                const Tag tag = ReadTag(scan, at + 1);  // its attributes are read, and count for nothing
                if (tag.end == nullptr) break;
                at = tag.end;
            }
        } else if (IsLetter(*at)) {
            const Tag tag = ReadTag(scan, at);
            if (tag.end == nullptr) break;  // a tag the page ends in counts for nothing
            if (tag.typePassword && Spells(tag.name, tag.nameEnd, kInput)) return TRUE;
            if (Spells(tag.name, tag.nameEnd, kPlaintext)) break;
            const Word* text = TextElement(tag);
            at = text != nullptr ? PastEndTag(scan, tag.end, *text) : tag.end;
        }
        // Any other "<" is text.
    }
    return FALSE;
}
