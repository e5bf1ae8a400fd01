#include "sim/player.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "platform/native.h"

namespace sim {

namespace {

Player* activePlayer = nullptr;

SceneryHandle* TAVU_CALL SelectSceneryEntry(ReleaseCallback release, int32_t mode) {
    return activePlayer->SelectScenery(release, mode);
}
const uint8_t* TAVU_CALL FilePrefixEntry() { return activePlayer->FilePrefix(); }
const char* TAVU_CALL FilePathEntry() { return activePlayer->FilePath(); }
void TAVU_CALL DeleteSceneryEntry() { activePlayer->DeleteScenery(); }

HMODULE PlayerModuleHandle(Player* player) { return reinterpret_cast<HMODULE>(player); }

// Names compare without case, as on the file systems the product runs on.
std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool EndsWithNoCase(const std::string& name, const std::string& suffix) {
    return name.size() >= suffix.size() && Lower(name.substr(name.size() - suffix.size())) == Lower(suffix);
}

constexpr char kSavingSuffix[] = ".saving";  // the editor's temporary name while it saves
constexpr int kMaxNewSceneryNumber = 99999;

std::string NewSceneryName(int number) {
    char name[32];
    snprintf(name, sizeof name, "scenery-%03d%s", number, kSceneryFileExtension);
    return name;
}

SceneryHeaderFields EmptyBounds(uint32_t flags) {
    SceneryHeaderFields fields;
    fields.minLat = fields.minLon = INT32_MAX;
    fields.maxLat = fields.maxLon = INT32_MIN;
    fields.flags = flags;
    return fields;
}

}  // namespace

Player::Player(Host& host, bool registerModule)
    : host_(host), registered_(registerModule), prefix_(SceneryPrefix()) {
    linkage_[PLAYER_SLOT_SELECT_SCENERY] = reinterpret_cast<HostWord>(&SelectSceneryEntry);
    linkage_[PLAYER_SLOT_FILE_PREFIX] = reinterpret_cast<HostWord>(&FilePrefixEntry);
    linkage_[PLAYER_SLOT_FILE_PATH] = reinterpret_cast<HostWord>(&FilePathEntry);
    linkage_[PLAYER_SLOT_DELETE_SCENERY] = reinterpret_cast<HostWord>(&DeleteSceneryEntry);
    if (registered_) {
        platform::RegisterModule(kPlayerModuleName, PlayerModuleHandle(this), {{"Linkage", linkage_}});
    }
    previous_ = activePlayer;
    activePlayer = this;
}

Player::~Player() {
    for (Scenery& scenery : sceneries_) {
        FreeScenery(scenery);
    }
    if (registered_) {
        platform::UnregisterModule(PlayerModuleHandle(this));
    }
    activePlayer = previous_;
}

Player* Player::Active() { return activePlayer; }

int Player::AddScenery(const std::string& path, const std::vector<ObjectRecord>& records, uint32_t flags) {
    SceneryHeaderFields fields = EmptyBounds(flags);
    fields.count = static_cast<int32_t>(records.size());
    fields.sizeBytes = static_cast<int32_t>(records.size() * sizeof(ObjectRecord));
    return Adopt(path, fields, records.data());
}

// Header and records go into host blocks, as the editor expects of any
// scenery it is handed.
int Player::Adopt(const std::string& path, const SceneryHeaderFields& fields, const ObjectRecord* records) {
    Scenery scenery;
    scenery.path = path;
    scenery.header = static_cast<SceneryHeader*>(host_.AllocateBlock(sizeof(SceneryHeader)));
    memset(scenery.header, 0, sizeof(SceneryHeader));
    scenery.header->minLat = fields.minLat;
    scenery.header->maxLat = fields.maxLat;
    scenery.header->minLon = fields.minLon;
    scenery.header->maxLon = fields.maxLon;
    scenery.header->flags = fields.flags;
    if (fields.count > 0) {
        size_t bytes = static_cast<size_t>(fields.count) * sizeof(ObjectRecord);
        scenery.header->records = static_cast<ObjectRecord*>(host_.AllocateBlock(bytes));
        memcpy(scenery.header->records, records, bytes);
        scenery.header->count = fields.count;
        scenery.header->sizeBytes = static_cast<int32_t>(bytes);
    }
    scenery.handle.capacityBytes = scenery.header->sizeBytes;
    sceneries_.push_back(scenery);
    Scenery& stored = sceneries_.back();
    stored.handle.header = &stored.header;
    return static_cast<int>(sceneries_.size()) - 1;
}

int Player::OpenFolder(const std::string& folder, std::vector<std::string>* messages) {
    auto say = [messages](std::string message) {
        if (messages != nullptr) {
            messages->push_back(std::move(message));
        }
    };
    hasFolder_ = true;
    folder_ = folder;
    std::error_code code;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
        names.push_back(it->path().filename().string());
    }
    if (code) {
        say(folder + ": cannot read the folder: " + code.message());
        return 0;
    }
    std::sort(names.begin(), names.end());
    int loaded = 0;
    for (const std::string& name : names) {
        if (EndsWithNoCase(name, std::string(kSceneryFileExtension) + kSavingSuffix)) {
            say(name + ": left over from an interrupted save; ignored");
            continue;
        }
        if (!EndsWithNoCase(name, kSceneryFileExtension)) {
            continue;
        }
        std::string path = (std::filesystem::path(folder) / name).string();
        if (Find(path) >= 0) {
            continue;
        }
        std::string error;
        std::optional<std::vector<uint8_t>> bytes = ReadFileBytes(path, kMaxSceneryFileBytes, &error);
        if (!bytes) {
            say(name + ": not loaded: " + error);
            continue;
        }
        SceneryFile file = ReadSceneryFile(*bytes);
        if (!file.ok()) {
            size_t more = file.ErrorCount() - 1;
            say(name + ": not loaded: " + file.FirstError()->message +
                (more == 0 ? std::string() : " (and " + std::to_string(more) + " more faults)"));
            continue;
        }
        // What is in memory is what is on disk.
        SceneryHeaderFields fields = file.header;
        fields.flags &= ~static_cast<uint32_t>(MODIFIED);
        Adopt(path, fields, file.records.data());
        ++loaded;
    }
    return loaded;
}

