// What the editor costs per frame, per key and per save, and how that grows
// with the scenery; each against the floor it cannot go below.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "module/host.h"
#include "placement/edit_state.h"
#include "placement/keys.h"
#include "placement/marker.h"
#include "placement/motion.h"
#include "platform/bitmaps.h"
#include "platform/dialogs.h"
#include "resources/resource_ids.h"
#include "scenery/save.h"
#include "scenery/storage.h"
#include "sim/host.h"
#include "sim/player.h"

namespace fs = std::filesystem;

namespace {

ObjectRecord TemplateRecord(int catalogEntry, int32_t lat) {
    ObjectRecord record;
    memcpy(&record, RecordTemplate, sizeof record);
    memcpy(record.objectKey, ObjectCatalog.entries[catalogEntry].objectKey, 16);
    record.lat.integer = lat;
    record.maxDistance = 1000;
    return record;
}

// A module wired to the emulated host and player, with one scenery of
// `records` objects current and its file in a scratch folder.
class Bench {
public:
    explicit Bench(int records) : folder_(MakeFolder()) {
        host_.FillImportTable(ImportTable);
        state = EditState{};
        state.playerLinkage = player_.Linkage();
        std::vector<ObjectRecord> list;
        list.reserve(static_cast<size_t>(records));
        for (int i = 0; i < records; ++i) {
            list.push_back(TemplateRecord(i % CATALOG_ENTRY_COUNT, 1000 + i));
        }
        player_.AddScenery(folder_ + "/bench.tsc", list);
        int32_t running = 0;
        SelectScenery(0, &running);
        platform::SetWorkingFolder(TAVU_DATA_DIR);
    }
    ~Bench() {
        ReleaseScenery();
        platform::SetWorkingFolder("");
        fs::remove_all(folder_);
    }
    sim::Host& host() { return host_; }
    const std::string& folder() const { return folder_; }
    SceneryHeader* header() { return *state.currentScenery->header; }

private:
    static std::string MakeFolder() {
        char pattern[] = "/tmp/tavu-bench-XXXXXX";
        return mkdtemp(pattern);
    }
    std::string folder_;
    sim::Host host_;
    sim::Player player_{host_};
};

void CopyRecordFloor(benchmark::State& s) {
    ObjectRecord from = TemplateRecord(0, 1), to;
    for (auto _ : s) {
        benchmark::DoNotOptimize(&from);
        memcpy(&to, &from, sizeof to);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(CopyRecordFloor);

void OnFrameMovingAndTurning(benchmark::State& s) {
    Bench bench(1);
    state.forwardSpeed = 64;
    state.sideSpeed = -8;
    UpdateHeadingVelocity(state.velocityHeading);
    state.altVelocity = 65536 * 4;
    state.headingRate = 1456 * 4;
    state.pitchRate = -1456;
    for (auto _ : s) {
        OnFrame(0, 0);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(OnFrameMovingAndTurning);

void OnDrawMarker(benchmark::State& s) {
    Bench bench(1);
    for (auto _ : s) {
        OnDraw(0, 0);
    }
}
BENCHMARK(OnDrawMarker);

void OnKeyNudge(benchmark::State& s) {
    Bench bench(1);
    uint32_t keys[] = {38, 40};  // Up, then Down: the speed goes 2, 0, 2, ...
    size_t i = 0;
    for (auto _ : s) {
        benchmark::DoNotOptimize(OnKey(keys[i++ & 1], MODIFIER_COMMAND));
    }
}
BENCHMARK(OnKeyNudge);

void OnKeyNoCommand(benchmark::State& s) {
    Bench bench(1);
    for (auto _ : s) {
        benchmark::DoNotOptimize(OnKey(90, MODIFIER_COMMAND));
    }
}
BENCHMARK(OnKeyNoCommand);

void FindCatalogEntryByKey(benchmark::State& s) {
    sim::Host host;
    host.FillImportTable(ImportTable);
    uint8_t unknown[16] = {};
    const uint8_t* keys[] = {ObjectCatalog.entries[0].objectKey, ObjectCatalog.entries[325].objectKey, unknown};
    const uint8_t* key = keys[s.range(0)];
    int32_t entry = 0, group = 0;
    for (auto _ : s) {
        benchmark::DoNotOptimize(FindCatalogEntry(key, &entry, &group));
    }
    s.SetLabel(s.range(0) == 0 ? "first" : s.range(0) == 1 ? "last" : "unknown");
}
BENCHMARK(FindCatalogEntryByKey)->Arg(0)->Arg(1)->Arg(2);

void SaveSceneryOf(benchmark::State& s) {
    Bench bench(static_cast<int>(s.range(0)));
    for (auto _ : s) {
        bench.header()->flags |= MODIFIED;
        SaveScenery();
    }
    s.SetBytesProcessed(s.iterations() * (48 + 76 * s.range(0)));
}
BENCHMARK(SaveSceneryOf)->Arg(1)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The physical floor of an atomic save: the same bytes to a new file,
// flushed, renamed over the old one; the durable variant also flushes the
// folder, so that the rename itself survives a power loss, as the editor's
// save does.
void AtomicWrite(benchmark::State& s, bool durable) {
    char pattern[] = "/tmp/tavu-bench-XXXXXX";
    std::string folder = mkdtemp(pattern);
    std::vector<char> bytes(48 + 76 * static_cast<size_t>(s.range(0)), 'x');
    std::string path = folder + "/floor.tsc", temporary = path + ".saving";
    for (auto _ : s) {
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            fsync(fd) != 0) {
            s.SkipWithError("write failed");
        }
        close(fd);
        rename(temporary.c_str(), path.c_str());
        if (durable) {
            int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
            fsync(dir);
            close(dir);
        }
    }
    s.SetBytesProcessed(s.iterations() * static_cast<int64_t>(bytes.size()));
    fs::remove_all(folder);
}
void PosixAtomicWriteOf(benchmark::State& s) { AtomicWrite(s, false); }
void PosixDurableAtomicWriteOf(benchmark::State& s) { AtomicWrite(s, true); }
BENCHMARK(PosixAtomicWriteOf)->Arg(1)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(PosixDurableAtomicWriteOf)->Arg(1)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// One more object through the Insert chord, the dialog answered OK, in a
// scenery that already holds n objects.
void AddObjectAt(benchmark::State& s) {
    Bench bench(static_cast<int>(s.range(0)));
    bench.host().dialogRunner = [](HINSTANCE instance, int32_t id, DLGPROC procedure) {
        return static_cast<int32_t>(platform::RunDialog(instance, static_cast<UINT>(id), procedure,
                                                        [](HWND dialog) { platform::UserClick(dialog, IDOK); }));
    };
    for (auto _ : s) {
        OnKey(45, MODIFIER_COMMAND);
    }
    s.counters["objects"] = bench.header()->count;
}
BENCHMARK(AddObjectAt)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace

