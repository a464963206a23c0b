// The guarded heap (faults.h). Wine's heap reports a write past a block only
// when the program runs with heap flags, not at all once the block is freed,
// and takes back a pointer it never handed out without a word: so the blocks
// this program allocates carry canaries of their own and are listed, and each
// release is checked.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "faults.h"

#if defined(_MSC_VER)
#include <intrin.h>
#define ROLM_CALLER _ReturnAddress()
#else
#define ROLM_CALLER __builtin_return_address(0)
#endif

namespace rolm_test {
namespace {

const size_t kCanary = 64;
union Header {  // a multiple of 16 bytes, so that blocks keep the allocator's alignment
    struct Fields {
        size_t size;
        HANDLE heap;         // null: the C heap
        LONG serial;         // 0: may live for the process
        void* caller;        // where it was allocated, for the leak report
        size_t mark;         // kMark ^ the block's address while it is listed
        Header *prev, *next;  // the list of blocks
    } h;
    char bytes[8 * sizeof(void*)];
};
const size_t kOverhead = sizeof(Header) + 2 * kCanary, kLargest = ~size_t(0) - kOverhead, kMark = size_t(0x5EED0F0F);

void*(__cdecl* g_malloc)(size_t);
void*(__cdecl* g_realloc)(void*, size_t);
void(__cdecl* g_free)(void*);
LPVOID(WINAPI* g_heapAlloc)(HANDLE, DWORD, SIZE_T);
BOOL(WINAPI* g_heapFree)(HANDLE, DWORD, LPVOID);
HLOCAL(WINAPI* g_localFree)(HLOCAL);
HANDLE g_crtHeap;  // where malloc takes its blocks from
CRITICAL_SECTION g_lock;
Header g_listed = {{0, nullptr, 0, nullptr, 0, &g_listed, &g_listed}};
LONG g_serial;
DWORD g_kept = TLS_OUT_OF_INDEXES;  // the thread's HeapKept depth
bool g_allowLeaks;

Header* HeaderOf(const void* block) {
    return reinterpret_cast<Header*>(static_cast<char*>(const_cast<void*>(block)) - kCanary) - 1;
}
void* BlockOf(Header* h) { return reinterpret_cast<char*>(h + 1) + kCanary; }
// Never ASCII nor zero, and different at each place and for each block.
unsigned char Pattern(const void* block, size_t i) {
    const size_t mixed = (reinterpret_cast<size_t>(block) >> 3) * 2654435761u + i * 40503u;
    return static_cast<unsigned char>(0x80 + mixed % 0x7F);
}

const char* Damage(const void* block, size_t* at) {
    const unsigned char *head = static_cast<const unsigned char*>(block) - kCanary, *tail = head + kCanary;
    for (*at = 0; *at < kCanary; ++*at)
        if (head[kCanary - 1 - *at] != Pattern(block, kCanary - 1 - *at)) return "written before its start";
    for (*at = 0, tail += HeaderOf(block)->h.size; *at < kCanary; ++*at)
        if (tail[*at] != Pattern(block, kCanary + *at)) return "written past its end";
    return nullptr;
}

[[noreturn]] void Corrupt(const char* what, const void* block, const char* where) {
    fprintf(stderr, "heap block %p %s, seen at %s\n", block, what, where);
    fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 0xC0000374);  // STATUS_HEAP_CORRUPTION
    abort();
}

void* Arm(void* raw, size_t size, HANDLE heap, void* caller) {
    if (raw == nullptr) return nullptr;
    Header* h = static_cast<Header*>(raw);
    unsigned char* block = static_cast<unsigned char*>(BlockOf(h));
    const DWORD error = ::GetLastError();  // TlsGetValue clears it
    const bool kept = ::TlsGetValue(g_kept) != nullptr;
    ::SetLastError(error);
    for (size_t i = 0; i < kCanary; ++i) {
        block[i - kCanary] = Pattern(block, i);
        block[size + i] = Pattern(block, kCanary + i);
    }
    ::EnterCriticalSection(&g_lock);
    h->h = {size, heap, kept ? 0 : ++g_serial, caller, kMark ^ reinterpret_cast<size_t>(block), &g_listed,
            g_listed.h.next};
    g_listed.h.next = h->h.next->h.prev = h;
    ::LeaveCriticalSection(&g_lock);
    return block;
}

// A listed block checked, and unlisted unless only looked at: its raw block.
// An unlisted one must be a block of its heap (one allocated before the
// guard, or by the C runtime itself): it is given back as it is.
void* Release(void* block, HANDLE heap, const char* where, bool unlist = true) {
    Header* h = HeaderOf(block);
    if (h->h.mark != (kMark ^ reinterpret_cast<size_t>(block))) {
        if (!::HeapValidate(heap != nullptr ? heap : g_crtHeap, 0, block))
            Corrupt("is no block of its heap: released twice, never allocated, or its header overwritten", block,
                    where);
        return block;
    }
    size_t at = 0;
    if (const char* damage = Damage(block, &at)) Corrupt(damage, block, where);
    if (h->h.heap != heap) Corrupt("released to another heap than its own", block, where);
    if (!unlist) return h;
    ::EnterCriticalSection(&g_lock);
    h->h.prev->h.next = h->h.next;
    h->h.next->h.prev = h->h.prev;
    h->h.mark = 0;
    ::LeaveCriticalSection(&g_lock);
    return h;
}

void* __cdecl GuardedMalloc(size_t size) {
    return size > kLargest ? nullptr : Arm(g_malloc(kOverhead + size), size, nullptr, ROLM_CALLER);
}
void* __cdecl GuardedCalloc(size_t count, size_t size) {
    void* block = size != 0 && count > kLargest / size ? nullptr : GuardedMalloc(count * size);
    return block != nullptr ? memset(block, 0, count * size) : nullptr;
}
// Always moves the block, so that a pointer kept to the old one is stale at once.
void* __cdecl GuardedRealloc(void* block, size_t size) {
    if (block == nullptr) return GuardedMalloc(size);
    if (Release(block, nullptr, "realloc", false) == block) return g_realloc(block, size);
    void* moved = size == 0 ? nullptr : GuardedMalloc(size);
    if (moved == nullptr && size != 0) return nullptr;  // the old block stays as it was
    if (moved != nullptr) memcpy(moved, block, size < HeaderOf(block)->h.size ? size : HeaderOf(block)->h.size);
    g_free(Release(block, nullptr, "realloc"));
    return moved;
}
void __cdecl GuardedFree(void* block) {
    if (block != nullptr) g_free(Release(block, nullptr, "free"));
}
LPVOID WINAPI GuardedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    return size > kLargest ? nullptr : Arm(g_heapAlloc(heap, flags, kOverhead + size), size, heap, ROLM_CALLER);
}
BOOL WINAPI GuardedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    return g_heapFree(heap, flags, block == nullptr ? nullptr : Release(block, heap, "HeapFree"));
}
HLOCAL WINAPI GuardedLocalFree(HLOCAL block) {
    HLOCAL failed = g_localFree(block);
    if (failed != nullptr) Corrupt("is no local block: released twice, or never allocated", block, "LocalFree");
    return failed;
}

