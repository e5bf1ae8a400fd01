// A whole editing session, end to end: the tour the demo runs, with the
// editor linked in and with the real DLL under x86 emulation.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "sim/session.h"

namespace fs = std::filesystem;

namespace {

std::string ReadTour() {
    std::ifstream in(fs::path(TAVU_SOURCE_DIR) / "examples" / "tour.session");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the tour once per iteration in a fresh scenery folder; an empty
// module path runs the linked-in editor.
void RunTour(benchmark::State& s, const std::string& modulePath) {
    sim::SessionError error;
    std::optional<sim::SessionScript> script = sim::ParseSession(ReadTour(), &error);
    if (!script) {
        s.SkipWithError(error.message.c_str());
        return;
    }
    for (auto _ : s) {
        char pattern[] = "/tmp/tavu-bench-XXXXXX";
        std::string folder = mkdtemp(pattern);
        sim::SessionOptions options;
        options.sceneryFolder = folder;
        options.dataFolder = TAVU_DATA_DIR;
        options.modulePath = modulePath;
        std::ostringstream transcript;
        sim::SessionResult result = sim::RunSession(*script, options, transcript);
        if (!result.ok()) {
            s.SkipWithError(result.error->message.c_str());
        }
        fs::remove_all(folder);
    }
}

void TourSession(benchmark::State& s) { RunTour(s, ""); }
BENCHMARK(TourSession)->Unit(benchmark::kMillisecond);

// The cost of running the shipped binary rather than the linked-in editor.
void TourSessionOnTheRealDll(benchmark::State& s) {
    const fs::path dll = fs::path(TAVU_SOURCE_DIR) / "build" / "windows" / "TAVUEdit.dll";
    if (!fs::exists(dll)) {
        s.SkipWithError("build/windows/TAVUEdit.dll is missing; `make dll` builds it");
        return;
    }
    RunTour(s, dll.string());
}
BENCHMARK(TourSessionOnTheRealDll)->Unit(benchmark::kMillisecond);

}  // namespace
