// The Win32 dialog manager of the native build: windows are handles to
// in-process objects built from the generated dialog templates, the controls
// answer the messages the module sends, and platform/dialogs.h plays the user.
#include "platform/dialogs.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Messages and styles the module never names, so win32.h leaves them out.
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr DWORD ES_MULTILINE = 0x0004;
constexpr DWORD ES_READONLY = 0x0800;
constexpr DWORD CBS_TYPEMASK = 0x0003;
constexpr DWORD SS_TYPEMASK = 0x001F;
constexpr DWORD BS_TYPEMASK = 0x000F;
constexpr DWORD BS_OWNERDRAW = 0x000B;
constexpr LRESULT CB_OKAY = 0;

enum class Kind { Dialog, Button, Edit, Static, ComboBox, Other };

struct Item {
    std::string text;  // ANSI
    LPARAM data = 0;
};

struct Window {
    HWND handle = nullptr;
    Kind kind = Kind::Other;
    HWND dialog = nullptr;  // the owning dialog; itself for a dialog
    int id = 0;
    std::string className;
    DWORD style = 0;
    std::string text;  // ANSI; a combo box's edit field text
    // Combo boxes.
    std::vector<Item> items;
    int selection = -1;
    // Static controls.
    HANDLE image = nullptr;
    // Dialogs.
    DLGPROC procedure = nullptr;
    std::vector<HWND> controls;
    bool ended = false;
    INT_PTR result = 0;
    UINT templateId = 0;
    LANGID language = 0;
};

struct State {
    std::map<uintptr_t, std::unique_ptr<Window>> windows;
    // Handles are never reused, so a stale one stays harmless forever.
    uintptr_t nextHandle = 0x10000;
    std::vector<HWND> running;  // innermost last
    DialogObserver observer;
};

State& Manager() {
    static State state;
    return state;
}

Window* Lookup(HWND handle) {
    auto& windows = Manager().windows;
    auto found = windows.find(reinterpret_cast<uintptr_t>(handle));
    return found == windows.end() ? nullptr : found->second.get();
}

Window* LookupDialog(HWND handle) {
    Window* window = Lookup(handle);
    return window && window->kind == Kind::Dialog ? window : nullptr;
}

Window* FindControl(HWND dialog, int id) {
    Window* owner = LookupDialog(dialog);
    if (owner == nullptr) {
        return nullptr;
    }
    for (HWND control : owner->controls) {
        Window* window = Lookup(control);
        if (window && window->id == id) {
            return window;
        }
    }
    return nullptr;
}

Window* NewWindow(Kind kind) {
    State& state = Manager();
    auto window = std::make_unique<Window>();
    window->kind = kind;
    window->handle = reinterpret_cast<HWND>(state.nextHandle);
    state.nextHandle += 4;
    Window* raw = window.get();
    state.windows.emplace(reinterpret_cast<uintptr_t>(raw->handle), std::move(window));
    return raw;
}

Kind KindOfClass(const char* className) {
    static const std::pair<const char*, Kind> kClasses[] = {
        {"BUTTON", Kind::Button},
        {"EDIT", Kind::Edit},
        {"STATIC", Kind::Static},
        {"COMBOBOX", Kind::ComboBox},
    };
    for (const auto& [name, kind] : kClasses) {
        if (className && strcasecmp(className, name) == 0) {
            return kind;
        }
    }
    return Kind::Other;
}

bool IsDropDownList(const Window& window) {
    return window.kind == Kind::ComboBox && (window.style & CBS_TYPEMASK) == CBS_DROPDOWNLIST;
}

bool IsBitmapStatic(const Window& window) {
    return window.kind == Kind::Static && (window.style & SS_TYPEMASK) == SS_BITMAP;
}

// Windows-1252 letters fold to lower case, the accented ones too, so that
// "PROPRIETÀ" finds "proprietà" as the system's case-insensitive search does.
unsigned char Fold(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return static_cast<unsigned char>(c + 0x20);
    }
    if (c == 0x8A || c == 0x8C || c == 0x8E) {  // Š Œ Ž
        return static_cast<unsigned char>(c + 0x10);
    }
    return c == 0x9F ? 0xFF : c;  // Ÿ
}

