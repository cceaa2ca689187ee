#include "platform/this_thread.h"

#include <pthread.h>

#include <algorithm>
#include <string>

#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// Looked up at run time: Windows before 10 (1607) and older Wine lack it,
// and a thread without a name is no failure.
SetDescription setDescription() {
    static const SetDescription function = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC found =
            kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
        return reinterpret_cast<SetDescription>(reinterpret_cast<void*>(found));
    }();
    return function;
}

void name(HANDLE thread, const char* text) {
    SetDescription set = setDescription();
    if (set == nullptr || thread == nullptr || text == nullptr) {
        return;
    }
    // The same 15 bytes as the Linux build keeps.
    std::string kept(text);
    kept.resize(std::min<size_t>(kept.size(), 15));
    set(thread, win32::widen(kept).c_str());
}

}  // namespace

void nameThisThread(const char* text) {
    name(GetCurrentThread(), text);
}

void nameThread(std::thread& thread, const char* text) {
    name(reinterpret_cast<HANDLE>(pthread_gethandle(thread.native_handle())), text);
}

long thisThreadId() {
    return static_cast<long>(GetCurrentThreadId());
}

}  // namespace dd::platform
