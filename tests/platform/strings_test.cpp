// The editor's string table as native runs see it through LoadStringA.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/resources.h"
#include "platform/win32.h"
#include "resources/resource_ids.h"

namespace {

using platform::LANGUAGE_ENGLISH;
using platform::LANGUAGE_GERMAN;
using platform::LANGUAGE_ITALIAN;

struct Expected {
    LANGID language;
    UINT id;
    const char* text;
};

const Expected kExpected[] = {
    {LANGUAGE_ENGLISH, 1, "ADDING A NEW OBJECT"},
    {LANGUAGE_ENGLISH, 2, "OBJECT PROPERTIES"},
    {LANGUAGE_ENGLISH, 3, "Orvanta Editor - Error"},
    {LANGUAGE_ENGLISH, 4, "Orvanta Editor - Warning"},
    {LANGUAGE_ENGLISH, 5, "\n\n\nCould not allocate memory for the object!"},
    {LANGUAGE_ENGLISH, 6, "\n\n\nCould not save the current scenery file!"},
    {LANGUAGE_ENGLISH, 7,
     "\n\n\nCould not properly initialize the editor: either the player module did not start or could not "
     "intercept key strokes.\n\nThe editor will be now stopped."},
    {LANGUAGE_ENGLISH, 8,
     "\n\n\nTo carry out this action, a selected scenery and a selected object are required."},
    {LANGUAGE_ENGLISH, 11,
     "\n\n\nThis will remove the last object of the current scenery.\n"
     "The scenery file will be deleted.\n\nOK to continue?"},
    {LANGUAGE_ENGLISH, 12,
     "\n\n\nA new object would be far away from the current scenery.\nYou might want to select another "
     "scenery or create a new one.\n\nCONTINUE adding an object to the current scenery?"},

    {LANGUAGE_ITALIAN, 1, "AGGIUNTA DI UN OGGETTO"},
    {LANGUAGE_ITALIAN, 2, "PROPRIETÀ DELL'OGGETTO"},
    {LANGUAGE_ITALIAN, 3, "Orvanta Editor - ERRORE"},
    {LANGUAGE_ITALIAN, 4, "Orvanta Editor - AVVISO"},
    {LANGUAGE_ITALIAN, 5, "\n\n\nImpossibile allocare memoria per l'oggetto!"},
    {LANGUAGE_ITALIAN, 6, "\n\n\nImpossibile salvare il file di scenario corrente!"},
    {LANGUAGE_ITALIAN, 7,
     "\n\n\nImpossibile inizializzare correttamente l'editor: o il modulo player non si è acceso o non è "
     "possibile intercettare la tastiera.\n\nL'editor verrà disattivato."},
    {LANGUAGE_ITALIAN, 8,
     "\n\n\nPer eseguire il comando è necessario selezionare uno scenario corrente e un oggetto corrente."},
    {LANGUAGE_ITALIAN, 11,
     "\n\n\nSi sta per rimuovere l'ultimo oggetto dello scenario corrente.\nIl file di scenario verrà "
     "cancellato.\n\nProseguire comunque?"},
    {LANGUAGE_ITALIAN, 12,
     "\n\n\nUn nuovo oggetto sarebbe molto lontano dallo scenario corrente.\nForse preferireste selezionare "
     "uno scenario diverso o crearne uno nuovo.\n\nAggiungere COMUNQUE un oggetto allo scenario corrente?"},

    {LANGUAGE_GERMAN, 1, "NEUES OBJEKT HINZUFÜGEN"},
    {LANGUAGE_GERMAN, 2, "OBJEKTEIGENSCHAFTEN"},
    {LANGUAGE_GERMAN, 3, "Orvanta Editor - Fehler"},
    {LANGUAGE_GERMAN, 4, "Orvanta Editor - Achtung"},
    {LANGUAGE_GERMAN, 5, "\n\n\nFür das Objekt konnte kein Speicher zugeordnet werden!"},
    {LANGUAGE_GERMAN, 6, "\n\n\nDie Szeneriedatei konnte nicht gespeichert werden!"},
    {LANGUAGE_GERMAN, 7,
     "\n\n\nDer Editor wurde nicht korrekt initialisiert: entweder konnte das Player-Modul nicht gestartet "
     "werden oder Tastaturkommandos wurden nicht erkannt.\n\nDer Editor wird jetzt beendet."},
    {LANGUAGE_GERMAN, 8,
     "\n\n\nUm diese Aktion auszuführen, muss eine Szenerie oder ein Objekt ausgewählt werden."},
    {LANGUAGE_GERMAN, 11,
     "\n\n\nDas letzte Objekt der aktuellen Szenerie wird entfernt.\nDie Szeneriedatei wird gelöscht.\n\nOK "
     "um fortzufahren?"},
    {LANGUAGE_GERMAN, 12,
     "\n\n\nEin neues Objekt ist sehr weit von der aktuellen Szenerie entfernt.\nMöglicherweise möchten Sie "
     "eine andere Szenerie auswählen oder eine neue erstellen.\n\nSoll das Objekt in die aktuelle Szenerie "
     "eingefügt werden?"},
};

const LANGID kLanguages[] = {LANGUAGE_ENGLISH, LANGUAGE_ITALIAN, LANGUAGE_GERMAN};
const UINT kBoxTextIds[] = {IDS_NO_MEMORY,      IDS_SAVE_FAILED,         IDS_INIT_FAILED,
                            IDS_NEED_SELECTION, IDS_CONFIRM_REMOVE_LAST, IDS_CONFIRM_FAR_OBJECT};

const char* const kLocaleVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};