// Byte order after folding; a prefix sorts before the longer text, so
// "Port crane" comes before "Port crane, blue".
int CompareNoCase(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char x = Fold(static_cast<unsigned char>(a[i]));
        const unsigned char y = Fold(static_cast<unsigned char>(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && CompareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

int CopyText(const std::string& text, char* buffer, int bufferMax) {
    if (buffer == nullptr || bufferMax <= 0) {
        return 0;
    }
    const size_t copied = std::min(text.size(), static_cast<size_t>(bufferMax) - 1);
    memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
    return static_cast<int>(copied);
}

std::string WindowText(const Window& window) {
    if (IsDropDownList(window)) {
        return window.selection >= 0 ? window.items[window.selection].text : std::string();
    }
    return window.text;
}

// A WM_COMMAND from a control to its dialog's procedure.
void Notify(HWND control, WORD code) {
    Window* window = Lookup(control);
    Window* dialog = window ? LookupDialog(window->dialog) : nullptr;
    if (dialog == nullptr || dialog->procedure == nullptr) {
        return;
    }
    const int id = window->id;
    dialog->procedure(dialog->handle, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

BOOL SetText(Window& window, const char* ansi) {
    if (IsDropDownList(window)) {
        return FALSE;  // no edit field to take the text
    }
    window.text = ansi ? ansi : "";
    // A single-line edit control reports even a program's WM_SETTEXT as a
    // change; dialog procedures see EN_CHANGE during WM_INITDIALOG on Windows.
    if (window.kind == Kind::Edit && (window.style & ES_MULTILINE) == 0) {
        Notify(window.handle, EN_CHANGE);
    }
    return TRUE;
}

void Select(Window& combo, int index) {
    combo.selection = index;
    if (!IsDropDownList(combo)) {
        combo.text = index >= 0 ? combo.items[index].text : std::string();
    }
}

// The insertion point the list box's bisection finds: a tie lands on the
// equal item it meets, pushing that one down.
size_t SortedPosition(const std::vector<Item>& items, std::string_view text) {
    size_t low = 0;
    size_t high = items.size();
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const int order = CompareNoCase(items[middle].text, text);
        if (order == 0) {
            return middle;
        }
        if (order > 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

// CB_FINDSTRING: the first item after `start` that begins with the text,
// wrapping round to `start` itself; -1 or an index past the end searches
// the whole list from the top.
int FindPrefix(const Window& combo, WPARAM start, const char* text) {
    const int count = static_cast<int>(combo.items.size());
    if (text == nullptr || count == 0) {
        return CB_ERR;
    }
    int from = static_cast<int>(start);
    if (from < 0 || from >= count) {
        from = -1;
    }
    for (int step = 1; step <= count; ++step) {
        const int index = (from + step) % count;
        if (StartsWithNoCase(combo.items[index].text, text)) {
            return index;
        }
    }
    return CB_ERR;
}

// The list index a wParam carries; -1 when out of range. Callers pass -1 as
// (WPARAM)-1 or as (UINT)-1, and both narrow to -1.
int ItemIndex(const Window& combo, WPARAM wParam) {
    const int index = static_cast<int>(wParam);
    return index >= 0 && index < static_cast<int>(combo.items.size()) ? index : -1;
}

LRESULT ComboMessage(Window& combo, UINT message, WPARAM wParam, LPARAM lParam) {
    const char* text = reinterpret_cast<const char*>(lParam);
    const int index = ItemIndex(combo, wParam);
    switch (message) {
        case CB_ADDSTRING: {
            if (text == nullptr) {
                return CB_ERR;
            }
            const size_t position =
                (combo.style & CBS_SORT) ? SortedPosition(combo.items, text) : combo.items.size();
            combo.items.insert(combo.items.begin() + static_cast<ptrdiff_t>(position), Item{text, 0});
            if (combo.selection >= static_cast<int>(position)) {
                ++combo.selection;  // the selected item stays selected
            }
            return static_cast<LRESULT>(position);
        }
        case CB_GETCOUNT:
            return static_cast<LRESULT>(combo.items.size());
        case CB_GETCURSEL:
            return combo.selection >= 0 ? combo.selection : CB_ERR;
        case CB_SETCURSEL:
            Select(combo, index);  // out of range clears, as -1 does
            return index >= 0 ? index : CB_ERR;
        case CB_GETLBTEXT: {
            if (index < 0 || lParam == 0) {
                return CB_ERR;
            }
            const std::string& item = combo.items[index].text;
            memcpy(reinterpret_cast<char*>(lParam), item.c_str(), item.size() + 1);
            return static_cast<LRESULT>(item.size());
        }
        case CB_GETLBTEXTLEN:
            return index >= 0 ? static_cast<LRESULT>(combo.items[index].text.size()) : CB_ERR;
        case CB_RESETCONTENT:
            combo.items.clear();
            Select(combo, -1);
            return CB_OKAY;
        case CB_FINDSTRING:
            return FindPrefix(combo, wParam, text);
        case CB_SELECTSTRING: {
            const int found = FindPrefix(combo, wParam, text);
            if (found != CB_ERR) {
                Select(combo, found);
            }
            return found;
        }
        case CB_GETITEMDATA:
            return index >= 0 ? combo.items[index].data : CB_ERR;
        case CB_SETITEMDATA:
            if (index < 0) {
                return CB_ERR;
            }
            combo.items[index].data = lParam;
            return TRUE;
        default:
            return 0;
    }
}

LRESULT StaticMessage(Window& control, UINT message, WPARAM wParam, LPARAM lParam) {
    // Only an SS_BITMAP static takes a bitmap; it never deletes one, the
    // procedure that loaded it does.
    if (wParam != IMAGE_BITMAP || !IsBitmapStatic(control)) {
        return 0;
    }
    HANDLE previous = control.image;
    if (message == STM_SETIMAGE) {
        control.image = reinterpret_cast<HANDLE>(lParam);
    }
    return reinterpret_cast<LRESULT>(previous);
}

// Running, on top of the modal stack, not ended and taking input: the only
// dialog a person can act on.
Window* InteractiveDialog(HWND dialog) {
    Window* window = LookupDialog(dialog);
    const auto& running = Manager().running;
    if (window == nullptr || window->ended || (window->style & WS_DISABLED) || running.empty() ||
        running.back() != dialog) {
        return nullptr;
    }
    return window;
}

Window* InteractiveControl(HWND dialog, int id, Kind kind) {
    if (InteractiveDialog(dialog) == nullptr) {
        return nullptr;
    }
    Window* control = FindControl(dialog, id);
    if (control == nullptr || control->kind != kind || !(control->style & WS_VISIBLE) ||
        (control->style & WS_DISABLED)) {
        return nullptr;
    }
    return control;
}

// DefDlgProc's close box: WM_CLOSE, and if the procedure leaves it
// unhandled, the Cancel command.
void CloseDialog(Window& dialog) {
    const HWND handle = dialog.handle;
    const DLGPROC procedure = dialog.procedure;
    if (procedure == nullptr) {
        return;
    }
    const INT_PTR handled = procedure(handle, WM_CLOSE, 0, 0);
    Window* still = LookupDialog(handle);
    if (handled == 0 && still && !still->ended) {
        procedure(handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                  reinterpret_cast<LPARAM>(GetDlgItem(handle, IDCANCEL)));
    }
}

HWND FirstTabStop(const Window& dialog) {
    for (HWND control : dialog.controls) {
        const Window* window = Lookup(control);
        if (window && (window->style & WS_TABSTOP) && (window->style & WS_VISIBLE) &&
            !(window->style & WS_DISABLED)) {
            return control;
        }
    }
    return nullptr;
}

Window* CreateDialogWindow(const DialogResource& dialogTemplate, DLGPROC procedure) {
    Window* dialog = NewWindow(Kind::Dialog);
    dialog->dialog = dialog->handle;
    dialog->className = "#32770";
    dialog->style = dialogTemplate.style;
    dialog->text = Utf8ToAnsi(dialogTemplate.captionUtf8 ? dialogTemplate.captionUtf8 : "");
    dialog->procedure = procedure;
    dialog->templateId = dialogTemplate.id;
    dialog->language = dialogTemplate.language;
    const HWND dialogHandle = dialog->handle;
    for (size_t i = 0; i < dialogTemplate.controlCount; ++i) {
        const DialogControlResource& source = dialogTemplate.controls[i];
        Window* control = NewWindow(KindOfClass(source.className));
        control->dialog = dialogHandle;
        control->id = source.id;
        control->className = source.className ? source.className : "";
        control->style = source.style;
        control->text = Utf8ToAnsi(source.textUtf8 ? source.textUtf8 : "");
        LookupDialog(dialogHandle)->controls.push_back(control->handle);
    }
    return LookupDialog(dialogHandle);
}

void DestroyDialog(HWND handle) {
    State& state = Manager();
    if (Window* dialog = LookupDialog(handle)) {
        for (HWND control : dialog->controls) {
            state.windows.erase(reinterpret_cast<uintptr_t>(control));
        }
    }
    state.windows.erase(reinterpret_cast<uintptr_t>(handle));
    auto& running = state.running;
    running.erase(std::remove(running.begin(), running.end(), handle), running.end());
}

void Observe(DialogEvent event, HWND handle) {
    // A copy, so an observer may replace itself.
    const DialogObserver observer = Manager().observer;
    if (!observer) {
        return;
    }
    if (auto snapshot = SnapshotDialog(handle)) {
        observer(event, handle, *snapshot);
    }
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Button:
            return "button";
        case Kind::Edit:
            return "edit";
        case Kind::Static:
            return "static";
        case Kind::ComboBox:
            return "combo";
        default:
            return "control";
    }
}

}  // namespace

INT_PTR RunDialogIndirect(const DialogResource& dialogTemplate, DLGPROC procedure,
                          const std::function<void(HWND)>& user, LPARAM initParam) {
    const HWND handle = CreateDialogWindow(dialogTemplate, procedure)->handle;
    Manager().running.push_back(handle);
    // The dialog goes away however the run ends, a throwing script included.
    struct Destroyer {
        HWND handle;
        ~Destroyer() { DestroyDialog(handle); }
    } destroyer{handle};

    if (procedure) {
        procedure(handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(FirstTabStop(*LookupDialog(handle))),
                  initParam);
    }
    if (!LookupDialog(handle)->ended) {
        Observe(DialogEvent::Opened, handle);
        if (user && !LookupDialog(handle)->ended) {
            user(handle);
        }
    }
    if (!LookupDialog(handle)->ended) {
        CloseDialog(*LookupDialog(handle));
    }
    Window* dialog = LookupDialog(handle);
    if (!dialog->ended) {
        dialog->ended = true;
        dialog->result = IDCANCEL;
    }
    const INT_PTR result = dialog->result;
    Observe(DialogEvent::Ended, handle);
    return result;
}

INT_PTR RunDialog(HINSTANCE instance, UINT templateId, DLGPROC procedure,
                  const std::function<void(HWND)>& user, LPARAM initParam) {
    (void)instance;  // every template natively is the editor's
    const DialogResource* dialogTemplate = FindDialogResource(templateId, ActiveLanguage());
    if (dialogTemplate == nullptr) {
        dialogTemplate = FindDialogResource(templateId, LANGUAGE_ENGLISH);
    }
    if (dialogTemplate == nullptr) {
        return -1;
    }
    return RunDialogIndirect(*dialogTemplate, procedure, user, initParam);
}

HWND CurrentDialog() {
    const auto& running = Manager().running;
    return running.empty() ? nullptr : running.back();
}

bool UserChooseItem(HWND dialog, int comboId, std::string_view itemUtf8) {
    Window* combo = InteractiveControl(dialog, comboId, Kind::ComboBox);
    if (combo == nullptr) {
        return false;
    }
    const std::string ansi = Utf8ToAnsi(itemUtf8);
    auto item = std::find_if(combo->items.begin(), combo->items.end(),
                             [&](const Item& candidate) { return candidate.text == ansi; });
    if (item == combo->items.end()) {
        return false;
    }
    Select(*combo, static_cast<int>(item - combo->items.begin()));
    Notify(combo->handle, CBN_SELCHANGE);
    return true;
}

bool UserTypeText(HWND dialog, int editId, std::string_view textUtf8) {
    Window* edit = InteractiveControl(dialog, editId, Kind::Edit);
    if (edit == nullptr || (edit->style & ES_READONLY)) {
        return false;
    }
    const std::string ansi = Utf8ToAnsi(textUtf8);
    for (const char c : ansi) {
        if ((edit->style & ES_NUMBER) && (c < '0' || c > '9')) {
            return false;
        }
        if (!(edit->style & ES_MULTILINE) && (c == '\r' || c == '\n')) {
            return false;
        }
    }
    edit->text = ansi;
    Notify(edit->handle, EN_CHANGE);
    return true;
}

bool UserClick(HWND dialog, int buttonId) {
    Window* button = InteractiveControl(dialog, buttonId, Kind::Button);
    if (button == nullptr) {
        return false;
    }
    const DWORD type = button->style & BS_TYPEMASK;
    if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON && type != BS_OWNERDRAW) {
        return false;  // group boxes and the like take no clicks
    }
    Notify(button->handle, BN_CLICKED);
    return true;
}

bool UserClose(HWND dialog) {
    Window* window = InteractiveDialog(dialog);
    if (window == nullptr || !(window->style & WS_SYSMENU)) {
        return false;  // no close box without a system menu
    }
    CloseDialog(*window);
    return true;
}

std::string DialogCaption(HWND dialog) {
    const Window* window = LookupDialog(dialog);
    return window ? AnsiToUtf8(window->text) : std::string();
}

std::string ControlText(HWND dialog, int id) {
    const Window* control = FindControl(dialog, id);
    return control ? AnsiToUtf8(WindowText(*control)) : std::string();
}

bool ControlEnabled(HWND dialog, int id) {
    const Window* control = FindControl(dialog, id);
    return control && !(control->style & WS_DISABLED);
}

std::vector<std::string> ComboItems(HWND dialog, int id) {
    std::vector<std::string> items;
    const Window* control = FindControl(dialog, id);
    if (control && control->kind == Kind::ComboBox) {
        for (const Item& item : control->items) {
            items.push_back(AnsiToUtf8(item.text));
        }
    }
    return items;
}

std::optional<std::string> ComboSelection(HWND dialog, int id) {
    const Window* control = FindControl(dialog, id);
    if (control == nullptr || control->kind != Kind::ComboBox || control->selection < 0) {
        return std::nullopt;
    }
    return AnsiToUtf8(control->items[control->selection].text);
}

HANDLE ControlImage(HWND dialog, int id) {
    const Window* control = FindControl(dialog, id);
    return control && control->kind == Kind::Static ? control->image : nullptr;
}

bool DialogEnded(HWND dialog) {
    const Window* window = LookupDialog(dialog);
    return window && window->ended;
}

INT_PTR DialogResult(HWND dialog) {
    const Window* window = LookupDialog(dialog);
    return window && window->ended ? window->result : 0;
}

std::optional<DialogSnapshot> SnapshotDialog(HWND dialog) {
    const Window* window = LookupDialog(dialog);
    if (window == nullptr) {
        return std::nullopt;
    }
    DialogSnapshot snapshot;
    snapshot.templateId = window->templateId;
    snapshot.language = window->language;
    snapshot.caption = AnsiToUtf8(window->text);
    snapshot.ended = window->ended;
    snapshot.result = window->ended ? window->result : 0;
    for (HWND handle : window->controls) {
        const Window* control = Lookup(handle);
        if (control == nullptr) {
            continue;
        }
        ControlSnapshot entry;
        entry.id = control->id;
        entry.className = control->className;
        entry.style = control->style;
        entry.text = AnsiToUtf8(WindowText(*control));
        entry.enabled = !(control->style & WS_DISABLED);
        entry.visible = (control->style & WS_VISIBLE) != 0;
        for (const Item& item : control->items) {
            entry.items.push_back(AnsiToUtf8(item.text));
        }
        entry.selection = control->selection;
        entry.image = control->image;
        snapshot.controls.push_back(std::move(entry));
    }
    return snapshot;
}

std::string FormatDialog(const DialogSnapshot& snapshot) {
    std::string out = "dialog " + std::to_string(snapshot.templateId) + " \"" + snapshot.caption + "\"";
    if (snapshot.ended) {
        out += " ended " + std::to_string(snapshot.result);
    }
    out += '\n';
    for (const ControlSnapshot& control : snapshot.controls) {
        const Kind kind = KindOfClass(control.className.c_str());
        char head[64];
        snprintf(head, sizeof head, "  %-7s %6d ", KindName(kind), control.id);
        out += head;
        if (kind == Kind::Static && (control.style & SS_TYPEMASK) == SS_BITMAP) {
            out += control.image ? "[bitmap]" : "[no bitmap]";
        } else {
            out += "\"" + control.text + "\"";
        }
        if (kind == Kind::ComboBox) {
            out += " of " + std::to_string(control.items.size()) + ":";
            for (size_t i = 0; i < control.items.size(); ++i) {
                out += (i == 0 ? " " : " | ") + control.items[i];
            }
        }
        if (!control.enabled) {
            out += " (disabled)";
        }
        if (!control.visible) {
            out += " (hidden)";
        }
        out += '\n';
    }
    return out;
}

void SetDialogObserver(DialogObserver observer) {
    Manager().observer = std::move(observer);
}

}  // namespace platform

using platform::Lookup;
using platform::LookupDialog;

extern "C" {

HWND WINAPI GetDlgItem(HWND dialog, int id) {
    platform::Window* control = platform::FindControl(dialog, id);
    return control ? control->handle : nullptr;
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    platform::Window* target = Lookup(window);
    if (target == nullptr) {
        return 0;
    }
    switch (message) {
        case platform::WM_SETTEXT:
            return platform::SetText(*target, reinterpret_cast<const char*>(lParam));
        case platform::WM_GETTEXT:
            return platform::CopyText(platform::WindowText(*target), reinterpret_cast<char*>(lParam),
                                      static_cast<int>(wParam));
        case platform::WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(platform::WindowText(*target).size());
        default:
            break;
    }
    switch (target->kind) {
        case platform::Kind::Dialog: {
            if (target->procedure == nullptr) {
                return 0;
            }
            const INT_PTR handled = target->procedure(window, message, wParam, lParam);
            // Other answers would travel through DWLP_MSGRESULT, which no
            // procedure here sets.
            return message == WM_INITDIALOG ? handled : 0;
        }
        case platform::Kind::ComboBox:
            return platform::ComboMessage(*target, message, wParam, lParam);
        case platform::Kind::Static:
            if (message == STM_SETIMAGE || message == STM_GETIMAGE) {
                return platform::StaticMessage(*target, message, wParam, lParam);
            }
            return 0;
        default:
            return 0;
    }
}

LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageA(GetDlgItem(dialog, id), message, wParam, lParam);
}

BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text) {
    platform::Window* target = Lookup(window);
    return target ? platform::SetText(*target, text) : FALSE;
}

int WINAPI GetWindowTextA(HWND window, LPSTR buffer, int bufferMax) {
    const platform::Window* target = Lookup(window);
    if (target == nullptr) {
        if (buffer != nullptr && bufferMax > 0) {
            buffer[0] = '\0';
        }
        return 0;
    }
    return platform::CopyText(platform::WindowText(*target), buffer, bufferMax);
}

BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    return SetWindowTextA(GetDlgItem(dialog, id), text);
}

UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int bufferMax) {
    return static_cast<UINT>(GetWindowTextA(GetDlgItem(dialog, id), buffer, bufferMax));
}

