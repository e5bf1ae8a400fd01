// GetModuleHandleA and GetProcAddress over an in-process registry: the
// emulated host and player register themselves as the Win32 loader would
// have loaded them.
#include <strings.h>

#include <map>
#include <string>

#include "platform/native.h"

namespace {

struct LoadedModule {
    std::string name;
    HMODULE handle;
    std::map<std::string, void*> exports;
    int threadNotificationsDisabled = 0;
};

std::map<HMODULE, LoadedModule>& Registry() {
    static std::map<HMODULE, LoadedModule> modules;
    return modules;
}

}  // namespace

namespace platform {

void RegisterModule(const std::string& name, HMODULE handle, std::map<std::string, void*> exports) {
    Registry()[handle] = LoadedModule{name, handle, std::move(exports)};
}

void UnregisterModule(HMODULE handle) { Registry().erase(handle); }

int ThreadNotificationsDisabled(HMODULE handle) {
    auto it = Registry().find(handle);
    return it == Registry().end() ? 0 : it->second.threadNotificationsDisabled;
}

}  // namespace platform

extern "C" {

BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
    auto it = Registry().find(module);
    if (it == Registry().end()) {
        return FALSE;
    }
    ++it->second.threadNotificationsDisabled;
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    if (name == nullptr) {
        return nullptr;
    }
    for (auto& [handle, module] : Registry()) {
        if (strcasecmp(module.name.c_str(), name) == 0) {
            return handle;
        }
    }
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE handle, LPCSTR name) {
    auto it = Registry().find(handle);
    if (it == Registry().end() || name == nullptr) {
        return nullptr;
    }
    // Export names are case-sensitive, unlike module names.
    auto symbol = it->second.exports.find(name);
    return symbol == it->second.exports.end() ? nullptr : reinterpret_cast<FARPROC>(symbol->second);
}

}  // extern "C"
