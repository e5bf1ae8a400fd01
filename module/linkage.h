// The module's frame: library entry, the exported Linkage record, and the
// start and stop of an editing run.
#pragma once

#include <stdint.h>

#include "module/hostword.h"
#include "platform/win32.h"

typedef int32_t(TAVU_CALL* ModuleEntry)(int32_t argument, int32_t* running);

struct ModuleLinkage {
    HostWord id;
    void(TAVU_CALL* init)(void);
    void(TAVU_CALL* deinit)(void);
    HostWord flags;
    HostWord priority;
    HostWord version;
    ModuleEntry moduleTable[3];  // EditorStart, EditorStop, SelectScenery
    HostWord moduleTableEnd;     // 0
};
TAVU_ASSERT_SIZE32(ModuleLinkage, 40);
TAVU_ASSERT_OFFSET32(ModuleLinkage, moduleTable, 24);

enum : HostWord { MODULE_VERSION = 0x0800 };

extern "C" ModuleLinkage Linkage;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
void TAVU_CALL EditorInit(void);
void TAVU_CALL EditorDeinit(void);
int32_t TAVU_CALL EditorStart(int32_t argument, int32_t* running);
int32_t TAVU_CALL EditorStop(int32_t argument, int32_t* running);
