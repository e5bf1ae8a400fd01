#include "tools/tavu/fly_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

#include "catalog/catalog.h"
#include "sim/scenery_file.h"
#include "sim/transcript.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/scenery_info.h"

namespace tavu::fly {

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLonUnitsPerTurn = 4294967296.0;
// After a pause longer than this many frames the world does not race to
// catch up: the frames are dropped.
constexpr int kMaxCatchUpFrames = 5;
constexpr int kGridColumns = 10;  // a grid dot every this many columns
constexpr int64_t kFpsWindowMs = 1000;

const Style kTitle{0x000000, 0x5fafd7, ATTR_BOLD};
const Style kNote{0xffd75f, kDefaultColour, ATTR_BOLD};
const Style kGrid{0x585858, kDefaultColour, 0};
const Style kAircraft{0xffff5f, kDefaultColour, ATTR_BOLD};
const Style kOtherScenery{0x6c6c6c, kDefaultColour, 0};
const Style kMarker{0xffffff, 0xd70000, ATTR_BOLD};
const Style kBracket{0xff5f5f, kDefaultColour, ATTR_BOLD};

// Eight arrows, clockwise from north.
constexpr char32_t kArrows[8] = {U'↑', U'↗', U'→', U'↘', U'↓', U'↙', U'←', U'↖'};
const char* const kCompass[8] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

int Octant(double degrees) {
    double turned = std::fmod(degrees, 360.0);
    if (turned < 0) {
        turned += 360.0;
    }
    return static_cast<int>(std::lround(turned / 45.0)) % 8;
}

std::string Format(const char* format, double value) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// The difference of two 16-bit angles, in degrees, the short way round.
double AngleStep(int16_t now, int16_t before) {
    return static_cast<int16_t>(static_cast<uint16_t>(now) - static_cast<uint16_t>(before)) * 360.0 / 65536.0;
}

double WrapLonUnits(double difference) {
    if (difference >= kLonUnitsPerTurn / 2) {
        difference -= kLonUnitsPerTurn;
    } else if (difference < -kLonUnitsPerTurn / 2) {
        difference += kLonUnitsPerTurn;
    }
    return difference;
}

bool IsSceneryFile(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == sim::kSceneryFileExtension;
}

}  // namespace

FlySession::FlySession(FlyOptions options, FlyConsole& console)
    : options_(std::move(options)), console_(console) {}

FlySession::~FlySession() {
    if (sim_) {
        // The hooks reach into this session, which is going away.
        sim::Host& host = sim_->host();
        host.onMessage = nullptr;
        host.answerer = nullptr;
        host.dialogRunner = nullptr;
        host.onHelp = nullptr;
        sim_.reset();
    }
}

bool FlySession::Start(std::string* error) {
    fs::path folder =
        options_.sceneryFolder.empty() ? fs::path("sceneries") : fs::path(options_.sceneryFolder);
    if (!sim::PrepareSceneryFolder(folder.string(), nullptr, error)) {
        return false;
    }
    std::error_code code;
    // Absolute, so that no later change of working folder moves the files.
    folder_ = fs::absolute(folder, code).lexically_normal().string();
    if (folder_.size() > 1 && folder_.back() == '/') {
        folder_.pop_back();
    }
    filesAtStart_ = SnapshotFolder();

    sim::SimulatorOptions simOptions;
    simOptions.sceneryFolder = folder_;
    simOptions.playerPresent = options_.playerPresent;
    simOptions.language = options_.language;
    simOptions.dataFolder = options_.dataFolder;
    simOptions.modulePath = options_.modulePath;
    sim_ = std::make_unique<sim::Simulator>(simOptions);
    sim::Host& host = sim_->host();
    host.onMessage = [this](const sim::MessageBox& box) {
        if (sim::IsYesNo(box)) {
            note_ = "\"" + box.title + "\" box answered " + sim::AnswerText(box.answer);
            return;
        }
        note_ = "\"" + box.title + "\" box shown";
        AskBox(box.title, box.text, false);
    };
    host.answerer = [this](const sim::MessageBox& box) {
        return AskBox(box.title, box.text, true) ? ANSWER_YES : ANSWER_NO;
    };
    host.dialogRunner = [this](HINSTANCE instance, int32_t id, DLGPROC procedure) {
        return RunDialogUi(instance, id, procedure);
    };
    host.onHelp = [this](const std::string& file, const std::string& topic) { ShowHelp(file, topic); };

    sim_->PlaceAircraft(options_.latitude, options_.longitude, options_.altitude, options_.heading);
    // New objects stand where the aircraft started.
    sim_->SetNewObjectAltitude(options_.altitude);
    int32_t running = 0;
    sim_->Start(&running);
    if (running) {
        std::string path = sim_->CurrentPath();
        note_ = path.empty() ? "editor started; no scenery here yet: i adds an object and makes one"
                             : "editor started on " + fs::path(path).filename().string();
    } else {
        note_ = "the editor did not start; keys reach no editor";
    }
    // Files the player skipped matter more than the greeting.
    if (!sim_->PlayerMessages().empty()) {
        note_ = "player: " + sim_->PlayerMessages().front() +
                (sim_->PlayerMessages().size() > 1
                     ? " (and " + std::to_string(sim_->PlayerMessages().size() - 1) + " more)"
                     : std::string());
    }
    // And work that cannot be saved matters most.
    if (std::optional<std::string> problem = sim::FolderWriteProblem(folder_)) {
        warning_ = "warning: " + folder_ + " cannot be written (" + *problem + "): saves will fail";
        note_ = warning_;
    }
    RunFrames(1);
    return true;
}

