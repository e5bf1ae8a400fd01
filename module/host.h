// The host's services as the module sees them.
//
// The host fills ImportTable with its service tables before calling any
// entry. Each service is one numbered slot of one table; every wrapper below
// names its slot once so that call sites read like an ordinary API:
//     AllocBlock(1, 304, &header->records, 1);
#pragma once

#include <stdint.h>

#include "module/hostword.h"
#include "platform/win32.h"

struct ImportEntry {
    HostWord id;
    HostWord table;
};
TAVU_ASSERT_SIZE32(ImportEntry, 8);

enum : uint32_t {
    IMPORT_ENTRY_COUNT = 7,
    RUNTIME_TABLE_ID = 1,
    SIM_GLOBALS_ID = 2,
    CALLBACK_TABLE_ID = 4,
    RENDER_TABLE_ID = 0x0E,
    MATH_TABLE_ID = 0x14,
    UI_TABLE_ID = 0x1954,
};

// Positions of the entries inside ImportTable.
enum ImportIndex : int {
    IMPORT_RUNTIME = 0,
    IMPORT_SIM_GLOBALS = 1,
    IMPORT_CALLBACKS = 2,
    IMPORT_RENDER = 3,
    IMPORT_MATH = 4,
    IMPORT_UI = 5,
};

extern "C" ImportEntry ImportTable[IMPORT_ENTRY_COUNT];

// Service slots, counted in words from the start of each table.
enum : int {
    SLOT_ALLOC_BLOCK = 131,
    SLOT_RESIZE_BLOCK = 132,
    SLOT_COPY_BYTES = 135,
    SLOT_COMPARE_BYTES = 138,
    SLOT_COPY_STRING = 170,
    SLOT_APPEND_STRING = 172,

    SLOT_REGISTER_CALLBACK = 6,
    SLOT_UNREGISTER_CALLBACK = 7,

    SLOT_DRAW_BLOCK = 11,

    SLOT_SIN_COS = 10,

    SLOT_SHOW_HELP = 7,
    SLOT_RUN_DIALOG = 8,
    SLOT_SHOW_MESSAGE = 9,
    SLOT_INSTALL_KEY_HOOK = 12,
    SLOT_REMOVE_KEY_HOOK = 13,
    SLOT_DISTANCE_TO_LON = 21,
    SLOT_LON_TO_DISTANCE = 22,
};

// Largest slot index of each table, plus one: how many words a host's table
// must hold.
enum : int {
    RUNTIME_TABLE_SLOTS = 173,
    CALLBACK_TABLE_SLOTS = 8,
    RENDER_TABLE_SLOTS = 12,
    MATH_TABLE_SLOTS = 11,
    UI_TABLE_SLOTS = 23,
};

enum : int32_t {
    FRAME_CALLBACK = 1,
    DRAW_CALLBACK = 13,
};

// ShowMessage flags and answers.
enum : uint32_t {
    BOX_ONE_BUTTON = 0x80000000u,
    BOX_YES_NO = 0x80000004u,
};
enum : int32_t {
    ANSWER_YES = 6,
    ANSWER_NO = 7,
};

typedef void(TAVU_CALL* HostCallback)(uint32_t, uint32_t);
typedef uint32_t(TAVU_CALL* KeyFunction)(uint32_t keyCode, uint32_t modifiers);

typedef int32_t(TAVU_CALL* AllocBlockFn)(int32_t pool, int32_t bytes, void* pointerAddress, int32_t flags);
typedef int32_t(TAVU_CALL* ResizeBlockFn)(int32_t pool, int32_t bytes, void* pointerAddress);
typedef void(TAVU_CALL* CopyBytesFn)(void* destination, const void* source, int32_t count);
typedef int32_t(TAVU_CALL* CompareBytesFn)(const void* first, const void* second, int32_t count);
typedef void(TAVU_CALL* StringFn)(char* destination, const char* source);
typedef void(TAVU_CALL* CallbackRegistrationFn)(int32_t type, HostCallback callback);
typedef void(TAVU_CALL* DrawBlockFn)(const void* block, int32_t zero);
typedef void(TAVU_CALL* SinCosFn)(uint32_t angle, int16_t* sine, int16_t* cosine);
typedef void(TAVU_CALL* ShowHelpFn)(const char* helpFile, const char* topic);
typedef int32_t(TAVU_CALL* RunDialogFn)(HINSTANCE instance, int32_t templateId, DLGPROC procedure);
typedef int32_t(TAVU_CALL* ShowMessageFn)(HINSTANCE instance, int32_t titleId, int32_t textId, int32_t zero,
                                          uint32_t flags);
typedef int32_t(TAVU_CALL* KeyHookFn)(KeyFunction handler, KeyFunction filter);
typedef int32_t(TAVU_CALL* DistanceConversionFn)(int32_t value, int32_t latitude);

template <typename Fn>
inline Fn HostService(int importIndex, int slot) {
    return reinterpret_cast<Fn>(reinterpret_cast<const HostWord*>(ImportTable[importIndex].table)[slot]);
}

