#include "tools/tavu/fly_dialog.h"

#include <algorithm>
#include <cmath>

#include "platform/bitmaps.h"
#include "resources/resource_ids.h"

namespace tavu::fly {

namespace {

constexpr size_t kMaxFieldDigits = 9;

const Style kFocusFrame{0x5fd7ff, kDefaultColour, ATTR_BOLD};

// Window text as the screen shows it: "&Group:" reads "Group:".
std::string WithoutMnemonic(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            ++i;
        }
        out += text[i];
    }
    return out;
}

const platform::ControlSnapshot* FindControl(const platform::DialogSnapshot& snapshot, int id) {
    for (const platform::ControlSnapshot& control : snapshot.controls) {
        if (control.id == id) {
            return &control;
        }
    }
    return nullptr;
}

bool IsLabel(const platform::ControlSnapshot& control) {
    return control.className == "STATIC" && control.id != IDC_TITLE_LINE && control.id != IDC_PREVIEW &&
           !control.text.empty();
}

// The label written before a control and the unit after it, as laid out in
// the template.
std::string LabelBefore(const platform::DialogSnapshot& snapshot, int id) {
    for (size_t i = 0; i < snapshot.controls.size(); ++i) {
        if (snapshot.controls[i].id == id) {
            return i > 0 && IsLabel(snapshot.controls[i - 1]) ? WithoutMnemonic(snapshot.controls[i - 1].text)
                                                              : "";
        }
    }
    return "";
}

std::string UnitAfter(const platform::DialogSnapshot& snapshot, int id) {
    for (size_t i = 0; i < snapshot.controls.size(); ++i) {
        if (snapshot.controls[i].id == id) {
            return i + 1 < snapshot.controls.size() && IsLabel(snapshot.controls[i + 1])
                       ? WithoutMnemonic(snapshot.controls[i + 1].text)
                       : "";
        }
    }
    return "";
}

std::string Padded(const std::string& text, int width) {
    std::string clipped = Clip(text, width);
    int used = TextWidth(clipped);
    return clipped + std::string(static_cast<size_t>(std::max(width - used, 0)), ' ');
}

}  // namespace

DialogView::DialogView(HWND dialog) : dialog_(dialog) {
    if (std::optional<platform::DialogSnapshot> snapshot = platform::SnapshotDialog(dialog_)) {
        std::vector<int> focusable = Focusable(*snapshot);
        focus_ = focusable.empty() ? 0 : focusable.front();
    }
}

std::vector<int> DialogView::Focusable(const platform::DialogSnapshot& snapshot) const {
    std::vector<int> ids;
    for (const platform::ControlSnapshot& control : snapshot.controls) {
        if ((control.style & WS_TABSTOP) != 0 && control.visible && control.enabled) {
            ids.push_back(control.id);
        }
    }
    return ids;
}

void DialogView::MoveFocus(const platform::DialogSnapshot& snapshot, int step) {
    std::vector<int> ids = Focusable(snapshot);
    if (ids.empty()) {
        return;
    }
    auto at = std::find(ids.begin(), ids.end(), focus_);
    int index = at == ids.end() ? 0 : static_cast<int>(at - ids.begin()) + step;
    int count = static_cast<int>(ids.size());
    focus_ = ids[static_cast<size_t>(((index % count) + count) % count)];
    const platform::ControlSnapshot* control = FindControl(snapshot, focus_);
    replaceOnType_ = control != nullptr && control->className == "EDIT";
}

void DialogView::Click(int id) {
    if (!platform::UserClick(dialog_, id)) {
        note_ = "that button cannot be clicked now";
    }
}

void DialogView::ChooseStep(const platform::ControlSnapshot& list, int step) {
    if (list.items.empty()) {
        return;
    }
    int last = static_cast<int>(list.items.size()) - 1;
    int from = list.selection < 0 ? (step > 0 ? -1 : last + 1) : list.selection;
    int to = std::clamp(from + step, 0, last);
    if (to != list.selection) {
        platform::UserChooseItem(dialog_, list.id, list.items[static_cast<size_t>(to)]);
    }
}

void DialogView::TypeKey(const platform::ControlSnapshot& field, const Key& key) {
    std::string text = replaceOnType_ ? std::string() : field.text;
    if (key.id == KeyId::Backspace) {
        text = replaceOnType_ || field.text.empty() ? std::string()
                                                    : field.text.substr(0, field.text.size() - 1);
    } else if (key.id == KeyId::Delete) {
        text.clear();
    } else if (key.id == KeyId::Char && key.ch >= U'0' && key.ch <= U'9' && !key.ctrl && !key.alt) {
        if (text.size() >= kMaxFieldDigits) {
            return;
        }
        text += static_cast<char>(key.ch);
    } else {
        return;
    }
    replaceOnType_ = false;
    if (!platform::UserTypeText(dialog_, field.id, text)) {
        note_ = "this field takes digits only";
    }
}