class LeakCheck : public ::testing::EmptyTestEventListener {
    LONG start_ = 0;
    void OnTestStart(const ::testing::TestInfo&) override {
        g_allowLeaks = false;
        start_ = g_serial;
    }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        const char* check = getenv("ROLM_LEAK_CHECK");
        if (g_allowLeaks || (check != nullptr && strcmp(check, "0") == 0) || !test.result()->Passed()) return;
        const std::string left = HeapLeftSince(start_);
        if (!left.empty()) ADD_FAILURE() << "heap blocks allocated during the test and never freed:\n" << left;
    }
};

}  // namespace

void CheckHeapOnRelease() {
    if (g_free != nullptr) return;
    ::InitializeCriticalSection(&g_lock);
    g_kept = ::TlsAlloc();
    FARPROC heapHandle = ::GetProcAddress(::GetModuleHandleW(L"msvcrt.dll"), "_get_heap_handle");
    const auto crtHeap = reinterpret_cast<intptr_t(__cdecl*)()>(reinterpret_cast<void*>(heapHandle));
    g_crtHeap = heapHandle != nullptr ? reinterpret_cast<HANDLE>(crtHeap()) : ::GetProcessHeap();
    const struct {
        const char *dll, *name;
        void *guarded, **real;
    } kGuards[] = {{"msvcrt.dll", "malloc", (void*)&GuardedMalloc, (void**)&g_malloc},
                   {"msvcrt.dll", "calloc", (void*)&GuardedCalloc, nullptr},
                   {"msvcrt.dll", "realloc", (void*)&GuardedRealloc, (void**)&g_realloc},
                   {"msvcrt.dll", "free", (void*)&GuardedFree, (void**)&g_free},
                   {"kernel32.dll", "HeapAlloc", (void*)&GuardedHeapAlloc, (void**)&g_heapAlloc},
                   {"kernel32.dll", "HeapFree", (void*)&GuardedHeapFree, (void**)&g_heapFree},
                   {"kernel32.dll", "LocalFree", (void*)&GuardedLocalFree, (void**)&g_localFree}};
    for (const auto& guard : kGuards)
        if (void** entry = detail::FindImport(guard.dll, guard.name)) {
            void* real = detail::SwapImport(entry, guard.guarded);
            if (guard.real != nullptr) *guard.real = real;
        }
}

std::string HeapDamage(const void* block) {
    size_t at = 0;
    const char* damage = Damage(block, &at);
    return damage == nullptr ? "" : std::string(damage) + ", canary byte " + std::to_string(at);
}

LONG HeapSerial() { return g_serial; }

std::string HeapLeftSince(LONG serial) {
    char seen[8][128];
    int count = 0;
    ::EnterCriticalSection(&g_lock);
    for (Header* h = g_listed.h.next; h != &g_listed; h = h->h.next) {
        if (h->h.serial <= serial || count++ >= 8) continue;
        char text[17] = "";
        const unsigned char* bytes = static_cast<unsigned char*>(BlockOf(h));
        for (size_t c = 0; c < 16 && c < h->h.size; ++c) text[c] = isprint(bytes[c]) ? char(bytes[c]) : '.';
        snprintf(seen[count - 1], sizeof seen[0], "  %u bytes from %s, allocated at %p, the %ldth since: \"%s\"\n",
                 static_cast<unsigned>(h->h.size), h->h.heap ? "HeapAlloc" : "the C heap", h->h.caller,
                 h->h.serial - serial, text);
    }
    ::LeaveCriticalSection(&g_lock);
    std::string out;
    for (int i = 0; i < count && i < 8; ++i) out += seen[i];
    return count > 8 ? out + "  and " + std::to_string(count - 8) + " more\n" : out;
}

HeapKept::HeapKept() : outer(::TlsGetValue(g_kept)) { ::TlsSetValue(g_kept, static_cast<char*>(outer) + 1); }
HeapKept::~HeapKept() { ::TlsSetValue(g_kept, outer); }

::testing::TestEventListener* NewLeakCheck() { return new LeakCheck; }
void AllowLeaks() { g_allowLeaks = true; }

}  // namespace rolm_test
