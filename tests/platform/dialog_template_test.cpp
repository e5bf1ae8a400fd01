// The object properties dialog as native runs build it from the generated
// templates: window, font and every control in tab order, per language.
#include <ctype.h>
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <utility>

#include "platform/resources.h"
#include "platform/win32.h"
#include "resources/resource_ids.h"

namespace {

using platform::DialogControlResource;
using platform::DialogResource;
using platform::LANGUAGE_ENGLISH;
using platform::LANGUAGE_GERMAN;
using platform::LANGUAGE_ITALIAN;

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kLabel = kChild | SS_LEFT | WS_GROUP;
constexpr DWORD kList = kChild | CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP;
constexpr DWORD kNumber = kChild | ES_RIGHT | ES_AUTOHSCROLL | ES_NUMBER | WS_BORDER | WS_TABSTOP;
constexpr DWORD kButton = kChild | BS_PUSHBUTTON | WS_TABSTOP;

struct Rect {
    int x, y, width, height;
};

// One control in all three languages; index 0 English, 1 Italian, 2 German.
struct ExpectedControl {
    int id;
    const char* className;
    DWORD style;
    Rect rect[3];
    const char* text[3];
};

const LANGID kLanguages[] = {LANGUAGE_ENGLISH, LANGUAGE_ITALIAN, LANGUAGE_GERMAN};
const char* const kCaptions[] = {"Orvanta: Object Properties", "Orvanta: Proprietà dell'oggetto",
                                 "Orvanta: Objekteigenschaften"};

const ExpectedControl kControls[] = {
    {IDC_TITLE_LINE,
     "STATIC",
     kChild | SS_CENTER | SS_SUNKEN | WS_GROUP,
     {{98, 12, 86, 10}, {90, 12, 104, 10}, {90, 12, 104, 10}},
     {"", "", ""}},
    {-1,
     "BUTTON",
     kChild | BS_GROUPBOX,
     {{7, 26, 269, 48}, {7, 26, 269, 48}, {7, 26, 269, 48}},
     {"", "", ""}},
    {-1,
     "STATIC",
     kLabel,
     {{14, 37, 22, 8}, {14, 37, 26, 8}, {14, 37, 26, 8}},
     {"&Group:", "&Gruppo:", "&Gruppe:"}},
    {IDC_GROUP_LIST,
     "COMBOBOX",
     kList,
     {{44, 35, 100, 100}, {44, 35, 100, 100}, {44, 35, 100, 100}},
     {"", "", ""}},
    {-1,
     "STATIC",
     kLabel,
     {{14, 57, 24, 8}, {14, 57, 28, 8}, {14, 57, 24, 8}},
     {"&Object:", "&Oggetto:", "&Objekt:"}},
    {IDC_OBJECT_LIST,
     "COMBOBOX",
     kList,
     {{44, 55, 100, 100}, {44, 55, 100, 100}, {44, 55, 100, 100}},
     {"", "", ""}},
    {-1,
     "STATIC",
     kLabel,
     {{156, 37, 21, 8}, {156, 37, 19, 8}, {156, 37, 36, 8}},
     {"&Scale:", "&Scala", "&Skalierung:"}},
    {IDC_SCALE, "EDIT", kNumber, {{207, 35, 40, 14}, {207, 35, 40, 14}, {207, 35, 40, 14}}, {"", "", ""}},
    {-1, "STATIC", kLabel, {{249, 37, 8, 8}, {249, 37, 8, 8}, {249, 37, 8, 8}}, {"%", "%", "%"}},
    {-1,
     "STATIC",
     kLabel,
     {{156, 57, 47, 8}, {156, 57, 47, 8}, {156, 57, 47, 8}},
     {"Max. &distance:", "&Distanza max.:", "Max. &Entfernung:"}},
    {IDC_MAX_DISTANCE,
     "EDIT",
     kNumber,
     {{207, 55, 40, 14}, {207, 55, 40, 14}, {207, 55, 40, 14}},
     {"", "", ""}},
    {-1,
     "STATIC",
     kLabel,
     {{249, 57, 22, 8}, {249, 57, 16, 8}, {249, 57, 22, 8}},
     {"meters", "metri", "Meter"}},
    {IDC_PREVIEW,
     "STATIC",
     kChild | SS_BITMAP | SS_REALSIZEIMAGE | SS_SUNKEN | WS_BORDER,
     {{7, 79, 269, 126}, {7, 79, 269, 126}, {7, 79, 269, 126}},
     {"", "", ""}},
    {IDOK,
     "BUTTON",
     kChild | BS_DEFPUSHBUTTON | WS_TABSTOP,
     {{57, 220, 50, 14}, {57, 220, 50, 14}, {57, 220, 50, 14}},
     {"OK", "OK", "OK"}},
    {IDCANCEL,
     "BUTTON",
     kButton,
     {{117, 220, 50, 14}, {117, 220, 50, 14}, {117, 220, 50, 14}},
     {"Cancel", "Cancella", "Abbruch"}},
    {IDC_HELP_BUTTON,
     "BUTTON",
     kButton,
     {{177, 220, 50, 14}, {177, 220, 50, 14}, {177, 220, 50, 14}},
     {"&Help", "&Aiuto", "&Hilfe"}},
};
constexpr size_t kControlCount = sizeof kControls / sizeof kControls[0];

const DialogResource& Template(size_t languageIndex) {
    const DialogResource* dialog =
        platform::FindDialogResource(IDD_OBJECT_PROPERTIES, kLanguages[languageIndex]);
    if (dialog == nullptr) {
        ADD_FAILURE() << "no dialog " << IDD_OBJECT_PROPERTIES << " in language "
                      << kLanguages[languageIndex];
        static const DialogResource kEmpty{};
        return kEmpty;
    }
    return *dialog;
}

TEST(ObjectPropertiesTemplate, WindowCaptionAndFontPerLanguage) {
    for (size_t lang = 0; lang < 3; ++lang) {
        SCOPED_TRACE(testing::Message() << "language " << kLanguages[lang]);
        const DialogResource& dialog = Template(lang);
        EXPECT_EQ(dialog.language, kLanguages[lang]);
        EXPECT_EQ(dialog.id, static_cast<UINT>(IDD_OBJECT_PROPERTIES));
        EXPECT_EQ(dialog.style,
                  static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
        EXPECT_EQ(dialog.x, 0);
        EXPECT_EQ(dialog.y, 0);
        EXPECT_EQ(dialog.width, 283);
        EXPECT_EQ(dialog.height, 241);
        EXPECT_STREQ(dialog.captionUtf8, kCaptions[lang]);
        EXPECT_STREQ(dialog.fontName, "MS Sans Serif");
        EXPECT_EQ(dialog.pointSize, 8);
    }
}

TEST(ObjectPropertiesTemplate, ControlsInTabOrderPerLanguage) {
    for (size_t lang = 0; lang < 3; ++lang) {
        SCOPED_TRACE(testing::Message() << "language " << kLanguages[lang]);
        const DialogResource& dialog = Template(lang);
        ASSERT_EQ(dialog.controlCount, kControlCount);
        ASSERT_NE(dialog.controls, nullptr);
        for (size_t i = 0; i < kControlCount; ++i) {
            const ExpectedControl& expected = kControls[i];
            const DialogControlResource& control = dialog.controls[i];
            const Rect& rect = expected.rect[lang];
            SCOPED_TRACE(testing::Message() << "control " << i << " (" << expected.text[0] << ")");
            EXPECT_EQ(control.id, expected.id);
            EXPECT_STREQ(control.className, expected.className);
            EXPECT_EQ(control.style, expected.style)
                << std::hex << "differing bits " << (control.style ^ expected.style);
            EXPECT_EQ(control.x, rect.x);
            EXPECT_EQ(control.y, rect.y);
            EXPECT_EQ(control.width, rect.width);
            EXPECT_EQ(control.height, rect.height);
            EXPECT_STREQ(control.textUtf8, expected.text[lang]);
        }
    }
}

// What the dialog manager makes of the layout: controls inside the window,
// unique ids and access keys, and every labelled field reachable through
// its label's access key (which moves to the next tab stop).
TEST(ObjectPropertiesTemplate, LayoutWorksWithTheDialogManager) {
    for (size_t lang = 0; lang < 3; ++lang) {
        SCOPED_TRACE(testing::Message() << "language " << kLanguages[lang]);
        const DialogResource& dialog = Template(lang);
        std::set<int> ids;
        std::set<char> accessKeys;
        for (size_t i = 0; i < dialog.controlCount; ++i) {
            const DialogControlResource& control = dialog.controls[i];
            SCOPED_TRACE(testing::Message() << "control " << i << " \"" << control.textUtf8 << "\"");
            EXPECT_EQ(control.style & kChild, kChild);
            EXPECT_GE(control.x, 0);
            EXPECT_GE(control.y, 0);
            EXPECT_LE(control.x + control.width, dialog.width);
            EXPECT_LE(control.y + control.height, dialog.height);
            if (control.id != -1) {
                EXPECT_TRUE(ids.insert(control.id).second) << "id " << control.id << " twice";
            }
            const char* amp = strchr(control.textUtf8, '&');
            if (amp == nullptr) {
                continue;
            }
            EXPECT_TRUE(
                accessKeys.insert(static_cast<char>(toupper(static_cast<unsigned char>(amp[1])))).second)
                << "access key " << amp[1] << " twice";
            if (strcmp(control.className, "STATIC") == 0) {
                ASSERT_LT(i + 1, dialog.controlCount) << "label without a field after it";
                EXPECT_NE(dialog.controls[i + 1].style & WS_TABSTOP, 0u)
                    << "the label's field is no tab stop";
            }
        }
    }
}

TEST(FindDialogResource, MatchesIdAndLanguageExactly) {
    std::set<std::pair<LANGID, UINT>> present;
    for (size_t i = 0; i < platform::DIALOG_RESOURCE_COUNT; ++i) {
        const DialogResource& entry = platform::DIALOG_RESOURCES[i];
        EXPECT_TRUE(present.insert({entry.language, entry.id}).second)
            << "dialog " << entry.id << " twice in language " << entry.language;
        EXPECT_EQ(platform::FindDialogResource(entry.id, entry.language), &entry);
    }
    const std::set<std::pair<LANGID, UINT>> expected = {{LANGUAGE_ENGLISH, IDD_OBJECT_PROPERTIES},
                                                        {LANGUAGE_ITALIAN, IDD_OBJECT_PROPERTIES},
                                                        {LANGUAGE_GERMAN, IDD_OBJECT_PROPERTIES}};
    EXPECT_EQ(present, expected);

    // No fallback to another language or a neighbouring id.
    EXPECT_EQ(platform::FindDialogResource(IDD_OBJECT_PROPERTIES, 1036), nullptr);
    EXPECT_EQ(platform::FindDialogResource(IDD_OBJECT_PROPERTIES, 0), nullptr);
    EXPECT_EQ(platform::FindDialogResource(IDD_OBJECT_PROPERTIES, 2057), nullptr);  // English (UK)
    EXPECT_EQ(platform::FindDialogResource(IDD_OBJECT_PROPERTIES, 2055), nullptr);  // German (Swiss)
    EXPECT_EQ(platform::FindDialogResource(IDD_OBJECT_PROPERTIES - 1, LANGUAGE_ENGLISH), nullptr);
    EXPECT_EQ(platform::FindDialogResource(IDD_OBJECT_PROPERTIES + 1, LANGUAGE_ENGLISH), nullptr);
    EXPECT_EQ(platform::FindDialogResource(0, LANGUAGE_ENGLISH), nullptr);
}

}  // namespace