// Each test starts with no locale variables and no forced language, and
// leaves the process as it found it.
class StringsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : kLocaleVariables) {
            const char* value = getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        platform::ForceLanguage(0);
    }

    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name, value->c_str(), 1);
            } else {
                unsetenv(name);
            }
        }
        platform::ForceLanguage(0);
    }

    // LoadStringA's text for id in language, back in UTF-8.
    static std::string Load(UINT id, LANGID language, int* length = nullptr) {
        platform::ForceLanguage(language);
        char buffer[1024];
        memset(buffer, 'x', sizeof buffer);
        const int copied = LoadStringA(nullptr, id, buffer, sizeof buffer);
        if (length != nullptr) {
            *length = copied;
        }
        EXPECT_EQ(static_cast<size_t>(copied), strlen(buffer)) << "id " << id;
        return platform::AnsiToUtf8(buffer);
    }

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(StringsTest, EveryLanguageHoldsExactlyTheEditorTexts) {
    for (const Expected& expected : kExpected) {
        SCOPED_TRACE(testing::Message() << "language " << expected.language << ", id " << expected.id);
        const char* utf8 = platform::FindStringUtf8(expected.id, expected.language);
        ASSERT_NE(utf8, nullptr);
        EXPECT_STREQ(utf8, expected.text);
        EXPECT_EQ(Load(expected.id, expected.language), expected.text);
    }

    // Nothing beyond those: no stray ids, no other language.
    std::set<std::pair<LANGID, UINT>> expectedKeys;
    for (const Expected& expected : kExpected) {
        expectedKeys.insert({expected.language, expected.id});
    }
    std::set<std::pair<LANGID, UINT>> tableKeys;
    for (size_t i = 0; i < platform::STRING_RESOURCE_COUNT; ++i) {
        const platform::StringResource& entry = platform::STRING_RESOURCES[i];
        EXPECT_TRUE(tableKeys.insert({entry.language, entry.id}).second)
            << "language " << entry.language << " has id " << entry.id << " twice";
    }
    EXPECT_EQ(tableKeys, expectedKeys);
}

TEST_F(StringsTest, TitlesFitAndBoxTextsStartWithThreeLineFeeds) {
    for (LANGID language : kLanguages) {
        SCOPED_TRACE(testing::Message() << "language " << language);
        for (UINT title : {IDS_TITLE_ADD_OBJECT, IDS_TITLE_OBJECT_PROPERTIES}) {
            int fullLength = 0;
            const std::string full = Load(title, language, &fullLength);
            char buffer[32];
            EXPECT_EQ(LoadStringA(nullptr, title, buffer, sizeof buffer), fullLength)
                << "title " << title << " does not fit 32 bytes: " << full;
            EXPECT_EQ(platform::AnsiToUtf8(buffer), full);
        }
        for (UINT caption : {IDS_CAPTION_ERROR, IDS_CAPTION_WARNING}) {
            EXPECT_NE(Load(caption, language)[0], '\n') << caption;
        }
        for (UINT box : kBoxTextIds) {
            const std::string text = Load(box, language);
            EXPECT_EQ(text.find_first_not_of('\n'), 3u)
                << "id " << box << " must begin with three line feeds";
        }
        for (const Expected& expected : kExpected) {
            if (expected.language == language) {
                EXPECT_EQ(Load(expected.id, language).find('\r'), std::string::npos) << expected.id;
            }
        }
    }
}

