#include "sim/player.h"

#include <string.h>

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

}  // namespace

std::array<uint8_t, SCENERY_PREFIX_BYTES> SceneryPrefix() {
    std::array<uint8_t, SCENERY_PREFIX_BYTES> prefix{};
    memcpy(prefix.data(), kSceneryMagic, sizeof kSceneryMagic - 1);
    for (int i = 0; i < 4; ++i) {
        prefix[12 + i] = static_cast<uint8_t>(kSceneryFormatVersion >> (8 * i));
    }
    return prefix;
}

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
    Scenery scenery;
    scenery.path = path;
    scenery.header = static_cast<SceneryHeader*>(host_.AllocateBlock(sizeof(SceneryHeader)));
    memset(scenery.header, 0, sizeof(SceneryHeader));
    scenery.header->flags = flags;
    scenery.header->minLat = scenery.header->minLon = INT32_MAX;
    scenery.header->maxLat = scenery.header->maxLon = INT32_MIN;
    if (!records.empty()) {
        size_t bytes = records.size() * sizeof(ObjectRecord);
        scenery.header->records = static_cast<ObjectRecord*>(host_.AllocateBlock(bytes));
        memcpy(scenery.header->records, records.data(), bytes);
        scenery.header->count = static_cast<int32_t>(records.size());
        scenery.header->sizeBytes = static_cast<int32_t>(bytes);
    }
    scenery.handle.capacityBytes = scenery.header->sizeBytes;
    sceneries_.push_back(scenery);
    Scenery& stored = sceneries_.back();
    stored.handle.header = &stored.header;
    return static_cast<int>(sceneries_.size()) - 1;
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
    int next = chooser ? chooser(mode) : NextInTurn();
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
