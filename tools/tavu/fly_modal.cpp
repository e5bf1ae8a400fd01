// What opens over the main view of `tavu fly`, each modal: the module's
// message boxes, the key map and the object properties dialog. While one is
// open the session reads the console's keys for it alone and runs no frames.
#include <algorithm>
#include <string_view>

#include "catalog/catalog.h"
#include "platform/dialogs.h"
#include "sim/transcript.h"
#include "tools/tavu/fly_dialog.h"
#include "tools/tavu/fly_session.h"
#include "tools/tavu/help_text.h"

namespace tavu::fly {

namespace {

// Leading and trailing blank lines dropped, the rest wrapped to `width`.
std::vector<std::string> BoxLines(const std::string& text, int width) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        // Word wrap on spaces; a word longer than the width is cut.
        while (TextWidth(line) > width) {
            std::u32string wide = DecodeUtf8(line);
            size_t cut = static_cast<size_t>(width);
            size_t space = wide.rfind(U' ', cut);
            if (space != std::u32string::npos && space > 0) {
                cut = space;
            }
            std::string head;
            for (size_t i = 0; i < cut; ++i) {
                AppendUtf8(head, wide[i]);
            }
            lines.push_back(head);
            std::string rest;
            for (size_t i = cut < wide.size() && wide[cut] == U' ' ? cut + 1 : cut; i < wide.size(); ++i) {
                AppendUtf8(rest, wide[i]);
            }
            line = rest;
        }
        lines.push_back(line);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    while (!lines.empty() && lines.front().empty()) {
        lines.erase(lines.begin());
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

void DrawBox(Screen& screen, const std::string& title, const std::string& text,
             const std::vector<std::string>& buttons, int focus, const std::string& hint) {
    int maxInner = std::max(screen.width() - 8, 10);
    std::vector<std::string> lines = BoxLines(text, maxInner);
    int inner = std::max(TextWidth(title) + 4, TextWidth(hint));
    for (const std::string& line : lines) {
        inner = std::max(inner, TextWidth(line));
    }
    inner = std::clamp(std::max(inner, 36), 10, maxInner);
    int w = inner + 4;
    int h = static_cast<int>(lines.size()) + 6;
    int x = (screen.width() - w) / 2;
    int y = std::max((screen.height() - h) / 2, 0);
    screen.Fill(x, y, w, h, U' ');
    screen.Frame(x, y, w, h, kBold, title);
    for (size_t i = 0; i < lines.size(); ++i) {
        screen.Put(x + 2, y + 2 + static_cast<int>(i), lines[i], kPlain, inner);
    }
    int total = 0;
    for (const std::string& button : buttons) {
        total += TextWidth(button) + 4 + 3;
    }
    int bx = x + (w - total + 3) / 2;
    int by = y + h - 3;
    for (size_t i = 0; i < buttons.size(); ++i) {
        bx +=
            screen.Put(bx, by, "[ " + buttons[i] + " ]", static_cast<int>(i) == focus ? kReverse : kBold) + 3;
    }
    screen.Put(x + (w - TextWidth(hint)) / 2, y + h - 2, hint, kDim, inner);
}

}  // namespace

void FlySession::Modal(const std::function<void(Screen&)>& draw,
                       const std::function<bool(const Key&)>& handle) {
    modalEnded_ = true;
    if (closed_) {
        // Nobody is left to answer: the box or dialog takes its safe way out.
        handle(Key::Of(KeyId::Closed));
        return;
    }
    overlays_.push_back(draw);
    struct Pop {
        std::vector<std::function<void(Screen&)>>& overlays;
        ~Pop() { overlays.pop_back(); }
    } pop{overlays_};
    while (true) {
        console_.Show(Render());
        std::optional<Key> key = console_.ReadKey(-1);
        if (!key || key->id == KeyId::Resize) {
            continue;
        }
        if (key->id == KeyId::Closed) {
            closed_ = true;
            quit_ = true;
        }
        if (!handle(*key)) {
            break;
        }
    }
}

bool FlySession::AskBox(const std::string& title, const std::string& text, bool yesNo) {
    bool answer = !yesNo;
    int focus = 0;
    std::vector<std::string> buttons =
        yesNo ? std::vector<std::string>{"Yes", "No"} : std::vector<std::string>{"OK"};
    std::string hint = yesNo ? "y: Yes   n: No" : "Enter: OK";
    Modal([&](Screen& screen) { DrawBox(screen, title, text, buttons, focus, hint); },
          [&](const Key& key) {
              if (key.id == KeyId::Closed) {
                  answer = !yesNo;  // a question nobody answers is answered No
                  return false;
              }
              if (!yesNo) {
                  if (key.id == KeyId::Enter || key.id == KeyId::Escape || key.Is(U' ') || key.Is(U'o')) {
                      return false;
                  }
                  return true;
              }
              if (key.Is(U'y') || key.Is(U'Y')) {
                  answer = true;
                  return false;
              }
              if (key.Is(U'n') || key.Is(U'N') || key.id == KeyId::Escape) {
                  answer = false;
                  return false;
              }
              if (key.id == KeyId::Left || key.id == KeyId::Right || key.id == KeyId::Tab ||
                  key.id == KeyId::BackTab) {
                  focus ^= 1;
              } else if (key.id == KeyId::Enter || key.Is(U' ')) {
                  answer = focus == 0;
                  return false;
              }
              return true;
          });
    return answer;
}

void FlySession::ShowKeyMap() {
    std::vector<std::string> lines;
    size_t keysWidth = 0;
    for (const KeyMapRow& row : KeyMap()) {
        keysWidth = std::max(keysWidth, std::string_view(row.keys).size());
    }
    const char* section = "";
    for (const KeyMapRow& row : KeyMap()) {
        if (std::string_view(section) != row.section) {
            section = row.section;
            std::string_view name(section);
            lines.push_back(name == "aircraft" ? "AIRCRAFT (a step is two map columns)"
                            : name == "object" ? "SELECTED OBJECT (chords sent to the editor)"
                                               : "VIEW");
        }
        std::string line = "  " + std::string(row.keys);
        line.resize(keysWidth + 4, ' ');
        lines.push_back(line + row.what);
    }
    lines.push_back("MAP");
    for (int g = 0; g < CATALOG_GROUP_COUNT; ++g) {
        std::string glyph;
        AppendUtf8(glyph, kGroupGlyphs[g]);
        lines.push_back("  " + glyph + "  " + ObjectCatalog.groups[g].name);
    }
    lines.push_back("  ?  not in the catalog");
    lines.push_back("  ↑  the aircraft, pointing along its heading");
    lines.push_back("  [x] the selection marker (an arrow at the edge when off the map)");

    size_t page = 0;
    Modal(
        [&](Screen& screen) {
            int rows = std::max(screen.height() - 6, 3);
            size_t pages = (lines.size() + static_cast<size_t>(rows) - 1) / static_cast<size_t>(rows);
            page = std::min(page, pages - 1);
            int inner = 0;
            for (const std::string& line : lines) {
                inner = std::max(inner, TextWidth(line));
            }
            inner = std::min(inner, screen.width() - 6);
            int w = inner + 4;
            int h = std::min(rows, static_cast<int>(lines.size())) + 4;
            int x = (screen.width() - w) / 2;
            int y = (screen.height() - h) / 2;
            screen.Fill(x, y, w, h, U' ');
            screen.Frame(x, y, w, h, kBold,
                         "Keys of tavu fly" +
                             (pages > 1 ? " (" + std::to_string(page + 1) + "/" + std::to_string(pages) + ")"
                                        : std::string()));
            for (int r = 0; r < rows; ++r) {
                size_t i = page * static_cast<size_t>(rows) + static_cast<size_t>(r);
                if (i >= lines.size()) {
                    break;
                }
                bool heading = lines[i].rfind("  ", 0) != 0;
                screen.Put(x + 2, y + 1 + r, lines[i], heading ? kBold : kPlain, inner);
            }
            std::string hint = page + 1 < pages ? "any key: next page   Esc: close" : "any key: close";
            screen.Put(x + (w - TextWidth(hint)) / 2, y + h - 2, hint, kDim);
        },
        [&](const Key& key) {
            ScreenSize size = console_.Size();
            size_t rows = static_cast<size_t>(std::max(size.height - 6, 3));
            size_t pages = (lines.size() + rows - 1) / rows;
            if (key.id == KeyId::Closed || key.id == KeyId::Escape || page + 1 >= pages) {
                return false;
            }
            ++page;
            return true;
        });
}

void FlySession::ShowHelp(const std::string& file, const std::string& topic) {
    const HelpTopic* found = FindHelpTopic(file, topic);
    std::string title = found ? found->title : "Help";
    std::string text = found ? found->text : "The help file " + file + " has no topic " + topic + ".";
    size_t top = 0;
    size_t lineCount = 0;
    size_t rows = 0;
    Modal(
        [&](Screen& screen) {
            int inner = std::max(screen.width() - 8, 10);
            std::vector<std::string> lines = BoxLines(text, inner);
            lineCount = lines.size();
            rows = std::min(static_cast<size_t>(std::max(screen.height() - 5, 3)), lineCount);
            top = std::min(top, lineCount - rows);
            int width = 0;
            for (const std::string& line : lines) {
                width = std::max(width, TextWidth(line));
            }
            width = std::max(width, TextWidth(title) + 16) + 4;
            int h = static_cast<int>(rows) + 4;
            int x = (screen.width() - width) / 2;
            int y = (screen.height() - h) / 2;
            screen.Fill(x, y, width, h, U' ');
            std::string place = rows < lineCount
                                    ? " (" + std::to_string(top + 1) + "-" + std::to_string(top + rows) +
                                          " of " + std::to_string(lineCount) + ")"
                                    : std::string();
            screen.Frame(x, y, width, h, kBold, title + place);
            for (size_t r = 0; r < rows; ++r) {
                screen.Put(x + 2, y + 1 + static_cast<int>(r), lines[top + r], kPlain, width - 4);
            }
            std::string hint = rows < lineCount ? "Up Down PgUp PgDn: scroll   Esc: close" : "Esc: close";
            screen.Put(x + (width - TextWidth(hint)) / 2, y + h - 2, hint, kDim);
        },
        [&](const Key& key) {
            size_t last = lineCount - rows;
            size_t step = key.id == KeyId::Up || key.id == KeyId::Down ? 1 : rows;
            if (key.id == KeyId::Up || key.id == KeyId::PageUp) {
                top = top > step ? top - step : 0;
            } else if (key.id == KeyId::Down || key.id == KeyId::PageDown || key.Is(U' ')) {
                top = std::min(top + step, last);
            } else if (key.id == KeyId::Home || key.id == KeyId::End) {
                top = key.id == KeyId::Home ? 0 : last;
            } else {
                return false;  // Esc, Enter, q and any other key close the box
            }
            return true;
        });
    note_ = "help: " + (found ? title : topic);
}

int32_t FlySession::RunDialogUi(HINSTANCE instance, int32_t templateId, DLGPROC procedure) {
    INT_PTR result =
        platform::RunDialog(instance, static_cast<UINT>(templateId), procedure, [this](HWND dialog) {
            DialogView view(dialog);
            Modal([&](Screen& screen) { view.Draw(screen); },
                  [&](const Key& key) { return view.HandleKey(key); });
        });
    note_ = sim::DialogEndedText(result);
    return static_cast<int32_t>(result);
}

}  // namespace tavu::fly
