// Scenery files for the file tools: saved by the editor itself, encoded
// directly, or damaged on purpose; and the CLI run in-process with its
// output captured.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "scenery/save.h"
#include "tests/support/editor_fixture.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/file_commands.h"

namespace toolstest {

// Writes a little-endian field of `size` bytes.
inline void Put(std::vector<uint8_t>& bytes, size_t offset, uint32_t value, int size = 4) {
    for (int i = 0; i < size; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A record as the editor makes one for catalog entry `entry`, with a
// heading and a scale.
inline ObjectRecord Placed(int32_t lat, int32_t lon, int entry, int16_t heading = 0, uint32_t scale = 65536,
                           uint16_t maxDistance = 1000) {
    ObjectRecord record = testsupport::MakeRecord(lat, lon, maxDistance, entry);
    record.heading = heading;
    record.scale = scale;
    record.size = ObjectCatalog.entries[entry].size;
    return record;
}

struct CliResult {
    int exit;
    std::string out, err;
};

// Runs one tavu command line the way main() does, with the standard streams
// captured and `input` as standard input; `more` adds commands kept out of
// this program.
inline CliResult RunCli(const std::vector<std::string>& args, const std::string& input = "",
                        void (*more)(CLI::App&) = nullptr) {
    std::ostringstream out, err;
    std::istringstream in(input);
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
    std::streambuf* oldIn = std::cin.rdbuf(in.rdbuf());
    int exit = tavu::RunCommandLine(args, out, err, nullptr, more);
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    std::cin.rdbuf(oldIn);
    return {exit, out.str(), err.str()};
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
        std::ofstream(PathOf(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return PathOf(name);
    }
};

}  // namespace toolstest
