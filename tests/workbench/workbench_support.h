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

struct SessionRun {
    std::optional<sim::SessionError> parseError;
    sim::SessionResult result;
    std::string transcript;

    // The first error as `tavu run` would print it, or "" when there is none.
    std::string Error(const std::string& script = "s.session") const {
        if (parseError) {
            return parseError->Format(script);
        }
        return result.error ? result.error->Format(script) : "";
    }
};

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
            run.parseError = error;
            return run;
        }
        std::ostringstream transcript;
        run.result = sim::RunSession(*script, options, transcript);
        run.transcript = transcript.str();
        return run;
    }
    SessionRun RunText(const std::string& text) { return RunText(text, Options()); }

    std::string PathOf(const std::string& name) const { return folder + "/" + name; }

    // Every scenery file in the folder parses cleanly and no save left a
    // temporary file behind; what is wrong otherwise.
    std::vector<std::string> FolderFaults() const {
        std::vector<std::string> faults;
        std::error_code code;
        for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
            std::string name = it->path().filename().string();
            if (name.size() >= 7 && name.substr(name.size() - 7) == ".saving") {
                faults.push_back(name + ": left over");
            } else if (name.size() >= 4 && name.substr(name.size() - 4) == ".tsc") {
                sim::SceneryFile file = sim::ReadSceneryFile(ReadBytes(it->path().string()));
                if (!file.ok()) {
                    faults.push_back(name + ": " + file.FirstError()->message);
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
    struct Kind {
        const char* name;
        int platform::FileFaults::*field;
        int count;
    };
    const Kind kinds[] = {
        {"write", &platform::FileFaults::failWrite, calls.write},
        {"short write", &platform::FileFaults::shortWrite, calls.write},
        {"create", &platform::FileFaults::failCreate, calls.create},
        {"flush", &platform::FileFaults::failFlush, calls.flush},
        {"move", &platform::FileFaults::failMove, calls.move},
    };
    std::vector<FileFaultCase> cases;
    for (const Kind& kind : kinds) {
        for (int n = 1; n <= kind.count; ++n) {
            FileFaultCase next{std::string(kind.name) + " " + std::to_string(n) + " of " + std::to_string(kind.count),
                               {}};
            next.faults.*kind.field = n;
            cases.push_back(next);
        }
    }
    return cases;
}

}  // namespace workbench
