// The guarded heap (faults.h), and the shared main of the test programs. Wine's heap reports a write past a block only
// when the program runs with heap flags, not at all once the block is freed,
// and takes back a pointer it never handed out without a word: so the blocks
// this program allocates carry canaries of their own and are listed, and each
// release is checked.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <thread>

#include "faults.h"

namespace rolm_test {
namespace {

const size_t kCanary = 64, kMark = 0x5EED0F0F;
struct alignas(16) Header {  // a multiple of 16 bytes, so that blocks keep the allocator's alignment
    size_t size;
    HANDLE heap;   // null: the C heap
    LONG serial;   // 0: may live for the process
    size_t mark;   // kMark ^ the block's address while it is listed
    Header *prev, *next;
};
const size_t kOverhead = sizeof(Header) + 2 * kCanary, kLargest = ~size_t(0) - kOverhead;

void*(__cdecl* g_malloc)(size_t);
void*(__cdecl* g_realloc)(void*, size_t);
void(__cdecl* g_free)(void*);
LPVOID(WINAPI* g_heapAlloc)(HANDLE, DWORD, SIZE_T);
BOOL(WINAPI* g_heapFree)(HANDLE, DWORD, LPVOID);
HLOCAL(WINAPI* g_localFree)(HLOCAL);
HANDLE g_crtHeap;  // where malloc takes its blocks from
CRITICAL_SECTION g_lock;
Header g_listed = {0, nullptr, 0, 0, &g_listed, &g_listed};
LONG g_serial;
DWORD g_kept = TLS_OUT_OF_INDEXES;  // the thread's HeapKept depth

Header* HeaderOf(const void* block) { return reinterpret_cast<Header*>((char*)block - kCanary) - 1; }
unsigned char* BlockOf(Header* h) { return reinterpret_cast<unsigned char*>(h + 1) + kCanary; }
// Never ASCII nor zero, and different at each place and for each block.
unsigned char Pattern(const void* block, size_t i) {
    const size_t mixed = (reinterpret_cast<size_t>(block) >> 3) * 2654435761u + i * 40503u;
    return static_cast<unsigned char>(0x80 + mixed % 0x7F);
}

[[noreturn]] void Corrupt(const char* what, const void* block, const char* where) {
    fprintf(stderr, "heap block %p %s, seen at %s\n", block, what, where);
    fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 0xC0000374);  // STATUS_HEAP_CORRUPTION
    abort();
}

void* Arm(void* raw, size_t size, HANDLE heap) {
    if (raw == nullptr) return nullptr;
    Header* h = static_cast<Header*>(raw);
    unsigned char* block = BlockOf(h);
    const bool kept = detail::Kept();
    for (size_t i = 0; i < kCanary; ++i) {
        block[i - kCanary] = Pattern(block, i);
        block[size + i] = Pattern(block, kCanary + i);
    }
    ::EnterCriticalSection(&g_lock);
    *h = {size, heap, kept ? 0 : ++g_serial, kMark ^ reinterpret_cast<size_t>(block), &g_listed, g_listed.next};
    g_listed.next = h->next->prev = h;
    ::LeaveCriticalSection(&g_lock);
    return block;
}

// A listed block checked, and unlisted unless only looked at: its raw block.
// An unlisted one must be a block of its heap (one allocated before the
// guard, or by the C runtime itself): it is given back as it is.
void* Release(void* block, HANDLE heap, const char* where, bool unlist = true) {
    Header* h = HeaderOf(block);
    if (h->mark != (kMark ^ reinterpret_cast<size_t>(block))) {
        if (!::HeapValidate(heap != nullptr ? heap : g_crtHeap, 0, block))
            Corrupt("is no block of its heap: released twice, never allocated, or its header overwritten", block,
                    where);
        return block;
    }
    if (const char* damage = HeapDamage(block)) Corrupt(damage, block, where);
    if (h->heap != heap) Corrupt("released to another heap than its own", block, where);
    if (!unlist) return h;
    ::EnterCriticalSection(&g_lock);
    h->prev->next = h->next;
    h->next->prev = h->prev;
    h->mark = 0;
    ::LeaveCriticalSection(&g_lock);
    return h;
}

void* __cdecl GuardedMalloc(size_t size) {
    return size > kLargest ? nullptr : Arm(g_malloc(kOverhead + size), size, nullptr);
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
    if (moved != nullptr) memcpy(moved, block, size < HeaderOf(block)->size ? size : HeaderOf(block)->size);
    g_free(Release(block, nullptr, "realloc"));
    return moved;
}
void __cdecl GuardedFree(void* block) {
    if (block != nullptr) g_free(Release(block, nullptr, "free"));
}
LPVOID WINAPI GuardedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    return size > kLargest ? nullptr : Arm(g_heapAlloc(heap, flags, kOverhead + size), size, heap);
}
BOOL WINAPI GuardedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    return g_heapFree(heap, flags, block == nullptr ? nullptr : Release(block, heap, "HeapFree"));
}
HLOCAL WINAPI GuardedLocalFree(HLOCAL block) {
    if (g_localFree(block) != nullptr)
        Corrupt("is no local block: released twice, or never allocated", block, "LocalFree");
    return nullptr;
}

