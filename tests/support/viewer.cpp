#include "viewer.h"

#include <stdio.h>
#include <strsafe.h>

namespace rolm_test {

Viewer::Viewer(const std::wstring& options) : record_(dir_ / L"record.txt") {
    wchar_t eventName[64];
    static LONG counter;
    StringCchPrintfW(eventName, _countof(eventName), L"rolmview-ready-%lu-%ld", ::GetCurrentProcessId(),
               ::InterlockedIncrement(&counter));
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, eventName);
    process_ = StartProgram(L"\"" + ProgramDir() + L"rolmview.exe\" --hidden " + options +
                            L" --record \"" + record_ + L"\" --ready-event " + eventName);
    HANDLE both[2] = {ready, process_};
    if (process_ == nullptr || ::WaitForMultipleObjects(2, both, FALSE, 30000) != WAIT_OBJECT_0)
        Stop();
    ::CloseHandle(ready);
}

Viewer::~Viewer() { Stop(); }

void Viewer::Stop() {
    if (process_ == nullptr) return;
    ::TerminateProcess(process_, 0);
    ::WaitForSingleObject(process_, 10000);
    ::CloseHandle(process_);
    process_ = nullptr;
}

std::vector<ViewerRecord> Viewer::Records() const {
    std::vector<ViewerRecord> records;
    std::string all = ReadFileBytes(record_);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> fields;
        size_t from = 0;
        for (int i = 0; i < 4; ++i) {
            size_t tab = line.find('\t', from);
            if (tab == std::string::npos) break;
            fields.push_back(line.substr(from, tab - from));
            from = tab + 1;
        }
        if (fields.size() != 4) continue;
        records.push_back({fields[0], fields[1], fields[2], fields[3], Widen(line.substr(from))});
    }
    return records;
}

std::string Hex(const void* data, size_t bytes) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < bytes; ++i) {
        StringCchPrintfA(two, sizeof two, "%02x", static_cast<const unsigned char*>(data)[i]);
        out += two;
    }
    return out;
}

}  // namespace rolm_test
