// The HTTP tests' case files: their text notation and their folders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace http_test {

// "{#N}" is the byte N, "{N*text}" text repeated to N bytes; the rest stands for itself.
inline std::string Expand(const std::string& text) {
    std::string out;
    for (size_t at = 0, open, close; at < text.size(); at = close + 1) {
        if ((open = text.find('{', at)) == std::string::npos || (close = text.find('}', open)) == std::string::npos)
            return out + text.substr(at);
        const std::string inner = text.substr(open + 1, close - open - 1), unit = inner.substr(inner.find('*') + 1);
        out += text.substr(at, open - at) + (inner[0] == '#' ? std::string(1, char(std::stoi(inner.substr(1)))) : "");
        for (size_t n = inner[0] == '#' ? 0 : std::stoul(inner), i = 0; i < n; ++i) out += unit[i % unit.size()];
    }
    return out;
}

// The names of the files that fit a pattern ("folder/*.txt").
inline std::vector<std::string> Files(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE find = ::FindFirstFileA(pattern.c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileA(find, &found))
        names.push_back(found.cFileName);
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
    return names;
}

}  // namespace http_test
