// Recognition of a sign-in form by its password input, the page's tags read
// as a browser's tokenizer reads them.
#include <rolm/http.h>
#include <string.h>

namespace {

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
unsigned Lower(unsigned c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; }

// Whether [begin, end) is the lower-case ASCII word, case ignored.
bool Spells(const char* begin, const char* end, const char* word) {
    const size_t length = strlen(word);
    if (static_cast<size_t>(end - begin) != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (Lower(static_cast<unsigned char>(begin[i])) != static_cast<unsigned char>(word[i])) return false;
    return true;
}

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

Tag ReadTag(const char* at, const char* end) {
    Tag tag;
    tag.name = at;
    while (at < end && !IsSpace(*at) && *at != '/' && *at != '>') ++at;
    tag.nameEnd = at;
    for (;;) {
        while (at < end && (IsSpace(*at) || *at == '/')) ++at;
        if (at == end) return tag;
        if (*at == '>') {
            tag.end = at + 1;
            return tag;
        }
        // A name, where an "=" first is part of the name.
        const char* name = at;
        at += *at == '=';
        while (at < end && !IsSpace(*at) && *at != '/' && *at != '>' && *at != '=') ++at;
        const char* nameEnd = at;
        while (at < end && IsSpace(*at)) ++at;
        const char* value = at;
        const char* valueEnd = at;
        if (at < end && *at == '=') {
            ++at;
            while (at < end && IsSpace(*at)) ++at;
            if (at == end) return tag;
            if (*at == '"' || *at == '\'') {
                value = at + 1;
                at = static_cast<const char*>(memchr(value, *at, static_cast<size_t>(end - value)));
                if (at == nullptr) return tag;
                valueEnd = at++;
            } else {
                value = at;
                while (at < end && !IsSpace(*at) && *at != '>') ++at;
                valueEnd = at;
            }
        }
        // The first of two attributes of one name counts.
        if (!tag.typeSeen && Spells(name, nameEnd, "type")) {
            tag.typeSeen = true;
            tag.typePassword = ReadsPassword(value, valueEnd);
        }
    }
}

// After a comment's "<!--": after its end, or the page's end.
const char* PastComment(const char* at, const char* end) {
    if (at < end && *at == '>') return at + 1;  // "<!-->"
    if (end - at >= 2 && at[0] == '-' && at[1] == '>') return at + 2;  // "<!--->"
    for (const char* close = at; (close = static_cast<const char*>(memchr(close, '>', static_cast<size_t>(end - close)))) != nullptr; ++close) {
        if (close - at >= 2 && close[-1] == '-' && close[-2] == '-') return close + 1;
        if (close - at >= 3 && close[-1] == '!' && close[-2] == '-' && close[-3] == '-') return close + 1;
    }
    return end;
}

const char* PastGreater(const char* at, const char* end) {
    const char* close = static_cast<const char*>(memchr(at, '>', static_cast<size_t>(end - at)));
    return close != nullptr ? close + 1 : end;
}

// Elements whose content is text up to their own end tag.
const char* const kTextElements[] = {"script", "style", "xmp", "iframe", "noembed", "noframes", "textarea", "title"};

bool IsTextElement(const Tag& tag) {
    for (const char* name : kTextElements)
        if (Spells(tag.name, tag.nameEnd, name)) return true;
    return false;
}

// After the end tag of the element named [name, nameEnd) that closes the
// text starting at at, or the page's end.
const char* PastEndTag(const char* at, const char* end, const char* name, const char* nameEnd) {
    const size_t length = static_cast<size_t>(nameEnd - name);
    for (; (at = static_cast<const char*>(memchr(at, '<', static_cast<size_t>(end - at)))) != nullptr; ++at) {
        const char* after = at + 2 + length;
        if (end - at <= static_cast<ptrdiff_t>(2 + length) || at[1] != '/' ||
            !(IsSpace(*after) || *after == '/' || *after == '>'))
            continue;
        size_t same = 0;
        while (same < length && Lower(static_cast<unsigned char>(at[2 + same])) == Lower(static_cast<unsigned char>(name[same])))
            ++same;
        if (same == length) {
            const Tag closing = ReadTag(at + 2, end);
            return closing.end != nullptr ? closing.end : end;
        }
    }
    return end;
}

}  // namespace

BOOL IsSignInForm(const char* page, size_t length) {
    if (page == nullptr) return FALSE;
    const char* end = page + length;
    for (const char* at = page; (at = static_cast<const char*>(memchr(at, '<', static_cast<size_t>(end - at)))) != nullptr;) {
        if (++at == end) break;
        if (*at == '!' && end - at >= 3 && at[1] == '-' && at[2] == '-') {
            at = PastComment(at + 3, end);
        } else if (*at == '!' || *at == '?') {
            at = PastGreater(at + 1, end);  // a bogus comment, the doctype among them
        } else if (*at == '/') {
            if (at + 1 == end) break;
            if (at[1] == '>') {
                at += 2;  // "</>" is dropped
            } else if (!IsLetter(at[1])) {
                at = PastGreater(at + 1, end);
            } else {
                const Tag tag = ReadTag(at + 1, end);  // its attributes are read, and count for nothing
                if (tag.end == nullptr) break;
                at = tag.end;
            }
        } else if (IsLetter(*at)) {
            const Tag tag = ReadTag(at, end);
            if (tag.end == nullptr) break;  // a tag the page ends in counts for nothing
            if (tag.typePassword && Spells(tag.name, tag.nameEnd, "input")) return TRUE;
            if (Spells(tag.name, tag.nameEnd, "plaintext")) break;
            at = IsTextElement(tag) ? PastEndTag(tag.end, end, tag.name, tag.nameEnd) : tag.end;
        }
        // Any other "<" is text.
    }
    return FALSE;
}
