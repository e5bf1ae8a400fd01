// String resources of the native build. The tables come from the same .rc
// scripts windres compiles into the DLL (tools/rcgen.py generates them), so
// native runs show exactly the DLL's texts. Never part of the DLL.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>

#include "platform/win32.h"

namespace platform {

enum : LANGID { LANGUAGE_ENGLISH = 1033, LANGUAGE_ITALIAN = 1040, LANGUAGE_GERMAN = 1031 };

// First non-empty of LC_ALL, LC_MESSAGES, LANG: "it..." is Italian, "de..."
// German, anything else or nothing English.
LANGID LanguageFromEnvironment();

// The host may force a language; 0 follows the environment again.
void ForceLanguage(LANGID language);

// The forced language, else the environment's.
LANGID ActiveLanguage();

// The UTF-8 text of string id in exactly that language; nullptr when absent.
const char* FindStringUtf8(UINT id, LANGID language);

// Windows-1252 is what LoadStringA hands a Western-European program.
// Characters it cannot hold become '?', as WideCharToMultiByte's default.
std::string Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);

// Generated from resources/*.rc.
struct StringResource {
    LANGID language;
    UINT id;
    const char* utf8;
};
extern const StringResource STRING_RESOURCES[];
extern const size_t STRING_RESOURCE_COUNT;

// Dialog templates, generated from the DIALOGEX statements of resources/*.rc.
// Texts are UTF-8 as in the scripts; class names are the predefined ones
// ("BUTTON", "EDIT", "STATIC", "COMBOBOX").
struct DialogControlResource {
    int id;  // -1 (65535) for labels and group boxes
    const char* className;
    DWORD style;  // including WS_CHILD and WS_VISIBLE
    int x, y, width, height;  // dialog units
    const char* textUtf8;
};
struct DialogResource {
    LANGID language;
    UINT id;
    DWORD style;
    int x, y, width, height;
    const char* captionUtf8;
    const char* fontName;
    int pointSize;
    const DialogControlResource* controls;
    size_t controlCount;
};
extern const DialogResource DIALOG_RESOURCES[];
extern const size_t DIALOG_RESOURCE_COUNT;

// The template in exactly that language; nullptr when absent.
const DialogResource* FindDialogResource(UINT id, LANGID language);

// Another source of the module's texts and templates: the resource section of
// the real DLL while it runs under emulation, so that what its code loads is
// what the binary carries. While one is set it answers FindStringUtf8 and
// FindDialogResource alone; a resource it lacks stays absent rather than
// being filled in from the generated tables.
class ResourceProvider {
public:
    virtual ~ResourceProvider() = default;
    virtual const char* FindString(UINT id, LANGID language) const = 0;
    virtual const DialogResource* FindDialog(UINT id, LANGID language) const = 0;
};

// nullptr goes back to the generated tables.
void SetResourceProvider(const ResourceProvider* provider);
const ResourceProvider* CurrentResourceProvider();

}  // namespace platform
