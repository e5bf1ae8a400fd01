// Scenery files for the file tools: saved by the editor itself, encoded
// directly, or damaged on purpose; and the CLI run in-process with its
// output captured.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "scenery/save.h"
#include "tests/support/editor_fixture.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"

namespace toolstest {

using testsupport::MakeRecord;

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void PutU16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// A record as the editor makes one for catalog entry `entry`, with a
// heading and a scale.
inline ObjectRecord Placed(int32_t lat, int32_t lon, int entry, int16_t heading = 0, uint32_t scale = 65536,
                           uint16_t maxDistance = 1000) {
    ObjectRecord record = MakeRecord(lat, lon, maxDistance, entry);
    record.heading = heading;
    record.scale = scale;
    record.size = ObjectCatalog.entries[entry].size;
    return record;
}

struct CliResult {
    int exit = -1;
    std::string out;
    std::string err;
};

// Parses and runs one tavu command line the way main() does, with the
// standard streams captured.
inline CliResult RunCli(std::vector<std::string> args) {
    CliResult result;
    std::ostringstream out, err;
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
    tavu::ExitStatus() = tavu::EXIT_OK;
    CLI::App app{"tavu"};
    app.require_subcommand(1);
    tavu::AddCatalogCommand(app);
    tavu::AddDumpCommand(app);
    tavu::AddCheckCommand(app);
    tavu::AddMapCommand(app);
    std::vector<const char*> argv{"tavu"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
        result.exit = tavu::ExitStatus();
    } catch (const CLI::ParseError& e) {
        result.exit = app.exit(e, out, err) == 0 ? tavu::EXIT_OK : tavu::EXIT_USAGE;
    }
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    result.out = out.str();
    result.err = err.str();
    return result;
}

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

// The editor wired to the emulated host and player; files come from its own
// save path.
class ToolsTest : public testsupport::EditorTest {
protected:
    // Saves these records as the editor does and returns the file's path.
    std::string Saved(const std::vector<ObjectRecord>& records, const std::string& name = "s.tsc",
                      uint32_t flags = MODIFIED) {
        Take(records, flags, name);
        SaveScenery();
        EXPECT_TRUE(host.Boxes().empty()) << "the save failed";
        return PathOf(name);
    }

    std::string Written(const std::string& name, const std::vector<uint8_t>& bytes) {
        WriteBytes(PathOf(name), bytes);
        return PathOf(name);
    }
};

}  // namespace toolstest
