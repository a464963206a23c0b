// Fault injection at the system boundary. The library is linked statically
// into each test program, so its calls to system DLLs go through the
// program's own import table: a stand-in put there counts the calls, tracks
// what was opened against what was closed, and fails the Nth call on request
// (a "torture" run: fail call 1, then 2, ... until the operation makes no
// Nth call). The guarded heap, at the end, watches every heap block.
#pragma once

#include <type_traits>

#include "support.h"

#if defined(__GNUC__)
// decltype of a C runtime function carries its cdecl attribute, which GCC
// reports as ignored on the template argument; the match is still exact.
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

namespace rolm_test {

// How a stand-in reports the injected failure (the last error set), and so
// how it tells a real success from a failure.
enum class Fails {
    Null,         // returns 0: a null pointer or handle, FALSE
    False = Null,
    Invalid,      // returns all bits set: INVALID_HANDLE_VALUE, INVALID_SOCKET, SOCKET_ERROR, WAIT_FAILED, INADDR_NONE
    Code,         // returns the error code itself (LONG, int)
    Hresult,      // returns HRESULT_FROM_WIN32(error)
    Same,         // returns its first argument (LocalFree, FreeSid), null on success
    Never         // counted only, never failed (free)
};
enum class Role { None, Open, Close };

namespace detail {
struct Slot {
    const char *dll, *name;
    Fails fails;
    Role role;
    const char* kind;
    void* replacement;
    void* original;  // what the import table held before the patch
    volatile LONG calls, opens, closes;
    Slot* next;
    Slot(const char* dll, const char* name, Fails fails, Role role, const char* kind, void* replacement);
};
bool Kept();  // whether a HeapKept lives on this thread
bool Enter(Slot& slot);  // counts the call; true when it is the one to fail (last error set)
// Counts an open or a close, and gives what the stand-in returns: the real call's result, or the failure's value.
// A release leaves a last error of its own (kReleased), as the system's may: a caller that reports the last error
// after releasing something shows it. A failing close still releases, so that what is held stays countable; the
// caller sees only the failure.
ULONG_PTR Leave(Slot& slot, bool failed, ULONG_PTR result, ULONG_PTR first);
const DWORD kReleased = 0xC105ED;
// Null when this program (or the module given) does not import it.
void** FindImport(const char* dll, const char* function);
void* SwapImport(void** entry, void* value);  // returns what the entry held

template <typename R, typename F, typename... A>
R Forward(Slot& slot, A... args) {
    const F real = reinterpret_cast<F>(slot.original);
    const ULONG_PTR first = std::initializer_list<ULONG_PTR>{(ULONG_PTR)args..., 0}.begin()[0];
    const bool failed = Enter(slot);
    if constexpr (std::is_void_v<R>) {
        real(args...);  // CoUninitialize: Fails::Never
        Leave(slot, false, 0, first);
    } else {
        const R result = !failed || slot.role == Role::Close ? real(args...) : R();
        const ULONG_PTR given = Leave(slot, failed, (ULONG_PTR)result, first);
        return failed ? (R)given : result;
    }
}

template <typename Tag, typename F>
struct Thunk;
template <typename Tag, typename R, typename... A>
struct Thunk<Tag, R(WINAPI*)(A...)> {
    static R WINAPI Call(A... args) { return Forward<R, R(WINAPI*)(A...)>(Tag::slot, args...); }
};
#if defined(_M_IX86) || defined(__i386__)
// The C runtime's functions use the caller-cleans convention on x86 only.
template <typename Tag, typename R, typename... A>
struct Thunk<Tag, R(__cdecl*)(A...)> {
    static R __cdecl Call(A... args) { return Forward<R, R(__cdecl*)(A...)>(Tag::slot, args...); }
};
#endif
}  // namespace detail

// Declares a stand-in for DLL!Name at namespace scope of a test file; its
// signature comes from the system header's declaration.
#define ROLM_STANDIN(dll, name, fails, role, kind)                                                                  \
    namespace {                                                                                                     \
    struct RolmStandin_##name {                                                                                     \
        static ::rolm_test::detail::Slot slot;                                                                      \
    };                                                                                                              \
    ::rolm_test::detail::Slot RolmStandin_##name::slot(                                                             \
        dll, #name, fails, role, kind,                                                                              \
        reinterpret_cast<void*>(&::rolm_test::detail::Thunk<RolmStandin_##name, decltype(&::name)>::Call)); \
    }

// While alive, every declared stand-in sits in this program's import table.
// A function the program does not import is reported as a test failure.
class Faults {
public:
    Faults();
    ~Faults();

