// The examples under injected faults: the Nth host allocation failing, the
// Nth file create, write, flush or move failing or writing short, for every
// N a clean run reaches. Whatever fails, the session completes, only the
// expected boxes appear, no scenery file on disk is ever torn, no save leaves
// its temporary file behind and no host block outlives the player.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/native.h"
#include "resources/resource_ids.h"
#include "sim/simulator.h"
#include "tests/workbench/workbench_support.h"

namespace {

namespace fs = std::filesystem;
using workbench::SessionRun;

class FaultSweep : public workbench::SessionTest {
  protected:
    // A lenient run (a fault may change the script's course) in an empty
    // folder, checked for torn files after every statement.
    SessionRun Run(const std::string& text, std::function<void(sim::Simulator&)> arm = nullptr) {
        fs::remove_all(folder);
        sim::SessionOptions options = Options();
        options.strict = false;
        options.onSimulatorCreated = std::move(arm);
        torn.clear();
        options.afterStatement = [this](sim::Simulator&, const sim::Statement& statement) {
            for (const std::string& fault : FolderFaults()) {
                torn.push_back("line " + std::to_string(statement.line) + ": " + fault);
            }
        };
        return RunText(text, options);
    }

    // What every run, clean or faulty, must satisfy; returns how many of
    // its boxes have `counted` as their text.
    int Check(const SessionRun& run, const std::string& what, const std::set<int32_t>& allowed,
              int32_t counted) {
        EXPECT_TRUE(run.result.ok()) << what << ": " << run.Error();
        EXPECT_TRUE(torn.empty()) << what << ": " << (torn.empty() ? "" : torn.front());
        EXPECT_EQ(FolderFaults(), std::vector<std::string>{}) << what;
        EXPECT_EQ(run.result.liveBlocksAfterTeardown, 0) << what;
        EXPECT_EQ(platform::FileCalls().openHandles, 0) << what;
        int n = 0;
        for (const sim::MessageBox& box : run.result.boxes) {
            EXPECT_EQ(allowed.count(box.textId), 1u) << what << ": box " << box.textId;
            n += box.textId == counted;
        }
        return n;
    }

    std::vector<std::string> torn;
};

TEST_F(FaultSweep, EveryHostAllocationOfEveryExampleFailingInTurn) {
    std::set<fs::path> examples;  // in name order
    for (const auto& entry : fs::directory_iterator(workbench::SourceRoot() / "examples")) {
        if (entry.path().extension() == ".session") {
            examples.insert(entry.path());
        }
    }
    ASSERT_GE(examples.size(), 4u);
    for (const fs::path& example : examples) {
        const std::string name = example.filename().string(), text = workbench::ReadText(example.string());
        SessionRun clean = Run(text);
        ASSERT_TRUE(clean.result.deviations.empty())
            << name << ": " << clean.result.deviations.front().message;
        // A failed add leaves fewer objects: later chords may find no
        // selection, and a delete may meet the last object.
        std::set<int32_t> allowed = {IDS_NO_MEMORY, IDS_NEED_SELECTION, IDS_CONFIRM_REMOVE_LAST};
        for (const sim::MessageBox& box : clean.result.boxes) {
            allowed.insert(box.textId);
        }
        EXPECT_EQ(Check(clean, name, allowed, IDS_NO_MEMORY), 0);
        const int64_t allocations = clean.result.allocationCalls;
        ASSERT_GE(allocations, 2) << name;
        for (int64_t n = 1; n <= allocations; ++n) {
            SessionRun run =
                Run(text, [n](sim::Simulator& simulator) { simulator.host().FailAllocationAt(n); });
            const std::string what =
                name + " allocation " + std::to_string(n) + " of " + std::to_string(allocations);
            // One box for a failed allocation, but a release's shrink of the
            // record block fails silently: the larger block is simply kept.
            // In the tour that is the last allocation only.
            const int boxes = Check(run, what, allowed, IDS_NO_MEMORY);
            EXPECT_EQ(boxes, name != "tour.session" ? std::min(boxes, 1) : n < allocations ? 1 : 0) << what;
        }
    }
}

TEST_F(FaultSweep, EveryFileCallOfTheTourFailingInTurn) {
    const std::string tour = workbench::ReadText(workbench::ExamplePath("tour.session"));
    platform::SetFileFaults({});
    SessionRun clean = Run(tour);
    const platform::FileCallCounts calls = platform::FileCalls();
    ASSERT_TRUE(clean.result.deviations.empty()) << clean.result.deviations.front().message;
    ASSERT_GT(calls.write, 0);
    // Why each kind of call fails, as the session's last line names it.
    const std::map<std::string, int> reasons = {{"write", EIO}, {"short", ENOSPC}, {"create", EACCES},
                                                {"flush", EIO}, {"move", EACCES},  {"close", EIO}};
    for (const workbench::FileFaultCase& fault : workbench::EveryFileFault(calls)) {
        platform::SetFileFaults(fault.faults);
        SessionRun run = Run(tour);
        EXPECT_EQ(Check(run, fault.name, {IDS_SAVE_FAILED, IDS_NEED_SELECTION}, IDS_SAVE_FAILED), 1)
            << fault.name;
        const std::string failed =
            "1 save failed: scenery-001.tsc: " +
            std::string(strerror(reasons.at(fault.name.substr(0, fault.name.find(' ')))));
        EXPECT_EQ(run.result.failedWrites, std::vector<std::string>{failed}) << fault.name;
        EXPECT_TRUE(run.transcript.ends_with("\n" + failed + "\n")) << fault.name;
        // The save after the failed one catches up: the file is complete.
        EXPECT_EQ(sim::ReadSceneryFile(workbench::ReadBytes(PathOf("scenery-001.tsc"))).header.count, 4)
            << fault.name;
    }
    platform::ClearFileFaults();
}

}  // namespace