// Puts guarded in front of this program's import of dll!name, where it has one.
template <typename F, typename R>
void Guard(const char* dll, const char* name, F guarded, R* real) {
    void** entry = detail::FindImport(dll, name);
    if (entry != nullptr) *real = reinterpret_cast<R>(detail::SwapImport(entry, reinterpret_cast<void*>(guarded)));
}

// Each test that passes fails if blocks it allocated are still listed at its end.
class LeakCheck : public ::testing::EmptyTestEventListener {
    LONG start_ = 0;
    void OnTestStart(const ::testing::TestInfo&) override { start_ = g_serial; }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        const std::string left = HeapLeftSince(start_);
        if (test.result()->Passed() && !left.empty()) ADD_FAILURE() << "heap blocks left by the test:\n" << left;
    }
};

void GuardHeap() {
    ::InitializeCriticalSection(&g_lock);
    g_kept = ::TlsAlloc();
    FARPROC heapHandle = ::GetProcAddress(::GetModuleHandleW(L"msvcrt.dll"), "_get_heap_handle");
    const auto crtHeap = reinterpret_cast<intptr_t(__cdecl*)()>(reinterpret_cast<void*>(heapHandle));
    g_crtHeap = heapHandle != nullptr ? reinterpret_cast<HANDLE>(crtHeap()) : ::GetProcessHeap();
    void* unused = nullptr;
    Guard("msvcrt.dll", "malloc", &GuardedMalloc, &g_malloc);
    Guard("msvcrt.dll", "calloc", &GuardedCalloc, &unused);
    Guard("msvcrt.dll", "realloc", &GuardedRealloc, &g_realloc);
    Guard("msvcrt.dll", "free", &GuardedFree, &g_free);
    Guard("kernel32.dll", "HeapAlloc", &GuardedHeapAlloc, &g_heapAlloc);
    Guard("kernel32.dll", "HeapFree", &GuardedHeapFree, &g_heapFree);
    Guard("kernel32.dll", "LocalFree", &GuardedLocalFree, &g_localFree);
}

// What the run keeps for good, made before the first test: the main thread's
// stack of scoped traces, the records of threads that the thread runtime
// keeps for the next ones (each level's thread is joined only after the
// levels below it).
void Grow(int depth) {
    HeapKept kept;
    SCOPED_TRACE(depth);
    std::thread thread([] {});
    if (depth > 0) Grow(depth - 1);
    thread.join();
}

}  // namespace

// The nearest damaged byte first.
const char* HeapDamage(const void* block) {
    const unsigned char *head = static_cast<const unsigned char*>(block), *tail = head + HeaderOf(block)->size;
    for (size_t at = 0; at < kCanary; ++at) {
        if (head[-1 - ptrdiff_t(at)] != Pattern(block, kCanary - 1 - at)) return "written before its start";
        if (tail[at] != Pattern(block, kCanary + at)) return "written past its end";
    }
    return nullptr;
}

LONG HeapSerial() { return g_serial; }

// The report's own blocks go in at the list's head, behind the walk.
std::string HeapLeftSince(LONG serial) {
    std::string out;
    ::EnterCriticalSection(&g_lock);
    for (Header* h = g_listed.next; h != &g_listed && out.size() < 1000; h = h->next) {
        char line[128];
        snprintf(line, sizeof line, "  %u bytes from %s, the %ldth allocated since\n", unsigned(h->size),
                 h->heap ? "HeapAlloc" : "the C heap", h->serial - serial);
        if (h->serial > serial) out += line;
    }
    ::LeaveCriticalSection(&g_lock);
    return out;
}

bool detail::Kept() {
    const DWORD error = ::GetLastError();  // TlsGetValue clears it
    const bool kept = ::TlsGetValue(g_kept) != nullptr;
    ::SetLastError(error);
    return kept;
}

HeapKept::HeapKept() : outer(::TlsGetValue(g_kept)) { ::TlsSetValue(g_kept, static_cast<char*>(outer) + 1); }
HeapKept::~HeapKept() { ::TlsSetValue(g_kept, outer); }

}  // namespace rolm_test

// Runs a child verb when started as one, the tests otherwise, each checked for heap blocks it leaves behind.
int main(int argc, char** argv) {
    rolm_test::GuardHeap();  // an overrun is caught when its block goes back
    const int child = rolm_test::RunChildIfAsked();
    if (child >= 0) return child;
    ::testing::InitGoogleTest(&argc, argv);
    rolm_test::Grow(8);
    ::testing::UnitTest::GetInstance()->listeners().Append(new rolm_test::LeakCheck);
    return RUN_ALL_TESTS();
}
