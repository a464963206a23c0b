// The header that accompanies every POST, kept enciphered in the library.
#pragma once

#include <windows.h>

namespace rolm {

// Size of the buffer the header is deciphered into (its text is at most 127
// characters).
const size_t kFormHeaderBuffer = 128;

// Deciphers the form header into buffer (zero-terminated) and its length in
// bytes into *pdwLength. Returns 0, ERROR_INSUFFICIENT_BUFFER when capacity
// is too small, or ERROR_INVALID_DATA when the stored text fails its check.
DWORD GetFormHeader(char* buffer, size_t capacity, DWORD* pdwLength);

}  // namespace rolm