// RuntimeTable
inline int32_t AllocBlock(int32_t pool, int32_t bytes, void* pointerAddress, int32_t flags) {
    return HostService<AllocBlockFn>(IMPORT_RUNTIME, SLOT_ALLOC_BLOCK)(pool, bytes, pointerAddress, flags);
}
inline int32_t ResizeBlock(int32_t pool, int32_t bytes, void* pointerAddress) {
    return HostService<ResizeBlockFn>(IMPORT_RUNTIME, SLOT_RESIZE_BLOCK)(pool, bytes, pointerAddress);
}
inline void CopyBytes(void* destination, const void* source, int32_t count) {
    HostService<CopyBytesFn>(IMPORT_RUNTIME, SLOT_COPY_BYTES)(destination, source, count);
}
inline int32_t CompareBytes(const void* first, const void* second, int32_t count) {
    return HostService<CompareBytesFn>(IMPORT_RUNTIME, SLOT_COMPARE_BYTES)(first, second, count);
}
inline void CopyString(char* destination, const char* source) {
    HostService<StringFn>(IMPORT_RUNTIME, SLOT_COPY_STRING)(destination, source);
}
inline void AppendString(char* destination, const char* source) {
    HostService<StringFn>(IMPORT_RUNTIME, SLOT_APPEND_STRING)(destination, source);
}

// CallbackTable
inline void RegisterCallback(int32_t type, HostCallback callback) {
    HostService<CallbackRegistrationFn>(IMPORT_CALLBACKS, SLOT_REGISTER_CALLBACK)(type, callback);
}
inline void UnregisterCallback(int32_t type, HostCallback callback) {
    HostService<CallbackRegistrationFn>(IMPORT_CALLBACKS, SLOT_UNREGISTER_CALLBACK)(type, callback);
}

// RenderTable
inline void DrawBlock(const void* block, int32_t zero) {
    HostService<DrawBlockFn>(IMPORT_RENDER, SLOT_DRAW_BLOCK)(block, zero);
}

// MathTable
inline void SinCos(uint32_t angle, int16_t* sine, int16_t* cosine) {
    HostService<SinCosFn>(IMPORT_MATH, SLOT_SIN_COS)(angle, sine, cosine);
}

// UiTable
inline void ShowHelp(const char* helpFile, const char* topic) {
    HostService<ShowHelpFn>(IMPORT_UI, SLOT_SHOW_HELP)(helpFile, topic);
}
inline int32_t RunDialog(HINSTANCE instance, int32_t templateId, DLGPROC procedure) {
    return HostService<RunDialogFn>(IMPORT_UI, SLOT_RUN_DIALOG)(instance, templateId, procedure);
}
inline int32_t ShowMessage(HINSTANCE instance, int32_t titleId, int32_t textId, int32_t zero, uint32_t flags) {
    return HostService<ShowMessageFn>(IMPORT_UI, SLOT_SHOW_MESSAGE)(instance, titleId, textId, zero, flags);
}
inline int32_t InstallKeyHook(KeyFunction handler, KeyFunction filter) {
    return HostService<KeyHookFn>(IMPORT_UI, SLOT_INSTALL_KEY_HOOK)(handler, filter);
}
inline void RemoveKeyHook(KeyFunction handler, KeyFunction filter) {
    HostService<KeyHookFn>(IMPORT_UI, SLOT_REMOVE_KEY_HOOK)(handler, filter);
}
inline int32_t DistanceToLon(int32_t distance, int32_t latitude) {
    return HostService<DistanceConversionFn>(IMPORT_UI, SLOT_DISTANCE_TO_LON)(distance, latitude);
}
inline int32_t LonToDistance(int32_t longitudeDifference, int32_t latitude) {
    return HostService<DistanceConversionFn>(IMPORT_UI, SLOT_LON_TO_DISTANCE)(longitudeDifference, latitude);
}

// SimGlobals, by byte offset.
enum : uint32_t {
    SG_NEW_OBJECT_ALTITUDE = 32,  // i32, 24.8 fixed point
    SG_FRAME_PAUSED = 620,        // u32, nonzero: no motion this frame
    SG_FRAME_STEP = 682,          // u16, multiplies each frame's motion
    SG_AIRCRAFT_LAT = 1376,       // i64, 32.32
    SG_AIRCRAFT_LON = 1384,       // i64, 32.32
    SG_AIRCRAFT_ALT = 1392,       // i64, 32.32
    SG_AIRCRAFT_HEADING = 1408,   // u32, 2^32 per turn
    SG_EDITOR_HOLD_WORD = 4514,   // u16, held at 0 during an editing run
    SIM_GLOBALS_MIN_BYTES = 4516,
};

template <typename T>
inline T* SimGlobal(uint32_t offset) {
    return reinterpret_cast<T*>(ImportTable[IMPORT_SIM_GLOBALS].table + offset);
}
