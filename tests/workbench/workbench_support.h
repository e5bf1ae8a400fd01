// Running session scripts in-process for the workbench tests: a fresh
// scenery folder per run, English boxes, the build's preview bitmaps.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/native.h"
#include "platform/resources.h"
#include "sim/scenery_file.h"
#include "sim/session.h"

namespace workbench {

namespace fs = std::filesystem;

// The repository, found from this file's place in it.
inline fs::path SourceRoot() {
    return fs::path(__FILE__).parent_path().parent_path().parent_path();
}
inline std::string ExamplePath(const std::string& name) {
    return (SourceRoot() / "examples" / name).string();
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A script's run; a parse error is its result's error.
struct SessionRun {
    sim::SessionResult result;
    std::string transcript;

    // The first error as `tavu run` would print it, or "" when there is none.
    std::string Error(const std::string& script = "s.session") const {
        return result.error ? result.error->Format(script) : "";
    }
};

// Starts at a fixed place and adds one elephant: lines 1 to 4.
inline const std::string kOneElephant =
    "aircraft lat 46 lon 8 heading 0\nstart\n"
    "dialog group \"Animals\" object \"Elephant 1\" ok\nkey Ctrl+Insert\n";

// Each test gets its own scenery folder, removed afterwards.
class SessionTest : public testing::Test {
  protected:
    SessionTest() {
        char pattern[] = "/tmp/tavu-workbench-XXXXXX";
        root = mkdtemp(pattern);
        folder = root + "/sceneries";
        platform::ClearFileFaults();
    }
    ~SessionTest() override {
        platform::ClearFileFaults();
        std::error_code code;
        fs::remove_all(root, code);
    }

    sim::SessionOptions Options() const {
        sim::SessionOptions options;
        options.sceneryFolder = folder;
        options.language = platform::LANGUAGE_ENGLISH;
        options.dataFolder = TAVU_DATA_DIR;
        return options;
    }

    SessionRun RunText(const std::string& text, sim::SessionOptions options) {
        SessionRun run;
        sim::SessionError error;
        std::optional<sim::SessionScript> script = sim::ParseSession(text, &error);
        if (!script) {
            run.result.error = error;
            return run;
        }
        std::ostringstream transcript;
        run.result = sim::RunSession(*script, options, transcript);
        run.transcript = transcript.str();
        return run;
    }
    SessionRun RunText(const std::string& text) { return RunText(text, Options()); }

    std::string PathOf(const std::string& name) const { return folder + "/" + name; }

    // What is wrong in the folder: a scenery file that does not parse
    // cleanly, or a save's temporary file left behind.
    std::vector<std::string> FolderFaults() const {
        std::vector<std::string> faults;
        std::error_code code;
        for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
            const fs::path& path = it->path();
            if (path.extension() == ".saving") {
                faults.push_back(path.filename().string() + ": left over");
            } else if (path.extension() == ".tsc") {
                sim::SceneryFile file = sim::ReadSceneryFile(ReadBytes(path.string()));
                if (!file.ok()) {
                    faults.push_back(path.filename().string() + ": " + file.FirstError()->message);
                }
            }
        }
        return faults;
    }

    std::string root;
    std::string folder;
};

// Every file call of a clean run failing in turn: each write (failing and
// writing short), each create, flush and replace.
struct FileFaultCase {
    std::string name;
    platform::FileFaults faults;
};
inline std::vector<FileFaultCase> EveryFileFault(const platform::FileCallCounts& calls) {
    using F = platform::FileFaults;
    const std::tuple<const char*, int F::*, int> kinds[] = {{"write", &F::failWrite, calls.write},
                                                            {"short write", &F::shortWrite, calls.write},
                                                            {"create", &F::failCreate, calls.create},
                                                            {"flush", &F::failFlush, calls.flush},
                                                            {"move", &F::failMove, calls.move},
                                                            {"close", &F::failClose, calls.close}};
    std::vector<FileFaultCase> cases;
    for (const auto& [name, field, count] : kinds) {
        for (int n = 1; n <= count; ++n) {
            cases.push_back(
                {std::string(name) + " " + std::to_string(n) + " of " + std::to_string(count), {}});
            cases.back().faults.*field = n;
        }
    }
    return cases;
}

}  // namespace workbench
