// What `tavu dump`, `tavu check` and `tavu map` cost on a large scenery
// file, through the commands' own code with their output thrown away; each
// against reading the file, which they cannot go below.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "sim/scenery_file.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"
#include "tools/tavu/scenery_info.h"

namespace {

// The catalog's objects in turn on a grid of about 100 m around 47° N, 8° E,
// as the editor would save them. With `warnings`, each record's reserved word
// is set: one check warning per record.
std::vector<uint8_t> GeneratedScenery(size_t records, bool warnings) {
    std::vector<ObjectRecord> list(records);
    for (size_t i = 0; i < records; ++i) {
        ObjectRecord& record = list[i];
        memcpy(&record, RecordTemplate, sizeof record);
        const CatalogEntry& entry = ObjectCatalog.entries[i % CATALOG_ENTRY_COUNT];
        memcpy(record.objectKey, entry.objectKey, sizeof record.objectKey);
        record.size = entry.size;
        record.lat.integer = 5200000 + static_cast<int32_t>(i / 1000) * 100;
        record.lon.integer = 95000000 + static_cast<int32_t>(i % 1000) * 12000;
        record.heading = static_cast<int16_t>(i * 997);
        record.maxDistance = 1000;
        record.reserved2 = warnings ? 1 : 0;
    }
    return tavu::EncodeAsSaved({}, list);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

// Takes every byte and keeps none.
class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A generated file of `records` objects on disk for the life of a benchmark.
class GeneratedFile {
public:
    GeneratedFile(size_t records, bool warnings) {
        char pattern[] = "/tmp/tavu-bench-XXXXXX.tsc";
        int fd = mkstemps(pattern, 4);
        close(fd);
        path_ = pattern;
        WriteFile(path_, GeneratedScenery(records, warnings));
    }
    ~GeneratedFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

constexpr size_t kRecords = 100000;

void LoadSceneryFloor(benchmark::State& s) {
    GeneratedFile file(static_cast<size_t>(s.range(0)), false);
    for (auto _ : s) {
        tavu::LoadedScenery scenery = tavu::LoadScenery(file.path());
        benchmark::DoNotOptimize(scenery.file.records.data());
    }
}
BENCHMARK(LoadSceneryFloor)->Arg(kRecords)->Unit(benchmark::kMillisecond);

void Dump(benchmark::State& s, bool json) {
    GeneratedFile file(static_cast<size_t>(s.range(0)), false);
    NullBuffer null;
    std::ostream out(&null);
    tavu::DumpOptions options;
    options.file = file.path();
    options.json = json;
    for (auto _ : s) {
        if (tavu::RunDump(options, out, out) != tavu::EXIT_OK) {
            s.SkipWithError("dump failed");
        }
    }
}
void DumpJson(benchmark::State& s) { Dump(s, true); }
BENCHMARK(DumpJson)->Arg(kRecords)->Unit(benchmark::kMillisecond);
void DumpText(benchmark::State& s) { Dump(s, false); }
BENCHMARK(DumpText)->Arg(kRecords)->Unit(benchmark::kMillisecond);

// A sound file, and one with a warning in every record: all counted, 20 listed.
void Check(benchmark::State& s, bool warnings) {
    GeneratedFile file(static_cast<size_t>(s.range(0)), warnings);
    NullBuffer null;
    std::ostream out(&null);
    tavu::CheckOptions options;
    options.files = {file.path()};
    for (auto _ : s) {
        if (tavu::RunCheck(options, out, out) != tavu::EXIT_OK) {
            s.SkipWithError("check failed");
        }
    }
}
void CheckSound(benchmark::State& s) { Check(s, false); }
BENCHMARK(CheckSound)->Arg(kRecords)->Unit(benchmark::kMillisecond);
void CheckWarningInEveryRecord(benchmark::State& s) { Check(s, true); }
BENCHMARK(CheckWarningInEveryRecord)->Arg(kRecords)->Unit(benchmark::kMillisecond);

// tavu map end to end: reading, drawing, and writing the SVG through its
// temporary file beside the scenery; with --labels a label is tried beside
// every object.
void Map(benchmark::State& s, bool labels) {
    GeneratedFile file(static_cast<size_t>(s.range(0)), false);
    NullBuffer null;
    std::ostream out(&null);
    tavu::MapOptions options;
    options.files = {file.path()};
    options.output = file.path() + ".svg";
    options.labels = labels;
    for (auto _ : s) {
        if (tavu::RunMap(options, out, out) != tavu::EXIT_OK) {
            s.SkipWithError("map failed");
        }
    }
    std::ifstream svg(options.output, std::ios::binary | std::ios::ate);
    s.SetLabel(std::to_string(static_cast<long long>(svg.tellg()) / 1024) + " KiB of SVG");
    unlink(options.output.c_str());
}
void MapOf(benchmark::State& s) { Map(s, false); }
BENCHMARK(MapOf)->Arg(kRecords)->Unit(benchmark::kMillisecond);
void MapWithLabelsOf(benchmark::State& s) { Map(s, true); }
BENCHMARK(MapWithLabelsOf)->Arg(kRecords)->Unit(benchmark::kMillisecond);

}  // namespace

// `tavu-bench --write-scenery PATH RECORDS [--warnings]` writes the file the
// benchmarks above generate, for measuring the tavu binary by hand.
int main(int argc, char** argv) {
    if (argc >= 4 && strcmp(argv[1], "--write-scenery") == 0) {
        bool warnings = argc == 5 && strcmp(argv[4], "--warnings") == 0;
        return WriteFile(argv[2], GeneratedScenery(strtoul(argv[3], nullptr, 10), warnings)) ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
