// Native-only controls of the Win32 subset: the in-process module registry
// and the file layer's fault switch. Hosts and tests use these; the module
// never does.
#pragma once

#include <map>
#include <string>

#include "platform/win32.h"

namespace platform {

// Registers a loaded module under a name (compared case-insensitively, as
// Windows does) with the addresses of its exported symbols.
void RegisterModule(const std::string& name, HMODULE handle, std::map<std::string, void*> exports);
void UnregisterModule(HMODULE handle);
// How often DisableThreadLibraryCalls was called for a module.
int ThreadNotificationsDisabled(HMODULE handle);

// File layer faults. Each number counts calls of that function from the
// moment the faults are set, starting at 1; 0 means never.
struct FileFaults {
    int failCreate = 0;
    int failWrite = 0;
    int shortWrite = 0;  // the Nth WriteFile writes half the bytes asked and reports that
    int failFlush = 0;
    int failMove = 0;
    int failClose = 0;  // the Nth CloseHandle closes but reports a failure, as a late write error does
};
void SetFileFaults(const FileFaults& faults);
void ClearFileFaults();

// Counts of file calls made since the faults were last set or cleared.
struct FileCallCounts {
    int create = 0;
    int write = 0;
    int flush = 0;
    int move = 0;
    int close = 0;
    int openHandles = 0;
};
FileCallCounts FileCalls();

// The last create, write, flush, close or replace that failed (or wrote
// short): the file and an errno value. An injected fault gives the value its
// real counterpart would (a refused create EACCES, a short write ENOSPC, the
// others EIO). Hosts take it to say why a save failed; deletes are left out,
// as a save deletes names that may not exist.
struct FileFailure {
    std::string path;
    int error = 0;
};
// Returns the last failure and forgets it; an empty path when there was none.
FileFailure TakeFileFailure();

// A Windows path as the native file system spells it: '\' becomes '/'.
std::string NativePath(const char* windowsPath);

}  // namespace platform
