#include "http/scratch.h"

#include <windows.h>

namespace rolm {

WideCopy::WideCopy(const char* text, size_t bytes) {
    if (text == nullptr) {
        text_ = L"NULL";
        return;
    }
    if (bytes > 0x3FFFFFFF) bytes = 0x3FFFFFFF;
    wchar_t* out = stack_;
    size_t capacity = kStack;
    if (bytes >= kStack) {
        heap_.reset(::malloc((bytes + 1) * sizeof(wchar_t)));
        if (heap_.valid()) {
            out = static_cast<wchar_t*>(heap_.get());
            capacity = bytes + 1;
        } else {
            bytes = kStack - 1;
        }
    }
    // One wide character per byte at most, so the capacity always suffices.
    int written = bytes == 0 ? 0
                             : ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), out,
                                                     static_cast<int>(capacity - 1));
    out[written > 0 ? written : 0] = L'\0';
    text_ = out;
}

}  // namespace rolm
