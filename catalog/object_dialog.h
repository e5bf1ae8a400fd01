// The object properties dialog (template 102).
#pragma once

#include <stdint.h>

#include "platform/win32.h"

INT_PTR CALLBACK ObjectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void FillObjectList(HWND dialog, int32_t groupIndex, int32_t objectIndex);
void ShowObjectDefaults(HWND dialog, int32_t objectIndex);