void FlySession::Run() {
    int64_t next = console_.NowMs();
    // A fault of the emulated DLL's code ends the flight: it runs no more.
    while (!quit_ && !sim_->GuestFault()) {
        console_.Show(Render());
        int64_t now = console_.NowMs();
        int timeout = static_cast<int>(std::clamp<int64_t>(next - now, 0, 1000));
        std::optional<Key> key = console_.ReadKey(timeout);
        if (key) {
            modalEnded_ = false;
            if (!HandleKey(*key)) {
                break;
            }
            if (modalEnded_) {
                // The world stood still while a box or a dialog was open.
                next = console_.NowMs();
            }
        }
        now = console_.NowMs();
        int step = std::max<int>(sim_->host().Global<uint16_t>(SG_FRAME_STEP), 1);
        int due = 0;
        while (now >= next && due < kMaxCatchUpFrames) {
            ++due;
            next += step;
        }
        if (now >= next) {
            next = now + step;
        }
        RunFrames(due);
    }
    Finish();
}

bool FlySession::HandleKey(const Key& key) {
    if (key.id == KeyId::Closed) {
        closed_ = true;
        quit_ = true;
        return false;
    }
    if (key.id == KeyId::Resize) {
        return true;
    }
    const FlyAction* action = FindAction(key);
    if (action == nullptr) {
        note_ = KeyText(key) + " does nothing here; h shows the keys";
        return true;
    }
    Act(*action);
    return !quit_;
}

void FlySession::Act(const FlyAction& action) {
    using Kind = FlyAction::Kind;
    double step = 2 * MetresPerColumn();
    switch (action.kind) {
        case Kind::Chord:
            SendChord(action.chord.keyCode, action.chord.modifiers);
            break;
        case Kind::Slew:
            sim_->Slew(action.forward * step, action.right * step, action.up * step);
            note_ = "aircraft moved " +
                    FormatNumber(std::abs(action.forward + action.right + action.up) * step, 1) + " m " +
                    (action.forward > 0   ? "forward"
                     : action.forward < 0 ? "back"
                     : action.right > 0   ? "right"
                     : action.right < 0   ? "left"
                     : action.up > 0      ? "up"
                                          : "down");
            break;
        case Kind::Turn:
            sim_->Turn(action.degrees);
            note_ = "aircraft turned " + FormatNumber(std::abs(action.degrees), 1) + " degrees " +
                    (action.degrees < 0 ? "left" : "right");
            break;
        case Kind::Zoom: {
            int last = static_cast<int>(std::size(kZoomSteps)) - 1;
            zoom_ = std::clamp(zoom_ - action.zoom, 0, last);  // in: fewer metres per column
            note_ = "zoom: " + FormatNumber(MetresPerColumn(), 0) + " m per column";
            break;
        }
        case Kind::Pause:
            paused_ = !paused_;
            sim_->SetPaused(paused_);
            note_ = paused_ ? "paused: objects keep their speeds but do not move" : "running";
            break;
        case Kind::KeyHelp:
            ShowKeyMap();
            break;
        case Kind::Quit:
            if (AskBox("Quit tavu fly", "Stop the editor, which saves every scenery it changed, and leave?",
                       true)) {
                quit_ = true;
            }
            break;
        case Kind::QuitNow:
            quit_ = true;
            break;
        case Kind::Redraw:
            console_.Repaint();
            break;
    }
}

