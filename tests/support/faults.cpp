#include "faults.h"

#include <algorithm>
#include <map>
#include <string.h>

namespace rolm_test {
namespace {

detail::Slot* g_slots = nullptr;  // every declared stand-in, linked at start-up
volatile LONG g_calls = 0, g_failAt = 0;
DWORD g_error = 0;
const detail::Slot* g_failed = nullptr;  // the stand-in whose call failed
LONG g_failedOccurrence = 0;
volatile DWORD g_thread = ~0u;  // the thread whose calls count

bool Counted() { return (g_thread == ~0u || g_thread == ::GetCurrentThreadId()) && !detail::Kept(); }

// The entry, or a test failure that names what is missing.
void** MustFind(const char* dll, const char* function) {
    void** entry = detail::FindImport(dll, function);
    if (entry == nullptr) ADD_FAILURE() << "this program does not import " << dll << "!" << function;
    return entry;
}

// A trace with its numbers (decimal, or hexadecimal with a digit) as "#": handles and times differ between runs.
std::wstring Numberless(const std::wstring& text) {
    std::wstring out;
    for (size_t at = 0, end; at < text.size(); at = end) {
        end = std::max(at + 1, std::min(text.find_first_not_of(L"0123456789ABCDEF", at), text.size()));
        const std::wstring run = text.substr(at, end - at);
        out += run.find_first_of(L"0123456789") != std::wstring::npos ? L"#" : run;
    }
    return out;
}

ULONG_PTR FailValue(Fails fails, ULONG_PTR first) {  // what a failing call returns
    switch (fails) {
    case Fails::Invalid: return ~static_cast<ULONG_PTR>(0);
    case Fails::Code: return g_error;
    case Fails::Hresult: return static_cast<ULONG_PTR>(static_cast<LONG_PTR>(HRESULT_FROM_WIN32(g_error)));
    case Fails::Same: return first;
    default: return 0;
    }
}

bool Succeeded(Fails fails, ULONG_PTR result, ULONG_PTR first) {
    switch (fails) {
    case Fails::Code:
    case Fails::Same: return result == 0;
    case Fails::Hresult: return static_cast<HRESULT>(result) >= 0;
    case Fails::Never: return true;
    default: return result != FailValue(fails, first);
    }
}

// The system calls listed from the library's objects at build time.
const struct {
    const char *family, *name;
} kImports[] = {
#include "rolm_imports.inc"
    {nullptr, nullptr}};

// Calls that cannot fail, or whose failure no caller could see: the thread's
// last error, identifiers, clocks and the process heap's handle; pauses; the
// message pump (no message is not a failure); answers, not failures (a window
// or not, the desktop, a lead byte or not); the C runtime's text and memory
// functions (free is watched by the guarded heap); a conversion that only
// makes text for trace lines; the compiler's runtime.
const char* const kCannotFail[] = {
    "GetLastError", "SetLastError", "WSAGetLastError", "GetCurrentProcessId", "GetCurrentThreadId", "GetTickCount",
    "GetProcessHeap", "Sleep", "GetLocalTime", "PeekMessageW", "TranslateMessage", "DispatchMessageW",
    "PostQuitMessage", "IsWindow", "GetDesktopWindow", "IsDBCSLeadByte", "free", "memcpy", "memset", "strlen", "wcslen",
    "wcsnlen", "wcschr", "wcsrchr", "wcscmp", "wcsstr", "towlower", "lstrcpyA", "lstrcpyW", "wsprintfA", "_vsnprintf",
    "_vsnwprintf", "MultiByteToWideChar", "IsProcessorFeaturePresent", "_Unwind_Resume", "__chkstk_ms",
    "__gxx_personality_v0", "__gxx_personality_seh0"};

}  // namespace

namespace detail {

// The import table entry through which this program calls dll!function.
void** FindImport(const char* dll, const char* function) {
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         dir.VirtualAddress != 0 && desc->Name != 0; ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++entries)
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name, function) == 0)
                return reinterpret_cast<void**>(&entries->u1.Function);
    }
    return nullptr;
}

void* SwapImport(void** entry, void* value) {
    DWORD protect = 0;
    ::VirtualProtect(entry, sizeof(void*), PAGE_READWRITE, &protect);
    void* old = ::InterlockedExchangePointer(entry, value);
    ::VirtualProtect(entry, sizeof(void*), protect, &protect);
    return old;
}

Slot::Slot(const char* dll_, const char* name_, Fails fails_, Role role_, const char* kind_, void* replacement_)
    : dll(dll_), name(name_), fails(fails_), role(role_), kind(kind_), replacement(replacement_), original(nullptr),
      calls(0), opens(0), closes(0), next(g_slots) {
    g_slots = this;
}

bool Enter(Slot& slot) {
    if (!Counted()) return false;
    ::InterlockedIncrement(&slot.calls);
    if (slot.fails == Fails::Never || ::InterlockedIncrement(&g_calls) != g_failAt) return false;
    g_failed = &slot;
    g_failedOccurrence = slot.calls;
    ::SetLastError(g_error);
    return true;
}

ULONG_PTR Leave(Slot& slot, bool failed, ULONG_PTR result, ULONG_PTR first) {
    if (slot.role == Role::Close) ::SetLastError(failed ? g_error : kReleased);
    const bool counted = Counted() && (failed ? slot.role == Role::Close : Succeeded(slot.fails, result, first));
    if (counted && slot.role == Role::Open) ::InterlockedIncrement(&slot.opens);
    if (counted && slot.role == Role::Close) ::InterlockedIncrement(&slot.closes);
    return FailValue(slot.fails, first);
}

}  // namespace detail

