#include "sim/session.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <filesystem>
#include <map>
#include <ostream>
#include <system_error>

#include "catalog/catalog.h"
#include "platform/bitmaps.h"
#include "platform/dialogs.h"
#include "platform/resources.h"
#include "resources/resource_ids.h"
#include "scenery/scale.h"
#include "sim/geodesy.h"
#include "sim/scenery_file.h"
#include "sim/simulator.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwo32 = 4294967296.0;
constexpr int kMaxRepeat = 100000;
constexpr int64_t kMaxFrames = 10000000;
// The marker block holds whole metres; anything closer counts as "on".
constexpr double kMarkerToleranceMetres = 1.0;
constexpr double kDefaultHeadingTolerance = 0.5;

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool EndsWithNoCase(const std::string& name, std::string_view suffix) {
    return name.size() >= suffix.size() && Lower(name.substr(name.size() - suffix.size())) == Lower(suffix);
}

// ---------------------------------------------------------------------------
// Keys

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

// ---------------------------------------------------------------------------
// Tokens

struct Token {
    std::string text;
    bool quoted = false;
};

// Splits a line into words and double-quoted strings (with \" and \\), up to
// a '#' outside a string. `source` gets the line without its comment.
bool Tokenize(std::string_view line, std::vector<Token>* tokens, std::string* source, std::string* error) {
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

int FindGroup(const std::string& name) {
    for (int i = 0; i < ObjectCatalog.groupCount; ++i) {
        if (name == ObjectCatalog.groups[i].name) {
            return i;
        }
    }
    return -1;
}

int FindEntry(const std::string& name) {
    for (int i = 0; i < ObjectCatalog.entryCount; ++i) {
        if (name == ObjectCatalog.entries[i].name) {
            return i;
        }
    }
    return -1;
}

int GroupOfEntry(int entry) {
    for (int i = 0; i < ObjectCatalog.groupCount; ++i) {
        if (entry >= ObjectCatalog.groups[i].first && entry <= ObjectCatalog.groups[i].last) {
            return i;
        }
    }
    return -1;
}

bool AllDigits(const std::string& text) {
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
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
            group = FindGroup(step.text);
            if (group < 0) {
                words.Fail("group \"" + step.text + "\" is not in the catalog");
            }
        } else if (action == "object") {
            step.kind = DialogAction::Kind::Object;
            step.text = words.Text("an object name");
            int entry = FindEntry(step.text);
            if (entry < 0) {
                words.Fail("object \"" + step.text + "\" is not in the catalog");
            }
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
        if (s->flag && FindEntry(s->text) < 0) {
            words.Fail("object \"" + s->text + "\" is not in the catalog");
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

// ---------------------------------------------------------------------------
// What the session watches

struct FileState {
    uintmax_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
    uint64_t hash = 0;
    bool operator==(const FileState&) const = default;
};

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        hash = (hash ^ b) * 1099511628211ull;
    }
    return hash;
}

bool IsSceneryName(const std::string& name) {
    return EndsWithNoCase(name, kSceneryFileExtension) ||
           EndsWithNoCase(name, std::string(kSceneryFileExtension) + ".saving");
}

// Scenery files and save leftovers in the folder, by name.
std::map<std::string, FileState> SnapshotFolder(const std::string& folder) {
    std::map<std::string, FileState> files;
    std::error_code code;
    for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
        std::string name = it->path().filename().string();
        if (!IsSceneryName(name)) {
            continue;
        }
        struct stat info;
        if (::stat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        FileState state;
        state.size = static_cast<uintmax_t>(info.st_size);
        state.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        state.inode = static_cast<uint64_t>(info.st_ino);
        std::optional<std::vector<uint8_t>> bytes =
            ReadFileBytes(it->path().string(), kMaxSceneryFileBytes, nullptr);
        state.hash = bytes ? Fnv1a(*bytes) : 0;
        files[name] = state;
    }
    return files;
}

// "352 bytes, 4 objects" or what is wrong with the file.
std::string DescribeFile(const std::string& path) {
    std::string error;
    std::optional<std::vector<uint8_t>> bytes = ReadFileBytes(path, kMaxSceneryFileBytes, &error);
    if (!bytes) {
        return "unreadable: " + error;
    }
    SceneryFile file = ReadSceneryFile(*bytes);
    std::string out = std::to_string(bytes->size()) + " bytes";
    if (!file.ok()) {
        return out + ", MALFORMED: " + file.FirstError()->message;
    }
    int32_t count = file.header.count;
    return out + ", " + std::to_string(count) + (count == 1 ? " object" : " objects");
}

struct Observed {
    bool running = false;
    std::string scenery;  // path of the current scenery; empty for none
    int32_t count = 0;
    int selected = -1;
    std::optional<ObjectRecord> record;
    size_t help = 0;
};

bool SameRecord(const std::optional<ObjectRecord>& a, const std::optional<ObjectRecord>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || memcmp(&*a, &*b, sizeof(ObjectRecord)) == 0;
}

// The catalog entry of a record, by the rule FindCatalogEntry follows: the
// first entry with the record's key, and only when its group exists. Looked
// up here rather than through the module's own code, which reaches the host
// through tables only the linked-in module has filled.
int CatalogIndexOf(const ObjectRecord& record) {
    for (int32_t i = 0; i < ObjectCatalog.entryCount; ++i) {
        const CatalogEntry& entry = ObjectCatalog.entries[i];
        if (memcmp(record.objectKey, entry.objectKey, sizeof record.objectKey) != 0) {
            continue;
        }
        for (int32_t g = 0; g < ObjectCatalog.groupCount; ++g) {
            if (ObjectCatalog.groups[g].key == entry.groupKey) {
                return i;
            }
        }
        return -1;
    }
    return -1;
}

std::string CatalogName(const ObjectRecord& record) {
    int entry = CatalogIndexOf(record);
    return entry < 0 ? std::string("(not in the catalog)") : std::string(ObjectCatalog.entries[entry].name);
}

// Percent of a record's scale as the editor's scale keys see it; nullopt for
// a fixed-scale object.
std::optional<int64_t> ScalePercent(const ObjectRecord& record) {
    int entry = CatalogIndexOf(record);
    if ((entry >= 0 && ObjectCatalog.entries[entry].defaultScale < 0) || record.scale == 0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(SCALE_PERCENT_NUMERATOR / record.scale);
}

double Normalise360(double degrees) {
    double wrapped = std::fmod(degrees, 360.0);
    return wrapped < 0 ? wrapped + 360.0 : wrapped;
}

// Ground distance in metres between two places given in degrees, flat
// enough for the few kilometres a session spans.
double GroundMetres(double lat1, double lon1, double lat2, double lon2) {
    double north = (lat2 - lat1) * kPi / 180.0 * kEarthRadiusMetres;
    double dLon = std::remainder(lon2 - lon1, 360.0);
    double east = dLon * kPi / 180.0 * kEarthRadiusMetres * std::cos((lat1 + lat2) / 2.0 * kPi / 180.0);
    return std::hypot(north, east);
}

const char* LanguageName(LANGID language) {
    switch (language) {
        case platform::LANGUAGE_ITALIAN:
            return "Italian";
        case platform::LANGUAGE_GERMAN:
            return "German";
        default:
            return "English";
    }
}

LANGID LanguageFromCode(const std::string& code) {
    if (code == "it") {
        return platform::LANGUAGE_ITALIAN;
    }
    if (code == "de") {
        return platform::LANGUAGE_GERMAN;
    }
    return platform::LANGUAGE_ENGLISH;
}

const char* DialogActionName(DialogAction::Kind kind) {
    switch (kind) {
        case DialogAction::Kind::Group:
            return "group";
        case DialogAction::Kind::Object:
            return "object";
        case DialogAction::Kind::Scale:
            return "scale";
        case DialogAction::Kind::Distance:
            return "distance";
        case DialogAction::Kind::Help:
            return "help";
        case DialogAction::Kind::Ok:
            return "ok";
        case DialogAction::Kind::Cancel:
            return "cancel";
        case DialogAction::Kind::Close:
            return "close";
    }
    return "?";
}

std::string DescribeAction(const DialogAction& action) {
    std::string out = DialogActionName(action.kind);
    switch (action.kind) {
        case DialogAction::Kind::Group:
        case DialogAction::Kind::Object:
        case DialogAction::Kind::Scale:
        case DialogAction::Kind::Distance:
            out += " \"" + action.text + "\"";
            break;
        default:
            break;
    }
    return out;
}

// The fields of dialog 102 a person looks at.
struct DialogFields {
    std::string group, object, scale, distance, preview;
    bool scaleEnabled = true;
};

DialogFields ReadDialog(HWND dialog) {
    DialogFields fields;
    fields.group = platform::ControlText(dialog, IDC_GROUP_LIST);
    fields.object = platform::ControlText(dialog, IDC_OBJECT_LIST);
    fields.scale = platform::ControlText(dialog, IDC_SCALE);
    fields.scaleEnabled = platform::ControlEnabled(dialog, IDC_SCALE);
    fields.distance = platform::ControlText(dialog, IDC_MAX_DISTANCE);
    std::optional<platform::BitmapPixels> bitmap =
        platform::BitmapInfo(platform::ControlImage(dialog, IDC_PREVIEW));
    fields.preview = bitmap ? bitmap->path : "";
    return fields;
}

// Every field, or only those that differ from `before`.
std::string DescribeFields(const DialogFields& now, const DialogFields* before) {
    std::vector<std::string> parts;
    if (!before || now.group != before->group) {
        parts.push_back("group \"" + now.group + "\"");
    }
    if (!before || now.object != before->object) {
        parts.push_back("object \"" + now.object + "\"");
    }
    if (!before || now.scale != before->scale || now.scaleEnabled != before->scaleEnabled) {
        parts.push_back("scale \"" + now.scale + "\"" + (now.scaleEnabled ? "" : " (disabled)"));
    }
    if (!before || now.distance != before->distance) {
        parts.push_back("distance \"" + now.distance + "\"");
    }
    if (!before || now.preview != before->preview) {
        parts.push_back("preview " + (now.preview.empty() ? std::string("none") : now.preview));
    }
    std::string out;
    for (const std::string& part : parts) {
        out += (out.empty() ? "" : ", ") + part;
    }
    return out.empty() ? "no change" : out;
}

std::string Plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

// ---------------------------------------------------------------------------
// Public helpers

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

std::string SessionError::Format(const std::string& script) const {
    return line > 0 ? script + ":" + std::to_string(line) + ": " + message : script + ": " + message;
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
    size_t start = 0;
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

// ---------------------------------------------------------------------------
// The session

struct Session::Impl {
    Impl(const SessionOptions& o, std::ostream& t) : options(o), out(t) {}

    SessionOptions options;
    std::ostream& out;
    SessionResult result;

    // Configuration from the script.
    std::optional<std::string> scriptFolder;
    std::optional<LANGID> scriptLanguage;
    bool playerPresent = true;

    std::unique_ptr<Simulator> sim;
    std::deque<int> answerLines;  // the line of each queued answer
    struct PendingDialog {
        int line;
        std::vector<DialogAction> actions;
    };
    std::deque<PendingDialog> pendingDialogs;
    std::map<std::string, FileState> files;
    size_t helpReported = 0;  // help requests already in the transcript
    int line = 0;             // the statement running
    bool failed = false;
    bool finished = false;

    // -- output

    void Say(int indent, const std::string& text) {
        out << std::string(static_cast<size_t>(indent), ' ') << text << '\n';
    }
    void Echo(const Statement& s, const std::string& suffix = "") {
        out << Printf("%4d  ", s.line) << s.source << suffix << '\n';
    }

    // A problem with the script's choreography or an expectation: the end of
    // a strict session, a noted deviation otherwise.
    void Problem(int atLine, const std::string& message) {
        SessionError error{atLine, message};
        if (options.strict) {
            if (!result.error) {
                result.error = error;
                Say(6, "ERROR: " + message);
            }
            failed = true;
        } else {
            result.deviations.push_back(error);
            Say(6, "! " + message + (atLine != line ? Printf(" (line %d)", atLine) : ""));
        }
    }
    // Always the end of the session.
    void Fatal(int atLine, const std::string& message) {
        if (!result.error) {
            result.error = SessionError{atLine, message};
            Say(6, "ERROR: " + message);
        }
        failed = true;
    }

    // -- the simulator

    bool CreateSimulator(int atLine) {
        std::string folder;
        bool made = false;
        if (options.sceneryFolder) {
            folder = *options.sceneryFolder;
        } else if (scriptFolder) {
            folder = *scriptFolder;
        } else {
            char pattern[] = "/tmp/tavu-session-XXXXXX";
            if (mkdtemp(pattern) == nullptr) {
                Fatal(atLine, "cannot make a temporary scenery folder");
                return false;
            }
            folder = pattern;
            made = true;
        }
        std::error_code code;
        if (!made && !fs::exists(folder, code)) {
            if (!fs::create_directories(folder, code)) {
                Fatal(atLine, "cannot create the scenery folder " + folder + ": " + code.message());
                return false;
            }
            made = true;
        } else if (!fs::is_directory(folder, code)) {
            Fatal(atLine, "the scenery folder " + folder + " is not a folder");
            return false;
        }
        result.sceneryFolder = folder;
        LANGID language = options.language ? *options.language : scriptLanguage ? *scriptLanguage : 0;
        SimulatorOptions simOptions;
        // Absolute, so that no later change of working folder moves the files.
        simOptions.sceneryFolder = fs::absolute(folder, code).string();
        simOptions.playerPresent = playerPresent;
        simOptions.language = language;
        simOptions.dataFolder = options.dataFolder;
        simOptions.modulePath = options.modulePath;
        try {
            sim = std::make_unique<Simulator>(simOptions);
        } catch (const std::exception& e) {
            Fatal(atLine, e.what());
            return false;
        }
        result.simulatorCreated = true;
        Host& host = sim->host();
        host.onMessage = [this](const MessageBox& box) { OnBox(box); };
        host.dialogRunner = [this](HINSTANCE instance, int32_t id, DLGPROC procedure) {
            return RunDialog(instance, id, procedure);
        };
        files = SnapshotFolder(folder);
        int loaded = 0;
        for (int i = 0; i < sim->player()->SceneryCount(); ++i) {
            loaded += sim->player()->Deleted(i) ? 0 : 1;
        }
        Say(6, "simulator: sceneries in " + folder + (made ? " (new folder)" : "") + ", " +
                   Plural(loaded, "scenery file", "scenery files") + " loaded; language " +
                   LanguageName(platform::ActiveLanguage()) + "; player " +
                   (playerPresent ? "present" : "absent"));
        for (const std::string& message : sim->PlayerMessages()) {
            Say(8, "player: " + message);
        }
        if (options.onSimulatorCreated) {
            options.onSimulatorCreated(*sim);
        }
        return true;
    }

    std::string FileName(const std::string& path) const {
        return path.empty() ? std::string() : fs::path(path).filename().string();
    }
    std::string InFolder(const std::string& path) const {
        fs::path p(path);
        return p.is_absolute() ? path : (fs::path(result.sceneryFolder) / p).string();
    }

    // -- boxes and dialogs

    void OnBox(const MessageBox& box) {
        result.boxes.push_back(box);
        bool yesNo = (box.flags & 0xF) == 4;
        std::string how = "OK";
        if (yesNo) {
            how = box.unanswered             ? "Yes/No, unanswered"
                  : box.answer == ANSWER_YES ? "Yes/No, answered Yes"
                  : box.answer == ANSWER_NO  ? "Yes/No, answered No"
                                             : Printf("Yes/No, answered %d", box.answer);
        }
        Say(6, Printf("box \"%s\" (text %d; %s)", box.title.c_str(), box.textId, how.c_str()));
        size_t start = 0;
        while (start < box.text.size()) {
            size_t newline = box.text.find('\n', start);
            std::string part =
                box.text.substr(start, newline == std::string::npos ? std::string::npos : newline - start);
            if (!part.empty()) {
                Say(10, part);
            }
            start = newline == std::string::npos ? box.text.size() : newline + 1;
        }
        if (yesNo) {
            if (box.unanswered) {
                Problem(line,
                        Printf("a Yes/No box (text %d) appeared with no answer line waiting", box.textId));
            } else if (!answerLines.empty()) {
                answerLines.pop_front();
            }
        }
    }

    int32_t RunDialog(HINSTANCE instance, int32_t id, DLGPROC procedure) {
        INT_PTR ended = platform::RunDialog(instance, static_cast<UINT>(id), procedure,
                                            [this, id](HWND dialog) { PlayDialog(dialog, id); });
        Say(8, ended == IDOK       ? std::string("dialog ended: OK")
               : ended == IDCANCEL ? std::string("dialog ended: Cancel")
                                   : Printf("dialog ended: %ld", static_cast<long>(ended)));
        return static_cast<int32_t>(ended);
    }

    void PlayDialog(HWND dialog, int32_t id) {
        std::string caption = platform::DialogCaption(dialog);
        result.dialogs.push_back(caption);
        Say(6, Printf("dialog %d \"%s\": %s", id, caption.c_str(),
                      platform::ControlText(dialog, IDC_TITLE_LINE).c_str()));
        DialogFields fields = ReadDialog(dialog);
        Say(8, "shows " + DescribeFields(fields, nullptr));
        if (pendingDialogs.empty()) {
            Problem(line, Printf("dialog %d appeared with no dialog line waiting; closed", id));
            return;
        }
        PendingDialog pending = std::move(pendingDialogs.front());
        pendingDialogs.pop_front();
        Host& host = sim->host();
        for (const DialogAction& action : pending.actions) {
            size_t help = host.HelpRequests().size();
            std::string failure = Perform(dialog, action);
            if (!failure.empty()) {
                Problem(pending.line, "dialog: " + DescribeAction(action) + ": " + failure);
                return;
            }
            if (action.kind == DialogAction::Kind::Ok || action.kind == DialogAction::Kind::Cancel ||
                action.kind == DialogAction::Kind::Close) {
                Say(8, "user: " + DescribeAction(action));
                return;
            }
            DialogFields now = ReadDialog(dialog);
            std::string effect = DescribeFields(now, &fields);
            for (size_t i = help; i < host.HelpRequests().size(); ++i) {
                effect = "help " + host.HelpRequests()[i].first + " " + host.HelpRequests()[i].second;
            }
            helpReported = host.HelpRequests().size();
            Say(8, "user: " + DescribeAction(action) + " -> " + effect);
            fields = now;
        }
    }

    // Empty when the action was possible, else why not.
    std::string Perform(HWND dialog, const DialogAction& action) {
        auto listProblem = [&](int id, const char* list) -> std::string {
            if (!platform::ControlEnabled(dialog, id)) {
                return std::string("the ") + list + " list is disabled";
            }
            std::vector<std::string> items = platform::ComboItems(dialog, id);
            return "no such item in the " + std::string(list) + " list (" +
                   Plural(static_cast<int64_t>(items.size()), "item", "items") +
                   (id == IDC_OBJECT_LIST
                        ? ", group \"" + platform::ControlText(dialog, IDC_GROUP_LIST) + "\")"
                        : ")");
        };
        auto fieldProblem = [&](int id, const char* field) -> std::string {
            if (!platform::ControlEnabled(dialog, id)) {
                return std::string("the ") + field + " field is disabled" +
                       (id == IDC_SCALE ? " (a fixed-scale object)" : "");
            }
            return std::string("the ") + field + " field does not take this text";
        };
        switch (action.kind) {
            case DialogAction::Kind::Group:
                return platform::UserChooseItem(dialog, IDC_GROUP_LIST, action.text)
                           ? ""
                           : listProblem(IDC_GROUP_LIST, "group");
            case DialogAction::Kind::Object:
                return platform::UserChooseItem(dialog, IDC_OBJECT_LIST, action.text)
                           ? ""
                           : listProblem(IDC_OBJECT_LIST, "object");
            case DialogAction::Kind::Scale:
                return platform::UserTypeText(dialog, IDC_SCALE, action.text)
                           ? ""
                           : fieldProblem(IDC_SCALE, "scale");
            case DialogAction::Kind::Distance:
                return platform::UserTypeText(dialog, IDC_MAX_DISTANCE, action.text)
                           ? ""
                           : fieldProblem(IDC_MAX_DISTANCE, "distance");
            case DialogAction::Kind::Help:
                return platform::UserClick(dialog, IDC_HELP_BUTTON) ? ""
                                                                    : "the Help button cannot be clicked";
            case DialogAction::Kind::Ok:
                return platform::UserClick(dialog, IDOK) ? "" : "the OK button cannot be clicked";
            case DialogAction::Kind::Cancel:
                return platform::UserClick(dialog, IDCANCEL) ? "" : "the Cancel button cannot be clicked";
            case DialogAction::Kind::Close:
                return platform::UserClose(dialog) ? "" : "the dialog cannot be closed";
        }
        return "unknown action";
    }

    // -- observation

    Observed Observe() const {
        Observed o;
        o.running = sim->Running();
        o.scenery = sim->CurrentPath();
        const SceneryView* header = sim->CurrentHeader();
        o.count = header ? header->count : 0;
        o.selected = sim->SelectedIndex();
        if (const ObjectRecord* record = sim->SelectedRecord()) {
            o.record = *record;
        }
        o.help = sim->host().HelpRequests().size();
        return o;
    }

    std::string DescribeObject(int index, const ObjectRecord& record) const {
        double lat = LatitudeOf(record.lat), lon = LongitudeOf(record.lon), alt = AltitudeOf(record.alt);
        double fromAircraft = GroundMetres(sim->LatitudeDegrees(), sim->LongitudeDegrees(), lat, lon);
        std::optional<int64_t> percent = ScalePercent(record);
        return Printf(
                   "#%d at lat %.6f lon %.6f alt %.2f m, %.1f m from the aircraft; heading %.1f pitch %.1f "
                   "bank %.1f; ",
                   index, lat, lon, alt, fromAircraft, Normalise360(AngleToDegrees(record.heading)),
                   AngleToDegrees(record.pitch), AngleToDegrees(record.bank)) +
               (percent ? Printf("scale %lld%%", static_cast<long long>(*percent))
                        : std::string("scale fixed"));
    }

    std::string DescribeSelection(int index, int32_t count, const ObjectRecord& record) const {
        int entry = CatalogIndexOf(record);
        int group = entry < 0 ? -1 : GroupOfEntry(entry);
        return Printf("selected #%d of %d: ", index, count) + CatalogName(record) +
               (group < 0 ? std::string() : std::string(" (") + ObjectCatalog.groups[group].name + ")");
    }

    // How far the marker of the last draw stands from the selected object,
    // in metres; nullopt when either is missing.
    std::optional<double> MarkerGap() const {
        std::optional<MarkerPosition> marker = sim->Marker();
        const ObjectRecord* record = sim->SelectedRecord();
        if (!marker || !record) {
            return std::nullopt;
        }
        double north = static_cast<double>(int64_t{marker->lat} - record->lat.integer);
        double up = static_cast<double>(int64_t{marker->alt} - record->alt.integer);
        int32_t lonUnits = static_cast<int32_t>(static_cast<uint32_t>(marker->lon) -
                                                static_cast<uint32_t>(record->lon.integer));
        double east = LonUnitsToMetres(lonUnits, marker->lat);
        return std::sqrt(north * north + east * east + up * up);
    }

    void ReportMarker() {
        std::optional<MarkerPosition> marker = sim->Marker();
        if (!marker) {
            Say(6, "marker: not drawn");
            return;
        }
        double lat = PositionToLatitude(static_cast<int64_t>(marker->lat) * static_cast<int64_t>(kTwo32));
        double lon = PositionToLongitude(static_cast<int64_t>(marker->lon) * static_cast<int64_t>(kTwo32));
        std::string where = Printf("marker at lat %.6f lon %.6f alt %d m", lat, lon, marker->alt);
        std::optional<double> gap = MarkerGap();
        if (!gap) {
            Say(6, where + ", no object selected");
        } else if (*gap <= kMarkerToleranceMetres) {
            Say(6, where + ", on the selected object");
        } else {
            Say(6, where + Printf(", %.1f m from the selected object", *gap));
        }
    }

    void ReportFiles() {
        std::map<std::string, FileState> now = SnapshotFolder(result.sceneryFolder);
        for (const auto& [name, state] : now) {
            auto before = files.find(name);
            if (before != files.end() && before->second == state) {
                continue;
            }
            std::string path = (fs::path(result.sceneryFolder) / name).string();
            if (EndsWithNoCase(name, ".saving")) {
                Say(6, "left over " + path + " (" + std::to_string(state.size) + " bytes)");
                continue;
            }
            ++result.saves;
            Say(6, "saved " + path + " (" + DescribeFile(path) + ")");
        }
        for (const auto& [name, state] : files) {
            if (now.count(name) == 0 && !EndsWithNoCase(name, ".saving")) {
                Say(6, "deleted " + (fs::path(result.sceneryFolder) / name).string());
            }
        }
        files = std::move(now);
    }

    void Report(const Observed& before, bool always) {
        Observed now = Observe();
        if (now.scenery != before.scenery) {
            if (now.scenery.empty()) {
                Say(6, "no scenery current");
            } else {
                std::error_code code;
                bool onDisk = fs::exists(now.scenery, code);
                Say(6, "scenery " + FileName(now.scenery) + (onDisk ? "" : " (no file yet)") + ", " +
                           Plural(now.count, "object", "objects"));
            }
        }
        bool selectionChanged =
            now.selected != before.selected || now.scenery != before.scenery ||
            (now.record && before.record && CatalogIndexOf(*now.record) != CatalogIndexOf(*before.record));
        if (now.record && (selectionChanged || now.count != before.count)) {
            Say(6, DescribeSelection(now.selected, now.count, *now.record));
        } else if (!now.record && before.record) {
            Say(6, "no object selected");
        } else if (!now.record && now.count != before.count) {
            Say(6, Plural(now.count, "object", "objects"));
        }
        if (now.record && (always || selectionChanged || !SameRecord(now.record, before.record))) {
            Say(6, DescribeObject(now.selected, *now.record));
        } else if (always && !now.record) {
            Say(6, "no object selected");
        }
        const auto& help = sim->host().HelpRequests();
        for (size_t i = std::max(before.help, helpReported); i < help.size(); ++i) {
            Say(6, "help " + help[i].first + " " + help[i].second);
        }
        helpReported = help.size();
        ReportFiles();
        if (now.running != before.running) {
            Say(6, now.running ? "editor running" : "editor stopped");
        }
    }

    void ReportAircraft() {
        Say(6, Printf("aircraft at lat %.6f lon %.6f alt %.1f m, heading %.1f", sim->LatitudeDegrees(),
                      sim->LongitudeDegrees(), sim->AltitudeMetres(), sim->HeadingDegrees()));
    }

    // -- unused answers and dialog lines

    void CheckLeftovers(int atLine) {
        for (int answer : answerLines) {
            Problem(answer, Printf("this answer was never used: no Yes/No box appeared by line %d", atLine));
            if (failed) {
                return;
            }
        }
        answerLines.clear();
        sim->host().Answers().clear();
        for (const PendingDialog& pending : pendingDialogs) {
            Problem(pending.line,
                    Printf("this dialog line was never used: no dialog appeared by line %d", atLine));
            if (failed) {
                return;
            }
        }
        pendingDialogs.clear();
    }

    // -- statements

    bool Execute(const Statement& s) {
        if (failed || finished) {
            return false;
        }
        line = s.line;
        using Kind = Statement::Kind;
        if (s.Configures()) {
            Echo(s);
            if (sim) {
                Fatal(s.line,
                      s.source.substr(0, s.source.find(' ')) +
                          ": configuration must come before the first statement that uses the simulator");
                return false;
            }
            if (s.kind == Kind::Sceneries) {
                scriptFolder = s.text;
                if (options.sceneryFolder) {
                    Say(6, "(the command line's folder " + *options.sceneryFolder + " wins)");
                }
            } else if (s.kind == Kind::Language) {
                scriptLanguage = LanguageFromCode(s.word);
                if (options.language) {
                    Say(6, std::string("(the command line's language ") + LanguageName(*options.language) +
                               " wins)");
                }
            } else {
                playerPresent = s.flag;
            }
            return true;
        }
        if (s.kind == Kind::Note) {
            Say(0, "");
            Say(0, "# " + s.text);
            return true;
        }
        if (s.kind == Kind::Expect) {
            if (!sim && !CreateSimulator(s.line)) {
                return false;
            }
            std::string failure = Check(s);
            Echo(s, failure.empty() ? "  [ok]" : "  [FAILED]");
            if (!failure.empty()) {
                Problem(s.line, s.source + ": " + failure);
            }
            return Done(s);
        }
        Echo(s);
        if (!sim && !CreateSimulator(s.line)) {
            return false;
        }
        Observed before = Observe();
        bool always = false;
        int32_t running = 0;
        switch (s.kind) {
            case Kind::Aircraft:
                sim->PlaceAircraft(*s.lat, *s.lon, s.alt, s.heading);
                ReportAircraft();
                break;
            case Kind::Slew:
                if (s.word == "turn") {
                    sim->Turn(s.value);
                } else {
                    sim->Slew(s.word == "forward" ? s.value : 0, s.word == "right" ? s.value : 0,
                              s.word == "up" ? s.value : 0);
                }
                ReportAircraft();
                break;
            case Kind::NewObjectAltitude:
                sim->SetNewObjectAltitude(s.value);
                break;
            case Kind::Pause:
                sim->SetPaused(s.flag);
                break;
            case Kind::Step:
                sim->SetFrameStep(static_cast<uint16_t>(s.value));
                break;
            case Kind::Start: {
                int32_t started = sim->Start(&running);
                Say(6, Printf("start returned %d, running %d", started, running));
                break;
            }
            case Kind::Stop:
                sim->Stop(&running);
                break;
            case Kind::SelectScenery: {
                int32_t selected = sim->SelectScenery(static_cast<int32_t>(s.value), &running);
                Say(6, Printf("select-scenery returned %d", selected));
                break;
            }
            case Kind::Key: {
                if (!sim->host().KeyHookInstalled()) {
                    Say(6, "no key hook installed: the editor does not see the key");
                }
                bool passedOn = false;
                for (int i = 0; i < s.repeat && !failed; ++i) {
                    KeyPress press = sim->PressKey(s.chord.keyCode, s.chord.modifiers);
                    passedOn = passedOn || press.handlerResult != 0;
                }
                if (passedOn && sim->host().KeyHookInstalled()) {
                    Say(6, "passed on to the simulator");
                }
                break;
            }
            case Kind::Frames:
                sim->RunFrames(static_cast<int>(s.value));
                always = true;
                break;
            case Kind::Answer:
                sim->host().Answers().push_back(s.flag ? ANSWER_YES : ANSWER_NO);
                answerLines.push_back(s.line);
                break;
            case Kind::Dialog:
                pendingDialogs.push_back({s.line, s.actions});
                break;
            default:
                break;
        }
        Report(before, always);
        if (s.kind == Kind::Frames) {
            ReportMarker();
        }
        CheckGuest(s.line, s.source);
        if (s.kind == Kind::Stop && !failed) {
            CheckLeftovers(s.line);
        }
        return Done(s);
    }

    // The emulated module's code stops at its first fault; the statement
    // that ran into it ends the session.
    void CheckGuest(int atLine, const std::string& during) {
        const X86Emulator::Fault* fault = sim->GuestFault();
        if (fault == nullptr || failed) {
            return;
        }
        std::string where;
        if (!fault->innerCall.empty()) {
            where = "in " + fault->innerCall +
                    (fault->outerCall != fault->innerCall ? ", called from " + fault->outerCall : "") + ", ";
        }
        Fatal(atLine, "guest fault: " + fault->message + " (" + where + "during " + during + ")");
    }

    bool Done(const Statement& s) {
        if (!failed && options.afterStatement) {
            options.afterStatement(*sim, s);
        }
        return !failed;
    }

    // Empty when the expectation holds, else what was found instead.
    std::string Check(const Statement& s) {
        const ObjectRecord* record = sim->SelectedRecord();
        const SceneryView* header = sim->CurrentHeader();
        switch (s.expect) {
            case ExpectKind::Objects: {
                int32_t count = header ? header->count : 0;
                return count == static_cast<int32_t>(s.value) ? ""
                       : header ? "the current scenery holds " + Plural(count, "object", "objects")
                                : "no scenery is current (0 objects)";
            }
            case ExpectKind::Selected:
                if (!s.flag) {
                    return record ? "selected: " + CatalogName(*record) : "";
                }
                if (!record) {
                    return "no object is selected";
                }
                return CatalogName(*record) == s.text ? "" : "selected: " + CatalogName(*record);
            case ExpectKind::Box: {
                const std::vector<MessageBox>& boxes = sim->host().Boxes();
                if (boxes.empty()) {
                    return "no box has been shown";
                }
                return boxes.back().textId == static_cast<int32_t>(s.value)
                           ? ""
                           : Printf("the last box shown had text %d", boxes.back().textId);
            }
            case ExpectKind::Boxes: {
                size_t shown = sim->host().Boxes().size();
                return shown == static_cast<size_t>(s.value)
                           ? ""
                           : Plural(static_cast<int64_t>(shown), "box was shown", "boxes were shown");
            }
            case ExpectKind::File: {
                std::string path = InFolder(s.text);
                std::error_code code;
                if (!fs::is_regular_file(path, code)) {
                    return "no file " + path;
                }
                uintmax_t size = fs::file_size(path, code);
                if (s.bytes && static_cast<int64_t>(size) != *s.bytes) {
                    return "the file holds " + std::to_string(size) + " bytes";
                }
                if (s.objects) {
                    std::optional<std::vector<uint8_t>> bytes =
                        ReadFileBytes(path, kMaxSceneryFileBytes, nullptr);
                    SceneryFile file = ReadSceneryFile(bytes ? *bytes : std::vector<uint8_t>{});
                    if (!file.ok()) {
                        return "not a sound scenery file: " + file.FirstError()->message;
                    }
                    if (file.header.count != *s.objects) {
                        return "the file holds " + Plural(file.header.count, "object", "objects");
                    }
                }
                return "";
            }
            case ExpectKind::NoFile: {
                std::error_code code;
                return fs::exists(InFolder(s.text), code) ? "the file exists" : "";
            }
            case ExpectKind::Marker: {
                std::optional<double> gap = MarkerGap();
                if (!gap) {
                    return sim->Marker() ? "no object is selected" : "no marker has been drawn";
                }
                bool on = *gap <= kMarkerToleranceMetres;
                return on == s.flag ? ""
                       : on         ? "the marker stands on the selected object"
                                    : Printf("the marker stands %.1f m from the selected object", *gap);
            }
            case ExpectKind::Scale: {
                if (!record) {
                    return "no object is selected";
                }
                std::optional<int64_t> percent = ScalePercent(*record);
                if (s.flag) {
                    return percent ? Printf("the scale is %lld%%", static_cast<long long>(*percent)) : "";
                }
                return !percent ? "the object has a fixed scale"
                       : *percent == static_cast<int64_t>(s.value)
                           ? ""
                           : Printf("the scale is %lld%%", static_cast<long long>(*percent));
            }
            case ExpectKind::Position: {
                if (!record) {
                    return "no object is selected";
                }
                double lat = LatitudeOf(record->lat), lon = LongitudeOf(record->lon);
                double ground = GroundMetres(*s.lat, *s.lon, lat, lon);
                double gap = s.alt ? std::hypot(ground, AltitudeOf(record->alt) - *s.alt) : ground;
                return gap <= *s.within ? ""
                                        : Printf("the object is at lat %.6f lon %.6f alt %.2f m, %.1f m away",
                                                 lat, lon, AltitudeOf(record->alt), gap);
            }
            case ExpectKind::Heading: {
                if (!record) {
                    return "no object is selected";
                }
                double heading = Normalise360(AngleToDegrees(record->heading));
                double gap = std::fabs(std::remainder(heading - s.value, 360.0));
                return gap <= s.within.value_or(kDefaultHeadingTolerance)
                           ? ""
                           : Printf("the heading is %.2f", heading);
            }
            case ExpectKind::Running:
                return sim->Running() == s.flag ? ""
                       : sim->Running()         ? "the editor runs"
                                                : "the editor does not run";
            case ExpectKind::Scenery: {
                std::string current = FileName(sim->CurrentPath());
                if (!s.flag) {
                    return current.empty() ? "" : "the current scenery is " + current;
                }
                return current == s.text ? ""
                       : current.empty() ? "no scenery is current"
                                         : "the current scenery is " + current;
            }
        }
        return "unknown expectation";
    }

    bool Finish(int atLine) {
        if (finished) {
            return !result.error;
        }
        finished = true;
        line = atLine;
        if (sim) {
            if (sim->Running()) {
                Say(0, "");
                Say(0, failed ? "stopping the editor"
                              : "end of script: stopping the editor so that everything is saved");
                Observed before = Observe();
                int32_t running = 0;
                sim->Stop(&running);
                Report(before, false);
                CheckGuest(atLine, "the final stop");
            }
            if (!failed) {
                CheckLeftovers(atLine);
            }
            sim->Shutdown();
            CheckGuest(atLine, "the module's unloading");
            ReportFiles();
            result.allocationCalls = sim->host().Allocations().calls;
            result.liveBlocksAfterTeardown = sim->host().Allocations().liveBlocks;
            Say(0, "");
            Say(0, "scenery folder " + result.sceneryFolder + ":");
            if (files.empty()) {
                Say(6, "no scenery files");
            }
            for (const auto& [name, state] : files) {
                Say(6, name + " (" + DescribeFile((fs::path(result.sceneryFolder) / name).string()) + ")");
            }
            sim.reset();
        }
        if (result.error) {
            Say(0, "session stopped at line " + std::to_string(result.error->line));
        } else {
            Say(0,
                Printf("session complete: %s, %s, %s",
                       Plural(static_cast<int64_t>(result.boxes.size()), "box", "boxes").c_str(),
                       Plural(static_cast<int64_t>(result.dialogs.size()), "dialog", "dialogs").c_str(),
                       Plural(result.saves, "save", "saves").c_str()) +
                    (result.deviations.empty() ? std::string()
                                               : ", " + Plural(static_cast<int64_t>(result.deviations.size()),
                                                               "deviation", "deviations")));
        }
        return !result.error;
    }
};

Session::Session(const SessionOptions& options, std::ostream& transcript)
    : impl_(std::make_unique<Impl>(options, transcript)) {}

Session::~Session() {
    // Whatever happened, the editor stops and the simulator goes.
    if (impl_->sim) {
        impl_->sim.reset();
    }
}

bool Session::Execute(const Statement& statement) {
    return impl_->Execute(statement);
}
bool Session::Finish(int line) {
    return impl_->Finish(line);
}
Simulator* Session::simulator() {
    return impl_->sim.get();
}
const SessionResult& Session::result() const {
    return impl_->result;
}

SessionResult RunSession(const SessionScript& script, const SessionOptions& options,
                         std::ostream& transcript) {
    Session session(options, transcript);
    int last = 0;
    for (const Statement& statement : script.statements) {
        last = statement.line;
        if (!session.Execute(statement)) {
            break;
        }
    }
    session.Finish(last);
    return session.result();
}

}  // namespace sim
