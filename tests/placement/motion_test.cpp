// Loading the edit state from a record, and moving and turning the selected
// object frame by frame.
#include "placement/motion.h"
#include "module/wrap.h"
#include "scenery/scale.h"
#include "tests/support/editor_fixture.h"

using testsupport::MakeRecord;

namespace {

class Motion : public testsupport::EditorTest {
protected:
    Motion() {
        Take({MakeRecord(5, 7, 100, 174)});
        host.SetGlobal<uint16_t>(SG_FRAME_STEP, 1);
    }
    ObjectRecord* Selected() { return state.selectedRecord; }
    void Frame() { OnFrame(0, 0); }
    bool Modified() { return Header()->flags & MODIFIED; }
};

TEST_F(Motion, LoadingNothingStopsMotionAndKeepsTheDialogValues) {
    state.forwardSpeed = 4;
    state.sideSpeed = -2;
    state.pitchRate = state.bankRate = state.headingRate = 1456;
    state.latVelocity = state.lonVelocity = state.altVelocity = 99;
    state.pitchAcc = state.bankAcc = state.headingAcc = 0x10000;
    state.scalePercent = 150;
    state.maxDistance = 2500;
    state.objectIndex = 17;
    state.groupIndex = 0;
    state.velocityHeading = 0x1234;
    LoadEditState(nullptr);
    EXPECT_EQ(state.forwardSpeed | state.sideSpeed | state.pitchRate | state.bankRate | state.headingRate, 0);
    EXPECT_EQ(state.latVelocity | state.lonVelocity | state.altVelocity, 0);
    EXPECT_EQ(state.pitchAcc | state.bankAcc | state.headingAcc, 0);
    EXPECT_EQ(state.scalePercent, 150);
    EXPECT_EQ(state.maxDistance, 2500u);
    EXPECT_EQ(state.objectIndex, 17);
    EXPECT_EQ(state.velocityHeading, 0x1234u);
}

TEST_F(Motion, LoadingARecordTakesItsAnglesScaleRangeAndCatalogEntry) {
    ObjectRecord record = MakeRecord(0, 0, 65535, 272);
    record.pitch = -1;
    record.heading = 0x4000;
    record.bank = -32768;
    LoadEditState(&record);
    EXPECT_EQ(static_cast<uint32_t>(state.pitchAcc), 0xFFFF0000u);
    EXPECT_EQ(state.headingAcc, 0x40000000);
    EXPECT_EQ(static_cast<uint32_t>(state.bankAcc), 0x80000000u);
    EXPECT_EQ(state.maxDistance, 65535u);
    EXPECT_EQ(state.objectIndex, 272);
    EXPECT_EQ(state.groupIndex, 9);

    const struct {
        uint32_t scale;
        int32_t percent;
    } scales[] = {{65536, 100}, {3276, 2000}, {1u << 22, 1}, {1u << 25, 0}, {0x80000000u, 0}, {0, 0}, {1, 6553600}};
    for (auto [scale, percent] : scales) {
        record.scale = scale;
        LoadEditState(&record);
        EXPECT_EQ(state.scalePercent, percent) << scale;
    }

    record.objectKey[15] = 0x7F;  // no entry has this key
    state.objectIndex = 3;
    state.groupIndex = 0;
    LoadEditState(&record);
    EXPECT_EQ(state.objectIndex, 3);
    EXPECT_EQ(state.groupIndex, 0);
}

TEST_F(Motion, PositionsCarryAndBorrowAcrossTheFraction) {
    Selected()->lat = {0xFFFF, 5};
    state.latVelocity = 65536;
    Frame();
    EXPECT_EQ(int32_t{Selected()->lat.integer}, 6);
    EXPECT_EQ(Selected()->lat.fraction, 0);

    Selected()->lat = {0, 5};
    state.latVelocity = -65536;
    Frame();
    EXPECT_EQ(int32_t{Selected()->lat.integer}, 4);
    EXPECT_EQ(Selected()->lat.fraction, 0xFFFF);

    // Half a fraction unit is dropped with the low bits each frame.
    state.latVelocity = state.lonVelocity = 0x8000;
    for (int i = 0; i < 10; ++i) {
        Frame();
    }
    EXPECT_EQ(int32_t{Selected()->lat.integer}, 4);
    EXPECT_EQ(Selected()->lat.fraction, 0xFFFF);
    EXPECT_EQ(int32_t{Selected()->lon.integer}, 7);
    EXPECT_EQ(Selected()->lon.fraction, 0);

    // The step multiplies the motion; altitude moves on its own velocity.
    host.SetGlobal<uint16_t>(SG_FRAME_STEP, 50);
    state.latVelocity = state.lonVelocity = 0;
    state.altVelocity = -65536;
    Frame();
    EXPECT_EQ(int32_t{Selected()->alt.integer}, -1);
    EXPECT_EQ(Selected()->alt.fraction, 65536 - 50);
}

TEST_F(Motion, AnglesWrapAndAreWrittenEveryFrame) {
    state.headingAcc = 0x7FFFFA50;
    state.headingRate = 1456;
    Frame();
    EXPECT_EQ(static_cast<uint32_t>(state.headingAcc), 0x80000000u);
    EXPECT_EQ(static_cast<uint16_t>(Selected()->heading), 0x8000);

    state.headingRate = 0;
    state.pitchAcc = static_cast<int32_t>(0xFFFFF000u);
    state.pitchRate = 0x1000;
    Frame();
    EXPECT_EQ(Selected()->pitch, 0) << "0xFFFF wraps to 0";

    // A change made elsewhere lasts only until the next frame.
    state.pitchRate = 0;
    Selected()->bank = 1234;
    Frame();
    EXPECT_EQ(Selected()->bank, 0);
}

TEST_F(Motion, ModifiedOnlyWhileSomethingMovesAndNothingWhilePaused) {
    state.forwardSpeed = 8;  // speeds alone do not count
    Frame();
    EXPECT_FALSE(Modified());

    // Any one velocity or rate alone marks the scenery.
    for (int which = 0; which < 6; ++which) {
        StopMotion();
        Header()->flags &= ~MODIFIED;
        int32_t* rates[] = {&state.pitchRate, &state.headingRate, &state.bankRate};
        int64_t* velocities[] = {&state.latVelocity, &state.lonVelocity, &state.altVelocity};
        if (which < 3) {
            *rates[which] = 1;
        } else {
            *velocities[which - 3] = 1;
        }
        Frame();
        EXPECT_TRUE(Modified()) << which;
    }
    StopMotion();
    Header()->flags &= ~MODIFIED;

    host.SetGlobal<uint16_t>(SG_FRAME_STEP, 0);
    state.bankRate = -1456;
    state.bankAcc = 0x20000;
    Frame();
    EXPECT_TRUE(Modified()) << "a zero step still counts a non-zero rate";
    EXPECT_EQ(Selected()->bank, 2) << "and still writes the angles";

    Header()->flags &= ~MODIFIED;
    host.SetGlobal<uint16_t>(SG_FRAME_STEP, 1);
    host.SetGlobal<uint32_t>(SG_FRAME_PAUSED, 1);
    host.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, 0x40000000);
    ObjectRecord before = *Selected();
    Frame();
    EXPECT_EQ(memcmp(&before, Selected(), sizeof before), 0);
    EXPECT_FALSE(Modified());
    EXPECT_EQ(state.velocityHeading, 0u) << "not even the heading is taken while paused";
}

