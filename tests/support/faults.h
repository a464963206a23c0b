// Fault injection at the system boundary. The library is linked statically
// into each test program, so its calls to system DLLs go through the
// program's own import table: a stand-in put there counts the calls, tracks
// what was opened against what was closed, and fails the Nth call on request
// (a "torture" run: fail call 1, then 2, ... until the operation makes no
// Nth call).
#pragma once

#include <windows.h>

#include <string>
#include <type_traits>

#if defined(__GNUC__)
// decltype of a C runtime function carries its cdecl attribute, which GCC
// reports as ignored on the template argument; the match is still exact.
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

namespace rolm_test {

// How a stand-in reports the injected failure, and so how it tells a real
// success from a failure.
enum class Fails {
    Null,         // returns 0 (null pointer or handle), last error set
    False,        // returns FALSE, last error set
    Invalid,      // returns INVALID_HANDLE_VALUE / INVALID_SOCKET, last error set
    SocketError,  // returns SOCKET_ERROR, last error set
    Code,         // returns the error code itself (LONG, int)
    Hresult,      // returns HRESULT_FROM_WIN32(error)
    Never         // counted only, never failed (free)
};
enum class Role { None, Open, Close };

namespace detail {
struct Slot {
    const char* dll;
    const char* name;
    Fails fails;
    Role role;
    const char* kind;
    void* replacement;
    void* original;  // what the import table held before the patch
    volatile LONG calls;
    volatile LONG opens;
    volatile LONG closes;
    Slot* next;
    Slot(const char* dll, const char* name, Fails fails, Role role, const char* kind, void* replacement);
};
// Counts the call; true when this call is the one to fail (last error set).
bool Enter(Slot& slot);
void Leave(Slot& slot, bool succeeded);
DWORD InjectedError();

template <typename R>
R FailValue(Fails fails) {
    if constexpr (std::is_pointer_v<R>) {
        return fails == Fails::Invalid ? reinterpret_cast<R>(INVALID_HANDLE_VALUE) : nullptr;
    } else if constexpr (std::is_void_v<R>) {
        return;
    } else {
        switch (fails) {
        case Fails::Invalid:
        case Fails::SocketError: return static_cast<R>(~static_cast<ULONG_PTR>(0));
        case Fails::Code: return static_cast<R>(InjectedError());
        case Fails::Hresult: return static_cast<R>(HRESULT_FROM_WIN32(InjectedError()));
        default: return R{};
        }
    }
}

template <typename R>
bool Succeeded(Fails fails, R result) {
    if constexpr (std::is_pointer_v<R>) {
        return fails == Fails::Invalid ? result != reinterpret_cast<R>(INVALID_HANDLE_VALUE)
                                       : result != nullptr;
    } else {
        switch (fails) {
        case Fails::Invalid:
        case Fails::SocketError: return result != static_cast<R>(~static_cast<ULONG_PTR>(0));
        case Fails::Code: return result == 0;
        case Fails::Hresult: return static_cast<HRESULT>(result) >= 0;
        case Fails::Never: return true;
        default: return result != R{};
        }
    }
}

template <typename First, typename... Rest>
bool FirstNotNull(First first, Rest...) {
    if constexpr (std::is_pointer_v<First>) return first != nullptr;
    return true;
}

template <typename R, typename F, typename... A>
R Forward(Slot& slot, A... args) {
    F real = reinterpret_cast<F>(slot.original);
    if (Enter(slot)) {
        // A failing close still releases, so that what is held stays
        // countable; the caller sees only the failure.
        if (slot.role == Role::Close) {
            DWORD error = ::GetLastError();
            real(args...);
            ::SetLastError(error);
            Leave(slot, true);
        }
        return FailValue<R>(slot.fails);
    }
    if constexpr (std::is_void_v<R>) {
        real(args...);
        Leave(slot, FirstNotNull(args...));  // free(NULL) releases nothing
    } else {
        R result = real(args...);
        Leave(slot, Succeeded(slot.fails, result));
        return result;
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
#define ROLM_STANDIN(dll, name, fails, role, kind)                                           \
    namespace {                                                                              \
    struct RolmStandin_##name {                                                              \
        static ::rolm_test::detail::Slot slot;                                               \
    };                                                                                       \
    ::rolm_test::detail::Slot RolmStandin_##name::slot(                                      \
        dll, #name, fails, role, kind,                                                       \
        reinterpret_cast<void*>(                                                             \
            &::rolm_test::detail::Thunk<RolmStandin_##name, decltype(&::name)>::Call));     \
    }

// While alive, every declared stand-in sits in this program's import table.
// A function the program does not import is reported as a test failure.
class Faults {
public:
    Faults();
    ~Faults();
    Faults(const Faults&) = delete;
    Faults& operator=(const Faults&) = delete;

    // The nth counted call from now on fails with error; 0 fails none.
    void FailNth(int n, DWORD error);
    bool Failed() const;  // whether the armed failure has happened
    // The stand-in whose call failed and which of its calls that was (1: its
    // first since Reset); null when none failed.
    const char* FailedCall(int* occurrence = nullptr) const;
    int Calls() const;    // failable calls since construction or Reset
    int Held(const char* kind) const;  // successful opens minus closes
    void Reset();                      // counts to zero, nothing armed
    // Counts (and fails) only the calls of this thread from now on; 0: of no
    // thread, ~0u: of every thread (the start, and again when a Faults goes). For operations whose helpers
    // (a trace capture, a server) call the same functions on their threads.
    static void CountThread(DWORD threadId);
};

// A torture run: op with its 1st, 2nd, ... counted call failing with error,
// until it makes no such call; check(outcome, name, k) sees each outcome with
// the failed call, the kth of that name. Nothing is left armed afterwards.
template <typename Op, typename Check>
void Torture(Faults& faults, DWORD error, Op op, Check check) {
    for (int n = 1;; ++n) {
        faults.Reset();
        faults.FailNth(n, error);
        auto outcome = op();
        int k = 0;
        const char* name = faults.FailedCall(&k);
        if (name == nullptr) break;
        check(outcome, std::string(name), k);
    }
    faults.Reset();
}

// Replaces this program's import of DLL!function (or that of a DLL it loaded) while alive.
class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement, HMODULE module = nullptr);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    bool patched() const { return entry_ != nullptr; }
    void* original() const { return original_; }

private:
    void** entry_ = nullptr;
    void* original_ = nullptr;
};

// Checks the C heap at every free and realloc from now on; a damaged heap
// ends the program with STATUS_HEAP_CORRUPTION after saying so on stderr.
void CheckHeapOnRelease();

}  // namespace rolm_test
