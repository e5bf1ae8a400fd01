// Reading session scripts: a line splits into words and strings, the first
// word names the statement, and each statement checks its own arguments.
#include "sim/session.h"

#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include "catalog/catalog.h"
#include "catalog/catalog_names.h"
#include "sim/printable.h"
#include "sim/session_internal.h"
#include "sim/transcript.h"

namespace sim {

namespace {

constexpr int kMaxRepeat = 100000;
constexpr int64_t kMaxFrames = 10000000;

// ---------------------------------------------------------------------------
// Tokens

struct Token {
    std::string text;
    bool quoted = false;
};

// Splits a line into words and double-quoted strings (with \" and \\), up to
// a '#' outside a string. `source` gets the line without its comment.
bool Tokenize(std::string_view line, std::vector<Token>* tokens, std::string* source, std::string* error) {
    // A NUL would end the text wherever it goes on as a C string (a number,
    // a folder name): refuse it rather than read half a word.
    size_t nul = line.find('\0');
    if (nul != std::string_view::npos) {
        *error = "a NUL byte at column " + std::to_string(nul + 1) + ": a script is plain text";
        return false;
    }
    size_t i = 0;
    size_t end = line.size();
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') {
            end = i;
            break;
        }
        Token token;
        if (c == '"') {
            token.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    d = line[i++];
                }
                token.text += d;
            }
            if (!closed) {
                *error = "a string is not closed: missing '\"'";
                return false;
            }
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
                *error = "a string must be followed by a space";
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '#') {
                if (line[i] == '"') {
                    *error = "a '\"' inside a word: put a space before the string";
                    return false;
                }
                token.text += line[i++];
            }
        }
        tokens->push_back(std::move(token));
    }
    std::string_view kept = line.substr(0, end);
    size_t first = kept.find_first_not_of(" \t\r");
    size_t last = kept.find_last_not_of(" \t\r");
    *source =
        first == std::string_view::npos ? std::string() : std::string(kept.substr(first, last - first + 1));
    return true;
}

// A parse failure of one statement: the message is complete.
struct ParseFailure {
    std::string message;
};

class Words {
  public:
    Words(std::vector<Token> tokens, std::string statement)
        : tokens_(std::move(tokens)), statement_(std::move(statement)) {}

    bool Done() const { return next_ >= tokens_.size(); }
    const Token* Peek() const { return Done() ? nullptr : &tokens_[next_]; }

    [[noreturn]] void Fail(const std::string& message) const {
        throw ParseFailure{statement_ + ": " + message};
    }

    const Token& Take(const char* what) {
        if (Done()) {
            Fail(std::string("missing ") + what);
        }
        return tokens_[next_++];
    }
    std::string Word(const char* what) {
        const Token& token = Take(what);
        if (token.quoted) {
            Fail(std::string("expected ") + what + ", not a string");
        }
        return token.text;
    }
    std::string Text(const char* what) { return Take(what).text; }
    double Number(const char* what) {
        const Token& token = Take(what);
        const char* begin = token.text.c_str();
        char* end = nullptr;
        double value = strtod(begin, &end);
        if (token.quoted || token.text.empty() || *end != 0 || !std::isfinite(value) ||
            token.text.find_first_of("xXnNiI") != std::string::npos) {
            Fail(std::string("bad number \"") + token.text + "\" for " + what);
        }
        return value;
    }
    int64_t Integer(const char* what, int64_t low, int64_t high) {
        const Token& token = Take(what);
        int64_t value = 0;
        const char* begin = token.text.data();
        const char* end = begin + token.text.size();
        auto [ptr, code] = std::from_chars(begin, end, value);
        if (token.quoted || token.text.empty() || code != std::errc() || ptr != end) {
            Fail(std::string("bad number \"") + token.text + "\" for " + what + ": a whole number is needed");
        }
        if (value < low || value > high) {
            Fail(std::string(what) + " " + token.text + " is out of range (" + std::to_string(low) + " to " +
                 std::to_string(high) + ")");
        }
        return value;
    }
    std::string OneOf(const char* what, std::initializer_list<const char*> choices) {
        std::string word = Word(what);
        std::string list;
        for (const char* choice : choices) {
            if (word == choice) {
                return word;
            }
            list += list.empty() ? "" : "|";
            list += choice;
        }
        Fail("expected " + list + " for " + what + ", not \"" + word + "\"");
    }
    void End() const {
        if (!Done()) {
            Fail("unexpected \"" + tokens_[next_].text + "\"");
        }
    }

  private:
    std::vector<Token> tokens_;
    std::string statement_;
    size_t next_ = 0;
};

