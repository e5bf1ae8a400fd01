// The headless dialog manager: a test procedure runs modally, the program's
// Win32 calls change the controls, and user actions drive it as a person at
// the screen would.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialogs.h"
#include "platform/resources.h"
#include "platform/win32.h"
#include "resources/resource_ids.h"

namespace {

using platform::DialogControlResource;
using platform::DialogEvent;
using platform::DialogResource;
using platform::DialogSnapshot;

constexpr int kLabel = -1;
constexpr int kSorted = 1000;
constexpr int kPlain = 1001;
constexpr int kNumber = 1002;
constexpr int kText = 1003;
constexpr int kPicture = 1004;
constexpr int kTitle = 1005;
constexpr int kHelp = 1006;
constexpr int kHidden = 1007;

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

const DialogControlResource kControls[] = {
    {kLabel, "STATIC", kChild | SS_LEFT, 7, 7, 40, 8, "Proprietà:"},
    {kSorted, "COMBOBOX", kChild | CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 50, 5, 100, 100,
     ""},
    {kPlain, "COMBOBOX", kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 50, 25, 100, 100, ""},
    {kNumber, "EDIT", kChild | ES_RIGHT | ES_AUTOHSCROLL | ES_NUMBER | WS_BORDER | WS_TABSTOP, 160, 5, 40, 14,
     ""},
    {kText, "EDIT", kChild | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 160, 25, 40, 14, ""},
    {kPicture, "STATIC", kChild | SS_BITMAP | SS_REALSIZEIMAGE | SS_SUNKEN, 7, 45, 200, 100, ""},
    {kTitle, "STATIC", kChild | SS_CENTER | SS_SUNKEN, 7, 150, 200, 10, ""},
    {kLabel, "BUTTON", kChild | BS_GROUPBOX, 5, 3, 210, 40, "Gruppo"},
    {IDOK, "BUTTON", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 20, 170, 50, 14, "OK"},
    {IDCANCEL, "BUTTON", kChild | BS_PUSHBUTTON | WS_TABSTOP, 80, 170, 50, 14, "Annulla"},
    {kHelp, "BUTTON", kChild | WS_DISABLED | BS_PUSHBUTTON | WS_TABSTOP, 140, 170, 50, 14, "Aiuto"},
    {kHidden, "BUTTON", WS_CHILD | BS_PUSHBUTTON | WS_TABSTOP, 200, 170, 50, 14, "Nascosto"},
};
const DialogResource kTemplate = {
    platform::LANGUAGE_ITALIAN,
    7001,
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    0,
    0,
    220,
    190,
    "Proprietà dell'oggetto",
    "MS Sans Serif",
    8,
    kControls,
    sizeof kControls / sizeof kControls[0],
};

struct Message {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// The procedure logs every message and passes it to the running test's handler.
std::vector<Message> messages;
std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> handler;

INT_PTR CALLBACK TestProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    messages.push_back({message, wParam, lParam});
    return handler ? handler(dialog, message, wParam, lParam) : FALSE;
}

// Ends with 3 on OK; for a dialog run on top of the test's one.
INT_PTR CALLBACK EndOnOk(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && wParam == MAKEWPARAM(IDOK, BN_CLICKED)) {
        EndDialog(dialog, 3);
        return TRUE;
    }
    return FALSE;
}

LRESULT Send(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageA(dialog, id, message, wParam, lParam);
}

