#include "tools/tavu/svg.h"

#include <charconv>
#include <cmath>

#include "tools/tavu/scenery_info.h"

namespace tavu {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t Utf8Length(const std::string& text, size_t i, uint32_t* codePoint) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t lead = byte(i);
    size_t length;
    uint32_t value;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        value = value << 6 | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
        return 0;
    }
    *codePoint = value;
    return length;
}

}  // namespace

std::string XmlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t codePoint = 0;
        size_t length = Utf8Length(text, i, &codePoint);
        if (length == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        switch (codePoint) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                bool allowed = codePoint >= 0x20 || codePoint == '\t' || codePoint == '\n' || codePoint == '\r';
                if (codePoint == 0xFFFE || codePoint == 0xFFFF) {
                    allowed = false;
                }
                if (allowed) {
                    out.append(text, i, length);
                }
        }
        i += length;
    }
    return out;
}

std::string SvgNumber(double value) {
    std::string text;
    AppendNumber(text, value, 2);
    return text;
}

void AppendNumber(std::string& out, double value, int decimals) {
    if (!std::isfinite(value)) {
        out += FormatNumber(value, decimals);
        return;
    }
    char text[400];
    auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (error != std::errc()) {
        out += FormatNumber(value, decimals);
        return;
    }
    if (decimals > 0) {
        while (end[-1] == '0') {
            --end;
        }
        if (end[-1] == '.') {
            --end;
        }
    }
    // A negative value that rounds to zero prints as "-0".
    const char* begin = text;
    if (end - begin == 2 && begin[0] == '-' && begin[1] == '0') {
        ++begin;
    }
    out.append(begin, static_cast<size_t>(end - begin));
}

}  // namespace tavu
