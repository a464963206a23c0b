// Temporary buffers of the HTTP family: up to kStack elements live on the
// stack, larger ones come from the C heap and go with the scope.
#pragma once

#include <stdlib.h>

#include "common/unique.h"

namespace rolm {

template <typename T, size_t kStack>
class Scratch {
public:
    // count elements; data() is null when the heap could not supply them.
    explicit Scratch(size_t count) {
        if (count <= kStack) {
            data_ = stack_;
        } else if (count <= static_cast<size_t>(-1) / sizeof(T)) {
            heap_.reset(::malloc(count * sizeof(T)));
            data_ = static_cast<T*>(heap_.get());
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* data() const { return data_; }

private:
    T stack_[kStack];
    UniqueCHeapBlock heap_;
    T* data_ = nullptr;
};

// 8-bit text of the ANSI code page as wide text, for the trace. A text the
// heap can't hold is shown cut to what the stack holds.
class WideCopy {
public:
    WideCopy(const char* text, size_t bytes);
    const wchar_t* get() const { return text_; }

private:
    static const size_t kStack = 512;  // 1024 bytes
    wchar_t stack_[kStack];
    UniqueCHeapBlock heap_;
    const wchar_t* text_ = L"";
};

}  // namespace rolm
