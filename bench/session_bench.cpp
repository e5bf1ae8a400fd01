// A whole editing session, end to end: the tour the demo runs.
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

std::string ReadExample(const char* name) {
    std::ifstream in(fs::path(TAVU_SOURCE_DIR) / "examples" / name);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void TourSession(benchmark::State& s) {
    sim::SessionError error;
    std::optional<sim::SessionScript> script = sim::ParseSession(ReadExample("tour.session"), &error);
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
        std::ostringstream transcript;
        sim::SessionResult result = sim::RunSession(*script, options, transcript);
        if (!result.ok()) {
            s.SkipWithError(result.error->message.c_str());
        }
        fs::remove_all(folder);
    }
}
BENCHMARK(TourSession)->Unit(benchmark::kMillisecond);

}  // namespace
