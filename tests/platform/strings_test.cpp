// The editor's string table as native runs see it through LoadStringA: the
// language chosen, the Windows-1252 code page, and Win32's copying rules.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/resources.h"
#include "platform/win32.h"
#include "resources/resource_ids.h"

namespace {

using namespace platform;

// The exact texts are the .rc scripts' own; here every language holds all
// ten, in their shape.
TEST(Strings, EveryLanguageHoldsTheEditorsTexts) {
    for (LANGID language : {LANGUAGE_ENGLISH, LANGUAGE_ITALIAN, LANGUAGE_GERMAN}) {
        for (UINT id : {1, 2, 3, 4, 5, 6, 7, 8, 11, 12}) {
            const char* text = FindStringUtf8(id, language);
            ASSERT_NE(text, nullptr) << "language " << language << ", id " << id;
            // Message box texts begin with three line feeds, the others with none.
            EXPECT_EQ(std::string(text).find_first_not_of('\n'), id >= IDS_NO_MEMORY ? 3u : 0u) << id;
        }
    }
    EXPECT_EQ(STRING_RESOURCE_COUNT, 3u * 10u) << "no stray ids, no other language";
}

TEST(Strings, LoadStringACopiesTruncatesAndTerminatesLikeWin32) {
    // Language, id, buffer size, and the text copied; nullptr: the buffer is left alone.
    const std::tuple<LANGID, UINT, int, const char*> cases[] = {
        {LANGUAGE_ENGLISH, IDS_TITLE_ADD_OBJECT, 7, "ADDING"},
        {LANGUAGE_ENGLISH, IDS_TITLE_ADD_OBJECT, 1, ""},
        {LANGUAGE_ENGLISH, IDS_TITLE_ADD_OBJECT, 0, nullptr},
        {LANGUAGE_ENGLISH, IDS_TITLE_OBJECT_PROPERTIES, 18, "OBJECT PROPERTIES"},  // fits exactly
        {LANGUAGE_ENGLISH, 9, 32, ""},                                             // no such id
        // Counted in Windows-1252 characters: the cut falls after À rather
        // than inside its UTF-8 form.
        {LANGUAGE_ITALIAN, IDS_TITLE_OBJECT_PROPERTIES, 10, "PROPRIET\xC0"},
        {1036, IDS_CAPTION_ERROR, 16, "Orvanta Editor "},  // French: none, so English
    };
    for (const auto& [language, id, bufferMax, text] : cases) {
        SCOPED_TRACE(testing::Message() << "id " << id << " into " << bufferMax);
        ForceLanguage(language);
        char buffer[40];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(LoadStringA(nullptr, id, buffer, bufferMax), text ? static_cast<int>(strlen(text)) : 0);
        EXPECT_EQ(std::string(buffer, strnlen(buffer, sizeof buffer)), text ? text : std::string(40, 'x'));
        EXPECT_EQ(buffer[text ? strlen(text) + 1 : 0], 'x') << "wrote past what it copied";
    }
    ForceLanguage(0);
}

TEST(Strings, Windows1252Conversion) {
    const std::pair<const char*, const char*> toAnsi[] = {
        {"Ab\n", "Ab\n"},
        {"àèéìòùÀÄÖÜäöüß", "\xE0\xE8\xE9\xEC\xF2\xF9\xC0\xC4\xD6\xDC\xE4\xF6\xFC\xDF"},
        {"€ “x” – ™ Ÿ", "\x80 \x93x\x94 \x96 \x99 \x9F"},
        // Outside the code page, or not UTF-8 at all: one '?' each.
        {"a\u4E2Db\U0001F600c", "a?b?c"},
        {"a\xC3", "a?"},
        {"\xC0\xAF|\xED\xA0\x80|\xFF", "??|???|?"},
    };
    for (const auto& [utf8, ansi] : toAnsi) {
        EXPECT_EQ(Utf8ToAnsi(utf8), ansi) << utf8;
    }
    EXPECT_EQ(AnsiToUtf8("\xE0\x80\x9F"), "à€Ÿ");
    std::string everyByte;
    for (int byte = 1; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(everyByte)), everyByte);
}

TEST(Strings, LanguageFollowsTheLocaleUnlessForced) {
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(name);
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        unsetenv(name);
    }
    EXPECT_EQ(LanguageFromEnvironment(), LANGUAGE_ENGLISH);
    // Each step sets one variable; the first non-empty of LC_ALL,
    // LC_MESSAGES and LANG decides.
    const std::pair<std::pair<const char*, const char*>, LANGID> steps[] = {
        {{"LANG", "it_IT.UTF-8"}, LANGUAGE_ITALIAN}, {{"LC_MESSAGES", "de_DE.UTF-8"}, LANGUAGE_GERMAN},
        {{"LC_ALL", "C"}, LANGUAGE_ENGLISH},         {{"LC_ALL", "it"}, LANGUAGE_ITALIAN},
        {{"LC_ALL", ""}, LANGUAGE_GERMAN},           {{"LC_MESSAGES", ""}, LANGUAGE_ITALIAN},
        {{"LANG", "fr_FR.UTF-8"}, LANGUAGE_ENGLISH}, {{"LANG", "de_AT"}, LANGUAGE_GERMAN}};
    for (const auto& [variable, language] : steps) {
        setenv(variable.first, variable.second, 1);
        EXPECT_EQ(LanguageFromEnvironment(), language) << variable.first << "=" << variable.second;
    }
    char title[32];
    LoadStringA(nullptr, IDS_TITLE_OBJECT_PROPERTIES, title, sizeof title);
    EXPECT_STREQ(title, "OBJEKTEIGENSCHAFTEN");
    ForceLanguage(LANGUAGE_ITALIAN);
    LoadStringA(nullptr, IDS_TITLE_OBJECT_PROPERTIES, title, sizeof title);
    EXPECT_STREQ(title, "PROPRIET\xC0 DELL'OGGETTO");
    ForceLanguage(0);
    EXPECT_EQ(ActiveLanguage(), LANGUAGE_GERMAN);
    for (const auto& [name, value] : saved) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
}

}  // namespace
