// The headless dialog manager of the native build: modal dialogs created
// from the generated templates, driven by a person or a script through user
// actions and watched through snapshots. The module only ever sees the Win32
// calls of platform/win32.h; hosts and tests use this header. Never part of
// the DLL.
//
// Windows belong to one UI thread, as in Win32: none of this is thread-safe.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/resources.h"
#include "platform/win32.h"

namespace platform {

// Runs dialog template `templateId` modally, as DialogBoxParamA would: the
// template of ActiveLanguage(), else the English one, becomes a dialog and its
// controls; the procedure gets WM_INITDIALOG (wParam = first visible, enabled
// tab-stop control; lParam = initParam); then, unless EndDialog was already
// called, `user(dialog)` plays the user's actions. If `user` returns with the
// dialog still open, it is closed as the close box would (WM_CLOSE, then
// WM_COMMAND IDCANCEL if the procedure leaves WM_CLOSE unhandled), and if even
// that does not end it, the result is IDCANCEL. Returns the EndDialog result,
// or -1 without calling the procedure when there is no such template.
// The dialog and its controls are destroyed before this returns: none of
// their handles stays valid. A procedure may run a dialog of its own.
INT_PTR RunDialog(HINSTANCE instance, UINT templateId, DLGPROC procedure,
                  const std::function<void(HWND)>& user, LPARAM initParam = 0);

// The same from a template in memory (DialogBoxIndirectParamA).
INT_PTR RunDialogIndirect(const DialogResource& dialogTemplate, DLGPROC procedure,
                          const std::function<void(HWND)>& user, LPARAM initParam = 0);

// The innermost dialog now running, nullptr when none.
HWND CurrentDialog();

// User actions. Each does what a person could do at the screen and reports
// whether it was possible; when it is not (no such control, the wrong kind of
// control, hidden or disabled, a dialog that has ended or lies under another
// modal dialog, an item not in the list), nothing happens.
//
// Picks the item whose text is exactly `itemUtf8` from the list of combo box
// `comboId`, selects it and notifies CBN_SELCHANGE.
bool UserChooseItem(HWND dialog, int comboId, std::string_view itemUtf8);
// Replaces the text of edit control `editId` and notifies EN_CHANGE. ES_NUMBER
// fields take digits only and single-line fields no line breaks, as a keyboard
// cannot put anything else there.
bool UserTypeText(HWND dialog, int editId, std::string_view textUtf8);
// Clicks push button `buttonId`: BN_CLICKED.
bool UserClick(HWND dialog, int buttonId);
// Clicks the close box: WM_CLOSE, which an unhandling procedure turns into
// WM_COMMAND IDCANCEL as DefDlgProc does.
bool UserClose(HWND dialog);

// Inspection, in UTF-8. Unknown dialogs or controls read as empty.
std::string DialogCaption(HWND dialog);
// The control's window text; for a drop-down list, the selected item's text.
std::string ControlText(HWND dialog, int id);
bool ControlEnabled(HWND dialog, int id);
// Combo box items in display order.
std::vector<std::string> ComboItems(HWND dialog, int id);
// The selected item's text, std::nullopt when nothing is selected.
std::optional<std::string> ComboSelection(HWND dialog, int id);
// The image a static control shows (STM_GETIMAGE).
HANDLE ControlImage(HWND dialog, int id);
bool DialogEnded(HWND dialog);
// The EndDialog result once ended, else 0.
INT_PTR DialogResult(HWND dialog);

// Everything an observer sees of a dialog at one moment.
struct ControlSnapshot {
    int id = 0;
    std::string className;  // as in the template, e.g. "COMBOBOX"
    DWORD style = 0;
    std::string text;  // UTF-8
    bool enabled = true;
    bool visible = true;
    std::vector<std::string> items;  // combo boxes only
    int selection = -1;              // combo boxes only; -1 for none
    HANDLE image = nullptr;          // static controls only
};
struct DialogSnapshot {
    UINT templateId = 0;
    LANGID language = 0;  // of the template in use
    std::string caption;  // UTF-8
    bool ended = false;
    INT_PTR result = 0;
    std::vector<ControlSnapshot> controls;  // in template (tab) order
};
// std::nullopt for a handle that is not a running dialog.
std::optional<DialogSnapshot> SnapshotDialog(HWND dialog);

// A readable, deterministic rendering of a snapshot, one line per control,
// for transcripts: image handles show only as present or absent.
std::string FormatDialog(const DialogSnapshot& snapshot);

// A global observer, told when a dialog appears (after WM_INITDIALOG, if it
// did not end there) and when it has ended (just before it is destroyed).
// An empty function removes it.
enum class DialogEvent { Opened, Ended };
using DialogObserver = std::function<void(DialogEvent, HWND, const DialogSnapshot&)>;
void SetDialogObserver(DialogObserver observer);

}  // namespace platform
