// The headless dialog manager as the object properties dialog uses it: a test
// procedure runs the editor's own template modally, the Win32 calls the
// module makes change its controls, and user actions drive it as a person at
// the screen would.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/dialogs.h"
#include "platform/win32.h"
#include "resources/resource_ids.h"

namespace {

using namespace platform;
using Lines = std::vector<std::string>;

constexpr int kList = IDC_GROUP_LIST;

// What the procedure heard, e.g. "init", "close", "1 clicked", "1000 picked".
Lines heard;
std::function<INT_PTR(HWND, UINT, WPARAM)> handler;

INT_PTR CALLBACK TestProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    const int code = HIWORD(wParam);
    const char* what = message == WM_INITDIALOG ? "init"
                       : message == WM_CLOSE    ? "close"
                       : code == BN_CLICKED     ? " clicked"
                       : code == CBN_SELCHANGE  ? " picked"
                                                : " changed";
    heard.push_back(message == WM_COMMAND ? std::to_string(static_cast<int16_t>(LOWORD(wParam))) + what
                                          : what);
    return handler ? handler(dialog, message, wParam) : FALSE;
}

LRESULT Send(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageA(dialog, id, message, wParam, lParam);
}
LRESULT Add(HWND dialog, int id, const char* text) {
    return Send(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}
LRESULT SelectPrefix(HWND dialog, const char* text) {
    return Send(dialog, kList, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text));
}

class DialogManager : public testing::Test {
  protected:
    void SetUp() override { heard.clear(); }
    void TearDown() override {
        handler = nullptr;
        ForceLanguage(0);
    }
    // The object properties template under the test procedure.
    static INT_PTR Run(const std::function<void(HWND)>& user) {
        return RunDialog(nullptr, IDD_OBJECT_PROPERTIES, TestProcedure, user);
    }
};

TEST_F(DialogManager, RunsTheTemplateOfTheActiveLanguageElseEnglish) {
    EXPECT_EQ(RunDialog(nullptr, 4242, TestProcedure, [](HWND) { ADD_FAILURE(); }), -1);
    EXPECT_TRUE(heard.empty()) << "the procedure never hears of a missing template";
    const std::tuple<LANGID, const char*, const char*> cases[] = {
        {LANGUAGE_ITALIAN, "Orvanta: Proprietà dell'oggetto", "Cancella"},
        {LANGUAGE_GERMAN, "Orvanta: Objekteigenschaften", "Abbruch"},
        {LANGUAGE_ENGLISH, "Orvanta: Object Properties", "Cancel"},
        {1036, "Orvanta: Object Properties", "Cancel"},  // French: none
    };
    for (const auto& [language, caption, cancel] : cases) {
        ForceLanguage(language);
        // A procedure that ends nothing gets IDCANCEL back.
        EXPECT_EQ(Run([&](HWND dialog) {
                      EXPECT_EQ(DialogCaption(dialog), caption) << language;
                      EXPECT_EQ(ControlText(dialog, IDCANCEL), cancel);
                  }),
                  IDCANCEL);
    }
}

TEST_F(DialogManager, EndsByEndDialogOrAsTheCloseBoxWouldLeavingNoLiveHandle) {
    handler = [](HWND dialog, UINT message, WPARAM wParam) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wParam) <= IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam) == IDOK ? 77 : 9);
        }
        return message == WM_INITDIALOG;
    };
    HWND seen = nullptr, title = nullptr;
    EXPECT_EQ(Run([&](HWND dialog) {
                  seen = dialog;
                  title = GetDlgItem(dialog, IDC_TITLE_LINE);
                  EXPECT_TRUE(UserClick(dialog, IDOK));
                  EXPECT_TRUE(DialogEnded(dialog));
                  EXPECT_FALSE(UserClick(dialog, IDCANCEL)) << "an ended dialog takes no more input";
                  EXPECT_TRUE(SetWindowTextA(title, "1")) << "its windows live until the loop returns";
              }),
              77);
    EXPECT_EQ(heard, (Lines{"init", "1 clicked"})) << "and nothing after the user";
    // Every handle is dead now, and harmless.
    EXPECT_EQ(GetDlgItem(seen, IDC_TITLE_LINE), nullptr);
    EXPECT_FALSE(SetWindowTextA(title, "x"));
    EXPECT_FALSE(SnapshotDialog(seen));

    // The close box, and a user who walks away: WM_CLOSE, then Cancel.
    for (const auto& user : std::vector<std::function<void(HWND)>>{
             [](HWND dialog) { EXPECT_TRUE(UserClose(dialog)); }, [](HWND) {}, nullptr}) {
        heard.clear();
        EXPECT_EQ(Run(user), 9);
        EXPECT_EQ(heard, (Lines{"init", "close", "2 clicked"}));
    }
}