LRESULT Add(HWND dialog, int id, const char* text) {
    return Send(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

LRESULT Find(HWND dialog, int id, UINT message, int start, const char* text) {
    return Send(dialog, id, message, static_cast<WPARAM>(start), reinterpret_cast<LPARAM>(text));
}

std::string Text(HWND window) {
    char buffer[256];
    memset(buffer, 'x', sizeof buffer);
    const int length = GetWindowTextA(window, buffer, sizeof buffer);
    EXPECT_EQ(static_cast<size_t>(length), strlen(buffer));
    return buffer;
}

class DialogManager : public testing::Test {
  protected:
    void SetUp() override {
        messages.clear();
        handler = nullptr;
        platform::ForceLanguage(0);
    }
    void TearDown() override {
        handler = nullptr;
        platform::SetDialogObserver(nullptr);
        platform::ForceLanguage(0);
    }

    static INT_PTR Run(const std::function<void(HWND)>& user, LPARAM initParam = 0) {
        return platform::RunDialogIndirect(kTemplate, TestProcedure, user, initParam);
    }

    // The (control id, notification code) of every WM_COMMAND logged from `from` on.
    static std::vector<std::pair<int, int>> Commands(size_t from = 0) {
        std::vector<std::pair<int, int>> commands;
        for (size_t i = from; i < messages.size(); ++i) {
            if (messages[i].message == WM_COMMAND) {
                commands.emplace_back(static_cast<int16_t>(LOWORD(messages[i].wParam)),
                                      HIWORD(messages[i].wParam));
            }
        }
        return commands;
    }
};

using CommandList = std::vector<std::pair<int, int>>;

TEST_F(DialogManager, RunsModallyAndLeavesNoLiveHandleBehind) {
    handler = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && wParam == MAKEWPARAM(IDOK, BN_CLICKED)) {
            EndDialog(dialog, 77);
        }
        return TRUE;
    };
    HWND seen = nullptr;
    HWND combo = nullptr;
    HWND ok = nullptr;
    bool userCalled = false;
    const INT_PTR result = Run(
        [&](HWND dialog) {
            userCalled = true;
            seen = dialog;
            combo = GetDlgItem(dialog, kSorted);
            ok = GetDlgItem(dialog, IDOK);
            EXPECT_EQ(platform::CurrentDialog(), dialog);
            ASSERT_NE(combo, nullptr);
            EXPECT_EQ(GetDlgItem(dialog, 4242), nullptr);
            EXPECT_EQ(Text(GetDlgItem(dialog, kLabel)), "Propriet\xE0:")
                << "the first of the controls with id -1";

            EXPECT_TRUE(platform::UserClick(dialog, IDOK));
            EXPECT_TRUE(platform::DialogEnded(dialog));
            EXPECT_EQ(platform::DialogResult(dialog), 77);
            EXPECT_FALSE(platform::UserClick(dialog, IDOK)) << "an ended dialog takes no more input";
            EXPECT_EQ(GetDlgItem(dialog, kSorted), combo) << "windows live until the loop returns";
        },
        1234);
    EXPECT_TRUE(userCalled);
    EXPECT_EQ(result, 77);

    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].message, static_cast<UINT>(WM_INITDIALOG));
    EXPECT_EQ(messages[0].wParam, reinterpret_cast<WPARAM>(combo)) << "focus: the first tab stop";
    EXPECT_EQ(messages[0].lParam, 1234);
    EXPECT_EQ(Commands(), (CommandList{{IDOK, BN_CLICKED}}));
    EXPECT_EQ(messages[1].lParam, reinterpret_cast<LPARAM>(ok)) << "a command names the control it came from";

    // Every handle is dead now, and harmless.
    EXPECT_EQ(platform::CurrentDialog(), nullptr);
    EXPECT_EQ(GetDlgItem(seen, kSorted), nullptr);
    EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x")), 0);
    EXPECT_EQ(SendMessageA(seen, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0), 0);
    char buffer[8] = "stale";
    EXPECT_EQ(GetWindowTextA(seen, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(SetWindowTextA(combo, "x"));
    EXPECT_FALSE(EnableWindow(combo, TRUE));
    EXPECT_FALSE(IsWindowEnabled(combo));
    EXPECT_FALSE(EndDialog(seen, 1));
    EXPECT_FALSE(platform::UserClick(seen, IDOK));
    EXPECT_FALSE(platform::UserClose(seen));
    EXPECT_FALSE(platform::SnapshotDialog(seen).has_value());
    EXPECT_EQ(messages.size(), 2u) << "nothing reached the procedure after the run";
}

TEST_F(DialogManager, InitialFocusIsTheFirstVisibleEnabledTabStop) {
    const DialogControlResource controls[] = {
        {-1, "STATIC", kChild | SS_LEFT | WS_TABSTOP | WS_DISABLED, 0, 0, 10, 10, "disabled"},
        {10, "BUTTON", WS_CHILD | WS_TABSTOP, 0, 0, 10, 10, "hidden"},
        {11, "EDIT", kChild, 0, 0, 10, 10, "no tab stop"},
        {12, "EDIT", kChild | WS_TABSTOP, 0, 0, 10, 10, "this one"},
    };
    DialogResource focusTemplate = kTemplate;
    focusTemplate.controls = controls;
    focusTemplate.controlCount = 4;
    HWND expected = nullptr;
    platform::RunDialogIndirect(focusTemplate, TestProcedure,
                                [&](HWND dialog) { expected = GetDlgItem(dialog, 12); });
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(messages.at(0).wParam, reinterpret_cast<WPARAM>(expected));

    // No tab stop at all: no focus control.
    focusTemplate.controlCount = 3;
    messages.clear();
    platform::RunDialogIndirect(focusTemplate, TestProcedure, nullptr);
    EXPECT_EQ(messages.at(0).wParam, 0u);
}

TEST_F(DialogManager, EndDialogKeepsTheLastResultAndMayComeDuringInit) {
    handler = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
            EXPECT_TRUE(EndDialog(dialog, 1));
            EXPECT_TRUE(EndDialog(dialog, 5)) << "a second call before the loop returns replaces the result";
            EXPECT_FALSE(EndDialog(GetDlgItem(dialog, IDOK), 6)) << "a control is no dialog";
            EXPECT_FALSE(EndDialog(nullptr, 6));
        }
        return TRUE;
    };
    EXPECT_EQ(Run([](HWND dialog) { platform::UserClick(dialog, IDOK); }), 5);

    // Ended in WM_INITDIALOG: the dialog never appears, so no user acts on it.
    std::vector<DialogEvent> events;
    platform::SetDialogObserver(
        [&](DialogEvent event, HWND, const DialogSnapshot&) { events.push_back(event); });
    handler = [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            EndDialog(dialog, 42);
        }
        return TRUE;
    };
    bool userCalled = false;
    messages.clear();
    EXPECT_EQ(Run([&](HWND) { userCalled = true; }), 42);
    EXPECT_FALSE(userCalled);
    EXPECT_EQ(events, std::vector<DialogEvent>{DialogEvent::Ended});
    EXPECT_TRUE(Commands().empty()) << "no close box either";
}