bool DialogView::HandleKey(const Key& key) {
    if (platform::DialogEnded(dialog_)) {
        return false;
    }
    std::optional<platform::DialogSnapshot> snapshot = platform::SnapshotDialog(dialog_);
    if (!snapshot) {
        return false;
    }
    note_.clear();
    std::vector<int> focusable = Focusable(*snapshot);
    if (std::find(focusable.begin(), focusable.end(), focus_) == focusable.end()) {
        MoveFocus(*snapshot, 1);
    }
    const platform::ControlSnapshot* focused = FindControl(*snapshot, focus_);
    bool onList = focused != nullptr && focused->className == "COMBOBOX";
    bool onField = focused != nullptr && focused->className == "EDIT";
    bool onButton = focused != nullptr && focused->className == "BUTTON";

    switch (key.id) {
        case KeyId::Closed:
            // Nobody is left at the keys: Cancel, and if even that does not
            // end it, the dialog manager closes it once we return.
            platform::UserClick(dialog_, IDCANCEL);
            return false;
        case KeyId::Escape:
            Click(IDCANCEL);
            break;
        case KeyId::Tab:
            MoveFocus(*snapshot, 1);
            break;
        case KeyId::BackTab:
            MoveFocus(*snapshot, -1);
            break;
        case KeyId::Enter:
            Click(onButton && (focus_ == IDCANCEL || focus_ == IDC_HELP_BUTTON) ? focus_ : IDOK);
            break;
        case KeyId::F1:
            Click(IDC_HELP_BUTTON);
            break;
        case KeyId::Up:
        case KeyId::Down:
        case KeyId::PageUp:
        case KeyId::PageDown:
        case KeyId::Home:
        case KeyId::End: {
            if (!onList) {
                // Up and Down walk the controls where there is no list to walk.
                if (key.id == KeyId::Up || key.id == KeyId::Down) {
                    MoveFocus(*snapshot, key.id == KeyId::Up ? -1 : 1);
                }
                break;
            }
            int page = std::max(listRows_ - 1, 1);
            int big = static_cast<int>(focused->items.size());
            int step = key.id == KeyId::Up         ? -1
                       : key.id == KeyId::Down     ? 1
                       : key.id == KeyId::PageUp   ? -page
                       : key.id == KeyId::PageDown ? page
                       : key.id == KeyId::Home     ? -big
                                                   : big;
            ChooseStep(*focused, step);
            break;
        }
        case KeyId::Left:
        case KeyId::Right:
            if (onButton) {
                MoveFocus(*snapshot, key.id == KeyId::Left ? -1 : 1);
            }
            break;
        case KeyId::Backspace:
        case KeyId::Delete:
            if (onField) {
                TypeKey(*focused, key);
            }
            break;
        case KeyId::Char:
            if (onField && key.ch >= U'0' && key.ch <= U'9') {
                TypeKey(*focused, key);
            } else if (key.Is(U' ') && onButton) {
                Click(focus_);
            } else if (key.Is(U'h') || key.Is(U'H') || key.Is(U'?')) {
                Click(IDC_HELP_BUTTON);
            } else if (onField) {
                note_ = "this field takes digits only";
            }
            break;
        default:
            break;
    }
    return !platform::DialogEnded(dialog_);
}

