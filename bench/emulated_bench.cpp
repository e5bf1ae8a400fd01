// The tour session against the real DLL under x86 emulation, to set beside
// TourSession (the linked-in module): the cost of running the shipped binary.
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

void TourSessionOnTheRealDll(benchmark::State& s) {
    const fs::path dll = fs::path(TAVU_SOURCE_DIR) / "build" / "windows" / "TAVUEdit.dll";
    if (!fs::exists(dll)) {
        s.SkipWithError("build/windows/TAVUEdit.dll is missing; `make dll` builds it");
        return;
    }
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
        options.modulePath = dll.string();
        std::ostringstream transcript;
        sim::SessionResult result = sim::RunSession(*script, options, transcript);
        if (!result.ok()) {
            s.SkipWithError(result.error->message.c_str());
        }
        fs::remove_all(folder);
    }
}
BENCHMARK(TourSessionOnTheRealDll)->Unit(benchmark::kMillisecond);

}  // namespace
