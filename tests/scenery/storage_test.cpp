// The current scenery: taking and giving it back, growing its record array,
// cycling the selection and deleting objects.
#include <filesystem>

#include "placement/marker.h"
#include "placement/motion.h"
#include "scenery/save.h"
#include "tests/support/editor_fixture.h"

namespace fs = std::filesystem;
using testsupport::MakeRecord;

namespace {

class Storage : public testsupport::EditorTest {
protected:
    std::vector<ObjectRecord> Three() {
        return {MakeRecord(10, 0, 100, 1), MakeRecord(20, 0, 100, 2), MakeRecord(30, 0, 100, 3)};
    }
    // What AddObject does with a new slot.
    ObjectRecord* Append(int32_t lat) {
        ObjectRecord* slot = AllocRecord(RECORD_BYTES);
        if (slot != nullptr) {
            *slot = MakeRecord(lat, 0, 10);
            state.selectedRecord = slot;
        }
        return slot;
    }
    bool CallbacksRegistered() const {
        return host.Registered(FRAME_CALLBACK) == std::vector<HostCallback>{OnFrame} &&
               host.Registered(DRAW_CALLBACK) == std::vector<HostCallback>{OnDraw};
    }
    bool NoCallbacks() const {
        return host.Registered(FRAME_CALLBACK).empty() && host.Registered(DRAW_CALLBACK).empty();
    }
    void ExpectSelectionConsistent() const {
        ASSERT_NE(state.selectedRecord, nullptr);
        EXPECT_EQ(state.selectedRecord, Header()->records + Index());
        EXPECT_EQ(Header()->sizeBytes, RECORD_BYTES * Header()->count);
        EXPECT_LE(Header()->sizeBytes, state.currentScenery->capacityBytes);
        EXPECT_EQ(host.BlockSize(Header()->records), static_cast<size_t>(state.currentScenery->capacityBytes));
    }
};

TEST_F(Storage, SelectingASceneryWithRecordsSelectsTheFirstAndRegistersOnce) {
    Take(Three());
    EXPECT_EQ(state.selectedRecord, Record(0));
    EXPECT_EQ(Index(), 0);
    EXPECT_EQ(state.currentScenery->capacityBytes, 228) << "a handed-over array counts as full";
    EXPECT_EQ(state.objectIndex, 1) << "the edit state is loaded from the record";
    EXPECT_TRUE(CallbacksRegistered());
    ASSERT_EQ(host.CallbackLog().size(), 2u);
    EXPECT_EQ(host.CallbackLog()[0].type, FRAME_CALLBACK) << "frame before draw";

    Take(Three(), 0, "second.tsc");
    EXPECT_TRUE(CallbacksRegistered()) << "registered once, not twice";
    EXPECT_EQ(player.ReleaseCalls(), 1);
}

TEST_F(Storage, SelectingAnEmptySceneryUnregistersEvenWhatIsNotRegistered) {
    state.forwardSpeed = 8;
    state.headingAcc = 0x10000;
    Take({});
    EXPECT_EQ(state.selectedRecord, nullptr);
    EXPECT_EQ(state.forwardSpeed, 0);
    EXPECT_EQ(state.headingAcc, 0) << "LoadEditState ran with null";
    ASSERT_EQ(host.CallbackLog().size(), 2u);
    EXPECT_FALSE(host.CallbackLog()[0].registered);
    EXPECT_EQ(host.CallbackLog()[0].type, FRAME_CALLBACK);
    EXPECT_EQ(host.CallbackLog()[1].type, DRAW_CALLBACK);
    EXPECT_EQ(state.callbacksRegistered, 0u);
}

TEST_F(Storage, NoSceneryHandedOutChangesNothingButRunning) {
    Take(Three());
    player.HandOutNothing(true);
    int32_t running = 0;
    EXPECT_EQ(SelectScenery(1, &running), 0);
    EXPECT_EQ(running, 1);
    EXPECT_EQ(state.selectedRecord, Record(0));
    EXPECT_TRUE(CallbacksRegistered());
}

TEST_F(Storage, RecordArrayGrowsInStepsOf304Bytes) {
    Take({});
    for (int i = 1; i <= 9; ++i) {
        ASSERT_NE(Append(i), nullptr);
        ExpectSelectionConsistent();
        EXPECT_EQ(Index(), i - 1) << "the new record is selected";
        int expected = i <= 4 ? 304 : i <= 8 ? 608 : 912;
        EXPECT_EQ(state.currentScenery->capacityBytes, expected) << i;
    }
    EXPECT_EQ(int32_t{Record(8)->lat.integer}, 9);
    EXPECT_EQ(int32_t{Record(0)->lat.integer}, 1) << "contents survive growth";
    EXPECT_TRUE(Header()->flags & MODIFIED);

    // A handed-over scenery of n records grows to 76 n + 304.
    Take(Three(), 0, "three.tsc");
    Append(40);
    EXPECT_EQ(state.currentScenery->capacityBytes, 228 + 304);
    EXPECT_EQ(Header()->count, 4);
    ExpectSelectionConsistent();
}

TEST_F(Storage, FailedAllocationsLeaveHeaderHandleAndSelectionAsTheyWere) {
    Take({});
    host.FailAllocationAt(1);
    EXPECT_EQ(Append(1), nullptr);
    EXPECT_EQ(Header()->records, nullptr);
    EXPECT_EQ(Header()->count, 0);
    EXPECT_EQ(Header()->flags & MODIFIED, 0u);
    ASSERT_EQ(host.Boxes().size(), 1u);
    EXPECT_EQ(host.Boxes()[0].titleId, 3);
    EXPECT_EQ(host.Boxes()[0].textId, 5);
    EXPECT_EQ(host.Boxes()[0].text, "\n\n\nCould not allocate memory for the object!");

    Take(Three(), 0, "three.tsc");
    ObjectRecord* records = Header()->records;
    ObjectRecord* selected = state.selectedRecord;
    host.FailAllocationAt(1);
    EXPECT_EQ(Append(40), nullptr);
    EXPECT_EQ(Header()->records, records) << "the old block is put back";
    EXPECT_EQ(state.selectedRecord, selected);
    EXPECT_EQ(Header()->count, 3);
    EXPECT_EQ(Header()->sizeBytes, 228);
    EXPECT_EQ(state.currentScenery->capacityBytes, 228);
    EXPECT_EQ(Index(), 0);
    EXPECT_EQ(int32_t{Record(2)->lat.integer}, 30);
    EXPECT_EQ(BoxesWith(5), 2);
}

TEST_F(Storage, CyclingWrapsAtBothEndsAndSavesEachTime) {
    Take(Three());
    Header()->flags |= MODIFIED;
    EXPECT_EQ(SelectPrevRecord(), Record(2));
    EXPECT_EQ(Index(), 2);
    EXPECT_TRUE(fs::exists(PathOf("s.tsc"))) << "a change of selection is a save point";
    EXPECT_EQ(SelectNextRecord(), Record(0));
    EXPECT_EQ(SelectNextRecord(), Record(1));

    Take({MakeRecord(1, 1, 1)}, MODIFIED, "one.tsc");
    EXPECT_EQ(SelectNextRecord(), Record(0));
    EXPECT_TRUE(fs::exists(PathOf("one.tsc")));
    EXPECT_EQ(SelectPrevRecord(), Record(0));

    Take({}, 0, "empty.tsc");
    state.currentScenery->currentIndex = 5;
    EXPECT_EQ(SelectNextRecord(), nullptr);
    EXPECT_EQ(SelectPrevRecord(), nullptr);
    EXPECT_EQ(Index(), 5);
}

TEST_F(Storage, DeletingMovesTheFollowingRecordsDownAndSaves) {
    Take(Three());
    state.selectedRecord = Record(1);
    state.currentScenery->currentIndex = 1;
    state.forwardSpeed = 4;
    DeleteSelectedObject();
    EXPECT_EQ(Header()->count, 2);
    EXPECT_EQ(Index(), 1);
    EXPECT_EQ(int32_t{state.selectedRecord->lat.integer}, 30) << "the selection holds the former record 2";
    EXPECT_EQ(state.forwardSpeed, 0);
    EXPECT_EQ(state.objectIndex, 3);
    EXPECT_EQ(state.currentScenery->capacityBytes, 228) << "not shrunk until release";
    std::vector<uint8_t> file = testsupport::ReadBytes(PathOf("s.tsc"));
    EXPECT_EQ(file.size(), 48u + 152u);

    // Deleting the last record selects the first.
    DeleteSelectedObject();
    EXPECT_EQ(Header()->count, 1);
    EXPECT_EQ(Index(), 0);
    EXPECT_EQ(int32_t{state.selectedRecord->lat.integer}, 10);
    ExpectSelectionConsistent();
}

TEST_F(Storage, DeletingTheOnlyRecordAsksAndOnlyYesDeletesTheScenery) {
    Take({MakeRecord(1, 2, 3)}, MODIFIED);
    SaveScenery();
    ASSERT_TRUE(fs::exists(PathOf("s.tsc")));

    for (int32_t answer : {int32_t{ANSWER_NO}, 0, 1, 2}) {
        host.Answers().push_back(answer);
        DeleteSelectedObject();
        EXPECT_EQ(Header()->count, 1);
        EXPECT_NE(state.selectedRecord, nullptr);
        EXPECT_FALSE(player.Deleted(0));
    }
    ASSERT_EQ(host.Boxes().size(), 4u);
    EXPECT_EQ(host.Boxes()[0].titleId, 4);
    EXPECT_EQ(host.Boxes()[0].textId, 11);
    EXPECT_EQ(host.Boxes()[0].flags, BOX_YES_NO);

    host.Answers().push_back(ANSWER_YES);
    DeleteSelectedObject();
    EXPECT_TRUE(player.Deleted(0));
    EXPECT_FALSE(fs::exists(PathOf("s.tsc")));
    EXPECT_EQ(state.currentScenery, nullptr) << "the player gave the scenery back through the release callback";
    EXPECT_EQ(state.selectedRecord, nullptr);
    EXPECT_TRUE(NoCallbacks());
    EXPECT_EQ(host.Allocations().liveBlocks, 0) << "the player freed the deleted scenery";
}

TEST_F(Storage, ReleasingSavesTrimsAndClearsInEdit) {
    int index = Take({}, IN_EDIT | 0x40);
    Append(1);
    Append(2);
    ReleaseScenery();
    EXPECT_EQ(state.currentScenery, nullptr);
    EXPECT_EQ(state.selectedRecord, nullptr);
    EXPECT_EQ(state.callbacksRegistered, 0u);
    EXPECT_TRUE(NoCallbacks());
    SceneryHeader* header = player.Header(index);
    EXPECT_EQ(host.BlockSize(header->records), 152u) << "trimmed to the bytes in use";
    EXPECT_EQ(player.Handle(index)->capacityBytes, 152);
    EXPECT_EQ(header->flags, 0x40u) << "saved and no longer in edit";
    EXPECT_EQ(testsupport::ReadBytes(PathOf("s.tsc")).size(), 48u + 152u);

    // An empty scenery is given back untouched; a second release is harmless.
    int empty = Take({}, IN_EDIT, "empty.tsc");
    ReleaseScenery();
    ReleaseScenery();
    EXPECT_EQ(player.Header(empty)->flags, IN_EDIT);
    EXPECT_FALSE(fs::exists(PathOf("empty.tsc")));
}

TEST_F(Storage, AFailedTrimKeepsTheRecordsReachable) {
    int index = Take({});
    Append(1);
    Append(2);
    host.FailAllocationAt(1);
    ReleaseScenery();
    SceneryHeader* header = player.Header(index);
    ASSERT_NE(header->records, nullptr);
    EXPECT_EQ(int32_t{header->records[1].lat.integer}, 2);
    EXPECT_EQ(player.Handle(index)->capacityBytes, 304) << "the capacity still tells the truth";
    EXPECT_TRUE(host.Boxes().empty()) << "the trim reports nothing";
}

}  // namespace
