// Helpers of the file system and registry tests.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace fsreg_test {

// The scratch drive that the test setup links into the prefix ("S:"), empty
// when the tests run without it.
std::wstring ScratchDrive();
// A letter with no drive behind it ("B:"...), empty when every letter is used.
std::wstring MissingDrive();

// Allow entries of a path's access list: string SID -> combined mask. False
// when the list cannot be read.
bool ReadAllowEntries(const std::wstring& path, std::map<std::wstring, ACCESS_MASK>* entries);

// Replaces this program's import of `function` from `dll` with `replacement`
// for the length of the object; the library, linked in, calls through it.
class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    bool patched() const { return slot_ != nullptr; }
    void* original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// Runs a copy of the test program (named in full, extension or not) as a
// child with "--child VERB ARGS"; its exit code, or ~0u.
DWORD RunCopy(const std::wstring& program, const std::wstring& verbAndArgs);

}  // namespace fsreg_test