TEST_F(Motion, VelocitiesFollowTheHeadingAndAreRecomputedOnlyWhenItChanges) {
    state.forwardSpeed = 2;
    UpdateHeadingVelocity(0);  // north
    EXPECT_EQ(state.latVelocity, 2 * 32767);
    EXPECT_EQ(state.lonVelocity, 0);

    int64_t before = host.PureCalls().distanceToLon;
    Frame();
    Frame();
    EXPECT_EQ(host.PureCalls().distanceToLon, before) << "no heading change, no conversion";

    host.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, 0x40000000);  // east
    Frame();
    EXPECT_EQ(host.PureCalls().distanceToLon, before + 1);
    EXPECT_EQ(state.velocityHeading, 0x40000000u);
    EXPECT_EQ(state.latVelocity, 0);
    int32_t across = (2 * 32767) >> 7;
    EXPECT_EQ(state.lonVelocity, int64_t{sim::MetresToLonUnits(across, Selected()->lat.integer)} * 128);

    // Side speed runs to the right of the heading: west when facing south,
    // south when facing east.
    state.forwardSpeed = 0;
    state.sideSpeed = 2;
    UpdateHeadingVelocity(0x80000000u);
    EXPECT_LT(state.lonVelocity, 0);
    EXPECT_EQ(state.latVelocity, 0);
    UpdateHeadingVelocity(0x40000000u);
    EXPECT_EQ(state.latVelocity, -2 * 32767);
    EXPECT_EQ(state.lonVelocity, 0);

    state.sideSpeed = 0;
    before = host.PureCalls().distanceToLon;
    host.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, 0x12345678);
    Frame();
    EXPECT_EQ(state.latVelocity | state.lonVelocity, 0);
    EXPECT_EQ(host.PureCalls().distanceToLon, before + 1) << "the conversion is still asked, with 0";
}