TEST_F(DialogManager, AUserWhoWalksAwayClosesTheDialogLikeTheCloseBox) {
    HWND cancel = nullptr;
    const auto remember = [&](HWND dialog) { cancel = GetDlgItem(dialog, IDCANCEL); };

    // The usual procedure: Cancel ends it with its own result.
    handler = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && wParam == MAKEWPARAM(IDCANCEL, BN_CLICKED)) {
            EndDialog(dialog, 9);
        }
        return message == WM_INITDIALOG;
    };
    EXPECT_EQ(Run(remember), 9);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1].message, static_cast<UINT>(WM_CLOSE));
    EXPECT_EQ(messages[2].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(messages[2].wParam, MAKEWPARAM(IDCANCEL, BN_CLICKED));
    EXPECT_EQ(messages[2].lParam, reinterpret_cast<LPARAM>(cancel));

    // The same through the close box on purpose, and through no user at all.
    messages.clear();
    EXPECT_EQ(Run([](HWND dialog) { EXPECT_TRUE(platform::UserClose(dialog)); }), 9);
    EXPECT_EQ(Commands(), (CommandList{{IDCANCEL, BN_CLICKED}}));
    messages.clear();
    EXPECT_EQ(Run(nullptr), 9);
    EXPECT_EQ(Commands(), (CommandList{{IDCANCEL, BN_CLICKED}}));

    // A procedure that ignores everything still gets IDCANCEL back.
    handler = nullptr;
    messages.clear();
    EXPECT_EQ(Run([](HWND) {}), IDCANCEL);
    EXPECT_EQ(Commands(), (CommandList{{IDCANCEL, BN_CLICKED}}));

    // One that handles WM_CLOSE itself gets no Cancel command.
    handler = [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR { return message == WM_CLOSE; };
    messages.clear();
    EXPECT_EQ(Run([](HWND dialog) { EXPECT_TRUE(platform::UserClose(dialog)); }), IDCANCEL);
    EXPECT_TRUE(Commands().empty());
    ASSERT_EQ(messages.size(), 3u) << "the user's close and the final one";
    EXPECT_EQ(messages[2].message, static_cast<UINT>(WM_CLOSE));

    // Without a system menu there is no close box to click.
    DialogResource bare = kTemplate;
    bare.style &= ~static_cast<DWORD>(WS_SYSMENU);
    platform::RunDialogIndirect(bare, TestProcedure,
                                [](HWND dialog) { EXPECT_FALSE(platform::UserClose(dialog)); });
}

TEST_F(DialogManager, AThrowingScriptStillDestroysTheDialog) {
    HWND seen = nullptr;
    EXPECT_THROW(Run([&](HWND dialog) {
                     seen = dialog;
                     throw std::runtime_error("script failed");
                 }),
                 std::runtime_error);
    EXPECT_EQ(platform::CurrentDialog(), nullptr);
    EXPECT_FALSE(platform::SnapshotDialog(seen).has_value());
}

TEST_F(DialogManager, TemplatesComeFromTheActiveLanguageElseEnglish) {
    bool userCalled = false;
    EXPECT_EQ(platform::RunDialog(nullptr, 4242, TestProcedure, [&](HWND) { userCalled = true; }), -1);
    EXPECT_FALSE(userCalled);
    EXPECT_TRUE(messages.empty()) << "the procedure never hears of a missing template";

    struct Case {
        LANGID forced;
        LANGID used;
        const char* caption;
        const char* cancel;
    };
    const Case cases[] = {
        {platform::LANGUAGE_ITALIAN, platform::LANGUAGE_ITALIAN, "Orvanta: Proprietà dell'oggetto",
         "Cancella"},
        {platform::LANGUAGE_GERMAN, platform::LANGUAGE_GERMAN, "Orvanta: Objekteigenschaften", "Abbruch"},
        {platform::LANGUAGE_ENGLISH, platform::LANGUAGE_ENGLISH, "Orvanta: Object Properties", "Cancel"},
        {1036, platform::LANGUAGE_ENGLISH, "Orvanta: Object Properties", "Cancel"},  // French: none
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "language " << c.forced);
        platform::ForceLanguage(c.forced);
        const DialogResource* source = platform::FindDialogResource(IDD_OBJECT_PROPERTIES, c.used);
        ASSERT_NE(source, nullptr);
        messages.clear();
        const INT_PTR result =
            platform::RunDialog(nullptr, IDD_OBJECT_PROPERTIES, TestProcedure, [&](HWND dialog) {
                const std::optional<DialogSnapshot> snapshot = platform::SnapshotDialog(dialog);
                ASSERT_TRUE(snapshot.has_value());
                EXPECT_EQ(snapshot->templateId, static_cast<UINT>(IDD_OBJECT_PROPERTIES));
                EXPECT_EQ(snapshot->language, c.used);
                EXPECT_EQ(snapshot->caption, c.caption);
                EXPECT_EQ(Text(dialog), platform::Utf8ToAnsi(c.caption));
                ASSERT_EQ(snapshot->controls.size(), source->controlCount);
                EXPECT_EQ(platform::ControlText(dialog, IDCANCEL), c.cancel);
                EXPECT_EQ(messages.at(0).wParam,
                          reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDC_GROUP_LIST)));

                // The lists sort; the fields take digits; the preview takes a bitmap.
                for (int list : {IDC_GROUP_LIST, IDC_OBJECT_LIST}) {
                    EXPECT_EQ(Add(dialog, list, "b"), 0);
                    EXPECT_EQ(Add(dialog, list, "A"), 0);
                }
                EXPECT_FALSE(platform::UserTypeText(dialog, IDC_SCALE, "1x"));
                EXPECT_TRUE(platform::UserTypeText(dialog, IDC_MAX_DISTANCE, "2500"));
                HANDLE picture = reinterpret_cast<HANDLE>(0x4000);
                Send(dialog, IDC_PREVIEW, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
                EXPECT_EQ(platform::ControlImage(dialog, IDC_PREVIEW), picture);
                EXPECT_TRUE(platform::UserClick(dialog, IDC_HELP_BUTTON));
            });
        EXPECT_EQ(result, IDCANCEL);
    }
}