BOOL WINAPI SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
    char text[16];
    if (isSigned) {
        snprintf(text, sizeof text, "%d", static_cast<int>(value));
    } else {
        snprintf(text, sizeof text, "%u", value);
    }
    return SetDlgItemTextA(dialog, id, text);
}

// Spaces around the number are fine; anything else besides the digits (and
// a leading minus when signed) is not, nor a value beyond 32 bits.
UINT WINAPI GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned) {
    if (translated) {
        *translated = FALSE;
    }
    const platform::Window* control = Lookup(GetDlgItem(dialog, id));
    if (control == nullptr) {
        return 0;
    }
    const std::string text = platform::WindowText(*control);
    size_t pos = 0;
    while (pos < text.size() && text[pos] == ' ') {
        ++pos;
    }
    const bool negative = isSigned && pos < text.size() && text[pos] == '-';
    if (negative) {
        ++pos;
    }
    const size_t firstDigit = pos;
    uint64_t magnitude = 0;
    const uint64_t limit = !isSigned ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[pos] - '0');
        if (magnitude > limit) {
            return 0;
        }
        ++pos;
    }
    if (pos == firstDigit) {
        return 0;
    }
    while (pos < text.size() && text[pos] == ' ') {
        ++pos;
    }
    if (pos != text.size()) {
        return 0;
    }
    if (translated) {
        *translated = TRUE;
    }
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

BOOL WINAPI EnableWindow(HWND window, BOOL enable) {
    platform::Window* target = Lookup(window);
    if (target == nullptr) {
        return FALSE;
    }
    const BOOL wasDisabled = (target->style & WS_DISABLED) ? TRUE : FALSE;
    if (enable) {
        target->style &= ~static_cast<DWORD>(WS_DISABLED);
    } else {
        target->style |= static_cast<DWORD>(WS_DISABLED);
    }
    return wasDisabled;
}

BOOL WINAPI IsWindowEnabled(HWND window) {
    const platform::Window* target = Lookup(window);
    return target && !(target->style & WS_DISABLED) ? TRUE : FALSE;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
    platform::Window* window = LookupDialog(dialog);
    if (window == nullptr) {
        return FALSE;
    }
    window->ended = true;
    window->result = result;
    return TRUE;
}

}  // extern "C"