TEST(Nudge, DoublesHalvesStopsAndSaturatesAsMirrorImages) {
    EXPECT_EQ(Nudge32(0, 2, SPEED_LIMIT, true), 2);
    EXPECT_EQ(Nudge32(2, 2, SPEED_LIMIT, true), 4);
    EXPECT_EQ(Nudge32(4, 2, SPEED_LIMIT, false), 2);
    EXPECT_EQ(Nudge32(2, 2, SPEED_LIMIT, false), 0);
    EXPECT_EQ(Nudge32(0, 2, SPEED_LIMIT, false), -2);
    EXPECT_EQ(Nudge32(-1456, 1456, RATE_LIMIT, true), 0);

    struct Ladder {
        int64_t start, limit;
    } ladders[] = {{SPEED_START, SPEED_LIMIT}, {RATE_START, RATE_LIMIT}, {ALT_VELOCITY_START, ALT_VELOCITY_LIMIT}};
    for (auto [start, limit] : ladders) {
        int64_t up = 0, down = 0;
        int presses = 0;
        for (; presses < 80; ++presses) {
            up = Nudge64(up, start, limit, true);
            down = Nudge64(down, start, limit, false);
            ASSERT_EQ(up, -down) << "opposite keys mirror each other";
            ASSERT_LE(up, limit);
            if (up == limit && presses > 1) {
                break;
            }
        }
        EXPECT_EQ(Nudge64(up, start, limit, true), limit) << "doubling stops at the limit";
        // Back down the same ladder to rest.
        while (up != 0) {
            int64_t next = Nudge64(up, start, limit, false);
            ASSERT_TRUE(next == up / 2 || next == 0);
            up = next;
        }
        if (limit <= INT32_MAX) {
            EXPECT_EQ(Nudge32(static_cast<int32_t>(limit), static_cast<int32_t>(start), static_cast<int32_t>(limit),
                              true),
                      limit);
        }
    }
}

// Top speeds with the largest step the host word can hold, both ways: every
// product must fit (UBSan would stop the test on an overflow).
TEST_F(Motion, TopSpeedsAtTheLargestStepStayWithinTheirWidths) {
    host.SetGlobal<uint16_t>(SG_FRAME_STEP, 0xFFFF);
    for (int32_t sign : {1, -1}) {
        state.forwardSpeed = sign * SPEED_LIMIT;
        state.sideSpeed = -sign * SPEED_LIMIT;
        state.altVelocity = sign * ALT_VELOCITY_LIMIT;
        state.pitchRate = sign * RATE_LIMIT;
        state.bankRate = -sign * RATE_LIMIT;
        state.headingRate = sign * RATE_LIMIT;
        for (uint32_t heading : {0u, 0x20000000u, 0x60000000u, 0xA0000000u, 0xE0000000u}) {
            host.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, heading);
            Position48 alt = Selected()->alt;
            Frame();
            // 2^47 for 0xFFFF steps is 2^15 * 0xFFFF whole units, the fraction untouched.
            EXPECT_EQ(WrapSub32(Selected()->alt.integer, alt.integer), sign * 0x7FFF8000);
            EXPECT_EQ(uint16_t{Selected()->alt.fraction}, uint16_t{alt.fraction});
        }
    }
    EXPECT_TRUE(Modified());
}

}  // namespace
