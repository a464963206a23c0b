#include "http/form_header.h"

namespace rolm {
namespace {

// Each byte is XORed with a byte of a small linear congruential stream, so
// the text appears nowhere in the binary; a sum of the plain bytes tells a
// damaged copy from the real one.
constexpr unsigned char KeyByte(size_t i) {
    unsigned int state = 0x2F6Bu;
    for (size_t k = 0; k <= i; ++k) state = state * 1103515245u + 12345u;
    return static_cast<unsigned char>(state >> 16);
}

template <size_t N>
struct Enciphered {
    unsigned char bytes[N - 1];
    unsigned char sum;
};

template <size_t N>
constexpr Enciphered<N> Encipher(const char (&text)[N]) {
    Enciphered<N> out = {};
    unsigned char sum = 0;
    for (size_t i = 0; i + 1 < N; ++i) {
        out.bytes[i] = static_cast<unsigned char>(static_cast<unsigned char>(text[i]) ^ KeyByte(i));
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(text[i]));
    }
    out.sum = sum;
    return out;
}

// Evaluated by the compiler: only the enciphered bytes are stored.
constexpr auto kFormHeader = Encipher("Content-Type: application/x-www-form-urlencoded");
static_assert(sizeof kFormHeader.bytes < kFormHeaderBuffer, "the form header must fit its buffer");

}  // namespace

DWORD GetFormHeader(char* buffer, size_t capacity, DWORD* pdwLength) {
    const size_t length = sizeof kFormHeader.bytes;
    if (buffer == nullptr || capacity <= length) return ERROR_INSUFFICIENT_BUFFER;
    unsigned char sum = 0;
    unsigned int state = 0x2F6Bu;
    for (size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        buffer[i] = static_cast<char>(kFormHeader.bytes[i] ^ static_cast<unsigned char>(state >> 16));
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(buffer[i]));
    }
    buffer[length] = '\0';
    if (sum != kFormHeader.sum) {
        SecureZeroMemory(buffer, capacity);
        return ERROR_INVALID_DATA;
    }
    if (pdwLength != nullptr) *pdwLength = static_cast<DWORD>(length);
    return 0;
}

}  // namespace rolm
