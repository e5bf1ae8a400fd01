// tavu map on a generated scenery of 100,000 objects, end to end (reading
// the file, drawing, writing the SVG through its temporary file), with and
// without labels; against reading and decoding the same file alone.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "bench/generated_scenery.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kObjects = 100000;

// The generated file, written once for every benchmark of this file and
// removed with its folder at exit.
struct GeneratedFile {
    GeneratedFile() {
        char pattern[] = "/tmp/tavu-bench-XXXXXX";
        folder = mkdtemp(pattern);
        path = folder + "/generated.tsc";
        bench::WriteGeneratedScenery(path, kObjects);
    }
    ~GeneratedFile() { fs::remove_all(folder); }
    std::string folder, path;
};

const std::string& GeneratedPath() {
    static const GeneratedFile file;
    return file.path;
}

void LoadSceneryOf100000(benchmark::State& s) {
    for (auto _ : s) {
        tavu::LoadedScenery loaded = tavu::LoadScenery(GeneratedPath());
        if (!loaded.read() || !loaded.file.ok()) {
            s.SkipWithError("the generated scenery does not read");
        }
        benchmark::DoNotOptimize(loaded.file.records.data());
    }
}

void RunMapOf100000(benchmark::State& s, bool labels) {
    tavu::MapOptions options;
    options.files = {GeneratedPath()};
    options.output = fs::path(GeneratedPath()).replace_extension(".svg");
    options.labels = labels;
    for (auto _ : s) {
        std::ostringstream out, err;
        if (tavu::RunMap(options, out, err) != tavu::EXIT_OK) {
            s.SkipWithError(err.str().c_str());
        }
    }
    s.SetLabel(std::to_string(fs::file_size(options.output) / 1024) + " KiB of SVG");
}

void MapOf100000(benchmark::State& s) {
    RunMapOf100000(s, false);
}
void MapWithLabelsOf100000(benchmark::State& s) {
    RunMapOf100000(s, true);
}

BENCHMARK(LoadSceneryOf100000)->Unit(benchmark::kMillisecond);
BENCHMARK(MapOf100000)->Unit(benchmark::kMillisecond);
BENCHMARK(MapWithLabelsOf100000)->Unit(benchmark::kMillisecond);

}  // namespace