TEST_F(DialogManager, SortedListsOrderCaseInsensitivelyPrefixesFirstAndSelectByPrefix) {
    Run([](HWND dialog) {
        // Each insertion index is where the item lands among those already
        // there; its data is the order it came in.
        const std::pair<const char*, LRESULT> added[] = {
            {"Port crane, blue", 0}, {"blast fence, grey", 0}, {"Port crane", 1},  {"Blast fence", 0},
            {"antenna", 0},          {"Zebra crossing", 5},    {"_underscore", 0}, {"Port crane 2", 5}};
        for (size_t i = 0; i < std::size(added); ++i) {
            const LRESULT index = Add(dialog, kList, added[i].first);
            EXPECT_EQ(index, added[i].second) << added[i].first;
            Send(dialog, kList, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(i));
        }
        EXPECT_EQ(ComboItems(dialog, kList),
                  (Lines{"_underscore", "antenna", "Blast fence", "blast fence, grey", "Port crane",
                         "Port crane 2", "Port crane, blue", "Zebra crossing"}));
        EXPECT_EQ(Send(dialog, kList, CB_GETITEMDATA, 0), 6) << "data travels with its item";
        EXPECT_EQ(Send(dialog, kList, CB_GETITEMDATA, 6), 0);

        // CB_SELECTSTRING from the top: the first item the text begins, in any case.
        EXPECT_EQ(SelectPrefix(dialog, ""), 0) << "from the top";
        EXPECT_EQ(SelectPrefix(dialog, "zebra"), 7) << "the last item too";
        EXPECT_EQ(SelectPrefix(dialog, "port CR"), 4);
        EXPECT_EQ(ControlText(dialog, kList), "Port crane") << "a list shows its selection";
        for (const char* miss : {"crane", "Port crane, blue, big"}) {
            EXPECT_EQ(SelectPrefix(dialog, miss), CB_ERR) << "a prefix, not a substring";
        }
        EXPECT_EQ(Send(dialog, kList, CB_GETCURSEL), 4) << "misses select nothing";
        EXPECT_EQ(Send(dialog, kList, CB_SETCURSEL, 7), 7);
        EXPECT_EQ(ControlText(dialog, kList), "Zebra crossing");
        EXPECT_EQ(Add(dialog, kList, "Yak"), 7);
        EXPECT_EQ(ControlText(dialog, kList), "Zebra crossing") << "an item added at the selection keeps it";
        EXPECT_EQ(Send(dialog, kList, CB_RESETCONTENT), 0);
        EXPECT_TRUE(ComboItems(dialog, kList).empty());
        EXPECT_EQ(ControlText(dialog, kList), "") << "nothing selected";
    });
}

TEST_F(DialogManager, NotificationsComeFromTheUserNotFromTheProgram) {
    handler = [](HWND dialog, UINT message, WPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            // The program's own changes to lists, pictures and buttons are silent.
            for (const char* item : {"Port crane, blue", "Port crane", "Blast fence"}) {
                Add(dialog, kList, item);
            }
            Send(dialog, kList, CB_SETCURSEL, 0);
            SelectPrefix(dialog, "Port");
            Send(dialog, IDC_PREVIEW, STM_SETIMAGE, IMAGE_BITMAP, 0x10);
            EnableWindow(GetDlgItem(dialog, IDC_SCALE), FALSE);
        }
        return TRUE;
    };
    Run([&](HWND dialog) {
        EXPECT_TRUE(UserChooseItem(dialog, kList, "Port crane, blue"));
        EXPECT_TRUE(UserTypeText(dialog, IDC_MAX_DISTANCE, "250"));
        EXPECT_TRUE(UserClick(dialog, IDC_HELP_BUTTON));
        const Lines possible = {"init", "1000 picked", "1004 changed", "1006 clicked"};
        EXPECT_EQ(heard, possible);

        // Impossible actions do nothing at all.
        EXPECT_FALSE(UserChooseItem(dialog, kList, "Port")) << "only a whole item";
        EXPECT_FALSE(UserChooseItem(dialog, kList, "port crane")) << "exactly as listed";
        EXPECT_FALSE(UserTypeText(dialog, IDC_MAX_DISTANCE, "12a")) << "digits only";
        EXPECT_FALSE(UserTypeText(dialog, IDC_SCALE, "5")) << "disabled";
        EXPECT_FALSE(UserTypeText(dialog, kList, "Tree")) << "a drop-down list has no field";
        EXPECT_FALSE(UserClick(dialog, -1)) << "a group box takes no clicks";
        EXPECT_FALSE(UserClick(dialog, 4242));
        EXPECT_EQ(heard, possible);
        EXPECT_EQ(ComboSelection(dialog, kList), "Port crane, blue");
        EXPECT_EQ(ControlText(dialog, IDC_MAX_DISTANCE), "250");
    });
}