void FlySession::SendChord(uint32_t keyCode, uint32_t modifiers) {
    sim::KeyChord chord{keyCode, modifiers};
    if (!sim_->Running()) {
        note_ = sim::FormatKeyChord(chord) + ": the editor is not running";
        return;
    }
    note_ = sim::FormatKeyChord(chord);
    sim_->PressKey(keyCode, modifiers);
}

void FlySession::RunFrames(int count) {
    for (int i = 0; i < count; ++i) {
        sim_->RunFrames(1);
        ++frames_;
        frameTimes_.push_back(console_.NowMs());
        TakeSample();
    }
    int64_t now = console_.NowMs();
    while (!frameTimes_.empty() && frameTimes_.front() <= now - kFpsWindowMs) {
        frameTimes_.pop_front();
    }
}

void FlySession::TakeSample() {
    const ObjectRecord* record = sim_->SelectedRecord();
    if (record == nullptr) {
        lastSample_.reset();
        motion_ = Motion{};
        return;
    }
    Sample now;
    now.scenery = sim_->player()->Current();
    now.index = sim_->SelectedIndex();
    now.record = *record;
    now.latMetres = PositionValue(record->lat);
    now.lonUnits = PositionValue(record->lon);
    now.alt = PositionValue(record->alt);
    double seconds = sim_->host().Global<uint16_t>(SG_FRAME_STEP) / 1000.0;
    if (lastSample_ && lastSample_->scenery == now.scenery && lastSample_->index == now.index &&
        seconds > 0) {
        const Sample& before = *lastSample_;
        double latitude = now.latMetres / sim::kEarthRadiusMetres;
        double parallel = std::max(sim::kEarthRadiusMetres * std::fabs(std::cos(latitude)), 1.0);
        double north = now.latMetres - before.latMetres;
        double east = WrapLonUnits(now.lonUnits - before.lonUnits) * 2 * kPi / kLonUnitsPerTurn * parallel;
        motion_.groundSpeed = std::hypot(north, east) / seconds;
        motion_.climb = (now.alt - before.alt) / seconds;
        motion_.headingRate = AngleStep(now.record.heading, before.record.heading) / seconds;
        motion_.pitchRate = AngleStep(now.record.pitch, before.record.pitch) / seconds;
        motion_.bankRate = AngleStep(now.record.bank, before.record.bank) / seconds;
        motion_.known = true;
    } else {
        motion_ = Motion{};
    }
    lastSample_ = now;
}

std::pair<double, double> FlySession::Offset(double latMetres, double lonUnits) const {
    double aircraftLat = sim_->LatitudeDegrees() * kPi / 180.0 * sim::kEarthRadiusMetres;
    double aircraftLon = sim_->LongitudeDegrees() * kLonUnitsPerTurn / 360.0;
    double parallel =
        std::max(sim::kEarthRadiusMetres * std::fabs(std::cos(aircraftLat / sim::kEarthRadiusMetres)), 1.0);
    double east = WrapLonUnits(lonUnits - aircraftLon) * 2 * kPi / kLonUnitsPerTurn * parallel;
    return {east, latMetres - aircraftLat};
}

Screen FlySession::Render() {
    ScreenSize size = console_.Size();
    Screen screen(std::max(size.width, 20), std::max(size.height, 8));
    DrawMain(screen);
    for (const auto& overlay : overlays_) {
        overlay(screen);
    }
    return screen;
}