TEST_F(DialogManager, SortedListsOrderCaseInsensitivelyWithPrefixesFirst) {
    Run([](HWND dialog) {
        // Each insertion index is where the item lands among those already there.
        const std::pair<const char*, LRESULT> added[] = {
            {"Port crane, blue", 0}, {"blast fence, grey", 0}, {"Port crane", 1},  {"Blast fence", 0},
            {"antenna", 0},          {"Zebra crossing", 5},    {"_underscore", 0}, {"Port crane 2", 5},
        };
        for (size_t i = 0; i < sizeof added / sizeof added[0]; ++i) {
            const LRESULT index = Add(dialog, kSorted, added[i].first);
            EXPECT_EQ(index, added[i].second) << added[i].first;
            EXPECT_NE(Send(dialog, kSorted, CB_SETITEMDATA, static_cast<WPARAM>(index), 100 + i), CB_ERR);
        }
        const std::vector<std::string> order = {"_underscore",       "antenna",       "Blast fence",
                                                "blast fence, grey", "Port crane",    "Port crane 2",
                                                "Port crane, blue",  "Zebra crossing"};
        EXPECT_EQ(platform::ComboItems(dialog, kSorted), order);
        // Item data travels with its item, whatever came in ahead of it.
        const LRESULT data[] = {106, 104, 103, 101, 102, 107, 100, 105};
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(Send(dialog, kSorted, CB_GETITEMDATA, i), data[i]) << order[i];
        }

        // The selected item stays selected as others are inserted above it.
        EXPECT_EQ(Send(dialog, kSorted, CB_SETCURSEL, 4), 4);
        EXPECT_EQ(Add(dialog, kSorted, "Aerial"), 1);
        EXPECT_EQ(Send(dialog, kSorted, CB_GETCURSEL), 5);
        EXPECT_EQ(platform::ComboSelection(dialog, kSorted), "Port crane");

        // An equal text goes next to its twin.
        const LRESULT twin = Add(dialog, kSorted, "ANTENNA");
        EXPECT_TRUE(twin == 2 || twin == 3) << twin;

        // Without CBS_SORT items keep the order they came in.
        EXPECT_EQ(Add(dialog, kPlain, "Zebra"), 0);
        EXPECT_EQ(Add(dialog, kPlain, "apple"), 1);
        EXPECT_EQ(Add(dialog, kPlain, "Mango"), 2);
        EXPECT_EQ(platform::ComboItems(dialog, kPlain),
                  (std::vector<std::string>{"Zebra", "apple", "Mango"}));

        // Errors: no string, no such item.
        EXPECT_EQ(Send(dialog, kPlain, CB_ADDSTRING, 0, 0), CB_ERR);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCOUNT), 3);
        EXPECT_EQ(Send(dialog, kPlain, CB_SETITEMDATA, 3, 1), CB_ERR);
        EXPECT_EQ(Send(dialog, kPlain, CB_SETITEMDATA, static_cast<WPARAM>(-1), 1), CB_ERR);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETITEMDATA, 3), CB_ERR);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETITEMDATA, 0), 0) << "new items carry no data";
    });
}

TEST_F(DialogManager, SelectStringFindsThePrefixAfterTheStartAndWraps) {
    Run([](HWND dialog) {
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, -1, "a"), CB_ERR) << "an empty list";
        for (const char* item :
             {"Tree", "Port crane, blue", "Blast fence, grey", "Port crane", "Blast fence"}) {
            Add(dialog, kSorted, item);
        }
        // 0 Blast fence, 1 Blast fence, grey, 2 Port crane, 3 Port crane, blue, 4 Tree

        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, -1, "port CRANE"), 2);
        EXPECT_EQ(Send(dialog, kSorted, CB_GETCURSEL), 2);
        EXPECT_EQ(Text(GetDlgItem(dialog, kSorted)), "Port crane") << "the list's field shows the selection";
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, 2, "Port crane"), 3)
            << "the search starts after wParam";
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, 3, "Port crane"), 2) << "and wraps round";
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, 4, "b"), 0);
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, 1, "Blast fence, g"), 1)
            << "the start item comes last";
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, 99, "Tree"), 4)
            << "a start past the end searches all";

        // Misses leave the selection alone.
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, -1, "crane"), CB_ERR) << "a prefix, not a substring";
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, -1, "Port crane, blue, big"), CB_ERR);
        EXPECT_EQ(Send(dialog, kSorted, CB_SELECTSTRING, static_cast<WPARAM>(-1), 0), CB_ERR);
        EXPECT_EQ(Send(dialog, kSorted, CB_GETCURSEL), 4);

        // CB_FINDSTRING searches alike without selecting.
        EXPECT_EQ(Find(dialog, kSorted, CB_FINDSTRING, -1, "BLAST"), 0);
        EXPECT_EQ(Find(dialog, kSorted, CB_FINDSTRING, 0, "BLAST"), 1);
        EXPECT_EQ(Find(dialog, kSorted, CB_FINDSTRING, 1, "BLAST"), 0);
        EXPECT_EQ(Find(dialog, kSorted, CB_FINDSTRING, -1, "Tent"), CB_ERR);
        EXPECT_EQ(Send(dialog, kSorted, CB_GETCURSEL), 4);
    });
}