TEST_F(DialogManager, FieldsReadBackWholeUnsignedNumbersAndCutTexts) {
    // Anything but a whole unsigned number reads as 0.
    const std::pair<const char*, UINT> numbers[] = {{"42", 42},        {"007", 7},
                                                    {"   42  ", 42},   {"4294967295", 4294967295u},
                                                    {"", 0},           {"   ", 0},
                                                    {"--", 0},         {"42abc", 0},
                                                    {"4 2", 0},        {"0x10", 0},
                                                    {"+5", 0},         {"-5", 0},
                                                    {"4294967296", 0}, {"99999999999999999999999", 0}};
    Run([&](HWND dialog) {
        for (const auto& [text, value] : numbers) {
            ASSERT_TRUE(SetDlgItemTextA(dialog, IDC_SCALE, text));
            EXPECT_EQ(GetDlgItemInt(dialog, IDC_SCALE, nullptr, FALSE), value) << text;
        }
        EXPECT_TRUE(SetDlgItemInt(dialog, IDC_MAX_DISTANCE, 4294967295u, FALSE));
        EXPECT_EQ(ControlText(dialog, IDC_MAX_DISTANCE), "4294967295");

        // Texts are cut to the buffer and terminated; a control's own handle
        // works as well as its dialog and id.
        HWND scale = GetDlgItem(dialog, IDC_SCALE);
        EXPECT_TRUE(SetWindowTextA(scale, "0123456789"));
        char buffer[8] = "xxxxxxx";
        EXPECT_EQ(GetDlgItemTextA(dialog, IDC_SCALE, buffer, 4), 3u);
        EXPECT_STREQ(buffer, "012");

        EnableWindow(scale, FALSE);
        EXPECT_FALSE(ControlEnabled(dialog, IDC_SCALE));
        EnableWindow(scale, TRUE);
        EXPECT_TRUE(ControlEnabled(dialog, IDC_SCALE));
    });
}

// Snapshots and their rendering are what the terminal dialog and the
// transcripts show: texts in UTF-8 while the program speaks Windows-1252.
TEST_F(DialogManager, SnapshotsShowWhatTheUserSees) {
    ForceLanguage(LANGUAGE_ITALIAN);
    handler = [](HWND dialog, UINT message, WPARAM wParam) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            Add(dialog, kList, "Gru \xE0 torre");
            Add(dialog, kList, "Blast fence");
            Send(dialog, IDC_PREVIEW, STM_SETIMAGE, IMAGE_BITMAP, 0x3000);
            SetDlgItemTextA(dialog, IDC_TITLE_LINE, "PROPRIET\xC0");
            EnableWindow(GetDlgItem(dialog, IDC_SCALE), FALSE);
        } else if (message == WM_COMMAND && wParam == MAKEWPARAM(IDOK, BN_CLICKED)) {
            EndDialog(dialog, 1);
        }
        return TRUE;
    };
    Run([](HWND dialog) {
        EXPECT_EQ(ComboItems(dialog, kList), (Lines{"Blast fence", "Gru à torre"}));
        EXPECT_TRUE(UserChooseItem(dialog, kList, "Gru à torre"));
        // The module deletes the preview that STM_SETIMAGE hands back.
        EXPECT_EQ(Send(dialog, IDC_PREVIEW, STM_SETIMAGE, IMAGE_BITMAP, 0), 0x3000);
        EXPECT_EQ(Send(dialog, IDC_PREVIEW, STM_SETIMAGE, IMAGE_BITMAP, 0x4000), 0);
        EXPECT_EQ(ControlImage(dialog, IDC_PREVIEW), reinterpret_cast<HANDLE>(0x4000));
        EXPECT_TRUE(UserClick(dialog, IDOK));

        const std::optional<DialogSnapshot> snapshot = SnapshotDialog(dialog);
        ASSERT_TRUE(snapshot);
        const ControlSnapshot& list = snapshot->controls[3];
        EXPECT_EQ(list.style & (CBS_SORT | WS_TABSTOP), static_cast<DWORD>(CBS_SORT | WS_TABSTOP));
        EXPECT_EQ(list.selection, 1);
        EXPECT_EQ(snapshot->controls[12].image, reinterpret_cast<HANDLE>(0x4000));
        // The rendering shows the other fields: items, texts, state and images.
        const std::string shown = FormatDialog(*snapshot);
        for (const char* line : {"dialog 102 \"Orvanta: Proprietà dell'oggetto\" ended 1\n",
                                 "  static    1005 \"PROPRIETÀ\"\n", "  static      -1 \"&Gruppo:\"\n",
                                 "  combo     1000 \"Gru à torre\" of 2: Blast fence | Gru à torre\n",
                                 "  combo     1001 \"\" of 0:\n", "  edit      1002 \"\" (disabled)\n",
                                 "  static    1003 [bitmap]\n", "  button       2 \"Cancella\"\n"}) {
            EXPECT_NE(shown.find(line), std::string::npos) << line << "\nin\n" << shown;
        }
    });
}

}  // namespace
