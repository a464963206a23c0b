#include "faults.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

namespace rolm_test {
namespace {

detail::Slot* g_slots = nullptr;  // every declared stand-in, linked at start-up
volatile LONG g_calls = 0;
volatile LONG g_failAt = 0;
volatile LONG g_failed = 0;
DWORD g_error = 0;
const char* g_failedName = nullptr;
volatile DWORD g_thread = ~0u;  // the thread whose calls count

bool Counted() { return g_thread == ~0u || g_thread == ::GetCurrentThreadId(); }
LONG g_failedOccurrence = 0;

// The import table entry through which this program (or module) calls dll!function.
void** FindImport(const char* dll, const char* function, HMODULE module = nullptr) {
    auto* base = reinterpret_cast<BYTE*>(module != nullptr ? module : ::GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return nullptr;
    for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         desc->Name != 0; ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&entries->u1.Function);
        }
    }
    return nullptr;
}

// The entry, or a test failure that names what is missing.
void** MustFind(const char* dll, const char* function, HMODULE module = nullptr) {
    void** entry = FindImport(dll, function, module);
    if (entry == nullptr) ADD_FAILURE() << "this program does not import " << dll << "!" << function;
    return entry;
}

void* Swap(void** entry, void* value) {
    DWORD protect = 0;
    ::VirtualProtect(entry, sizeof(void*), PAGE_READWRITE, &protect);
    void* old = ::InterlockedExchangePointer(entry, value);
    ::VirtualProtect(entry, sizeof(void*), protect, &protect);
    return old;
}

}  // namespace

namespace detail {

Slot::Slot(const char* dll_, const char* name_, Fails fails_, Role role_, const char* kind_,
           void* replacement_)
    : dll(dll_), name(name_), fails(fails_), role(role_), kind(kind_),
      replacement(replacement_), original(nullptr), calls(0), opens(0), closes(0), next(g_slots) {
    g_slots = this;
}

bool Enter(Slot& slot) {
    if (!Counted()) return false;
    ::InterlockedIncrement(&slot.calls);
    if (slot.fails == Fails::Never) return false;
    LONG n = ::InterlockedIncrement(&g_calls);
    if (n != g_failAt) return false;
    g_failed = 1;
    g_failedName = slot.name;
    g_failedOccurrence = slot.calls;
    ::SetLastError(g_error);
    return true;
}

void Leave(Slot& slot, bool succeeded) {
    if (!succeeded || !Counted()) return;
    if (slot.role == Role::Open) ::InterlockedIncrement(&slot.opens);
    if (slot.role == Role::Close) ::InterlockedIncrement(&slot.closes);
}

DWORD InjectedError() { return g_error; }

}  // namespace detail

Faults::Faults() {
    Reset();
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next)
        if (void** entry = MustFind(slot->dll, slot->name)) slot->original = Swap(entry, slot->replacement);
}

Faults::~Faults() {
    g_thread = ~0u;
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next) {
        void** entry = FindImport(slot->dll, slot->name);
        if (entry != nullptr && slot->original != nullptr) Swap(entry, slot->original);
    }
}

void Faults::FailNth(int n, DWORD error) {
    g_error = error;
    g_failed = 0;
    g_failedName = nullptr;
    g_failAt = g_calls + n;
    if (n == 0) g_failAt = 0;
}

bool Faults::Failed() const { return g_failed != 0; }

void Faults::CountThread(DWORD threadId) { g_thread = threadId; }

const char* Faults::FailedCall(int* occurrence) const {
    if (occurrence != nullptr) *occurrence = g_failedName != nullptr ? g_failedOccurrence : 0;
    return g_failedName;
}
int Faults::Calls() const { return g_calls; }

int Faults::Held(const char* kind) const {
    int held = 0;
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next)
        if (strcmp(slot->kind, kind) == 0) held += slot->opens - slot->closes;
    return held;
}

void Faults::Reset() {
    g_calls = g_failAt = g_failed = 0;
    g_failedName = nullptr;
    for (detail::Slot* slot = g_slots; slot != nullptr; slot = slot->next)
        slot->calls = slot->opens = slot->closes = 0;
}

ImportPatch::ImportPatch(const char* dll, const char* function, void* replacement, HMODULE module)
    : entry_(MustFind(dll, function, module)) {
    if (entry_ != nullptr) original_ = Swap(entry_, replacement);
}