TEST_F(StringsTest, LoadStringACopiesTruncatesAndTerminatesLikeWin32) {
    platform::ForceLanguage(LANGUAGE_ENGLISH);
    char buffer[16];

    // Truncation keeps bufferMax - 1 characters and the terminator.
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, IDS_TITLE_ADD_OBJECT, buffer, 7), 6);
    EXPECT_STREQ(buffer, "ADDING");
    EXPECT_EQ(buffer[7], 'x') << "wrote past bufferMax";

    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, IDS_TITLE_ADD_OBJECT, buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');

    // A zero-sized buffer is left alone.
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, IDS_TITLE_ADD_OBJECT, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'x');

    // A text that fits exactly.
    const int length = static_cast<int>(strlen("OBJECT PROPERTIES"));
    char exact[18];
    ASSERT_EQ(sizeof exact, static_cast<size_t>(length + 1));
    EXPECT_EQ(LoadStringA(nullptr, IDS_TITLE_OBJECT_PROPERTIES, exact, sizeof exact), length);
    EXPECT_STREQ(exact, "OBJECT PROPERTIES");

    // Missing ids: nothing copied, empty string.
    for (UINT absent : {0u, 9u, 10u, 13u, 0xFFFFu}) {
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(LoadStringA(nullptr, absent, buffer, sizeof buffer), 0) << absent;
        EXPECT_EQ(buffer[0], '\0') << absent;
    }

    // Counted in Windows-1252 characters: À is one byte, so the cut falls
    // after it rather than inside its UTF-8 form.
    platform::ForceLanguage(LANGUAGE_ITALIAN);
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, IDS_TITLE_OBJECT_PROPERTIES, buffer, 10), 9);
    EXPECT_STREQ(buffer, "PROPRIET\xC0");

    // A language without the editor's strings falls back to English.
    platform::ForceLanguage(1036);
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(LoadStringA(nullptr, IDS_CAPTION_ERROR, buffer, sizeof buffer), 15);
    EXPECT_STREQ(buffer, "Orvanta Editor ");
}

TEST_F(StringsTest, Windows1252Conversion) {
    EXPECT_EQ(platform::Utf8ToAnsi("Ab\n"), "Ab\n");
    EXPECT_EQ(platform::Utf8ToAnsi("àèéìòùÀÄÖÜäöüß"),
              "\xE0\xE8\xE9\xEC\xF2\xF9\xC0\xC4\xD6\xDC\xE4\xF6\xFC\xDF");
    EXPECT_EQ(platform::Utf8ToAnsi("€ “x” – ™ Ÿ"), "\x80 \x93x\x94 \x96 \x99 \x9F");
    // Outside the code page, or not UTF-8 at all: one '?' each.
    EXPECT_EQ(platform::Utf8ToAnsi("a\u4E2Db\U0001F600c"), "a?b?c");
    EXPECT_EQ(platform::Utf8ToAnsi("a\xC3"), "a?");
    EXPECT_EQ(platform::Utf8ToAnsi("\xC0\xAF|\xED\xA0\x80|\xFF"), "??|???|?");

    EXPECT_EQ(platform::AnsiToUtf8("\xE0\x80\x9F"), "à€Ÿ");
    std::string everyByte;
    for (int byte = 1; byte < 256; ++byte) {
        everyByte += static_cast<char>(byte);
    }
    EXPECT_EQ(platform::Utf8ToAnsi(platform::AnsiToUtf8(everyByte)), everyByte);
}

TEST_F(StringsTest, LanguageFollowsTheLocaleUnlessForced) {
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_ENGLISH);

    setenv("LANG", "it_IT.UTF-8", 1);
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_ITALIAN);
    setenv("LC_MESSAGES", "de_DE.UTF-8", 1);
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_GERMAN);
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_ENGLISH);
    setenv("LC_ALL", "it", 1);
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_ITALIAN);

    // An empty variable does not count; the next one decides.
    setenv("LC_ALL", "", 1);
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_GERMAN);
    setenv("LC_MESSAGES", "", 1);
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_ITALIAN);
    setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_EQ(platform::LanguageFromEnvironment(), LANGUAGE_ENGLISH);

    setenv("LANG", "de_AT", 1);
    EXPECT_EQ(platform::ActiveLanguage(), LANGUAGE_GERMAN);
    char buffer[64];
    LoadStringA(nullptr, IDS_TITLE_OBJECT_PROPERTIES, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "OBJEKTEIGENSCHAFTEN");

    platform::ForceLanguage(LANGUAGE_ITALIAN);
    EXPECT_EQ(platform::ActiveLanguage(), LANGUAGE_ITALIAN);
    LoadStringA(nullptr, IDS_CAPTION_WARNING, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Orvanta Editor - AVVISO");

    platform::ForceLanguage(0);
    EXPECT_EQ(platform::ActiveLanguage(), LANGUAGE_GERMAN);
    LoadStringA(nullptr, IDS_CAPTION_WARNING, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Orvanta Editor - Achtung");
}

}  // namespace
