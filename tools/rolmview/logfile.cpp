#include "logfile.h"

#include <stdlib.h>
#include <string.h>

namespace rolmview {

namespace {

const DWORD kMaxLoadBytes = 512u << 20;

std::vector<std::wstring> Split(const std::wstring& line, size_t most) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    while (fields.size() + 1 < most) {
        size_t tab = line.find(L'\t', start);
        if (tab == std::wstring::npos) break;
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

bool FromHex(const std::wstring& hex, std::string& bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes.resize(hex.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        wchar_t pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        wchar_t* end = nullptr;
        bytes[i] = static_cast<char>(wcstoul(pair, &end, 16));
        if (end != pair + 2) return false;
    }
    return true;
}

// TIME CHANNEL dwData cbData HEX TEXT: decoded again from the bytes.
bool FromRecordLine(const std::vector<std::wstring>& f, Entry& e) {
    DWORD channel = ParseChannels(f[1]);
    std::string bytes;
    ULONGLONG received;
    if ((channel & (channel - 1)) != 0 || channel == 0 || !FromHex(f[4], bytes) ||
        !ParseReceived(f[0], &received))
        return false;
    DWORD number = wcstoul(f[2].c_str(), nullptr, 10);
    if (channel == kQrv) {
        std::wstring text(bytes.size() / 2, L'\0');
        if (!text.empty()) memcpy(&text[0], bytes.data(), text.size() * 2);
        text.resize(wcsnlen(text.c_str(), text.size()));
        e = FromTimedLine(text.c_str(), text.size());
    } else if (channel == kDebug) {
        e = FromDebugOutput(number, bytes.data(), bytes.size());
    } else {
        e = FromCopyData(channel, number, bytes.empty() ? nullptr : bytes.data(),
                         static_cast<DWORD>(bytes.size()));
    }
    e.received = received;
    return true;
}

// RECEIVED STAMP NAME CHANNELS MESSAGE, as SaveLog writes it.
bool FromSavedLine(const std::vector<std::wstring>& f, Entry& e) {
    DWORD channels = ParseChannels(f[3]);
    if (channels == 0 || !ParseReceived(f[0], &e.received)) return false;
    e.channel = channels;
    e.stamp = f[1] == L"-" ? L"" : f[1];
    const std::wstring& name = f[2];
    size_t open = name.rfind(L" (");
    if (channels == kDebug && open != std::wstring::npos) {
        e.process = name.substr(0, open);
        e.pid = wcstoul(name.c_str() + open + 2, nullptr, 10);
        e.line = f[4];
    } else {
        e.line = name.empty() ? f[4] : name + L" " + f[4];
        e.nameLength = name.size();
    }
    e.cut = e.line.size() >= kFullLine;
    return true;
}

std::wstring Decode(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::wstring text((bytes.size() - 2) / 2, L'\0');
        if (!text.empty()) memcpy(&text[0], bytes.data() + 2, text.size() * 2);
        return text;
    }
    bool bom = bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    return FromUtf8(bom ? bytes.substr(3) : bytes);
}

}  // namespace

const wchar_t kLogHeader[] = L"# rolmview log: received, stamp, name, channels, message";

std::wstring RowText(const Rows& rows, size_t shown) {
    const Entry& e = rows.entry(shown);
    std::wstring message = e.Message();
    for (wchar_t& c : message)
        if (c == L'\r' || c == L'\n') c = L' ';
    return FormatReceived(e.received, true) + L"\t" + (e.stamp.empty() ? L"-" : e.stamp) + L"\t" +
           e.Name() + L"\t" + ChannelsText(rows.channels(shown)) + L"\t" + message;
}

DWORD SaveLog(const Rows& rows, const std::wstring& path, bool utf16) {
    std::wstring text = std::wstring(kLogHeader) + L"\r\n";
    for (size_t i = 0; i < rows.size(); ++i) text += RowText(rows, i) + L"\r\n";
    std::string bytes;
    if (utf16) {
        bytes = "\xFF\xFE";
        bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    } else {
        bytes = "\xEF\xBB\xBF" + ToUtf8(text);
    }
    rolm::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError();
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return ::GetLastError();
    return written == bytes.size() ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

DWORD LoadLog(const std::wstring& path, std::vector<Entry>& out, size_t* skipped) {
    *skipped = 0;
    rolm::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError();
    DWORD high = 0, size = ::GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE && ::GetLastError() != ERROR_SUCCESS) return ::GetLastError();
    if (high != 0 || size > kMaxLoadBytes) return ERROR_FILE_TOO_LARGE;
    std::string bytes(size, '\0');
    DWORD read = 0;
    if (size != 0 && !::ReadFile(file.get(), &bytes[0], size, &read, nullptr)) return ::GetLastError();
    bytes.resize(read);
    std::wstring text = Decode(bytes);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line[line.size() - 1] == L'\r') line.resize(line.size() - 1);
        if (line.empty() || line[0] == L'#') continue;
        std::vector<std::wstring> fields = Split(line, 6);
        Entry e;
        bool ok = (fields.size() == 6 && FromRecordLine(fields, e)) ||
                  (fields.size() >= 5 && FromSavedLine(Split(line, 5), e));
        if (ok) out.push_back(std::move(e));
        else ++*skipped;
    }
    return ERROR_SUCCESS;
}

}  // namespace rolmview