TEST_F(DialogManager, SelectionAndItemTextsOfADropDownList) {
    Run([](HWND dialog) {
        HWND combo = GetDlgItem(dialog, kPlain);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCURSEL), CB_ERR);
        EXPECT_EQ(Text(combo), "");
        EXPECT_EQ(platform::ComboSelection(dialog, kPlain), std::nullopt);
        for (const char* item : {"Hangar", "Fuel tank", "Tower"}) {
            Add(dialog, kPlain, item);
        }

        EXPECT_EQ(Send(dialog, kPlain, CB_SETCURSEL, 1), 1);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCURSEL), 1);
        EXPECT_EQ(Text(combo), "Fuel tank");
        EXPECT_FALSE(SetWindowTextA(combo, "Tower")) << "a drop-down list has no field to type into";
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCURSEL), 1);

        // Out of range or -1: CB_ERR, and nothing stays selected.
        EXPECT_EQ(Send(dialog, kPlain, CB_SETCURSEL, 3), CB_ERR);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCURSEL), CB_ERR);
        EXPECT_EQ(Text(combo), "");
        Send(dialog, kPlain, CB_SETCURSEL, 2);
        EXPECT_EQ(Send(dialog, kPlain, CB_SETCURSEL, static_cast<WPARAM>(-1)), CB_ERR);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCURSEL), CB_ERR);

        char buffer[32];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETLBTEXTLEN, 2), 5);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(buffer)), 5);
        EXPECT_STREQ(buffer, "Tower");
        EXPECT_EQ(Send(dialog, kPlain, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(buffer)), CB_ERR);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETLBTEXTLEN, static_cast<WPARAM>(-1)), CB_ERR);
        EXPECT_STREQ(buffer, "Tower") << "a failed read leaves the buffer alone";

        Send(dialog, kPlain, CB_SETCURSEL, 0);
        EXPECT_EQ(Send(dialog, kPlain, CB_RESETCONTENT), 0);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCOUNT), 0);
        EXPECT_EQ(Send(dialog, kPlain, CB_GETCURSEL), CB_ERR);
        EXPECT_EQ(Text(combo), "");
    });
}

TEST_F(DialogManager, NotificationsComeFromTheUserNotFromTheProgram) {
    LRESULT selectionSeen = -2;
    std::string textSeen;
    handler = [&](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            // All the program's own changes to lists, pictures and buttons are silent.
            Add(dialog, kSorted, "Port crane, blue");
            Add(dialog, kSorted, "Port crane");
            Add(dialog, kSorted, "Blast fence");
            Send(dialog, kSorted, CB_SETCURSEL, 0);
            Find(dialog, kSorted, CB_SELECTSTRING, -1, "Port");
            Add(dialog, kPlain, "Only");
            Send(dialog, kPlain, CB_RESETCONTENT);
            Send(dialog, kPicture, STM_SETIMAGE, IMAGE_BITMAP, 0x10);
            SetDlgItemTextA(dialog, kTitle, "Title");
            EnableWindow(GetDlgItem(dialog, kPlain), FALSE);
        } else if (message == WM_COMMAND && HIWORD(wParam) == CBN_SELCHANGE) {
            selectionSeen = Send(dialog, LOWORD(wParam), CB_GETCURSEL);
        } else if (message == WM_COMMAND && HIWORD(wParam) == EN_CHANGE) {
            char buffer[32];
            GetDlgItemTextA(dialog, LOWORD(wParam), buffer, sizeof buffer);
            textSeen = buffer;
        }
        return TRUE;
    };
    Run([&](HWND dialog) {
        EXPECT_TRUE(Commands().empty());

        // A pick: the selection has changed by the time the procedure hears of it.
        size_t mark = messages.size();
        EXPECT_TRUE(platform::UserChooseItem(dialog, kSorted, "Port crane, blue"));
        EXPECT_EQ(Commands(mark), (CommandList{{kSorted, CBN_SELCHANGE}}));
        EXPECT_EQ(messages.back().lParam, reinterpret_cast<LPARAM>(GetDlgItem(dialog, kSorted)));
        EXPECT_EQ(selectionSeen, 2);

        // Impossible picks do nothing at all.
        mark = messages.size();
        EXPECT_FALSE(platform::UserChooseItem(dialog, kSorted, "Port")) << "only a whole item can be picked";
        EXPECT_FALSE(platform::UserChooseItem(dialog, kSorted, "port crane")) << "exactly as listed";
        EXPECT_FALSE(platform::UserChooseItem(dialog, kPlain, "Only")) << "disabled, and emptied";
        EXPECT_FALSE(platform::UserChooseItem(dialog, kText, "Port crane")) << "not a combo box";
        EXPECT_FALSE(platform::UserChooseItem(dialog, 4242, "Port crane"));
        EXPECT_EQ(platform::ComboSelection(dialog, kSorted), "Port crane, blue");

        // Typing: ES_NUMBER fields take digits only; no field takes a line break.
        EXPECT_TRUE(platform::UserTypeText(dialog, kText, "Hangar 3"));
        EXPECT_EQ(textSeen, "Hangar 3");
        EXPECT_FALSE(platform::UserTypeText(dialog, kNumber, "12a"));
        EXPECT_FALSE(platform::UserTypeText(dialog, kNumber, "-5"));
        EXPECT_FALSE(platform::UserTypeText(dialog, kText, "two\nlines"));
        EXPECT_FALSE(platform::UserTypeText(dialog, kSorted, "Tree")) << "a drop-down list has no field";
        EXPECT_FALSE(platform::UserTypeText(dialog, kTitle, "x"));
        EXPECT_TRUE(platform::UserTypeText(dialog, kNumber, "250"));
        EXPECT_EQ(textSeen, "250");
        EXPECT_TRUE(platform::UserTypeText(dialog, kNumber, "")) << "clearing a field is fine";
        EXPECT_EQ(platform::ControlText(dialog, kText), "Hangar 3");

        // Clicks: visible, enabled push buttons only.
        EXPECT_FALSE(platform::UserClick(dialog, kHelp));
        EXPECT_FALSE(platform::UserClick(dialog, kHidden));
        EXPECT_FALSE(platform::UserClick(dialog, kSorted));
        EXPECT_FALSE(platform::UserClick(dialog, 4242));
        EnableWindow(GetDlgItem(dialog, kHelp), TRUE);
        EXPECT_TRUE(platform::UserClick(dialog, kHelp));
        EXPECT_EQ(Commands(mark),
                  (CommandList{
                      {kText, EN_CHANGE}, {kNumber, EN_CHANGE}, {kNumber, EN_CHANGE}, {kHelp, BN_CLICKED}}));
    });

    // A group box takes no clicks: reach it as the only control with its id.
    const DialogControlResource groupOnly[] = {{77, "BUTTON", kChild | BS_GROUPBOX, 0, 0, 10, 10, "Group"}};
    DialogResource groupTemplate = kTemplate;
    groupTemplate.controls = groupOnly;
    groupTemplate.controlCount = 1;
    handler = nullptr;
    platform::RunDialogIndirect(groupTemplate, TestProcedure,
                                [](HWND dialog) { EXPECT_FALSE(platform::UserClick(dialog, 77)); });
}

