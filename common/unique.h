// Owning wrappers for the system resources the library takes, so that
// "released on every path" follows from scope. Each type names its empty
// value explicitly; releasing never changes the thread's last error, so a
// failure path can read GetLastError() after its wrappers are gone.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>
#include <stdlib.h>

namespace rolm {

template <typename Traits>
class Unique {
public:
    using pointer = typename Traits::pointer;

    Unique() : value_(Traits::Empty()) {}
    explicit Unique(pointer value) : value_(value) {}
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    pointer get() const { return value_; }
    bool valid() const { return value_ != Traits::Empty(); }
    explicit operator bool() const { return valid(); }

    // Address for an API that writes the resource; the old one is released first.
    pointer* put() {
        reset();
        return &value_;
    }

    pointer release() {
        pointer value = value_;
        value_ = Traits::Empty();
        return value;
    }

    // Releases the held resource; returns what the release call returned
    // (TRUE when nothing was held).
    BOOL reset(pointer value = Traits::Empty()) {
        BOOL ok = TRUE;
        if (value_ != Traits::Empty()) {
            DWORD lastError = ::GetLastError();
            ok = Traits::Close(value_);
            ::SetLastError(lastError);
        }
        value_ = value;
        return ok;
    }

private:
    pointer value_;
};

struct HandleTraits {  // kernel handles whose empty value is null
    using pointer = HANDLE;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::CloseHandle(h); }
};
struct FileTraits {  // CreateFileW and friends: INVALID_HANDLE_VALUE is empty
    using pointer = HANDLE;
    static pointer Empty() { return INVALID_HANDLE_VALUE; }
    static BOOL Close(pointer h) { return ::CloseHandle(h); }
};
struct KeyTraits {
    using pointer = HKEY;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::RegCloseKey(h) == ERROR_SUCCESS; }
};
struct InternetTraits {
    using pointer = HINTERNET;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::InternetCloseHandle(h); }
};
struct ModuleTraits {
    using pointer = HMODULE;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::FreeLibrary(h); }
};
struct SocketTraits {
    using pointer = SOCKET;
    static pointer Empty() { return INVALID_SOCKET; }
    static BOOL Close(pointer s) { return ::closesocket(s) == 0; }
};
struct WindowTraits {  // a window of the calling thread
    using pointer = HWND;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::DestroyWindow(h); }
};
struct LocalTraits {  // blocks the system allocated for us (FormatMessageW)
    using pointer = HLOCAL;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer p) { return ::LocalFree(p) == nullptr; }
};
struct ProcessHeapTraits {
    using pointer = void*;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer p) { return ::HeapFree(::GetProcessHeap(), 0, p); }
};
struct CHeapTraits {  // blocks of the C heap (malloc/realloc)
    using pointer = void*;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer p) {
        ::free(p);
        return TRUE;
    }
};

using UniqueHandle = Unique<HandleTraits>;
using UniqueFile = Unique<FileTraits>;
using UniqueKey = Unique<KeyTraits>;
using UniqueInternet = Unique<InternetTraits>;
using UniqueModule = Unique<ModuleTraits>;
using UniqueSocket = Unique<SocketTraits>;
using UniqueWindow = Unique<WindowTraits>;
using UniqueLocal = Unique<LocalTraits>;
using UniqueProcessHeapBlock = Unique<ProcessHeapTraits>;
using UniqueCHeapBlock = Unique<CHeapTraits>;

// The two handles of a started process, closed together. Made from a record
// it copies, so closing leaves that record's fields as they were; release()
// hands both handles on.
class UniqueProcessInformation {
public:
    UniqueProcessInformation() : info_() {}
    explicit UniqueProcessInformation(const PROCESS_INFORMATION& info) : info_(info) {}
    UniqueProcessInformation(const UniqueProcessInformation&) = delete;
    UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;
    ~UniqueProcessInformation() { reset(); }

    const PROCESS_INFORMATION& get() const { return info_; }
    // Address for CreateProcessW; the handles held before are closed first.
    PROCESS_INFORMATION* put() {
        reset();
        return &info_;
    }
    PROCESS_INFORMATION release() {
        PROCESS_INFORMATION info = info_;
        info_ = PROCESS_INFORMATION();
        return info;
    }
    void reset() {
        Unique<HandleTraits> process(info_.hProcess), thread(info_.hThread);
        info_ = PROCESS_INFORMATION();
    }

private:
    PROCESS_INFORMATION info_;
};

// Windows Sockets for the length of a scope. started() tells whether
// WSAStartup succeeded; error() is its result.
class WinsockSession {
public:
    explicit WinsockSession(WORD version = MAKEWORD(2, 1)) {
        WSADATA data;
        error_ = ::WSAStartup(version, &data);
    }
    ~WinsockSession() {
        if (error_ == 0) {
            DWORD lastError = ::GetLastError();
            ::WSACleanup();
            ::SetLastError(lastError);
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool started() const { return error_ == 0; }
    int error() const { return error_; }

private:
    int error_;
};

// COM on the calling thread for the length of a scope; uninitialised only
// when the initialisation succeeded (S_OK or S_FALSE).
class ComSession {
public:
    explicit ComSession(DWORD coinit);
    ~ComSession();
    ComSession(const ComSession&) = delete;
    ComSession& operator=(const ComSession&) = delete;
    HRESULT result() const { return hr_; }
    bool initialized() const { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

}  // namespace rolm