Faults::Faults() {
    Reset();
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next)
        if (void** entry = MustFind(slot->dll, slot->name))
            slot->original = detail::SwapImport(entry, slot->replacement);
}

Faults::~Faults() {
    g_thread = ~0u;
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next)
        if (void** entry = detail::FindImport(slot->dll, slot->name)) detail::SwapImport(entry, slot->original);
}

void Faults::FailNth(int n, DWORD error) {
    g_error = error;
    g_failed = nullptr;
    g_failAt = n == 0 ? 0 : g_calls + n;
}

int Faults::Calls() const { return g_calls; }
void Faults::CountThread(DWORD threadId) { g_thread = threadId; }

const char* Faults::FailedCall(int* occurrence) const {
    if (occurrence != nullptr) *occurrence = g_failed != nullptr ? g_failedOccurrence : 0;
    return g_failed != nullptr ? g_failed->name : nullptr;
}

::testing::AssertionResult Faults::NothingHeld() const {
    std::map<std::string, int> held;  // successful opens minus closes, of the kinds that a stand-in opens
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next)
        if (slot->role == Role::Open) held[slot->kind] = 0;
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next)
        if (held.count(slot->kind) != 0) held[slot->kind] += slot->opens - slot->closes;
    std::string named;
    for (const auto& [kind, count] : held)
        if (count != 0) named += " " + kind + ": " + std::to_string(count) + ";";
    if (named.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "held (below 0: closed more often than opened):" << named;
}

void Faults::Reset() {
    g_calls = g_failAt = 0;
    g_failed = nullptr;
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next) slot->calls = slot->opens = slot->closes = 0;
}

void TortureTable(Faults& faults, DWORD error, const std::vector<Failure>& rows, const std::function<Outcome()>& op,
                  const std::function<::testing::AssertionResult()>& released) {
    Faults::CountThread(::GetCurrentThreadId());  // the trace capture and servers work on threads of their own
    Outcome unfailed = {};
    std::wstring expected;
    for (int n = 0;; ++n) {
        faults.Reset();
        faults.FailNth(n, error);
        TraceLog::Get().Clear();
        const LONG serial = HeapSerial();
        const Outcome got = op();
        const detail::Slot* failed = g_failed;
        faults.FailNth(0, 0);  // before anything here allocates
        const std::string left = HeapLeftSince(serial);
        const std::vector<std::wstring> lines = TraceLog::Get().Take();
        if (n > 0 && failed == nullptr) break;
        const std::wstring whole = Join(lines);
        const std::string call = n == 0 ? "" : failed->name + ("#" + std::to_string(g_failedOccurrence));
        SCOPED_TRACE((n == 0 ? "unfailed" : call + " failed") + ", traced:\n" + Utf8(whole));
        if (n == 0) {
            unfailed = got;
            expected = Numberless(whole);
        }
        // A release without a row of its own must change nothing the caller sees.
        const Failure release = {"", unfailed.result, unfailed.error, L""};
        const Failure* row = &release;
        for (const Failure& r : rows)
            if (call == r.call || (row == &release && n > 0 && r.call == failed->name)) row = &r;
        EXPECT_TRUE(row != &release || n == 0 || failed->role == Role::Close) << "no row for " << call;
        EXPECT_EQ(row->result, got.result) << "result";
        EXPECT_EQ(row->error, got.error) << "error";
        const auto fits = [&](const std::wstring& line) { return Fits(row->line, line); };
        if (n == 0 && row != &release)
            EXPECT_TRUE(Fits(row->line, whole)) << "the trace is not\n" << Utf8(row->line);
        else if (row->line.empty())
            EXPECT_EQ(expected, Numberless(whole)) << "the unfailed trace";
        else
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), fits)) << "no line " << Utf8(row->line);
        EXPECT_TRUE(faults.NothingHeld());
        EXPECT_TRUE(released ? released() : ::testing::AssertionSuccess());
        EXPECT_EQ("", left) << "C heap blocks left";
    }
    faults.Reset();
    Faults::CountThread(~0u);
}

std::vector<Failure> Failures(const char* section, const Values& values) {
    std::vector<Failure> rows;
    for (const Case& c : Cases(section))
        rows.push_back({c.Get("call"), c.Number("result"), c.Number("error"), Join(Expand(c.lines, values))});
    return rows;
}

::testing::AssertionResult StandInsCover(std::initializer_list<const char*> families) {
    std::string missing;
    for (const auto& import : kImports) {
        const auto named = [&](const char* name) { return import.name != nullptr && strcmp(name, import.name) == 0; };
        bool covered = std::none_of(families.begin(), families.end(),
                                    [&](const char* f) { return import.family && !strcmp(f, import.family); }) ||
                       std::any_of(std::begin(kCannotFail), std::end(kCannotFail), named);
        for (detail::Slot* slot = g_slots; slot != nullptr && !covered; slot = slot->next) covered = named(slot->name);
        if (!covered) missing += std::string(" ") + import.family + ":" + import.name;
    }
    if (kImports[0].name == nullptr) return ::testing::AssertionFailure() << "the build listed no imports (no nm)";
    if (missing.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "calls that can fail without a stand-in:" << missing;
}

ImportPatch::ImportPatch(const char* dll, const char* function, void* replacement)
    : entry(MustFind(dll, function)), original(entry != nullptr ? detail::SwapImport(entry, replacement) : nullptr) {}

ImportPatch::~ImportPatch() {
    if (entry != nullptr) detail::SwapImport(entry, original);
}

}  // namespace rolm_test