TEST_F(DialogManager, ProgramTextInASingleLineEditNotifiesAsOnWindows) {
    handler = [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            SetDlgItemInt(dialog, kNumber, 100, FALSE);
            SetDlgItemTextA(dialog, kText, "abc");
            SetDlgItemTextA(dialog, kTitle, "Title");
            SetWindowTextA(dialog, "Caption");
        }
        return message == WM_INITDIALOG;
    };
    Run(nullptr);
    // Then the close box's Cancel, as no user ended the dialog.
    EXPECT_EQ(Commands(), (CommandList{{kNumber, EN_CHANGE}, {kText, EN_CHANGE}, {IDCANCEL, BN_CLICKED}}))
        << "WM_SETTEXT reaches the parent of a single-line edit as EN_CHANGE; statics and captions stay "
           "quiet";
}

TEST_F(DialogManager, GetDlgItemIntTranslatesOnlyWholeDecimalNumbers) {
    struct Case {
        const char* text;
        BOOL isSigned;
        UINT value;
        BOOL translated;
    };
    const Case cases[] = {
        {"0", FALSE, 0, TRUE},
        {"42", FALSE, 42, TRUE},
        {"007", FALSE, 7, TRUE},
        {"   42", FALSE, 42, TRUE},
        {"42   ", FALSE, 42, TRUE},
        {"", FALSE, 0, FALSE},
        {"   ", FALSE, 0, FALSE},
        {"abc", FALSE, 0, FALSE},
        {"42abc", FALSE, 0, FALSE},
        {"4 2", FALSE, 0, FALSE},
        {"0x10", FALSE, 0, FALSE},
        {"+5", FALSE, 0, FALSE},
        {"-5", FALSE, 0, FALSE},
        {"-5", TRUE, static_cast<UINT>(-5), TRUE},
        {" -5 ", TRUE, static_cast<UINT>(-5), TRUE},
        {"-0", TRUE, 0, TRUE},
        {"-", TRUE, 0, FALSE},
        {"- 5", TRUE, 0, FALSE},
        {"4294967295", FALSE, 4294967295u, TRUE},
        {"4294967296", FALSE, 0, FALSE},
        {"99999999999999999999999", FALSE, 0, FALSE},
        {"2147483647", TRUE, 2147483647u, TRUE},
        {"2147483648", TRUE, 0, FALSE},
        {"-2147483648", TRUE, 0x80000000u, TRUE},
        {"-2147483649", TRUE, 0, FALSE},
    };
    Run([&](HWND dialog) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "\"" << c.text << "\" " << (c.isSigned ? "signed" : "unsigned"));
            ASSERT_TRUE(SetDlgItemTextA(dialog, kText, c.text));
            BOOL translated = !c.translated;
            EXPECT_EQ(GetDlgItemInt(dialog, kText, &translated, c.isSigned), c.value);
            EXPECT_EQ(translated, c.translated);
            EXPECT_EQ(GetDlgItemInt(dialog, kText, nullptr, c.isSigned), c.value) << "translated may be null";
        }
        BOOL translated = TRUE;
        EXPECT_EQ(GetDlgItemInt(dialog, 4242, &translated, FALSE), 0u);
        EXPECT_FALSE(translated);

        // SetDlgItemInt writes what GetDlgItemInt reads back.
        EXPECT_TRUE(SetDlgItemInt(dialog, kNumber, 4294967295u, FALSE));
        EXPECT_EQ(platform::ControlText(dialog, kNumber), "4294967295");
        EXPECT_TRUE(SetDlgItemInt(dialog, kNumber, static_cast<UINT>(-12), TRUE));
        EXPECT_EQ(platform::ControlText(dialog, kNumber), "-12");
        EXPECT_EQ(static_cast<int>(GetDlgItemInt(dialog, kNumber, &translated, TRUE)), -12);
        EXPECT_TRUE(translated);
        EXPECT_FALSE(SetDlgItemInt(dialog, 4242, 1, FALSE));
    });
}

