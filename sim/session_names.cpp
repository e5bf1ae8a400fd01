// The names scripts and tools use for keys, key chords, the module's message
// boxes and the languages.
#include "sim/session.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/resources.h"
#include "resources/resource_ids.h"
#include "sim/session_internal.h"

namespace sim {

namespace {

struct NamedKey {
    const char* name;
    uint32_t code;
};

constexpr NamedKey kNamedKeys[] = {
    {"Clear", 12},  {"Enter", 13},  {"Control", 17}, {"Space", 32},     {"PageUp", 33}, {"PageDown", 34},
    {"End", 35},    {"Home", 36},   {"Left", 37},    {"Up", 38},        {"Right", 39},  {"Down", 40},
    {"Insert", 45}, {"Delete", 46}, {"Add", 107},    {"Subtract", 109},
};
constexpr uint32_t kKeyF1 = 112;
constexpr uint32_t kKeyF12 = 123;

}  // namespace

std::optional<uint32_t> KeyCodeFromName(std::string_view name) {
    std::string lower = Lower(name);
    for (const NamedKey& key : kNamedKeys) {
        if (lower == Lower(key.name)) {
            return key.code;
        }
    }
    if (lower == "return") {
        return 13;
    }
    if (lower.size() == 1 && lower[0] >= 'a' && lower[0] <= 'z') {
        return static_cast<uint32_t>(lower[0] - 'a' + 'A');
    }
    if (lower.size() == 1 && lower[0] >= '0' && lower[0] <= '9') {
        return static_cast<uint32_t>(lower[0]);
    }
    if (lower.size() >= 2 && lower.size() <= 3 && lower[0] == 'f' && AllDigits(lower.substr(1)) &&
        lower[1] != '0') {
        uint32_t n = static_cast<uint32_t>(std::stoi(lower.substr(1)));
        if (n >= 1 && n <= kKeyF12 - kKeyF1 + 1) {
            return kKeyF1 + n - 1;
        }
    }
    return std::nullopt;
}

std::string KeyName(uint32_t keyCode) {
    for (const NamedKey& key : kNamedKeys) {
        if (key.code == keyCode) {
            return key.name;
        }
    }
    if ((keyCode >= 'A' && keyCode <= 'Z') || (keyCode >= '0' && keyCode <= '9')) {
        return std::string(1, static_cast<char>(keyCode));
    }
    if (keyCode >= kKeyF1 && keyCode <= kKeyF12) {
        return "F" + std::to_string(keyCode - kKeyF1 + 1);
    }
    return "VK" + std::to_string(keyCode);
}

std::optional<KeyChord> ParseKeyChord(std::string_view text, std::string* error) {
    auto fail = [&](std::string message) -> std::optional<KeyChord> {
        if (error != nullptr) {
            *error = std::move(message);
        }
        return std::nullopt;
    };
    KeyChord chord;
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t plus = text.find('+', start);
        parts.emplace_back(
            text.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start));
        if (plus == std::string_view::npos) {
            break;
        }
        start = plus + 1;
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string modifier = Lower(parts[i]);
        uint32_t bit = modifier == "ctrl"    ? uint32_t{CHORD_CTRL}
                       : modifier == "shift" ? uint32_t{CHORD_SHIFT}
                                             : 0u;
        if (bit == 0) {
            return fail("unknown modifier \"" + parts[i] + "\" in \"" + std::string(text) +
                        "\" (Ctrl, Shift)");
        }
        if (chord.modifiers & bit) {
            return fail("modifier \"" + parts[i] + "\" given twice in \"" + std::string(text) + "\"");
        }
        chord.modifiers |= bit;
    }
    const std::string& keyName = parts.back();
    if (keyName.empty()) {
        return fail("no key in \"" + std::string(text) + "\"");
    }
    std::optional<uint32_t> code = KeyCodeFromName(keyName);
    if (!code) {
        return fail("unknown key \"" + keyName + "\"");
    }
    chord.keyCode = *code;
    return chord;
}

std::string FormatKeyChord(const KeyChord& chord) {
    std::string out;
    if (chord.modifiers & CHORD_CTRL) {
        out += "Ctrl+";
    }
    if (chord.modifiers & CHORD_SHIFT) {
        out += "Shift+";
    }
    return out + KeyName(chord.keyCode);
}

std::optional<int32_t> BoxTextIdFromName(std::string_view name) {
    static const std::pair<const char*, int32_t> kNames[] = {
        {"no-memory", IDS_NO_MEMORY},
        {"save-failed", IDS_SAVE_FAILED},
        {"init-failed", IDS_INIT_FAILED},
        {"need-selection", IDS_NEED_SELECTION},
        {"confirm-remove-last", IDS_CONFIRM_REMOVE_LAST},
        {"confirm-far-object", IDS_CONFIRM_FAR_OBJECT},
    };
    for (const auto& [text, id] : kNames) {
        if (name == text) {
            return id;
        }
    }
    return std::nullopt;
}

std::optional<LANGID> LanguageFromCode(std::string_view code) {
    if (code == "en") {
        return platform::LANGUAGE_ENGLISH;
    }
    if (code == "it") {
        return platform::LANGUAGE_ITALIAN;
    }
    if (code == "de") {
        return platform::LANGUAGE_GERMAN;
    }
    return std::nullopt;
}

}  // namespace sim
