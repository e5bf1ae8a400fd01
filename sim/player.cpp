#include "sim/player.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <system_error>
#include <tuple>

#include "platform/native.h"

namespace sim {

namespace {

Player* activePlayer = nullptr;

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

Player::Player(Host& host, bool registerModule) : host_(host), registered_(registerModule) {
    std::array<uint8_t, SCENERY_PREFIX_BYTES> prefix = SceneryPrefix();
    prefix_ = Own(prefix.data(), prefix.size());
    std::vector<uint8_t> words(PLAYER_LINKAGE_MIN_WORDS * space().PointerBytes(), 0);
    linkage_ = Own(words.data(), words.size());
    const std::pair<int, HostFunction> slots[] = {{PLAYER_SLOT_SELECT_SCENERY, HostFunction::PlayerSelectScenery},
                                                  {PLAYER_SLOT_FILE_PREFIX, HostFunction::PlayerFilePrefix},
                                                  {PLAYER_SLOT_FILE_PATH, HostFunction::PlayerFilePath},
                                                  {PLAYER_SLOT_DELETE_SCENERY, HostFunction::PlayerDeleteScenery}};
    for (auto [slot, function] : slots) {
        space().WritePointer(linkage_ + static_cast<ModuleAddress>(slot) * space().PointerBytes(),
                             space().HostEntry(function));
    }
    if (registered_) {
        platform::RegisterModule(kPlayerModuleName, PlayerModuleHandle(this),
                                 {{"Linkage", space().Native(linkage_, words.size())}});
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
    for (ModuleAddress block : owned_) {
        space().Free(block);
    }
    activePlayer = previous_;
}

ModuleAddress Player::Own(const void* bytes, size_t size) {
    ModuleAddress block = space().Allocate(size);
    memcpy(space().Native(block, size), bytes, size);
    owned_.push_back(block);
    return block;
}

ModuleAddress Player::HeaderAddress(int index) const { return space().ReadPointer(sceneries_[index].cell); }

SceneryHeader* Player::Header(int index) const {
    return reinterpret_cast<SceneryHeader*>(static_cast<uintptr_t>(HeaderAddress(index)));
}

std::optional<SceneryView> Player::View(int index) const {
    ModuleAddress header = HeaderAddress(index);
    if (header == 0) {
        return std::nullopt;
    }
    ModuleSpace& memory = space();
    SceneryLayout at = layout();
    SceneryView view{};
    view.minLat = memory.Read<int32_t>(header + 0);
    view.maxLat = memory.Read<int32_t>(header + 4);
    view.minLon = memory.Read<int32_t>(header + 8);
    view.maxLon = memory.Read<int32_t>(header + 12);
    view.flags = memory.Read<uint32_t>(header + 16);
    view.sizeBytes = memory.Read<int32_t>(header + at.sizeBytes());
    view.count = memory.Read<int32_t>(header + at.count());
    ModuleAddress records = memory.ReadPointer(header + at.records());
    if (records != 0 && view.count > 0) {
        view.records = reinterpret_cast<const ObjectRecord*>(
            memory.Native(records, static_cast<size_t>(view.count) * sizeof(ObjectRecord)));
    }
    ModuleAddress handle = sceneries_[index].handle;
    view.capacityBytes = memory.Read<int32_t>(handle + at.capacityBytes());
    view.currentIndex = memory.Read<int32_t>(handle + at.currentIndex());
    return view;
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
    ModuleSpace& memory = space();
    SceneryLayout at = layout();
    Scenery scenery;
    scenery.path = path;
    ModuleAddress header = host_.AllocateBlock(at.headerBytes());
    memset(memory.Native(header, at.headerBytes()), 0, at.headerBytes());
    memory.Write<int32_t>(header + 0, fields.minLat);
    memory.Write<int32_t>(header + 4, fields.maxLat);
    memory.Write<int32_t>(header + 8, fields.minLon);
    memory.Write<int32_t>(header + 12, fields.maxLon);
    memory.Write<uint32_t>(header + 16, fields.flags);
    int32_t sizeBytes = 0;
    if (fields.count > 0) {
        size_t bytes = static_cast<size_t>(fields.count) * sizeof(ObjectRecord);
        ModuleAddress array = host_.AllocateBlock(bytes);
        memcpy(memory.Native(array, bytes), records, bytes);
        memory.WritePointer(header + at.records(), array);
        memory.Write<int32_t>(header + at.count(), fields.count);
        sizeBytes = static_cast<int32_t>(bytes);
        memory.Write<int32_t>(header + at.sizeBytes(), sizeBytes);
    }
    std::vector<uint8_t> cell(at.pointer, 0);
    scenery.cell = Own(cell.data(), cell.size());
    memory.WritePointer(scenery.cell, header);
    std::vector<uint8_t> handle(at.handleBytes(), 0);
    scenery.handle = Own(handle.data(), handle.size());
    memory.WritePointer(scenery.handle, scenery.cell);
    memory.Write<int32_t>(scenery.handle + at.capacityBytes(), sizeBytes);
    scenery.pathText = Own(path.c_str(), path.size() + 1);
    sceneries_.push_back(scenery);
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
        if (int held = Find(path); held >= 0) {
            // Names compare without case, so a file whose twin differs only
            // in case stays hidden behind the one loaded first.
            std::string twin = std::filesystem::path(sceneries_[held].path).filename().string();
            if (twin != name) {
                say(name + ": not loaded: the same name as " + twin + " but for case, and " + twin +
                    " is loaded");
            }
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
    std::optional<SceneryView> view = View(index);
    if (!view || view->records == nullptr) {
        return {};
    }
    return std::vector<ObjectRecord>(view->records, view->records + view->count);
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
    std::optional<SceneryView> view = View(index);
    if (sceneries_[index].deleted || !view || view->minLat > view->maxLat) {
        return -1.0;
    }
    const SceneryView& box = *view;
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
        const SceneryView box = *View(i);
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
        std::optional<SceneryView> view = View(index);
        return scenery.made && !scenery.deleted && view && view->records == nullptr &&
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
    std::set<std::string> taken = TakenNames();
    for (int number = 1; number <= kMaxNewSceneryNumber; ++number) {
        std::string name = NewSceneryName(number);
        if (taken.count(Lower(name)) == 0) {
            int index = Adopt((std::filesystem::path(folder_) / name).string(), EmptyBounds(0), nullptr);
            sceneries_[index].made = true;
            return index;
        }
    }
    return -1;
}

// Every name, in lower case, that a new scenery may not take: the folder's
// entries (a ".saving" leftover holds the name it was saving to) and the
// sceneries held there. One pass over the folder, whatever its size.
std::set<std::string> Player::TakenNames() const {
    std::set<std::string> taken;
    const std::string saving = Lower(std::string(kSceneryFileExtension) + kSavingSuffix);
    std::error_code code;
    for (std::filesystem::directory_iterator it(folder_, code), end; !code && it != end; it.increment(code)) {
        std::string entry = Lower(it->path().filename().string());
        if (EndsWithNoCase(entry, saving)) {
            taken.insert(entry.substr(0, entry.size() - strlen(kSavingSuffix)));
        }
        taken.insert(std::move(entry));
    }
    const std::string inFolder = Lower((std::filesystem::path(folder_) / "").string());
    for (const Scenery& scenery : sceneries_) {
        std::string path = Lower(scenery.path);
        if (!scenery.deleted && path.rfind(inFolder, 0) == 0) {
            taken.insert(path.substr(inFolder.size()));
        }
    }
    return taken;
}

void Player::ReleaseCurrent() {
    if (release_ != 0) {
        ++releaseCalls_;
        space().CallRelease(release_);
    }
    current_ = -1;
}

ModuleAddress Player::SelectScenery(ModuleAddress release, int32_t mode) {
    modes_.push_back(mode);
    if (handOutNothing_) {
        return 0;
    }
    int next = chooser ? chooser(mode) : hasFolder_ ? ChooseByPlace(mode) : NextInTurn();
    if (next < 0 || next >= SceneryCount() || sceneries_[next].deleted) {
        return 0;
    }
    // The editor gives the old scenery back before it sees a new one.
    if (current_ >= 0) {
        ReleaseCurrent();
    }
    release_ = release;
    current_ = next;
    return sceneries_[next].handle;
}

ModuleAddress Player::FilePathAddress() const { return current_ >= 0 ? sceneries_[current_].pathText : 0; }

void Player::DeleteScenery() {
    if (current_ < 0) {
        return;
    }
    int index = current_;
    ReleaseCurrent();
    Scenery& scenery = sceneries_[index];
    // A new scenery never saved has no file to remove: only another failure
    // is worth a word.
    errno = 0;
    if (!DeleteFileA(scenery.path.c_str()) && errno != ENOENT && onDeleteFailed) {
        onDeleteFailed(scenery.path, errno);
    }
    FreeScenery(scenery);
    scenery.deleted = true;
}

void Player::FreeScenery(Scenery& scenery) {
    ModuleAddress header = space().ReadPointer(scenery.cell);
    if (header != 0) {
        // The editor may have replaced the array: read the pointer afresh.
        host_.FreeBlock(space().ReadPointer(header + layout().records()));
        host_.FreeBlock(header);
        space().WritePointer(scenery.cell, 0);
    }
}

}  // namespace sim