void FlySession::DrawMain(Screen& screen) {
    int w = screen.width();
    int h = screen.height();
    // Title bar: what the map shows.
    screen.Fill(0, 0, w, 1, U' ', kTitle);
    std::string mpc = FormatNumber(MetresPerColumn(), 0);
    std::string title =
        " tavu fly   N↑   " + mpc + " m per column, " + FormatNumber(2 * MetresPerColumn(), 0) + " m per row";
    screen.Put(0, 0, title, kTitle);
    // Frames per second over the last second's frames.
    double fps = frameTimes_.size() >= 2 && frameTimes_.back() > frameTimes_.front()
                     ? static_cast<double>(frameTimes_.size() - 1) * 1000.0 /
                           static_cast<double>(frameTimes_.back() - frameTimes_.front())
                     : 0.0;
    std::string right = std::string(paused_ ? "paused  " : "") +
                        (sim_->Running() ? "editor running  " : "editor stopped  ") +
                        Format("%.1f fps ", fps);
    screen.Put(std::max(w - TextWidth(right), TextWidth(title) + 1), 0, right, kTitle);

    int mapTop = 1;
    int mapHeight = std::max(h - 6, 1);
    DrawMap(screen, mapTop, mapHeight);
    DrawStatus(screen, mapTop + mapHeight);
}

void FlySession::DrawMap(Screen& screen, int top, int height) {
    int w = screen.width();
    double mpc = MetresPerColumn();
    double mpr = 2 * mpc;
    int cx = w / 2;
    int cy = top + height / 2;
    auto cellOf = [&](double east, double north) {
        return std::pair<int, int>{cx + static_cast<int>(std::lround(east / mpc)),
                                   cy - static_cast<int>(std::lround(north / mpr))};
    };
    auto onMap = [&](int x, int y) { return x >= 0 && x < w && y >= top && y < top + height; };

    // Grid dots fixed to the ground, so that the aircraft's own moves show.
    double aircraftNorth = sim_->LatitudeDegrees() * kPi / 180.0 * sim::kEarthRadiusMetres;
    double parallel =
        std::max(sim::kEarthRadiusMetres * std::fabs(std::cos(aircraftNorth / sim::kEarthRadiusMetres)), 1.0);
    double aircraftEast = sim_->LongitudeDegrees() * kPi / 180.0 * parallel;
    double grid = kGridColumns * mpc;
    auto crosses = [&](double centre, double span) {
        return std::floor((centre + span / 2) / grid) != std::floor((centre - span / 2) / grid);
    };
    for (int y = top; y < top + height; ++y) {
        if (!crosses(aircraftNorth + (cy - y) * mpr, mpr)) {
            continue;
        }
        for (int x = 0; x < w; ++x) {
            if (crosses(aircraftEast + (x - cx) * mpc, mpc)) {
                screen.Set(x, y, U'·', kGrid);
            }
        }
    }

    auto drawRecord = [&](const ObjectRecord& record, Style style, bool groupColour) {
        auto [east, north] = Offset(PositionValue(record.lat), PositionValue(record.lon));
        auto [x, y] = cellOf(east, north);
        if (!onMap(x, y)) {
            return;
        }
        std::optional<CatalogMatch> match = FindEntry(record.objectKey);
        char32_t glyph = match ? kGroupGlyphs[match->group] : kUnknownGlyph;
        if (groupColour) {
            style.fg = ParseColour(match ? GroupColour(match->group) : kUnknownColour);
        }
        screen.Set(x, y, glyph, style);
    };

    sim::Player* player = sim_->player();
    int current = player->Current();
    for (int i = 0; i < player->SceneryCount(); ++i) {
        std::optional<sim::SceneryView> view = player->View(i);
        const sim::SceneryView* header = view ? &*view : nullptr;
        if (i == current || player->Deleted(i) || header == nullptr || header->records == nullptr) {
            continue;
        }
        for (int r = 0; r < header->count; ++r) {
            drawRecord(header->records[r], kOtherScenery, false);
        }
    }
    if (const sim::SceneryView* header = sim_->CurrentHeader();
        header != nullptr && header->records != nullptr) {
        int selected = sim_->SelectedIndex();
        for (int r = 0; r < header->count; ++r) {
            if (r != selected) {
                drawRecord(header->records[r], kBold, true);
            }
        }
        if (selected >= 0) {
            drawRecord(header->records[selected], kBold, true);
        }
    }

    // The marker where the editor's last draw put it.
    std::optional<sim::MarkerPosition> marker = sim_->Marker();
    if (const ObjectRecord* selected = sim_->SelectedRecord(); selected != nullptr && marker) {
        auto [east, north] = Offset(marker->lat, marker->lon);
        // The marker keeps whole metres of the record's position: within a
        // metre it stands on the object, and is drawn on the object's cell
        // rather than on a neighbour that rounding might pick.
        auto [objectEast, objectNorth] =
            Offset(selected->lat.integer, static_cast<double>(selected->lon.integer));
        if (std::hypot(east - objectEast, north - objectNorth) <= sim::kMarkerOnObjectMetres) {
            std::tie(east, north) = Offset(PositionValue(selected->lat), PositionValue(selected->lon));
        }
        auto [x, y] = cellOf(east, north);
        if (onMap(x, y)) {
            const Cell& cell = screen.At(x, y);
            screen.Set(x, y, cell.ch == U' ' || cell.ch == U'·' ? U'+' : cell.ch, kMarker);
            // The row by value: clang 14 cannot capture a structured binding.
            auto bracket = [&, row = y](int bx, char32_t ch) {
                if (onMap(bx, row) && (screen.At(bx, row).ch == U' ' || screen.At(bx, row).ch == U'·')) {
                    screen.Set(bx, row, ch, kBracket);
                }
            };
            bracket(x - 1, U'[');
            bracket(x + 1, U']');
        } else {
            // Off the map: an arrow on the edge, pointing at it.
            double dx = x - cx;
            double dy = y - cy;
            double t = std::min(dx != 0 ? (w / 2 - 1) / std::fabs(dx) : 1e9,
                                dy != 0 ? (height / 2 - 1) / std::fabs(dy) : 1e9);
            int ex = std::clamp(cx + static_cast<int>(dx * t), 0, w - 1);
            int ey = std::clamp(cy + static_cast<int>(dy * t), top, top + height - 1);
            double bearing = std::atan2(east, north) * 180.0 / kPi;
            screen.Set(ex, ey, kArrows[Octant(bearing)], kMarker);
        }
    }

    screen.Set(cx, cy, kArrows[Octant(sim_->HeadingDegrees())], kAircraft);
}

void FlySession::DrawStatus(Screen& screen, int top) {
    int w = screen.width();
    screen.Put(0, top, Clip(note_, w), kNote);

    std::string aircraft =
        Format("Aircraft %.6f", std::fabs(sim_->LatitudeDegrees())) +
        (sim_->LatitudeDegrees() < 0 ? "S " : "N ") + Format("%.6f", std::fabs(sim_->LongitudeDegrees())) +
        (sim_->LongitudeDegrees() < 0 ? "W" : "E") + "  alt " + FormatNumber(sim_->AltitudeMetres(), 0) +
        " m  hdg " + FormatNumber(sim::Normalise360(std::round(sim_->HeadingDegrees())), 0) + "°";
    std::string scenery;
    const sim::SceneryView* header = sim_->CurrentHeader();
    std::string path = sim_->CurrentPath();
    if (header == nullptr) {
        scenery = "no scenery";
    } else {
        scenery = fs::path(path).filename().string() + ": " +
                  Plural(static_cast<size_t>(std::max(header->count, 0)), "object");
    }
    screen.Put(0, top + 1, Clip(aircraft + "   " + scenery, w), kPlain);

    const ObjectRecord* record = sim_->SelectedRecord();
    std::string selection;
    std::string details;
    if (record == nullptr) {
        selection = "Nothing selected";
        details = header == nullptr || header->count == 0 ? "  i (or Insert) adds an object 50 m ahead"
                                                          : "  < > select an object";
    } else {
        std::string name = sim::CatalogLabel(*record).value_or("unknown object");
        auto [east, north] = Offset(PositionValue(record->lat), PositionValue(record->lon));
        double distance = std::hypot(east, north);
        std::string where =
            FormatNumber(std::round(distance), 0) + " m" +
            (distance < 0.5 ? ""
                            : std::string(" ") + kCompass[Octant(std::atan2(east, north) * 180.0 / kPi)]);
        selection = "Selected #" + std::to_string(sim_->SelectedIndex()) + " of " +
                    std::to_string(header->count) + ": " + name + ", " + where;
        sim::RecordAngles angles = sim::AnglesOf(*record);
        details = "  scale " + ReadScale(record->scale).text + "  range " +
                  std::to_string(record->maxDistance) + " m  hdg " + FormatNumber(angles.heading, 1) +
                  "° pitch " + FormatNumber(angles.pitch, 1) + "° bank " + FormatNumber(angles.bank, 1) + "°";
        std::string motion;
        if (paused_) {
            motion = "paused";
        } else if (motion_.known) {
            auto part = [&](double value, const char* text, const char* unit) {
                if (std::fabs(value) >= 0.05) {
                    motion += (motion.empty() ? "" : ", ") + std::string(text) + Format("%.1f", value) + unit;
                }
            };
            part(motion_.groundSpeed, "", " m/s");
            part(motion_.climb, "climb ", " m/s");
            part(motion_.headingRate, "turn ", "°/s");
            part(motion_.pitchRate, "pitch ", "°/s");
            part(motion_.bankRate, "bank ", "°/s");
            if (motion.empty()) {
                motion = "at rest";
            }
        }
        if (!motion.empty()) {
            details += "  " + motion;
        }
    }
    screen.Put(0, top + 2, Clip(selection, w), kBold);
    screen.Put(0, top + 3, Clip(details, w), kPlain);
    // Most needed first; whatever does not fit whole is left out.
    static const char* const kHelpItems[] = {"q quit",      "h keys", "wasd rf ,. aircraft",
                                             "arrows move", "i add",  "x delete",
                                             "< > select",  "e edit", "+ - zoom"};
    std::string help;
    for (const char* item : kHelpItems) {
        if (TextWidth(help) + 2 + TextWidth(item) <= w) {
            help += (help.empty() ? "" : "  ") + std::string(item);
        }
    }
    screen.Fill(0, top + 4, w, 1, U' ', kReverse);
    screen.Put(0, top + 4, help, kReverse);
}