void DialogView::Draw(Screen& screen) {
    std::optional<platform::DialogSnapshot> snapshot = platform::SnapshotDialog(dialog_);
    if (!snapshot) {
        return;
    }
    std::vector<int> focusable = Focusable(*snapshot);
    if (std::find(focusable.begin(), focusable.end(), focus_) == focusable.end()) {
        MoveFocus(*snapshot, 1);
    }
    int w = std::min(screen.width() - 2, 100);
    int h = std::min(screen.height() - 2, 32);
    int x0 = (screen.width() - w) / 2;
    int y0 = (screen.height() - h) / 2;
    screen.Fill(x0, y0, w, h, U' ');
    screen.Frame(x0, y0, w, h, kBold, snapshot->caption);
    int ix = x0 + 2;
    int iw = w - 4;

    if (const platform::ControlSnapshot* title = FindControl(*snapshot, IDC_TITLE_LINE)) {
        std::string text = " " + title->text + " ";
        screen.Put(ix + (iw - TextWidth(text)) / 2, y0 + 1, text, kReverse);
    }

    // Two rows of combo boxes on the left and number fields on the right.
    int labelWidth = std::max({TextWidth(LabelBefore(*snapshot, IDC_GROUP_LIST)),
                               TextWidth(LabelBefore(*snapshot, IDC_OBJECT_LIST)), 6}) +
                     1;
    int fieldLabelWidth = std::max({TextWidth(LabelBefore(*snapshot, IDC_SCALE)),
                                    TextWidth(LabelBefore(*snapshot, IDC_MAX_DISTANCE)), 6}) +
                          1;
    constexpr int kFieldWidth = 8;
    int unitWidth = std::max(
        {TextWidth(UnitAfter(*snapshot, IDC_SCALE)), TextWidth(UnitAfter(*snapshot, IDC_MAX_DISTANCE)), 1});
    int rightWidth = fieldLabelWidth + kFieldWidth + 2 + 1 + unitWidth;
    int rightX = ix + iw - rightWidth;
    int comboWidth = std::max(rightX - 2 - ix - labelWidth - 2, 8);

    auto drawCombo = [&](int id, int y) {
        const platform::ControlSnapshot* combo = FindControl(*snapshot, id);
        if (combo == nullptr) {
            return;
        }
        screen.Put(ix, y, LabelBefore(*snapshot, id), combo->enabled ? kPlain : kDim);
        std::string shown = combo->selection >= 0 ? combo->items[static_cast<size_t>(combo->selection)] : "";
        Style style = focus_ == id ? kReverse : kPlain;
        if (!combo->enabled) {
            style = kDim;
        }
        screen.Put(ix + labelWidth, y, "[" + Padded(shown, comboWidth - 1) + "▾]", style);
    };
    auto drawField = [&](int id, int y) {
        const platform::ControlSnapshot* field = FindControl(*snapshot, id);
        if (field == nullptr) {
            return;
        }
        Style labelStyle = field->enabled ? kPlain : kDim;
        screen.Put(rightX, y, LabelBefore(*snapshot, id), labelStyle);
        std::string text = field->text;
        bool focused = focus_ == id && field->enabled;
        if (focused && !replaceOnType_) {
            text += "_";
        }
        std::string shown = Clip(text, kFieldWidth);
        shown = std::string(static_cast<size_t>(kFieldWidth - TextWidth(shown)), ' ') + shown;  // ES_RIGHT
        int fx = rightX + fieldLabelWidth;
        screen.Put(fx, y, "[", labelStyle);
        screen.Put(fx + 1, y, shown, !field->enabled ? kDim : focused ? kReverse : kBold);
        screen.Put(fx + 1 + kFieldWidth, y, "]", labelStyle);
        screen.Put(fx + kFieldWidth + 3, y, UnitAfter(*snapshot, id), labelStyle);
    };
    drawCombo(IDC_GROUP_LIST, y0 + 2);
    drawCombo(IDC_OBJECT_LIST, y0 + 3);
    drawField(IDC_SCALE, y0 + 2);
    drawField(IDC_MAX_DISTANCE, y0 + 3);

    // The two lists opened out, and the preview beside them.
    int listTop = y0 + 5;
    int listHeight = h - 9;
    int groupWidth = std::clamp(iw * 28 / 100, 16, 28);
    int objectWidth = std::clamp(iw * 36 / 100, 20, 36);
    int previewWidth = iw - groupWidth - objectWidth - 2;
    listRows_ = std::max(listHeight - 2, 1);
    auto drawList = [&](int id, int x, int width) {
        const platform::ControlSnapshot* list = FindControl(*snapshot, id);
        if (list == nullptr || listHeight < 3) {
            return;
        }
        bool focused = focus_ == id;
        std::string title = LabelBefore(*snapshot, id);
        if (!title.empty() && title.back() == ':') {
            title.pop_back();
        }
        screen.Frame(x, listTop, width, listHeight, focused ? kFocusFrame : kDim, title);
        int rows = listHeight - 2;
        int count = static_cast<int>(list->items.size());
        int first = std::clamp(list->selection - rows / 2, 0, std::max(count - rows, 0));
        for (int r = 0; r < rows && first + r < count; ++r) {
            int item = first + r;
            bool selected = item == list->selection;
            Style style = selected ? (focused ? kReverse : kBold) : (list->enabled ? kPlain : kDim);
            std::string text = (selected ? "›" : " ") + list->items[static_cast<size_t>(item)];
            screen.Put(x + 1, listTop + 1 + r, Padded(text, width - 2), style);
        }
        if (first > 0) {
            screen.Set(x + width - 1, listTop + 1, U'↑', kBold);
        }
        if (first + rows < count) {
            screen.Set(x + width - 1, listTop + listHeight - 2, U'↓', kBold);
        }
    };
    drawList(IDC_GROUP_LIST, ix, groupWidth);
    drawList(IDC_OBJECT_LIST, ix + groupWidth + 1, objectWidth);
    if (previewWidth >= 6 && listHeight >= 3) {
        int px = ix + groupWidth + objectWidth + 2;
        screen.Frame(px, listTop, previewWidth, listHeight, kDim);
        HANDLE image = platform::ControlImage(dialog_, IDC_PREVIEW);
        std::optional<platform::BitmapPixels> bitmap = image ? platform::BitmapInfo(image) : std::nullopt;
        if (bitmap && bitmap->width > 0 && bitmap->height > 0) {
            DrawPicture(screen, PictureArea{px + 1, listTop + 1, previewWidth - 2, listHeight - 2},
                        bitmap->width, bitmap->height, bitmap->rgb);
        } else {
            screen.Put(px + 2, listTop + 1, "(no preview)", kDim, previewWidth - 3);
        }
    }

    // Buttons, then the keys or the last note.
    std::vector<std::pair<int, std::string>> buttons;
    for (const platform::ControlSnapshot& control : snapshot->controls) {
        if (control.className == "BUTTON" && (control.style & WS_TABSTOP) != 0 && control.visible) {
            buttons.emplace_back(control.id, "[ " + WithoutMnemonic(control.text) + " ]");
        }
    }
    int total = 0;
    for (const auto& button : buttons) {
        total += TextWidth(button.second) + 3;
    }
    int bx = ix + std::max((iw - total) / 2, 0);
    int by = y0 + h - 3;
    for (const auto& [id, text] : buttons) {
        const platform::ControlSnapshot* control = FindControl(*snapshot, id);
        Style style = focus_ == id ? kReverse : (control->style & 0xF) == BS_DEFPUSHBUTTON ? kBold : kPlain;
        if (!control->enabled) {
            style = kDim;
        }
        bx += screen.Put(bx, by, text, style) + 3;
    }
    std::string hint =
        note_.empty() ? "Tab next  ↑↓ PgUp PgDn choose  0-9 type  Enter OK  Esc cancel  F1/h help" : note_;
    screen.Put(ix, y0 + h - 2, Clip(hint, iw), note_.empty() ? kDim : kBold);
}

