// Resource ids shared by the C++ sources and the resource scripts. Only
// #define lines: the .rc files and tools/rcgen.py read this file too.
#pragma once

// Dialog titles: at most 31 characters, so that they fit a 32-byte buffer
// with the terminator.
#define IDS_TITLE_ADD_OBJECT 1
#define IDS_TITLE_OBJECT_PROPERTIES 2

// Message box captions.
#define IDS_CAPTION_ERROR 3
#define IDS_CAPTION_WARNING 4

// Message box texts, each beginning with three line feeds.
#define IDS_NO_MEMORY 5
#define IDS_SAVE_FAILED 6
#define IDS_INIT_FAILED 7
#define IDS_NEED_SELECTION 8
#define IDS_CONFIRM_REMOVE_LAST 11
#define IDS_CONFIRM_FAR_OBJECT 12

// The object properties dialog and its controls.
#define IDD_OBJECT_PROPERTIES 102
#define IDC_GROUP_LIST 1000
#define IDC_OBJECT_LIST 1001
#define IDC_SCALE 1002
#define IDC_PREVIEW 1003
#define IDC_MAX_DISTANCE 1004
#define IDC_TITLE_LINE 1005
#define IDC_HELP_BUTTON 1006
