// The windows traced programs look for, on a thread of their own so that a
// sender waits only for a copy into the inbox, never for drawing; the reader
// of other programs' OutputDebugString output; the inbox both hand their
// messages to; and the record of everything received.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "copies.h"
#include "owners.h"

namespace rolmview {

struct ChannelSwitches {
    bool qrv = true, vellosk = false, wendlook = false, debug = false;
    DWORD mask() const {
        return (qrv ? DWORD(kQrv) : 0) | (vellosk ? DWORD(kVellosk) : 0) | (wendlook ? DWORD(kWendlook) : 0);
    }
};

// Messages as they arrived, each a header and its bytes in one buffer, so
// that a line costs its sender a copy and, once the buffer has grown, no
// allocation. Decoding waits for the window's thread.
class Inbox {
public:
    struct Header {
        ULONGLONG received;
        DWORD channel, kind, pid, bytes, processChars, reserved;  // 32 bytes: what follows stays aligned
    };
    // From any thread; process (debug output only) is the sender's file name.
    void Add(const Header& header, const void* data, const std::wstring* process = nullptr);
    void Take(std::vector<char>& out);  // what came since the last Take, in order
    // The next message of a taken buffer; false at its end.
    static bool Next(const std::vector<char>& taken, size_t* at, Header* header, const char** data,
                     std::wstring* process);

    // While paused, copies on the line channel (and debug output) count as
    // skipped lines: one per trace call, whatever channels it came on.
    void SetLineChannel(DWORD channel) { lineChannel_ = channel; }
    void Pause(bool paused);  // each pause counts from 0
    bool paused();
    LONG skipped() const { return skipped_; }
    LONG lost() const { return lost_; }  // not kept: the window's thread fell far behind, or memory ran out

private:
    CriticalSection lock_;
    std::vector<char> pending_;
    bool paused_ = false;
    DWORD lineChannel_ = kQrv;
    volatile LONG skipped_ = 0, lost_ = 0;
};

// Raw receptions, in the order received, one UTF-8 line each:
// TIME TAB CHANNEL TAB dwData TAB cbData TAB HEX TAB TEXT. Written as they
// arrive, from any thread, so that a reader sees every line once its
// SendMessage has returned. With a limit, a file that reaches it becomes
// FILE.1 (replacing the one before) and a new FILE starts.
class Recorder {
public:
    DWORD Open(const std::wstring& path, ULONGLONG limitBytes);
    void Write(const Copy& copy, const char* kind, const char* bytesCount, const void* data, size_t bytes);
    bool active() const { return file_.valid(); }

private:
    DWORD OpenFile();
    CriticalSection lock_;
    rolm::UniqueFile file_;
    std::wstring path_;
    ULONGLONG limit_ = 0, size_ = 0;
    LocalClock clock_;
};

class Receivers {
public:
    Receivers(Inbox& inbox, Recorder& recorder) : inbox_(inbox), recorder_(recorder) {}
    ~Receivers() { Stop(); }
    Receivers(const Receivers&) = delete;
    Receivers& operator=(const Receivers&) = delete;

    // The channels whose windows another program (another viewer) has made.
    static DWORD Taken(DWORD channels);
    // Returns once the windows exist (or could not be made: a Windows error).
    DWORD Start(const ChannelSwitches& channels);
    void Stop();
    // The channels a program calling TraceInit now would send to this viewer.
    DWORD Served() const;

private:
    static DWORD WINAPI Thread(void* self);
    static LRESULT CALLBACK ListProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK CopyDataProc(HWND, UINT, WPARAM, LPARAM);
    DWORD CreateWindows(UniqueWindow& qrv, UniqueWindow& vellosk, UniqueWindow& wendlook);
    HWND CreateReceiver(const wchar_t* className, const wchar_t* title, WNDPROC proc, DWORD channel);
    void Receive(DWORD channel, ULONG_PTR kind, const void* data, DWORD bytes);

    Inbox& inbox_;
    Recorder& recorder_;
    Decoder decoder_;  // for the record
    ChannelSwitches channels_;
    rolm::UniqueHandle thread_, started_;
    DWORD threadId_ = 0;
    DWORD startError_ = 0;
    WNDPROC listProc_ = nullptr;
    HWND qrv_ = nullptr, vellosk_ = nullptr, wendlook_ = nullptr;
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
    const std::wstring& ProcessName(DWORD pid);

    Inbox& inbox_;
    Recorder& recorder_;
    Decoder decoder_;  // for the record
    rolm::UniqueHandle mapping_, bufferReady_, dataReady_, stop_, thread_;
    UniqueView view_;
    DWORD cachedPid_ = 0;
    std::wstring cachedName_;
};

}  // namespace rolmview
