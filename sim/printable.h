// Text from outside (a script line, a file name, a name inside a DLL) made
// safe to print in a message: a control byte, a C1 control or a byte that is
// not UTF-8 becomes \xNN, so that a message cannot move the cursor, clear the
// screen or hide a part of itself. Tabs and UTF-8 letters stay as they are.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

namespace sim {

inline std::string Printable(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](uint8_t byte) {
        out += "\\x";
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    };
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte < 0x80) {
            if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
                escape(byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        // One UTF-8 sequence, whole and shortest, and no C1 control.
        const size_t length = byte >= 0xF5 ? 0 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
        uint32_t code = length == 4 ? byte & 0x07u : length == 3 ? byte & 0x0Fu : byte & 0x1Fu;
        bool whole = length != 0 && i + length <= text.size();
        for (size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            whole = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        const uint32_t least = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0xA0;
        if (!whole || code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            escape(byte);
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

}  // namespace sim