void DrawPicture(Screen& screen, const PictureArea& area, int pixelWidth, int pixelHeight,
                 const std::vector<uint8_t>& rgb) {
    if (area.width <= 0 || area.height <= 0 || pixelWidth <= 0 || pixelHeight <= 0 ||
        rgb.size() < static_cast<size_t>(pixelWidth) * pixelHeight * 3) {
        return;
    }
    // A cell is one pixel wide and two tall: square pixels on most fonts.
    double scale = std::min(static_cast<double>(area.width) / pixelWidth,
                            static_cast<double>(area.height * 2) / pixelHeight);
    int outWidth = std::max(1, static_cast<int>(pixelWidth * scale));
    int outHeight = std::max(2, static_cast<int>(pixelHeight * scale));
    int rows = (outHeight + 1) / 2;
    int left = area.x + (area.width - outWidth) / 2;
    int top = area.y + (area.height - rows) / 2;
    // Each output pixel is the mean of the source pixels it covers.
    auto sample = [&](int ox, int oy) -> uint32_t {
        int x0 = ox * pixelWidth / outWidth;
        int x1 = std::max((ox + 1) * pixelWidth / outWidth, x0 + 1);
        int y0 = oy * pixelHeight / outHeight;
        int y1 = std::max((oy + 1) * pixelHeight / outHeight, y0 + 1);
        uint64_t sum[3] = {0, 0, 0};
        uint64_t n = 0;
        for (int y = y0; y < y1 && y < pixelHeight; ++y) {
            for (int x = x0; x < x1 && x < pixelWidth; ++x) {
                const uint8_t* p = &rgb[(static_cast<size_t>(y) * pixelWidth + x) * 3];
                sum[0] += p[0];
                sum[1] += p[1];
                sum[2] += p[2];
                ++n;
            }
        }
        n = std::max<uint64_t>(n, 1);
        return static_cast<uint32_t>((sum[0] / n) << 16 | (sum[1] / n) << 8 | (sum[2] / n));
    };
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < outWidth; ++c) {
            uint32_t upper = sample(c, r * 2);
            uint32_t lower = r * 2 + 1 < outHeight ? sample(c, r * 2 + 1) : kDefaultColour;
            screen.Set(left + c, top + r, U'▀', Style{upper, lower, 0});
        }
    }
}

}  // namespace tavu::fly