TEST_F(DialogManager, WindowTextCopiesTruncatesAndTerminates) {
    Run([](HWND dialog) {
        HWND cancel = GetDlgItem(dialog, IDCANCEL);
        char buffer[8];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(GetWindowTextA(cancel, buffer, 4), 3);
        EXPECT_STREQ(buffer, "Ann");
        EXPECT_EQ(GetWindowTextA(cancel, buffer, 1), 0);
        EXPECT_STREQ(buffer, "");
        buffer[0] = 'x';
        EXPECT_EQ(GetWindowTextA(cancel, buffer, 0), 0);
        EXPECT_EQ(buffer[0], 'x') << "no room, no write";
        EXPECT_EQ(GetWindowTextA(cancel, nullptr, 8), 0);
        EXPECT_EQ(GetDlgItemTextA(dialog, IDCANCEL, buffer, sizeof buffer), 7u);
        EXPECT_STREQ(buffer, "Annulla");
        EXPECT_EQ(GetDlgItemTextA(dialog, 4242, buffer, sizeof buffer), 0u);
        EXPECT_STREQ(buffer, "");

        EXPECT_TRUE(SetWindowTextA(dialog, "New caption"));
        EXPECT_EQ(platform::DialogCaption(dialog), "New caption");
        EXPECT_TRUE(SetDlgItemTextA(dialog, kTitle, nullptr));
        EXPECT_EQ(Text(GetDlgItem(dialog, kTitle)), "");
        EXPECT_FALSE(SetDlgItemTextA(dialog, 4242, "x"));
        EXPECT_FALSE(SetWindowTextA(nullptr, "x"));
        EXPECT_EQ(SendMessageA(nullptr, CB_GETCOUNT, 0, 0), 0);
        EXPECT_EQ(Send(dialog, 4242, CB_GETCOUNT), 0);
        EXPECT_EQ(GetDlgItem(nullptr, kSorted), nullptr);
        EXPECT_EQ(GetDlgItem(GetDlgItem(dialog, kSorted), kSorted), nullptr) << "a control has no items";
    });
}

TEST_F(DialogManager, EnableWindowReturnsWhetherTheWindowWasDisabled) {
    Run([](HWND dialog) {
        HWND help = GetDlgItem(dialog, kHelp);
        HWND ok = GetDlgItem(dialog, IDOK);
        EXPECT_FALSE(IsWindowEnabled(help)) << "WS_DISABLED in the template";
        EXPECT_TRUE(IsWindowEnabled(ok));
        EXPECT_NE(EnableWindow(help, TRUE), FALSE);
        EXPECT_EQ(EnableWindow(help, TRUE), FALSE);
        EXPECT_TRUE(IsWindowEnabled(help));
        EXPECT_TRUE(platform::ControlEnabled(dialog, kHelp));
        EXPECT_EQ(EnableWindow(ok, FALSE), FALSE);
        EXPECT_NE(EnableWindow(ok, FALSE), FALSE);
        EXPECT_FALSE(platform::ControlEnabled(dialog, IDOK));
        EXPECT_FALSE(platform::UserClick(dialog, IDOK));

        // A disabled control still answers the program.
        EnableWindow(GetDlgItem(dialog, kSorted), FALSE);
        EXPECT_EQ(Add(dialog, kSorted, "Hangar"), 0);
        EXPECT_EQ(Send(dialog, kSorted, CB_SETCURSEL, 0), 0);
        EXPECT_FALSE(platform::UserChooseItem(dialog, kSorted, "Hangar"));

        // A disabled dialog takes no input at all.
        EXPECT_EQ(EnableWindow(dialog, FALSE), FALSE);
        EXPECT_FALSE(platform::UserClick(dialog, IDCANCEL));
        EXPECT_FALSE(platform::UserClose(dialog));
        EXPECT_NE(EnableWindow(dialog, TRUE), FALSE);
        EXPECT_TRUE(platform::UserClick(dialog, IDCANCEL));
    });
}

TEST_F(DialogManager, BitmapStaticHandsBackThePreviousImage) {
    Run([](HWND dialog) {
        HANDLE first = reinterpret_cast<HANDLE>(0x1000);
        HANDLE second = reinterpret_cast<HANDLE>(0x2000);
        const auto set = [&](int id, HANDLE image, WPARAM type = IMAGE_BITMAP) {
            return reinterpret_cast<HANDLE>(
                Send(dialog, id, STM_SETIMAGE, type, reinterpret_cast<LPARAM>(image)));
        };
        const auto get = [&](int id) {
            return reinterpret_cast<HANDLE>(Send(dialog, id, STM_GETIMAGE, IMAGE_BITMAP));
        };

        EXPECT_EQ(get(kPicture), nullptr);
        EXPECT_EQ(set(kPicture, first), nullptr);
        EXPECT_EQ(get(kPicture), first);
        EXPECT_EQ(set(kPicture, second), first);
        EXPECT_EQ(platform::ControlImage(dialog, kPicture), second);
        EXPECT_EQ(set(kPicture, first, 1), nullptr) << "an icon does not fit a bitmap static";
        EXPECT_EQ(get(kPicture), second);
        EXPECT_EQ(set(kPicture, nullptr), second);
        EXPECT_EQ(get(kPicture), nullptr);

        // Only an SS_BITMAP static shows a bitmap.
        EXPECT_EQ(set(kTitle, first), nullptr);
        EXPECT_EQ(get(kTitle), nullptr);
        EXPECT_EQ(set(kSorted, first), nullptr);
    });
}