// A catalog name as typed: any case, any run of spaces. Answers the catalog's
// own spelling, which the dialog's lists and the transcript use.
std::string CatalogEntryName(Words& words, const std::string& typed) {
    catalog_names::NameMatch match = catalog_names::MatchEntry(typed);
    if (match.index < 0) {
        words.Fail("object \"" + typed + "\" is not in the catalog" + catalog_names::DidYouMean(match));
    }
    return ObjectCatalog.entries[match.index].name;
}

void ParseDialog(Words& words, Statement* statement) {
    int group = -1;
    bool ended = false;
    while (!words.Done()) {
        if (ended) {
            words.Fail("nothing may follow ok, cancel or close");
        }
        std::string action = words.Word("a dialog action");
        DialogAction step;
        if (action == "group") {
            step.kind = DialogAction::Kind::Group;
            step.text = words.Text("a group name");
            catalog_names::NameMatch match = catalog_names::MatchGroup(step.text);
            if (match.index < 0) {
                words.Fail("group \"" + step.text + "\" is not in the catalog" +
                           catalog_names::DidYouMean(match));
            }
            group = match.index;
            step.text = ObjectCatalog.groups[group].name;
        } else if (action == "object") {
            step.kind = DialogAction::Kind::Object;
            step.text = CatalogEntryName(words, words.Text("an object name"));
            int entry = catalog_names::MatchEntry(step.text).index;
            if (group >= 0 && GroupOfEntry(entry) != group) {
                words.Fail("object \"" + step.text + "\" is not in group \"" +
                           ObjectCatalog.groups[group].name + "\" (it is in \"" +
                           ObjectCatalog.groups[GroupOfEntry(entry)].name + "\")");
            }
        } else if (action == "scale" || action == "distance") {
            step.kind = action == "scale" ? DialogAction::Kind::Scale : DialogAction::Kind::Distance;
            step.text = words.Text("a number");
            if (!AllDigits(step.text) || step.text.size() > 9) {
                words.Fail(action + " \"" + step.text +
                           "\": the field takes a whole number (or \"\" to empty it)");
            }
        } else if (action == "help") {
            step.kind = DialogAction::Kind::Help;
        } else if (action == "ok" || action == "cancel" || action == "close") {
            step.kind = action == "ok"       ? DialogAction::Kind::Ok
                        : action == "cancel" ? DialogAction::Kind::Cancel
                                             : DialogAction::Kind::Close;
            ended = true;
        } else {
            words.Fail("unknown dialog action \"" + action +
                       "\" (group, object, scale, distance, help, ok, cancel, close)");
        }
        statement->actions.push_back(std::move(step));
    }
    if (!ended) {
        words.Fail("must end with ok, cancel or close");
    }
}

void ParseExpect(Words& words, Statement* s) {
    std::string what = words.Word("what to expect");
    if (what == "objects") {
        s->expect = ExpectKind::Objects;
        s->value = static_cast<double>(words.Integer("the object count", 0, INT32_MAX));
    } else if (what == "selected") {
        s->expect = ExpectKind::Selected;
        const Token& name = words.Take("an object name or none");
        s->text = name.text;
        s->flag = name.quoted || name.text != "none";
        if (s->flag) {
            s->text = CatalogEntryName(words, s->text);
        }
    } else if (what == "box") {
        s->expect = ExpectKind::Box;
        const Token& id = words.Take("a box text id");
        std::optional<int32_t> named = BoxTextIdFromName(id.text);
        if (named) {
            s->value = *named;
        } else {
            Words single({id}, "expect box");
            s->value = static_cast<double>(single.Integer("the box text id", 0, 65535));
        }
    } else if (what == "boxes") {
        s->expect = ExpectKind::Boxes;
        s->value = static_cast<double>(words.Integer("the box count", 0, INT32_MAX));
    } else if (what == "file" || what == "no-file") {
        s->expect = what == "file" ? ExpectKind::File : ExpectKind::NoFile;
        s->text = words.Text("a file path");
        while (s->expect == ExpectKind::File && !words.Done()) {
            std::string option = words.OneOf("a file property", {"bytes", "objects"});
            if (option == "bytes") {
                s->bytes = words.Integer("the byte count", 0, INT64_MAX);
            } else {
                s->objects = words.Integer("the object count", 0, INT32_MAX);
            }
        }
    } else if (what == "marker") {
        s->expect = ExpectKind::Marker;
        s->flag = words.OneOf("where the marker stands", {"on-selection", "off-selection"}) == "on-selection";
    } else if (what == "scale") {
        s->expect = ExpectKind::Scale;
        const Token* next = words.Peek();
        if (next != nullptr && !next->quoted && next->text == "fixed") {
            words.Take("fixed");
            s->flag = true;
        } else {
            s->value = static_cast<double>(words.Integer("the scale percent", 1, 65535));
        }
    } else if (what == "position") {
        s->expect = ExpectKind::Position;
        while (!words.Done()) {
            std::string key = words.OneOf("a position part", {"lat", "lon", "alt", "within"});
            double value = words.Number(key == "within" ? "metres" : key == "alt" ? "metres" : "degrees");
            std::optional<double>& slot = key == "lat"   ? s->lat
                                          : key == "lon" ? s->lon
                                          : key == "alt" ? s->alt
                                                         : s->within;
            if (slot) {
                words.Fail(key + " given twice");
            }
            slot = value;
        }
        if (!s->lat || !s->lon || !s->within) {
            words.Fail("needs lat DEG lon DEG [alt METRES] within METRES");
        }
        if (*s->within < 0) {
            words.Fail("within must not be negative");
        }
    } else if (what == "heading") {
        s->expect = ExpectKind::Heading;
        s->value = words.Number("degrees");
        if (!words.Done()) {
            words.OneOf("within", {"within"});
            s->within = words.Number("degrees");
        }
    } else if (what == "running") {
        s->expect = ExpectKind::Running;
        s->flag = words.OneOf("yes or no", {"yes", "no"}) == "yes";
    } else if (what == "scenery") {
        s->expect = ExpectKind::Scenery;
        const Token& name = words.Take("a scenery file name or none");
        s->text = name.text;
        s->flag = name.quoted || name.text != "none";
    } else {
        words.Fail(
            "unknown expectation \"" + what +
            "\" (objects, selected, box, boxes, file, no-file, marker, scale, position, heading, running, "
            "scenery)");
    }
    words.End();
}