int Player::Find(const std::string& path) const {
    for (int i = 0; i < SceneryCount(); ++i) {
        if (!sceneries_[i].deleted && Lower(sceneries_[i].path) == Lower(path)) {
            return i;
        }
    }
    return -1;
}

std::vector<ObjectRecord> Player::Records(int index) const {
    const SceneryHeader* header = sceneries_[index].header;
    if (header == nullptr || header->records == nullptr) {
        return {};
    }
    return std::vector<ObjectRecord>(header->records, header->records + header->count);
}

int Player::NextInTurn() const {
    int n = SceneryCount();
    for (int step = 1; step <= n; ++step) {
        int candidate = (current_ + step + n) % n;
        if (!sceneries_[candidate].deleted && candidate != current_) {
            return candidate;
        }
    }
    return -1;
}

double Player::DistanceTo(int index) const {
    const Scenery& scenery = sceneries_[index];
    if (scenery.deleted || scenery.header == nullptr || scenery.header->minLat > scenery.header->maxLat) {
        return -1.0;
    }
    const SceneryHeader& box = *scenery.header;
    int32_t lat = host_.Global<int32_t>(SG_AIRCRAFT_LAT + 4);
    uint32_t lon = host_.Global<uint32_t>(SG_AIRCRAFT_LON + 4);
    int64_t latGap = 0;
    if (lat < box.minLat) {
        latGap = int64_t{box.minLat} - lat;
    } else if (lat > box.maxLat) {
        latGap = int64_t{lat} - box.maxLat;
    }
    // Longitude wraps: the box runs east from minLon to maxLon, and the gap
    // is the shorter way round to either edge.
    uint32_t minLon = static_cast<uint32_t>(box.minLon);
    uint32_t maxLon = static_cast<uint32_t>(box.maxLon);
    uint32_t lonGap = 0;
    if (lon - minLon > maxLon - minLon) {
        lonGap = std::min(minLon - lon, lon - maxLon);
    }
    int32_t lonGapUnits = static_cast<int32_t>(std::min<uint32_t>(lonGap, INT32_MAX));
    double lonGapMetres = LonUnitsToMetres(lonGapUnits, lat);
    return std::hypot(static_cast<double>(latGap), lonGapMetres);
}

