// The emulated player module, "TAVUPlay.DLL": owns sceneries in memory
// (header and records in blocks from the host's allocator), hands one at a
// time to the editor and keeps the release protocol: the editor's release
// callback runs before another scenery is handed out and before a scenery is
// deleted.
//
// Sceneries come from AddScenery or from a folder of scenery files
// (OpenFolder). Which one a select request hands out:
//   - a chooser, when set, decides;
//   - otherwise, without a folder, the sceneries go in turn, skipping deleted
//     ones and the current one;
//   - otherwise by place, from the aircraft position in SimGlobals. A
//     scenery's place is its header box; one with empty bounds (minLat >
//     maxLat, as a never-saved scenery has) is nowhere. Sceneries "near" the
//     aircraft are those whose box lies within reachMetres, ordered by
//     distance to the box, then by box area (smallest first), then by index.
//       mode 0 (editor start): the first near scenery, which is the smallest
//         box holding the aircraft if any holds it, else the nearest one;
//         none when nothing is within reach. The current one may be chosen
//         again: at editor start the editor holds nothing.
//       any other mode (1: the 'L' key, or adding an object with no scenery
//         current): the near scenery after the current one in that order,
//         wrapping round, never the current one; when there is no other, a
//         new empty scenery. A new scenery is named "scenery-NNN.tsc" in the
//         folder, the first number whose name no file (good, malformed or a
//         save's ".saving" leftover) and no held scenery takes; it has empty
//         bounds, no record array and flags 0, and its file appears only when
//         the editor first saves it. While a new scenery is still empty and
//         unsaved it is handed out again instead of making another.
// Malformed files are never loaded, so never handed out or written.
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
#include "sim/scenery_file.h"

namespace sim {

inline constexpr char kPlayerModuleName[] = "TAVUPlay.DLL";
inline constexpr char kSceneryFileExtension[] = ".tsc";
inline constexpr double kDefaultReachMetres = 20000.0;

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
    // Loads every "*.tsc" file (any case) directly in the folder, in name
    // order, and places new sceneries there from now on. Files that are not
    // sound scenery files are skipped with a message naming the file and the
    // fault; ".saving" leftovers of an interrupted save are ignored. Returns
    // how many sceneries it loaded.
    int OpenFolder(const std::string& folder, std::vector<std::string>* messages);
    bool HasFolder() const { return hasFolder_; }
    const std::string& Folder() const { return folder_; }

    int SceneryCount() const { return static_cast<int>(sceneries_.size()); }
    bool Deleted(int index) const { return sceneries_[index].deleted; }
    SceneryHeader* Header(int index) const { return sceneries_[index].header; }
    SceneryHandle* Handle(int index) { return &sceneries_[index].handle; }
    const std::string& Path(int index) const { return sceneries_[index].path; }
    std::vector<ObjectRecord> Records(int index) const;
    // The scenery held under this path, or -1.
    int Find(const std::string& path) const;

    // Which scenery a select request hands out: the chooser gets the mode and
    // returns an index, or -1 for none. Without one, see the top of the file.
    std::function<int(int32_t mode)> chooser;
    void HandOutNothing(bool nothing) { handOutNothing_ = nothing; }
    // How far from the aircraft a scenery still counts as near.
    double reachMetres = kDefaultReachMetres;
    // Distance in metres from the aircraft to a scenery's box (0 inside), or
    // a negative value for a scenery that is nowhere.
    double DistanceTo(int index) const;

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
        bool made = false;  // made by the player for a select request, not read from a file
    };

    int Adopt(const std::string& path, const SceneryHeaderFields& fields, const ObjectRecord* records);
    int NextInTurn() const;
    int ChooseByPlace(int32_t mode);
    std::vector<int> NearInOrder() const;
    int EmptyNewScenery();
    bool NameTaken(const std::string& name) const;
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
    bool hasFolder_ = false;
    std::string folder_;
    Player* previous_ = nullptr;
};

}  // namespace sim