std::map<std::string, FlySession::FileState> FlySession::SnapshotFolder() const {
    std::map<std::string, FileState> files;
    std::error_code code;
    for (fs::directory_iterator it(folder_, code), end; !code && it != end; it.increment(code)) {
        std::error_code entryCode;
        if (!it->is_regular_file(entryCode) || !IsSceneryFile(it->path())) {
            continue;
        }
        FileState state;
        state.size = it->file_size(entryCode);
        state.time = it->last_write_time(entryCode);
        files[it->path().filename().string()] = state;
    }
    return files;
}

void FlySession::Finish() {
    if (finished_ || !sim_) {
        return;
    }
    finished_ = true;
    if (sim_->Running()) {
        int32_t running = 0;
        sim_->Stop(&running);
    }
    std::vector<std::string> saved;
    std::map<std::string, FileState> files = SnapshotFolder();
    for (const auto& [name, state] : files) {
        auto before = filesAtStart_.find(name);
        if (before != filesAtStart_.end() && before->second.size == state.size &&
            before->second.time == state.time) {
            continue;
        }
        std::string entry = name;
        if (std::optional<std::vector<uint8_t>> bytes =
                sim::ReadFileBytes(folder_ + "/" + name, kMaxToolFileBytes, nullptr)) {
            sim::SceneryFile file = sim::ReadSceneryFile(*bytes);
            if (file.hasHeader) {
                entry += " (" + Plural(static_cast<size_t>(std::max(file.header.count, 0)), "object") + ")";
            }
        }
        saved.push_back(entry);
    }
    std::vector<std::string> removed;
    for (const auto& [name, state] : filesAtStart_) {
        if (files.count(name) == 0) {
            removed.push_back(name);
        }
    }
    if (saved.empty() && removed.empty()) {
        summary_ = "tavu fly: editor stopped; no scenery file changed in " + folder_;
        return;
    }
    summary_ = "tavu fly: editor stopped; ";
    if (!saved.empty()) {
        summary_ += "saved " + Plural(saved.size(), "scenery file") + " in " + folder_ + ":";
        for (size_t i = 0; i < saved.size(); ++i) {
            summary_ += (i == 0 ? " " : ", ") + saved[i];
        }
    }
    if (!removed.empty()) {
        summary_ += std::string(saved.empty() ? "" : "; ") + "removed from " + folder_ + ":";
        for (size_t i = 0; i < removed.size(); ++i) {
            summary_ += (i == 0 ? " " : ", ") + removed[i];
        }
    }
}

}  // namespace tavu::fly
