// The key chords, pressed through the host's key hook during a run.
#include "placement/motion.h"
#include "scenery/scale.h"
#include "tests/support/module_fixture.h"

using testsupport::MakeRecord;

namespace {

constexpr uint32_t kCtrl = MODIFIER_COMMAND;
constexpr uint32_t kCtrlShift = MODIFIER_COMMAND | MODIFIER_VARIANT;
const uint32_t kCommandKeys[] = {12, 13, 32, 33, 34, 35, 36, 37, 38, 39, 40,
                                 45, 46, 65, 73, 76, 81, 107, 109, 112, 116, 119};

class Keys : public testsupport::ModuleTest {
protected:
    void StartWithObjects(int count = 1) {
        std::vector<ObjectRecord> records;
        for (int i = 0; i < count; ++i) {
            records.push_back(MakeRecord(1000 * (i + 1), 0, 100, 174));
        }
        StartOn(records);
        Header()->flags &= ~MODIFIED;
    }
    bool Modified() const { return Header()->flags & MODIFIED; }
    bool IsCommand(uint32_t key) const {
        return std::find(std::begin(kCommandKeys), std::end(kCommandKeys), key) != std::end(kCommandKeys);
    }
};

TEST_F(Keys, FilterTakesExactlyTheCommandChords) {
    for (uint32_t key = 0; key < 256; ++key) {
        for (uint32_t modifiers : {0u, 1u, 2u, 3u, 6u}) {
            uint32_t expected = (modifiers & 2) && IsCommand(key) ? 0 : 1;
            EXPECT_EQ(KeyFilter(key, modifiers), expected) << key << " " << modifiers;
        }
    }
    EXPECT_EQ(state.selectedRecord, nullptr) << "the filter does not look at the selection";
}

TEST_F(Keys, ChordsWithoutTheCommandBitOrControlItselfPassThrough) {
    StartWithObjects();
    for (uint32_t key = 0; key < 256; ++key) {
        EXPECT_EQ(Press(key, 0), 1u);
        EXPECT_EQ(Press(key, MODIFIER_VARIANT), 1u);
    }
    EXPECT_EQ(Press(17, kCtrl), 1u);
    EXPECT_EQ(state.forwardSpeed | state.pitchRate, 0);
    EXPECT_FALSE(Modified());
    EXPECT_TRUE(host.Boxes().empty());
    EXPECT_EQ(host.DialogCount(), 0);
}

TEST_F(Keys, WithoutASelectionOnlyInsertAndLRun) {
    player.HandOutNothing(true);
    ASSERT_EQ(Start(), 1);
    for (uint32_t key : {38u, 112u, 90u, 13u, 46u, 200u}) {
        host.ClearBoxes();
        EXPECT_EQ(Press(key), 1u) << key;
        ASSERT_EQ(host.Boxes().size(), 1u) << key;
        EXPECT_EQ(host.Boxes()[0].titleId, 4);
        EXPECT_EQ(host.Boxes()[0].textId, 8);
        EXPECT_EQ(host.Boxes()[0].flags, BOX_ONE_BUTTON);
    }
    host.ClearBoxes();
    EXPECT_EQ(Press('L'), 0u);
    EXPECT_EQ(player.RequestedModes().back(), 1);
    EXPECT_EQ(Press(45), 0u) << "Insert asks the player, then gives up quietly";
    EXPECT_EQ(player.RequestedModes().back(), 1);
    EXPECT_TRUE(host.Boxes().empty());
    EXPECT_TRUE(host.HelpRequests().empty());
}

TEST_F(Keys, OtherCodesWithASelectionPassSilently) {
    StartWithObjects();
    for (uint32_t key : {0u, 11u, 14u, 90u, 120u, 255u}) {
        EXPECT_EQ(Press(key), 1u) << key;
    }
    EXPECT_TRUE(host.Boxes().empty());
}

TEST_F(Keys, EveryCommandRowWithAndWithoutTheVariantBit) {
    StartWithObjects(3);
    struct Row {
        uint32_t key;
        std::function<bool()> plain;    // effect with bit value 1 clear
        std::function<bool()> variant;  // effect with it set
    };
    const Row rows[] = {
        {33, [] { return state.bankRate == -1456; }, [] { return state.bankRate == -1456; }},
        {36, [] { return state.bankRate == 1456; }, [] { return state.bankRate == 1456; }},
        {34, [] { return state.headingRate == 1456; }, [] { return state.headingRate == 1456; }},
        {35, [] { return state.headingRate == -1456; }, [] { return state.headingRate == -1456; }},
        {116, [] { return state.pitchRate == -1456; }, [] { return state.pitchRate == -1456; }},
        {119, [] { return state.pitchRate == 1456; }, [] { return state.pitchRate == 1456; }},
        {38, [] { return state.forwardSpeed == 2 && state.latVelocity != 0; },
         [] { return state.forwardSpeed == 2; }},
        {40, [] { return state.forwardSpeed == -2 && state.latVelocity != 0; },
         [] { return state.forwardSpeed == -2; }},
        {39, [] { return state.sideSpeed == 2 && state.lonVelocity != 0; },
         [this] { return Index() == 1 && state.sideSpeed == 0; }},
        {37, [] { return state.sideSpeed == -2 && state.lonVelocity != 0; },
         [this] { return Index() == 2 && state.sideSpeed == 0; }},
        {81, [] { return state.altVelocity == 65536; }, [] { return state.altVelocity == 65536; }},
        {65, [] { return state.altVelocity == -65536; }, [] { return state.altVelocity == -65536; }},
        {107, [] { return state.scalePercent == 101; }, [] { return state.scalePercent == 110; }},
        {109, [] { return state.scalePercent == 99; }, [] { return state.scalePercent == 90; }},
        {112, [this] { return host.HelpRequests().size() == 1; }, [this] { return host.HelpRequests().size() == 1; }},
        {13, [this] { return host.DialogCount() == 1; }, [this] { return host.DialogCount() == 1; }},
        {76, [this] { return player.RequestedModes().back() == 1; },
         [this] { return player.RequestedModes().back() == 1; }},
    };
    for (const Row& row : rows) {
        for (bool variant : {false, true}) {
            SCOPED_TRACE(testing::Message() << "key " << row.key << (variant ? " with bit 1" : ""));
            // Back to a known state: the first object selected, at rest.
            if (state.currentScenery == nullptr || Header()->count != 3) {
                StartWithObjects(3);
            }
            state.currentScenery->currentIndex = 0;
            state.selectedRecord = Record(0);
            LoadEditState(state.selectedRecord);
            state.scalePercent = 100;
            host.ClearBoxes();
            host.dialogRunner = nullptr;
            host.ClearHelpRequests();
            int dialogsBefore = host.DialogCount();
            EXPECT_EQ(Press(row.key, variant ? kCtrlShift : kCtrl), 0u);
            if (row.key == 13) {
                EXPECT_EQ(host.DialogCount(), dialogsBefore + 1);
            } else {
                EXPECT_TRUE((variant ? row.variant : row.plain)());
            }
        }
    }
}

TEST_F(Keys, NudgesDoubleHalveAndStopAsMirrorImages) {
    StartWithObjects();
    for (int i = 0; i < 3; ++i) {
        Press(38);
    }
    EXPECT_EQ(state.forwardSpeed, 8);
    Press(40);
    EXPECT_EQ(state.forwardSpeed, 4);
    Press(40);
    Press(40);
    EXPECT_EQ(state.forwardSpeed, 0);
    EXPECT_EQ(state.latVelocity, 0) << "the velocity follows even to rest";
    Press(40);
    EXPECT_EQ(state.forwardSpeed, -2);

    Press(116);
    EXPECT_EQ(state.pitchRate, -1456);
    Press(119);
    EXPECT_EQ(state.pitchRate, 0);

    Press('Q');
    Press('Q');
    EXPECT_EQ(state.altVelocity, 131072);
    Press('A');
    EXPECT_EQ(state.altVelocity, 65536);
    Press('A');
    EXPECT_EQ(state.altVelocity, 0);

    // Each pair, pressed far past its limit, stays an exact mirror; the top
    // comes at the press the widths allow and then stays; and n presses of
    // one key then n of the other come back to rest for every n up to that
    // press: the halving retraces the doubling, sign for sign.
    const struct {
        uint32_t plus, minus;
        int top;  // the press that reaches the limit
    } pairs[] = {{38, 40, 14}, {39, 37, 14}, {81, 65, 32}, {119, 116, 21}, {36, 33, 21}, {34, 35, 21}};
    for (auto [plus, minus, top] : pairs) {
        auto value = [&, plus = plus]() -> int64_t {
            switch (plus) {
                case 38: return state.forwardSpeed;
                case 39: return state.sideSpeed;
                case 81: return state.altVelocity;
                case 119: return state.pitchRate;
                case 36: return state.bankRate;
                default: return state.headingRate;
            }
        };
        auto run = [&](uint32_t first, uint32_t second, int n) {
            LoadEditState(state.selectedRecord);
            std::vector<int64_t> values;
            for (int i = 0; i < n; ++i) {
                Press(first);
                values.push_back(value());
            }
            for (int i = 0; i < n; ++i) {
                Press(second);
                values.push_back(value());
            }
            return values;
        };
        std::vector<int64_t> up = run(plus, minus, 40), down = run(minus, plus, 40);
        for (int64_t& v : down) {
            v = -v;
        }
        EXPECT_EQ(up, down) << plus;
        EXPECT_LT(up[top - 2], up[top - 1]) << plus;
        EXPECT_EQ(std::count(up.begin(), up.begin() + 40, up[top - 1]), 40 - top + 1) << plus << " stays";
        EXPECT_GT(up[top - 1], 0) << "saturated, not wrapped";
        for (int n = 1; n <= top; ++n) {
            EXPECT_EQ(run(plus, minus, n).back(), 0) << plus << " x" << n;
            EXPECT_EQ(run(minus, plus, n).back(), 0) << minus << " x" << n;
        }
    }
}

TEST_F(Keys, ScaleStepsStayWithinTheirLimits) {
    StartWithObjects();
    state.scalePercent = 1995;
    EXPECT_EQ(Press(107, kCtrlShift), 0u);
    EXPECT_EQ(state.scalePercent, 2000);
    EXPECT_EQ(Record(0)->scale, 3276u);

    Header()->flags &= ~MODIFIED;
    Press(107);
    EXPECT_EQ(state.scalePercent, 2000);
    EXPECT_TRUE(Modified()) << "set even when the limit held the value";

    state.scalePercent = 5;
    Press(109, kCtrlShift);
    EXPECT_EQ(state.scalePercent, 1);
    EXPECT_EQ(Record(0)->scale, 6553600u);

    for (int32_t inactive : {0, -7}) {
        state.scalePercent = inactive;
        Record(0)->scale = 12345;
        Header()->flags &= ~MODIFIED;
        EXPECT_EQ(Press(107), 0u);
        EXPECT_EQ(Press(109), 0u);
        EXPECT_EQ(state.scalePercent, inactive);
        EXPECT_EQ(Record(0)->scale, 12345u);
        EXPECT_FALSE(Modified());
    }
}

TEST_F(Keys, LevelStopAndCycling) {
    StartWithObjects();
    state.pitchAcc = state.bankAcc = state.headingAcc = 0x10000;
    state.pitchRate = state.bankRate = state.headingRate = 1456;
    Press(32);
    EXPECT_EQ(state.pitchAcc | state.bankAcc | state.pitchRate | state.bankRate, 0);
    EXPECT_EQ(state.headingAcc, 0x10000);
    EXPECT_EQ(state.headingRate, 1456);
    EXPECT_TRUE(Modified());
    Press(32, kCtrlShift);
    EXPECT_EQ(state.headingAcc | state.headingRate, 0);

    // Stop keeps the angles where they are and changes no flag.
    Header()->flags &= ~MODIFIED;
    state.headingAcc = 0x20000;
    for (uint32_t stop : {12u, 73u}) {
        state.forwardSpeed = 4;
        state.altVelocity = 65536;
        state.latVelocity = state.lonVelocity = 9;
        state.headingRate = 1456;
        Press(stop);
        EXPECT_EQ(state.forwardSpeed | state.headingRate, 0);
        EXPECT_EQ(state.altVelocity | state.latVelocity | state.lonVelocity, 0);
        EXPECT_EQ(state.headingAcc, 0x20000);
        EXPECT_FALSE(Modified());
    }

    // One record: the next one is itself again, at rest.
    state.forwardSpeed = 4;
    EXPECT_EQ(Press(39, kCtrlShift), 0u);
    EXPECT_EQ(state.selectedRecord, Record(0));
    EXPECT_EQ(state.forwardSpeed, 0);
}

TEST_F(Keys, HelpAndDeleteReachTheirCommands) {
    StartWithObjects(2);
    Press(112);
    ASSERT_EQ(host.HelpRequests().size(), 1u);
    EXPECT_EQ(host.HelpRequests()[0].first, "QIRO\\TAVU\\TAVU.CHM");
    EXPECT_EQ(host.HelpRequests()[0].second, "/Commands.htm");
    EXPECT_EQ(Press(46), 0u);
    EXPECT_EQ(Header()->count, 1);
}

}  // namespace
