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
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "module/player.h"
#include "scenery/record.h"
#include "sim/host.h"
#include "sim/scenery_file.h"

namespace sim {

inline constexpr char kPlayerModuleName[] = "TAVUPlay.DLL";
inline constexpr char kSceneryFileExtension[] = ".tsc";
// Added to a scenery file's name while the editor saves it.
inline constexpr char kSavingSuffix[] = ".saving";
inline constexpr double kDefaultReachMetres = 20000.0;

// A scenery as the player holds it, read through the module's memory: the
// same in both kinds of module.
struct SceneryView {
    int32_t minLat, maxLat, minLon, maxLon;
    uint32_t flags;
    int32_t sizeBytes, count;
    const ObjectRecord* records;  // native view of the record array, or null
    int32_t capacityBytes, currentIndex;
};

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
    // fault, and so is a file whose name differs only in case from one
    // already held; ".saving" leftovers of an interrupted save are ignored. Returns
    // how many sceneries it loaded.
    int OpenFolder(const std::string& folder, std::vector<std::string>* messages);
    bool HasFolder() const { return hasFolder_; }
    const std::string& Folder() const { return folder_; }

    int SceneryCount() const { return static_cast<int>(sceneries_.size()); }
    bool Deleted(int index) const { return sceneries_[index].deleted; }
    // The scenery's header and handle; null once it is deleted.
    std::optional<SceneryView> View(int index) const;
    ModuleAddress HeaderAddress(int index) const;
    ModuleAddress HandleAddress(int index) const { return sceneries_[index].handle; }
    // The same as the linked-in module sees them (native layouts).
    SceneryHeader* Header(int index) const;
    SceneryHandle* Handle(int index) { return reinterpret_cast<SceneryHandle*>(HandleAddress(index)); }
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
    ModuleAddress LinkageAddress() const { return linkage_; }
    const HostWord* Linkage() const { return reinterpret_cast<const HostWord*>(linkage_); }

    // Takes back the current scenery through the editor's release callback.
    void ReleaseCurrent();

    // Player operations, reached through the Linkage slots: module
    // addresses in and out.
    ModuleAddress SelectScenery(ModuleAddress release, int32_t mode);
    ModuleAddress FilePrefixAddress() const { return prefix_; }
    ModuleAddress FilePathAddress() const;
    // Deletes the current scenery and its file; a file that cannot be
    // removed stays, and onDeleteFailed gets its path and the errno value.
    void DeleteScenery();
    std::function<void(const std::string& path, int error)> onDeleteFailed;

private:
    struct Scenery {
        std::string path;
        ModuleAddress cell = 0;      // holds the header's address; the handle points at it
        ModuleAddress handle = 0;    // the SceneryHandle handed to the editor
        ModuleAddress pathText = 0;  // the path as the editor reads it
        bool deleted = false;
        bool made = false;  // made by the player for a select request, not read from a file
    };

    int Adopt(const std::string& path, const SceneryHeaderFields& fields, const ObjectRecord* records);
    int NextInTurn() const;
    int ChooseByPlace(int32_t mode);
    std::vector<int> NearInOrder() const;
    int EmptyNewScenery();
    std::set<std::string> TakenNames() const;
    void FreeScenery(Scenery& scenery);

    ModuleSpace& space() const { return host_.space(); }
    SceneryLayout layout() const { return SceneryLayout{space().PointerBytes()}; }
    // A block of module memory the player owns itself (not the editor's).
    ModuleAddress Own(const void* bytes, size_t size);

    Host& host_;
    bool registered_;
    ModuleAddress linkage_ = 0;
    std::deque<Scenery> sceneries_;
    ModuleAddress prefix_ = 0;
    std::vector<ModuleAddress> owned_;
    ModuleAddress release_ = 0;
    int current_ = -1;
    int releaseCalls_ = 0;
    bool handOutNothing_ = false;
    std::vector<int32_t> modes_;
    bool hasFolder_ = false;
    std::string folder_;
    Player* previous_ = nullptr;
};

}  // namespace sim
