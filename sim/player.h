// The emulated player module, "TAVUPlay.DLL": owns sceneries in memory
// (header and records in blocks from the host's allocator), hands one at a
// time to the editor and keeps the release protocol: the editor's release
// callback runs before another scenery is handed out and before a scenery is
// deleted.
#pragma once

#include <stdint.h>

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "module/player.h"
#include "scenery/record.h"
#include "sim/host.h"

namespace sim {

inline constexpr char kPlayerModuleName[] = "TAVUPlay.DLL";
// The player's file prefix: a magic and a little-endian version word.
inline constexpr char kSceneryMagic[] = "TAVU-SCENERY";
inline constexpr uint32_t kSceneryFormatVersion = 1;
std::array<uint8_t, SCENERY_PREFIX_BYTES> SceneryPrefix();

class Player {
public:
    // Registers itself under kPlayerModuleName unless told it is absent.
    explicit Player(Host& host, bool registerModule = true);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    static Player* Active();

    // Adds a scenery the player owns; returns its index.
    int AddScenery(const std::string& path, const std::vector<ObjectRecord>& records = {}, uint32_t flags = 0);
    int SceneryCount() const { return static_cast<int>(sceneries_.size()); }
    bool Deleted(int index) const { return sceneries_[index].deleted; }
    SceneryHeader* Header(int index) const { return sceneries_[index].header; }
    SceneryHandle* Handle(int index) { return &sceneries_[index].handle; }
    const std::string& Path(int index) const { return sceneries_[index].path; }
    std::vector<ObjectRecord> Records(int index) const;

    // Which scenery a select request hands out: the chooser gets the mode and
    // returns an index, or -1 for none. By default the sceneries are handed
    // out in turn, skipping deleted ones and the current one.
    std::function<int(int32_t mode)> chooser;
    void HandOutNothing(bool nothing) { handOutNothing_ = nothing; }

    int Current() const { return current_; }
    int ReleaseCalls() const { return releaseCalls_; }
    std::vector<int32_t> RequestedModes() const { return modes_; }
    const HostWord* Linkage() const { return linkage_; }

    // Takes back the current scenery through the editor's release callback.
    void ReleaseCurrent();

    // Player operations, reached through the Linkage slots.
    SceneryHandle* SelectScenery(ReleaseCallback release, int32_t mode);
    const uint8_t* FilePrefix() const { return prefix_.data(); }
    const char* FilePath() const;
    void DeleteScenery();

private:
    struct Scenery {
        std::string path;
        SceneryHeader* header = nullptr;  // the cell the handle points at
        SceneryHandle handle{};
        bool deleted = false;
    };

    int NextInTurn() const;
    void FreeScenery(Scenery& scenery);

    Host& host_;
    bool registered_;
    HostWord linkage_[PLAYER_LINKAGE_MIN_WORDS] = {};
    std::deque<Scenery> sceneries_;  // stable addresses: handles point into it
    std::array<uint8_t, SCENERY_PREFIX_BYTES> prefix_;
    ReleaseCallback release_ = nullptr;
    int current_ = -1;
    int releaseCalls_ = 0;
    bool handOutNothing_ = false;
    std::vector<int32_t> modes_;
    Player* previous_ = nullptr;
};

}  // namespace sim
