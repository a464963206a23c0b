#include "common/unique.h"

#include <objbase.h>

namespace rolm {

ComSession::ComSession(DWORD coinit) : hr_(::CoInitializeEx(nullptr, coinit)) {}

ComSession::~ComSession() {
    if (SUCCEEDED(hr_)) {
        DWORD lastError = ::GetLastError();
        ::CoUninitialize();
        ::SetLastError(lastError);
    }
}

}  // namespace rolm