std::vector<int> Player::NearInOrder() const {
    struct Near {
        double distance;
        double area;
        int index;
    };
    std::vector<Near> near;
    for (int i = 0; i < SceneryCount(); ++i) {
        double distance = DistanceTo(i);
        if (distance < 0 || distance > reachMetres) {
            continue;
        }
        const SceneryHeader& box = *sceneries_[i].header;
        // Longitude units stand in for metres: every box is measured at the
        // aircraft's latitude, so the scale is common to all.
        double latSpan = static_cast<double>(int64_t{box.maxLat} - box.minLat);
        double lonSpan = static_cast<double>(static_cast<uint32_t>(box.maxLon) - static_cast<uint32_t>(box.minLon));
        near.push_back({distance, latSpan * lonSpan, i});
    }
    std::sort(near.begin(), near.end(), [](const Near& a, const Near& b) {
        return std::tie(a.distance, a.area, a.index) < std::tie(b.distance, b.area, b.index);
    });
    std::vector<int> order;
    for (const Near& n : near) {
        order.push_back(n.index);
    }
    return order;
}

int Player::ChooseByPlace(int32_t mode) {
    std::vector<int> near = NearInOrder();
    if (mode == 0) {
        return near.empty() ? -1 : near.front();
    }
    size_t n = near.size();
    size_t start = 0;
    auto current = std::find(near.begin(), near.end(), current_);
    if (current != near.end()) {
        start = static_cast<size_t>(current - near.begin()) + 1;
    }
    for (size_t step = 0; step < n; ++step) {
        int candidate = near[(start + step) % n];
        if (candidate != current_) {
            return candidate;
        }
    }
    return EmptyNewScenery();
}

int Player::EmptyNewScenery() {
    auto unsavedEmpty = [this](int index) {
        const Scenery& scenery = sceneries_[index];
        std::error_code code;
        return scenery.made && !scenery.deleted && scenery.header != nullptr && scenery.header->records == nullptr &&
               !std::filesystem::exists(scenery.path, code);
    };
    if (current_ >= 0 && unsavedEmpty(current_)) {
        return current_;
    }
    for (int i = 0; i < SceneryCount(); ++i) {
        if (unsavedEmpty(i)) {
            return i;
        }
    }
    for (int number = 1; number <= kMaxNewSceneryNumber; ++number) {
        std::string name = NewSceneryName(number);
        if (!NameTaken(name)) {
            int index = Adopt((std::filesystem::path(folder_) / name).string(), EmptyBounds(0), nullptr);
            sceneries_[index].made = true;
            return index;
        }
    }
    return -1;
}

bool Player::NameTaken(const std::string& name) const {
    if (Find((std::filesystem::path(folder_) / name).string()) >= 0) {
        return true;
    }
    std::string lower = Lower(name);
    std::string saving = lower + kSavingSuffix;
    std::error_code code;
    for (std::filesystem::directory_iterator it(folder_, code), end; !code && it != end; it.increment(code)) {
        std::string entry = Lower(it->path().filename().string());
        if (entry == lower || entry == saving) {
            return true;
        }
    }
    return false;
}

void Player::ReleaseCurrent() {
    if (release_ != nullptr) {
        ++releaseCalls_;
        release_();
    }
    current_ = -1;
}

SceneryHandle* Player::SelectScenery(ReleaseCallback release, int32_t mode) {
    modes_.push_back(mode);
    if (handOutNothing_) {
        return nullptr;
    }
    int next = chooser ? chooser(mode) : hasFolder_ ? ChooseByPlace(mode) : NextInTurn();
    if (next < 0 || next >= SceneryCount() || sceneries_[next].deleted) {
        return nullptr;
    }
    // The editor gives the old scenery back before it sees a new one.
    if (current_ >= 0) {
        ReleaseCurrent();
    }
    release_ = release;
    current_ = next;
    return &sceneries_[next].handle;
}

const char* Player::FilePath() const { return current_ >= 0 ? sceneries_[current_].path.c_str() : ""; }

void Player::DeleteScenery() {
    if (current_ < 0) {
        return;
    }
    int index = current_;
    ReleaseCurrent();
    Scenery& scenery = sceneries_[index];
    DeleteFileA(scenery.path.c_str());
    FreeScenery(scenery);
    scenery.deleted = true;
}

void Player::FreeScenery(Scenery& scenery) {
    if (scenery.header != nullptr) {
        // The editor may have replaced the array: read the pointer afresh.
        host_.FreeBlock(scenery.header->records);
        host_.FreeBlock(scenery.header);
        scenery.header = nullptr;
    }
}

}  // namespace sim
