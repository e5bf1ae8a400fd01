// The tour under injected faults: the Nth host allocation failing, the Nth
// file create, write, flush or move failing or writing short, for every N the
// tour reaches. Whatever fails, the session completes, only the expected
// boxes appear, no scenery file on disk is ever torn, no save leaves its
// temporary file behind and no host block outlives the player.
#include <gtest/gtest.h>

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
using workbench::SessionTest;

class FaultSweep : public SessionTest {
  protected:
    FaultSweep() : tour(workbench::ReadText(workbench::ExamplePath("tour.session"))) {}

    // A lenient run (the tour's own expectations may fail once a fault has
    // changed its course) with the folder checked after every statement.
    SessionRun RunTour(std::function<void(sim::Simulator&)> arm = nullptr) {
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
        return RunText(tour, options);
    }

    // The checks every faulty run must pass; `what` names the run.
    void CheckRun(const SessionRun& run, const std::string& what, const std::set<int32_t>& allowedBoxes) {
        EXPECT_TRUE(run.result.ok()) << what << ": " << run.Error("tour.session");
        EXPECT_TRUE(torn.empty()) << what << ": " << (torn.empty() ? "" : torn.front());
        EXPECT_TRUE(FolderFaults().empty()) << what << ": " << FolderFaults().front();
        EXPECT_EQ(run.result.liveBlocksAfterTeardown, 0) << what;
        for (const sim::MessageBox& box : run.result.boxes) {
            EXPECT_EQ(allowedBoxes.count(box.textId), 1u) << what << ": box " << box.textId;
        }
    }

    static int Count(const SessionRun& run, int32_t textId) {
        int n = 0;
        for (const sim::MessageBox& box : run.result.boxes) {
            n += box.textId == textId;
        }
        return n;
    }

    const std::string tour;
    std::vector<std::string> torn;
};

TEST_F(FaultSweep, EveryHostAllocationOfTheTourFailingInTurn) {
    SessionRun clean = RunTour();
    ASSERT_TRUE(clean.result.deviations.empty()) << clean.result.deviations.front().message;
    const int64_t allocations = clean.result.allocationCalls;
    ASSERT_GE(allocations, 3) << "the first record block, its growth and its shrink";
    for (int64_t n = 1; n <= allocations; ++n) {
        SessionRun run = RunTour([n](sim::Simulator& simulator) { simulator.host().FailAllocationAt(n); });
        std::string what = "allocation " + std::to_string(n) + " of " + std::to_string(allocations);
        // A failed add leaves fewer objects: later chords may find no
        // selection, and the delete may meet the last object.
        CheckRun(run, what, {IDS_NO_MEMORY, IDS_NEED_SELECTION, IDS_CONFIRM_REMOVE_LAST});
        // The last is the release's shrink of the record block, which may
        // fail silently: the larger block is simply kept.
        EXPECT_EQ(Count(run, IDS_NO_MEMORY), n < allocations ? 1 : 0) << what;
    }
    RecordProperty("allocations", static_cast<int>(allocations));
}

TEST_F(FaultSweep, EveryHostAllocationOfTheOtherExamplesFailingInTurn) {
    for (const char* name : {"far-away.session", "delete-last.session", "languages.session"}) {
        const std::string text = workbench::ReadText(workbench::ExamplePath(name));
        fs::remove_all(folder);
        sim::SessionOptions options = Options();
        options.strict = false;
        SessionRun clean = RunText(text, options);
        ASSERT_TRUE(clean.result.deviations.empty())
            << name << ": " << clean.result.deviations.front().message;
        std::set<int32_t> allowed = {IDS_NO_MEMORY, IDS_NEED_SELECTION, IDS_CONFIRM_REMOVE_LAST};
        for (const sim::MessageBox& box : clean.result.boxes) {
            allowed.insert(box.textId);
        }
        for (int64_t n = 1; n <= clean.result.allocationCalls; ++n) {
            fs::remove_all(folder);
            options.onSimulatorCreated = [n](sim::Simulator& simulator) {
                simulator.host().FailAllocationAt(n);
            };
            torn.clear();
            options.afterStatement = [this](sim::Simulator&, const sim::Statement& statement) {
                for (const std::string& fault : FolderFaults()) {
                    torn.push_back("line " + std::to_string(statement.line) + ": " + fault);
                }
            };
            CheckRun(RunText(text, options), std::string(name) + " allocation " + std::to_string(n), allowed);
        }
    }
}

TEST_F(FaultSweep, EveryFileCallOfTheTourFailingInTurn) {
    platform::SetFileFaults({});
    SessionRun clean = RunTour();
    platform::FileCallCounts calls = platform::FileCalls();
    ASSERT_TRUE(clean.result.deviations.empty()) << clean.result.deviations.front().message;
    ASSERT_GT(calls.write, 0);
    ASSERT_EQ(calls.openHandles, 0);
    int runs = 0;
    for (const workbench::FileFaultCase& fault : workbench::EveryFileFault(calls)) {
        platform::SetFileFaults(fault.faults);
        SessionRun run = RunTour();
        const std::string& what = fault.name;
        CheckRun(run, what, {IDS_SAVE_FAILED, IDS_NEED_SELECTION});
        EXPECT_EQ(Count(run, IDS_SAVE_FAILED), 1) << what << ": one failed save, one box";
        EXPECT_EQ(platform::FileCalls().openHandles, 0) << what;
        // The save after the failed one catches up: the tour's file is
        // complete in the end.
        sim::SceneryFile file = sim::ReadSceneryFile(workbench::ReadBytes(PathOf("scenery-001.tsc")));
        EXPECT_EQ(file.header.count, 4) << what;
        ++runs;
    }
    platform::ClearFileFaults();
    EXPECT_EQ(runs, 2 * calls.write + calls.create + calls.flush + calls.move);
    RecordProperty("runs", runs);
}

}  // namespace
