// LoadStringA and the language choice of native runs.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "platform/resources.h"
#include "platform/win32.h"

namespace platform {
namespace {

std::atomic<LANGID> forcedLanguage{0};
std::atomic<const ResourceProvider*> resourceProvider{nullptr};

// Unicode code points of Windows-1252 bytes 0x80..0x9F. The five bytes the
// code page leaves undefined map to the C1 control of the same value, as
// Windows converts them, so that every byte survives a round trip.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char ToCp1252(char32_t codePoint) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        return static_cast<char>(codePoint);
    }
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == codePoint) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// Decodes one code point at text[pos], advancing pos. A malformed sequence
// yields U+FFFD and consumes a single byte, so decoding resynchronises.
char32_t NextCodePoint(std::string_view text, size_t& pos) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    // Sequence length, payload bits of the lead byte, smallest value that
    // needs this length (anything below is an overlong form).
    struct Form {
        unsigned char mask, bits;
        size_t length;
        char32_t payloadMask, minimum;
    };
    static constexpr Form kForms[] = {
        {0xE0, 0xC0, 2, 0x1F, 0x80},
        {0xF0, 0xE0, 3, 0x0F, 0x800},
        {0xF8, 0xF0, 4, 0x07, 0x10000},
    };
    const Form* form = nullptr;
    for (const Form& candidate : kForms) {
        if ((lead & candidate.mask) == candidate.bits) {
            form = &candidate;
        }
    }
    if (form == nullptr) {
        ++pos;
        return 0xFFFD;
    }
    const size_t length = form->length;
    const char32_t minimum = form->minimum;
    char32_t codePoint = lead & form->payloadMask;
    if (pos + length > text.size()) {
        ++pos;
        return 0xFFFD;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        ++pos;
        return 0xFFFD;
    }
    pos += length;
    return codePoint;
}

bool StartsWith(const char* value, const char* prefix) {
    return strncmp(value, prefix, strlen(prefix)) == 0;
}

}  // namespace

LANGID LanguageFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(name);
        if (value == nullptr || value[0] == '\0') {
            continue;
        }
        if (StartsWith(value, "it")) {
            return LANGUAGE_ITALIAN;
        }
        if (StartsWith(value, "de")) {
            return LANGUAGE_GERMAN;
        }
        return LANGUAGE_ENGLISH;
    }
    return LANGUAGE_ENGLISH;
}

void ForceLanguage(LANGID language) {
    forcedLanguage.store(language);
}

LANGID ActiveLanguage() {
    const LANGID forced = forcedLanguage.load();
    return forced != 0 ? forced : LanguageFromEnvironment();
}

void SetResourceProvider(const ResourceProvider* provider) {
    resourceProvider.store(provider);
}

const ResourceProvider* CurrentResourceProvider() {
    return resourceProvider.load();
}

const char* FindStringUtf8(UINT id, LANGID language) {
    if (const ResourceProvider* provider = resourceProvider.load()) {
        return provider->FindString(id, language);
    }
    for (size_t i = 0; i < STRING_RESOURCE_COUNT; ++i) {
        if (STRING_RESOURCES[i].language == language && STRING_RESOURCES[i].id == id) {
            return STRING_RESOURCES[i].utf8;
        }
    }
    return nullptr;
}

std::string Utf8ToAnsi(std::string_view utf8) {
    std::string ansi;
    ansi.reserve(utf8.size());
    for (size_t pos = 0; pos < utf8.size();) {
        ansi += ToCp1252(NextCodePoint(utf8, pos));
    }
    return ansi;
}

std::string AnsiToUtf8(std::string_view ansi) {
    std::string utf8;
    utf8.reserve(ansi.size() * 2);
    for (const char c : ansi) {
        const unsigned char byte = static_cast<unsigned char>(c);
        AppendUtf8(utf8, byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte);
    }
    return utf8;
}

}  // namespace platform

extern "C" int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    (void)instance;  // every string table natively is the editor's
    if (buffer == nullptr || bufferMax <= 0) {
        return 0;
    }
    const char* text = platform::FindStringUtf8(id, platform::ActiveLanguage());
    if (text == nullptr) {
        text = platform::FindStringUtf8(id, platform::LANGUAGE_ENGLISH);
    }
    if (text == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    const std::string ansi = platform::Utf8ToAnsi(text);
    const size_t copied = std::min(ansi.size(), static_cast<size_t>(bufferMax) - 1);
    memcpy(buffer, ansi.data(), copied);
    buffer[copied] = '\0';
    return static_cast<int>(copied);
}
