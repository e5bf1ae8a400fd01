#include "module/export.h"
#include "module/host.h"

// The host writes each table word before it calls any entry; the module only
// supplies the ids.
TAVU_EXPORT ImportEntry ImportTable[IMPORT_ENTRY_COUNT] = {
    {RUNTIME_TABLE_ID, 0}, {SIM_GLOBALS_ID, 0}, {CALLBACK_TABLE_ID, 0}, {RENDER_TABLE_ID, 0},
    {MATH_TABLE_ID, 0},    {UI_TABLE_ID, 0},    {0, 0},
};
TAVU_ASSERT_SIZE32(ImportTable, 56);
