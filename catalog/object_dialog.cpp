#include "catalog/object_dialog.h"

#include "catalog/catalog.h"
#include "module/host.h"
#include "placement/edit_state.h"
#include "resources/resource_ids.h"

namespace {

constexpr char kScalePlaceholder[] = "--";
constexpr char kPreviewFolder[] = "QIRO\\TAVU\\BMP\\";
constexpr char kHelpFile[] = "QIRO\\TAVU\\TAVU.CHM";
constexpr char kHelpTopic[] = "/DlgObjProp.htm";
constexpr int32_t kTitleBuffer = 32;
constexpr int32_t kScaleBuffer = 32;
// The folder and the longest bitmap name (19) with its terminator.
constexpr int32_t kPreviewPathBuffer = 36;
static_assert(sizeof kPreviewFolder - 1 + sizeof(CatalogEntry::bitmap) <= kPreviewPathBuffer);

constexpr int32_t kMinScalePercent = 1;
constexpr int32_t kMaxScalePercent = 2000;

LRESULT SendItem(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageA(dialog, id, message, wParam, lParam);
}

// Adds a text to a sorted list and tags the new item with a catalog index.
void AddListItem(HWND dialog, int listId, const char* text, int32_t index) {
    LRESULT item = SendItem(dialog, listId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (item != CB_ERR) {
        SendItem(dialog, listId, CB_SETITEMDATA, static_cast<WPARAM>(item), index);
    }
}

int32_t ItemData(HWND dialog, int listId, LRESULT item) {
    return static_cast<int32_t>(SendItem(dialog, listId, CB_GETITEMDATA, static_cast<WPARAM>(item), 0));
}

// Selects the item whose text begins with `text`, or item 0; returns the
// data of the selected item when it had to fall back, else `index`.
int32_t SelectByName(HWND dialog, int listId, const char* text, int32_t index) {
    if (SendItem(dialog, listId, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text)) !=
        CB_ERR) {
        return index;
    }
    SendItem(dialog, listId, CB_SETCURSEL, 0, 0);
    return ItemData(dialog, listId, 0);
}

// The data of the selected item, or of item 0 when nothing is selected.
int32_t SelectedOrFirst(HWND dialog, int listId) {
    LRESULT item = SendItem(dialog, listId, CB_GETCURSEL, 0, 0);
    return ItemData(dialog, listId, item == CB_ERR ? 0 : item);
}

void DeletePreview(HWND dialog) {
    HANDLE previous = reinterpret_cast<HANDLE>(SendItem(dialog, IDC_PREVIEW, STM_SETIMAGE, IMAGE_BITMAP, 0));
    if (previous != nullptr) {
        DeleteObject(previous);
    }
}

void ShowPreview(HWND dialog, const CatalogEntry& entry) {
    DeletePreview(dialog);
    char path[kPreviewPathBuffer];
    CopyString(path, kPreviewFolder);
    AppendString(path, entry.bitmap);
    HANDLE bitmap = LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE);
    SendItem(dialog, IDC_PREVIEW, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
}

// The dialog owns every preview it loads, whichever way it ends.
void EndObjectDialog(HWND dialog, INT_PTR result) {
    DeletePreview(dialog);
    EndDialog(dialog, result);
}

BOOL OnInitDialog(HWND dialog) {
    char title[kTitleBuffer];
    int id = state.dialogEditsExisting ? IDS_TITLE_OBJECT_PROPERTIES : IDS_TITLE_ADD_OBJECT;
    if (LoadStringA(state.moduleInstance, id, title, kTitleBuffer) == 0) {
        title[0] = 0;
    }
    SetDlgItemTextA(dialog, IDC_TITLE_LINE, title);
    for (int32_t i = 0; i < ObjectCatalog.groupCount; ++i) {
        AddListItem(dialog, IDC_GROUP_LIST, ObjectCatalog.groups[i].name, i);
    }
    state.groupIndex =
        SelectByName(dialog, IDC_GROUP_LIST, ObjectCatalog.groups[state.groupIndex].name, state.groupIndex);
    FillObjectList(dialog, state.groupIndex, state.objectIndex);
    return TRUE;
}

void OnOk(HWND dialog) {
    state.groupIndex = SelectedOrFirst(dialog, IDC_GROUP_LIST);
    state.objectIndex = SelectedOrFirst(dialog, IDC_OBJECT_LIST);
    char scale[kScaleBuffer];
    scale[0] = 0;
    GetDlgItemTextA(dialog, IDC_SCALE, scale, kScaleBuffer);
    if (scale[0] == '-') {
        state.scalePercent = ObjectCatalog.entries[state.objectIndex].defaultScale;
    } else {
        UINT percent = GetDlgItemInt(dialog, IDC_SCALE, nullptr, FALSE);
        if (percent < kMinScalePercent) {
            percent = kMinScalePercent;
        } else if (percent > kMaxScalePercent) {
            percent = kMaxScalePercent;
        }
        state.scalePercent = static_cast<int32_t>(percent);
    }
    state.maxDistance = GetDlgItemInt(dialog, IDC_MAX_DISTANCE, nullptr, FALSE);
    EndObjectDialog(dialog, IDOK);
}

BOOL OnButton(HWND dialog, int id) {
    switch (id) {
        case IDOK:
            OnOk(dialog);
            return TRUE;
        case IDCANCEL:
            EndObjectDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_HELP_BUTTON:
            ShowHelp(kHelpFile, kHelpTopic);
            return FALSE;
        default:
            return FALSE;
    }
}

BOOL OnSelectionChange(HWND dialog, int id) {
    LRESULT item = SendItem(dialog, id, CB_GETCURSEL, 0, 0);
    if (item == CB_ERR) {
        return FALSE;
    }
    if (id == IDC_GROUP_LIST) {
        state.groupIndex = ItemData(dialog, id, item);
        FillObjectList(dialog, state.groupIndex, 0);
    } else if (id == IDC_OBJECT_LIST) {
        state.objectIndex = ItemData(dialog, id, item);
        ShowObjectDefaults(dialog, state.objectIndex);
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK ObjectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog(dialog);
        case WM_COMMAND:
            switch (HIWORD(wParam)) {
                case BN_CLICKED:
                    return OnButton(dialog, LOWORD(wParam));
                case CBN_SELCHANGE:
                    return OnSelectionChange(dialog, LOWORD(wParam));
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

void FillObjectList(HWND dialog, int32_t groupIndex, int32_t objectIndex) {
    SendItem(dialog, IDC_OBJECT_LIST, CB_RESETCONTENT, 0, 0);
    const CatalogGroup& group = ObjectCatalog.groups[groupIndex];
    for (int32_t i = group.first; i <= group.last; ++i) {
        AddListItem(dialog, IDC_OBJECT_LIST, ObjectCatalog.entries[i].name, i);
    }
    // A name sorts ahead of every longer name that begins with it, so the
    // prefix match finds the entry itself.
    objectIndex = SelectByName(dialog, IDC_OBJECT_LIST, ObjectCatalog.entries[objectIndex].name, objectIndex);
    ShowObjectDefaults(dialog, objectIndex);
}

void ShowObjectDefaults(HWND dialog, int32_t objectIndex) {
    const CatalogEntry& entry = ObjectCatalog.entries[objectIndex];
    HWND scale = GetDlgItem(dialog, IDC_SCALE);
    if (entry.defaultScale < 0) {
        SetWindowTextA(scale, kScalePlaceholder);
        EnableWindow(scale, FALSE);
    } else {
        EnableWindow(scale, TRUE);
        int32_t shown = state.dialogEditsExisting ? state.scalePercent : entry.defaultScale;
        SetDlgItemInt(dialog, IDC_SCALE, static_cast<UINT>(shown), FALSE);
    }
    // The edited object's own values show only until the first change.
    if (state.dialogEditsExisting) {
        SetDlgItemInt(dialog, IDC_MAX_DISTANCE, state.maxDistance, FALSE);
        state.dialogEditsExisting = 0;
    } else {
        SetDlgItemInt(dialog, IDC_MAX_DISTANCE, entry.defaultMaxDistance, FALSE);
    }
    ShowPreview(dialog, entry);
}