ImportPatch::~ImportPatch() {
    if (entry_ != nullptr) Swap(entry_, original_);
}

namespace {
// Blocks allocated through this program's import table carry a header and a
// guard tail, checked when the block goes back: Wine's heap reports a write
// past a block only when the program runs with heap flags, and not at all
// once the block is freed. Blocks the C runtime allocated for itself have no
// header and pass through unchecked.
using MallocFn = void*(__cdecl*)(size_t);
using ReallocFn = void*(__cdecl*)(void*, size_t);
using FreeFn = void(__cdecl*)(void*);
MallocFn g_malloc;
ReallocFn g_realloc;
FreeFn g_free;

struct Guard {
    size_t size;
    size_t magic;  // kMagic ^ size: ours, and the header itself intact
};
const size_t kMagic = static_cast<size_t>(0x524F4C4D5EED5EEDull);
const unsigned char kTail[8] = {0xFD, 0xFD, 0xFD, 0xFD, 0xFD, 0xFD, 0xFD, 0xFD};

void* Arm(void* raw, size_t size) {
    if (raw == nullptr) return nullptr;
    Guard* guard = static_cast<Guard*>(raw);
    guard->size = size;
    guard->magic = kMagic ^ size;
    memcpy(reinterpret_cast<char*>(guard + 1) + size, kTail, sizeof kTail);
    return guard + 1;
}

// The raw block behind a guarded one, or null for a block that isn't ours.
Guard* Check(const char* where, void* block) {
    Guard* guard = static_cast<Guard*>(block) - 1;
    if ((guard->magic ^ guard->size) != kMagic) return nullptr;
    if (memcmp(static_cast<char*>(block) + guard->size, kTail, sizeof kTail) == 0) return guard;
    fprintf(stderr, "heap block %p of %lu bytes written past its end, seen at %s\n", block,
            static_cast<unsigned long>(guard->size), where);
    fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 0xC0000374);  // STATUS_HEAP_CORRUPTION
    return nullptr;
}

void* __cdecl GuardedMalloc(size_t size) {
    if (size > ~static_cast<size_t>(0) - 64) return nullptr;
    return Arm(g_malloc(sizeof(Guard) + size + sizeof kTail), size);
}
void* __cdecl GuardedCalloc(size_t count, size_t size) {
    if (size != 0 && count > (~static_cast<size_t>(0) - 64) / size) return nullptr;
    void* block = GuardedMalloc(count * size);
    if (block != nullptr) memset(block, 0, count * size);
    return block;
}
void* __cdecl GuardedRealloc(void* block, size_t size) {
    if (block == nullptr) return GuardedMalloc(size);
    Guard* guard = Check("realloc", block);
    if (guard == nullptr) return g_realloc(block, size);
    if (size > ~static_cast<size_t>(0) - 64) return nullptr;
    if (size == 0) {
        g_free(guard);
        return nullptr;
    }
    return Arm(g_realloc(guard, sizeof(Guard) + size + sizeof kTail), size);
}
void __cdecl GuardedFree(void* block) {
    if (block == nullptr) return;
    Guard* guard = Check("free", block);
    g_free(guard != nullptr ? guard : block);
}

}  // namespace

void CheckHeapOnRelease() {
    HMODULE crt = ::GetModuleHandleW(L"msvcrt.dll");
    if (g_free != nullptr || crt == nullptr) return;
    auto real = [crt](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(crt, name)); };
    g_malloc = reinterpret_cast<MallocFn>(real("malloc"));
    g_realloc = reinterpret_cast<ReallocFn>(real("realloc"));
    g_free = reinterpret_cast<FreeFn>(real("free"));
    const struct {
        const char* name;
        void* guarded;
    } kGuards[] = {{"malloc", reinterpret_cast<void*>(&GuardedMalloc)},
                   {"calloc", reinterpret_cast<void*>(&GuardedCalloc)},
                   {"realloc", reinterpret_cast<void*>(&GuardedRealloc)},
                   {"free", reinterpret_cast<void*>(&GuardedFree)}};
    for (const auto& guard : kGuards)
        if (void** entry = FindImport("msvcrt.dll", guard.name)) Swap(entry, guard.guarded);
}

}  // namespace rolm_test