Statement ParseTokens(std::vector<Token> tokens, int lineNumber, const std::string& source) {
    Statement s;
    s.line = lineNumber;
    s.source = source;
    const Token first = tokens.front();
    if (first.quoted) {
        throw ParseFailure{"a statement starts with a word, not a string"};
    }
    const std::string& keyword = first.text;
    tokens.erase(tokens.begin());
    Words words(std::move(tokens), keyword);
    using Kind = Statement::Kind;
    if (keyword == "sceneries") {
        s.kind = Kind::Sceneries;
        s.text = words.Text("a folder");
        if (s.text.empty()) {
            words.Fail("the folder name is empty");
        }
    } else if (keyword == "language") {
        s.kind = Kind::Language;
        s.word = words.OneOf("a language", {"en", "it", "de"});
    } else if (keyword == "player") {
        s.kind = Kind::Player;
        s.flag = words.OneOf("absent or present", {"absent", "present"}) == "present";
    } else if (keyword == "aircraft") {
        s.kind = Kind::Aircraft;
        while (!words.Done()) {
            std::string key = words.OneOf("a position part", {"lat", "lon", "alt", "heading"});
            double value = words.Number(key == "alt" ? "metres" : "degrees");
            std::optional<double>& slot = key == "lat"   ? s.lat
                                          : key == "lon" ? s.lon
                                          : key == "alt" ? s.alt
                                                         : s.heading;
            if (slot) {
                words.Fail(key + " given twice");
            }
            slot = value;
        }
        if (!s.lat || !s.lon) {
            words.Fail("needs lat DEG lon DEG [alt METRES] [heading DEG]");
        }
        if (std::fabs(*s.lat) > 89.0) {
            words.Fail("lat must lie between -89 and 89 degrees");
        }
        if (std::fabs(*s.lon) > 180.0) {
            words.Fail("lon must lie between -180 and 180 degrees");
        }
        if (s.alt && std::fabs(*s.alt) > 1.0e6) {
            words.Fail("alt must lie within 1000 km");
        }
    } else if (keyword == "slew") {
        s.kind = Kind::Slew;
        s.word = words.OneOf("a direction", {"forward", "right", "up", "turn"});
        s.value = words.Number(s.word == "turn" ? "degrees" : "metres");
        if (s.word != "turn" && std::fabs(s.value) > 1.0e7) {
            words.Fail("at most 10000 km at a time");
        }
    } else if (keyword == "new-object-altitude") {
        s.kind = Kind::NewObjectAltitude;
        s.value = words.Number("metres");
        if (std::fabs(s.value) > 8000000.0) {
            words.Fail("the altitude must lie within 8000 km");
        }
    } else if (keyword == "pause") {
        s.kind = Kind::Pause;
        s.flag = words.OneOf("on or off", {"on", "off"}) == "on";
    } else if (keyword == "step") {
        s.kind = Kind::Step;
        s.value = static_cast<double>(words.Integer("the frame step in milliseconds", 0, 65535));
    } else if (keyword == "start" || keyword == "stop") {
        s.kind = keyword == "start" ? Kind::Start : Kind::Stop;
    } else if (keyword == "select-scenery") {
        s.kind = Kind::SelectScenery;
        s.value = static_cast<double>(words.Integer("the mode", INT32_MIN, INT32_MAX));
    } else if (keyword == "key") {
        s.kind = Kind::Key;
        std::string chord = words.Word("a key chord");
        std::string error;
        std::optional<KeyChord> parsed = ParseKeyChord(chord, &error);
        if (!parsed) {
            words.Fail(error);
        }
        s.chord = *parsed;
        if (!words.Done()) {
            std::string repeat = words.Word("a repeat count");
            if (repeat.size() < 2 || (repeat[0] != 'x' && repeat[0] != 'X')) {
                words.Fail("expected a repeat count like x3, not \"" + repeat + "\"");
            }
            Words count({Token{repeat.substr(1), false}}, "key");
            s.repeat = static_cast<int>(count.Integer("the repeat count", 1, kMaxRepeat));
        }
    } else if (keyword == "frames") {
        s.kind = Kind::Frames;
        s.value = static_cast<double>(words.Integer("the frame count", 0, kMaxFrames));
    } else if (keyword == "answer") {
        s.kind = Kind::Answer;
        s.flag = words.OneOf("yes or no", {"yes", "no"}) == "yes";
    } else if (keyword == "dialog") {
        s.kind = Kind::Dialog;
        ParseDialog(words, &s);
    } else if (keyword == "expect") {
        s.kind = Kind::Expect;
        ParseExpect(words, &s);
    } else if (keyword == "note") {
        s.kind = Kind::Note;
        while (!words.Done()) {
            s.text += (s.text.empty() ? "" : " ") + words.Text("text");
        }
    } else {
        throw ParseFailure{"unknown statement \"" + keyword + "\""};
    }
    words.End();
    return s;
}

}  // namespace