TEST_F(DialogManager, AnsiInsideUtf8Outside) {
    Run([](HWND dialog) {
        EXPECT_EQ(Text(dialog), "Propriet\xE0 dell'oggetto");
        EXPECT_EQ(platform::DialogCaption(dialog), "Proprietà dell'oggetto");
        EXPECT_EQ(platform::ControlText(dialog, kLabel), "Proprietà:");

        // The program speaks ANSI to the lists; the user and the observer UTF-8.
        Add(dialog, kSorted, "Gru \xE0 torre");
        Add(dialog, kSorted, "Gru a ponte");
        EXPECT_EQ(platform::ComboItems(dialog, kSorted),
                  (std::vector<std::string>{"Gru a ponte", "Gru à torre"}));
        EXPECT_TRUE(platform::UserChooseItem(dialog, kSorted, "Gru à torre"));
        EXPECT_EQ(Send(dialog, kSorted, CB_GETCURSEL), 1);
        EXPECT_EQ(Text(GetDlgItem(dialog, kSorted)), "Gru \xE0 torre");
        Send(dialog, kSorted, CB_SETCURSEL, 0);
        EXPECT_EQ(Find(dialog, kSorted, CB_SELECTSTRING, -1, "GRU \xC0"), 1) << "À matches à";

        EXPECT_TRUE(platform::UserTypeText(dialog, kText, "Città"));
        char buffer[16];
        GetDlgItemTextA(dialog, kText, buffer, sizeof buffer);
        EXPECT_STREQ(buffer, "Citt\xE0");
        EXPECT_EQ(platform::ControlText(dialog, kText), "Città");
    });
}

TEST_F(DialogManager, ObserverSeesTheDialogAppearAndEnd) {
    std::vector<std::pair<DialogEvent, DialogSnapshot>> seen;
    platform::SetDialogObserver([&](DialogEvent event, HWND dialog, const DialogSnapshot& snapshot) {
        EXPECT_EQ(platform::CurrentDialog(), dialog);
        seen.emplace_back(event, snapshot);
    });
    handler = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            Add(dialog, kSorted, "Port crane");
            Add(dialog, kSorted, "Blast fence");
            Send(dialog, kSorted, CB_SETCURSEL, 1);
            Send(dialog, kPicture, STM_SETIMAGE, IMAGE_BITMAP, 0x3000);
        } else if (message == WM_COMMAND && wParam == MAKEWPARAM(IDOK, BN_CLICKED)) {
            EndDialog(dialog, 1);
        }
        return TRUE;
    };
    Run([](HWND dialog) {
        EXPECT_TRUE(platform::UserChooseItem(dialog, kSorted, "Blast fence"));
        EXPECT_TRUE(platform::UserClick(dialog, IDOK));
    });

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, DialogEvent::Opened);
    EXPECT_EQ(seen[1].first, DialogEvent::Ended);
    const DialogSnapshot& opened = seen[0].second;
    EXPECT_FALSE(opened.ended);
    EXPECT_EQ(opened.templateId, 7001u);
    EXPECT_EQ(opened.language, platform::LANGUAGE_ITALIAN);
    EXPECT_EQ(opened.caption, "Proprietà dell'oggetto");
    ASSERT_EQ(opened.controls.size(), kTemplate.controlCount);
    const platform::ControlSnapshot& list = opened.controls[1];
    EXPECT_EQ(list.id, kSorted);
    EXPECT_EQ(list.className, "COMBOBOX");
    EXPECT_EQ(list.items, (std::vector<std::string>{"Blast fence", "Port crane"}));
    EXPECT_EQ(list.selection, 1);
    EXPECT_EQ(list.text, "Port crane");
    EXPECT_EQ(opened.controls[5].image, reinterpret_cast<HANDLE>(0x3000));
    EXPECT_FALSE(opened.controls[10].enabled);
    EXPECT_FALSE(opened.controls[11].visible);

    const DialogSnapshot& ended = seen[1].second;
    EXPECT_TRUE(ended.ended);
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.controls[1].text, "Blast fence");

    const std::string shown = platform::FormatDialog(ended);
    for (const char* line :
         {"dialog 7001 \"Proprietà dell'oggetto\" ended 1\n",
          "combo     1000 \"Blast fence\" of 2: Blast fence | Port crane\n", "static    1004 [bitmap]\n",
          "button    1006 \"Aiuto\" (disabled)\n", "button    1007 \"Nascosto\" (hidden)\n"}) {
        EXPECT_NE(shown.find(line), std::string::npos) << line << "\nin\n" << shown;
    }

    // Removing the observer silences it.
    platform::SetDialogObserver(nullptr);
    handler = nullptr;
    Run(nullptr);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(DialogManager, ADialogRunFromAProcedureSitsOnTopOfItsOwner) {
    INT_PTR nestedResult = 0;
    HWND inner = nullptr;
    handler = [&](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && wParam == MAKEWPARAM(kHelp, BN_CLICKED)) {
            nestedResult = platform::RunDialogIndirect(kTemplate, EndOnOk, [&](HWND nested) {
                inner = nested;
                EXPECT_NE(nested, dialog);
                EXPECT_EQ(platform::CurrentDialog(), nested);
                EXPECT_FALSE(platform::UserClick(dialog, IDCANCEL)) << "the owner lies under a modal dialog";
                EXPECT_TRUE(platform::UserClick(nested, IDOK));
            });
        } else if (message == WM_COMMAND && wParam == MAKEWPARAM(IDOK, BN_CLICKED)) {
            EndDialog(dialog, 10);
        }
        return TRUE;
    };
    const INT_PTR result = Run([&](HWND dialog) {
        EnableWindow(GetDlgItem(dialog, kHelp), TRUE);
        EXPECT_TRUE(platform::UserClick(dialog, kHelp));
        EXPECT_EQ(nestedResult, 3);
        EXPECT_EQ(platform::CurrentDialog(), dialog);
        EXPECT_FALSE(platform::SnapshotDialog(inner).has_value()) << "the inner dialog is gone";
        EXPECT_TRUE(platform::UserClick(dialog, IDOK));
    });
    EXPECT_EQ(result, 10);
}

}  // namespace
