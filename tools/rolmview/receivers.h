// The windows traced programs look for, on a thread of their own so that a
// sender waits only for a copy into the inbox, never for drawing; and the
// reader of other programs' OutputDebugString output.
#pragma once

#include <windows.h>

#include "owners.h"
#include "store.h"

namespace rolmview {

struct ChannelSwitches {
    bool qrv = true, vellosk = false, wendlook = false, debug = false;
};

class Receivers {
public:
    Receivers(Inbox& inbox, Recorder& recorder) : inbox_(inbox), recorder_(recorder) {}
    ~Receivers() { Stop(); }
    Receivers(const Receivers&) = delete;
    Receivers& operator=(const Receivers&) = delete;

    // Returns once the windows exist (or could not be made: a Windows error).
    DWORD Start(const ChannelSwitches& channels);
    void Stop();

private:
    static DWORD WINAPI Thread(void* self);
    static LRESULT CALLBACK ListProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK CopyDataProc(HWND, UINT, WPARAM, LPARAM);
    DWORD CreateWindows();
    HWND CreateReceiver(const wchar_t* className, const wchar_t* title, WNDPROC proc, DWORD channel);
    void OnCopyData(DWORD channel, const COPYDATASTRUCT* copy);

    Inbox& inbox_;
    Recorder& recorder_;
    ChannelSwitches channels_;
    rolm::UniqueHandle thread_, started_;
    DWORD threadId_ = 0;
    DWORD startError_ = 0;
    WNDPROC listProc_ = nullptr;
};

// OutputDebugString's protocol: one reader per session owns the shared
// buffer; senders wait for "buffer ready", write pid and text, and signal
// "data ready".
class DebugOutputReader {
public:
    DebugOutputReader(Inbox& inbox, Recorder& recorder) : inbox_(inbox), recorder_(recorder) {}
    ~DebugOutputReader() { Stop(); }
    DebugOutputReader(const DebugOutputReader&) = delete;
    DebugOutputReader& operator=(const DebugOutputReader&) = delete;

    // ERROR_ALREADY_EXISTS: another reader holds the buffer.
    DWORD Start();
    void Stop();
    bool running() const { return thread_.valid(); }

private:
    static DWORD WINAPI Thread(void* self);
    void Read();
    std::wstring ProcessName(DWORD pid);

    Inbox& inbox_;
    Recorder& recorder_;
    rolm::UniqueHandle mapping_, bufferReady_, dataReady_, stop_, thread_;
    UniqueView view_;
    DWORD cachedPid_ = 0;
    std::wstring cachedName_;
};

}  // namespace rolmview
