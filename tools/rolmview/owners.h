// Owners for the window-system resources the viewer holds, beside the
// kernel ones of common/unique.h, and a critical section with its guard.
#pragma once

#include <windows.h>

#include "common/unique.h"

namespace rolmview {

struct AcceleratorTraits {
    using pointer = HACCEL;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::DestroyAcceleratorTable(h); }
};
struct MenuTraits {  // a menu not attached to a window
    using pointer = HMENU;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::DestroyMenu(h); }
};
struct GdiTraits {  // fonts and brushes
    using pointer = HGDIOBJ;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::DeleteObject(h); }
};
struct ViewTraits {  // MapViewOfFile
    using pointer = void*;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer p) { return ::UnmapViewOfFile(p); }
};

using UniqueAccelerators = rolm::Unique<AcceleratorTraits>;
using UniqueMenu = rolm::Unique<MenuTraits>;
using UniqueGdi = rolm::Unique<GdiTraits>;
using rolm::UniqueWindow;
using UniqueView = rolm::Unique<ViewTraits>;

class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&section_); }
    ~CriticalSection() { ::DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { ::EnterCriticalSection(&section_); }
    void Leave() { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class Locked {
public:
    explicit Locked(CriticalSection& section) : section_(section) { section_.Enter(); }
    ~Locked() { section_.Leave(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CriticalSection& section_;
};

}  // namespace rolmview

namespace rolmview {

struct GlobalTraits {  // GlobalAlloc blocks not yet handed to the clipboard
    using pointer = HGLOBAL;
    static pointer Empty() { return nullptr; }
    static BOOL Close(pointer h) { return ::GlobalFree(h) == nullptr; }
};
using UniqueGlobal = rolm::Unique<GlobalTraits>;

}  // namespace rolmview