    // The nth counted call from now on fails with error; 0 fails none.
    void FailNth(int n, DWORD error);
    int Calls() const;    // counted calls since construction or Reset
    // The stand-in whose call failed and which of its calls that was (1: its
    // first since Reset); null when none failed.
    const char* FailedCall(int* occurrence = nullptr) const;
    // Success when no kind is held (each kind counted apart, so that a leak of
    // one and a double close of another can't cancel out); else names them.
    ::testing::AssertionResult NothingHeld() const;
    void Reset();  // counts to zero, nothing armed
    // Counts (and fails) only the calls of this thread from now on; 0: of no
    // thread, ~0u: of every thread (the start, and again when a Faults goes).
    // For operations whose helpers (a trace capture, a server) call the same
    // functions on their threads.
    static void CountThread(DWORD threadId);
};

// What an operation gave: its result and the error it reported (an output,
// or the last error after a BOOL), each as a DWORD.
struct Outcome {
    DWORD result, error;
};
// A row of a torture table: when the call named fails ("Name", or "Name#k"
// for its kth call only), the operation gives result and error, and its trace
// has a line that fits line (support.h Fits: "#" stands for a number); an
// empty line: the trace is the unfailed run's, numbers aside. A failing close
// (Role::Close) that has no row must leave result, error and trace as the
// unfailed run has them. The row of call "" is the unfailed run: its result,
// its error, and its whole trace, the lines separated by "\n".
struct Failure {
    std::string call;
    DWORD result, error;
    std::wstring line;
};
// A torture run with named outcomes: op runs once unfailed, then with its 1st,
// 2nd, ... failable call failing with error (only this thread's calls count),
// until it makes no such call. After each run its row must hold, and nothing
// may be held: no kind of the stand-ins, no C heap block allocated meanwhile,
// and released() (optional: other resources, counted by the test) must hold.
// op must release whatever it is handed.
void TortureTable(Faults& faults, DWORD error, const std::vector<Failure>& rows, const std::function<Outcome()>& op,
                  const std::function<::testing::AssertionResult()>& released = nullptr);
// The rows of a section of the program's cases (support.h Cases): call=,
// result=, error= and the lines of each case, each "{name}" of values expanded.
std::vector<Failure> Failures(const char* section, const Values& values = {});

// Whether every call that the named families' objects import from the system
// (listed from the library with nm at build time) has a stand-in in this
// program, except those that cannot fail (an explicit list); names the rest.
::testing::AssertionResult StandInsCover(std::initializer_list<const char*> families);

// Replaces this program's import of DLL!function while alive.
struct ImportPatch {
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    void** const entry;     // null when there is no such import
    void* const original;  // what the entry held
};

// The guarded heap, from main on: every block allocated through this
// program's import table (malloc, calloc, realloc, HeapAlloc) lies between a
// head and a tail canary of 64 bytes, in a pattern that changes with the
// block's address and each byte's place, and is listed. A release (free,
// realloc, HeapFree) checks both canaries; a damaged block, a block released
// to the wrong heap, or a pointer that is neither listed nor a block of its
// heap (freed twice, say) ends the program with STATUS_HEAP_CORRUPTION after
// a line on stderr. LocalFree of something that is no local block does too.
const char* HeapDamage(const void* block);  // what is wrong with a listed block, null if nothing
// The serial number of the last block allocated; blocks allocated after
// serial and still listed, described ("" when there are none).
LONG HeapSerial();
std::string HeapLeftSince(LONG serial);
// Blocks that this thread allocates while one lives may live for the rest of
// the process (a cache, the trace capture): the leak checks pass over them,
// and no stand-in counts or fails this thread's calls meanwhile.
struct HeapKept {
    HeapKept();
    ~HeapKept();
    void* outer;
};

}  // namespace rolm_test
