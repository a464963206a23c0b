// A plug-in DLL with a copy of the trace facility of its own: it traces when
// asked, and once more from a static destructor, which runs at process exit
// after the system has ended the other threads, with the loader lock held.
#include <rolm/trace.h>

namespace {
struct Plugin {
    Plugin() { TraceInit(L"Plugin", 1); }
    ~Plugin() { TraceWrite(L"Plugin > unloaded"); }
} g_plugin;
}  // namespace

extern "C" __declspec(dllexport) void PluginTrace(LPCWSTR text) { TraceWrite(L"%s", text); }
