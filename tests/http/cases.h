// The HTTP tests' case files: their text notation.
#pragma once

#include <string>

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

}  // namespace http_test