std::string SessionError::Format(const std::string& script) const {
    return Printable(line > 0 ? script + ":" + std::to_string(line) + ": " + message : script + ": " + message);
}

std::optional<Statement> ParseStatement(std::string_view line, int lineNumber, SessionError* error) {
    std::vector<Token> tokens;
    std::string source, message;
    if (!Tokenize(line, &tokens, &source, &message)) {
        *error = SessionError{lineNumber, message};
        return std::nullopt;
    }
    if (tokens.empty()) {
        *error = SessionError{lineNumber, "empty statement"};
        return std::nullopt;
    }
    try {
        return ParseTokens(std::move(tokens), lineNumber, source);
    } catch (const ParseFailure& failure) {
        *error = SessionError{lineNumber, failure.message};
        return std::nullopt;
    }
}

std::optional<SessionScript> ParseSession(std::string_view text, SessionError* error) {
    SessionScript script;
    int lineNumber = 0;
    // The first statement that needs the simulator, for the ordering check.
    int firstUseLine = 0;
    std::string firstUseSource;
    // Editors on Windows start a UTF-8 file with a byte-order mark.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    size_t start = text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
    while (start <= text.size()) {
        size_t newline = text.find('\n', start);
        std::string_view line =
            text.substr(start, newline == std::string_view::npos ? std::string_view::npos : newline - start);
        ++lineNumber;
        start = newline == std::string_view::npos ? text.size() + 1 : newline + 1;
        std::vector<Token> tokens;
        std::string source, message;
        if (!Tokenize(line, &tokens, &source, &message)) {
            *error = SessionError{lineNumber, message};
            return std::nullopt;
        }
        if (tokens.empty()) {
            continue;
        }
        std::optional<Statement> statement = ParseStatement(line, lineNumber, error);
        if (!statement) {
            return std::nullopt;
        }
        if (statement->Configures() && firstUseLine != 0) {
            *error =
                SessionError{lineNumber, statement->source.substr(0, statement->source.find(' ')) +
                                             ": configuration must come before the first statement that uses "
                                             "the simulator (line " +
                                             std::to_string(firstUseLine) + ": " + firstUseSource + ")"};
            return std::nullopt;
        }
        if (firstUseLine == 0 && statement->NeedsSimulator()) {
            firstUseLine = statement->line;
            firstUseSource = statement->source;
        }
        script.statements.push_back(std::move(*statement));
    }
    return script;
}

}  // namespace sim
