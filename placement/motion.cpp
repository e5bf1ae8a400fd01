#include "placement/motion.h"

#include "catalog/catalog.h"
#include "module/host.h"
#include "module/wrap.h"
#include "placement/edit_state.h"
#include "scenery/record.h"
#include "scenery/scale.h"

namespace {

template <typename T>
T Nudge(T value, T start, T limit, bool positive) {
    if (value == 0) {
        return positive ? start : -start;
    }
    if ((value > 0) == positive) {
        T magnitude = value > 0 ? value : -value;
        if (magnitude > limit / 2) {
            return value > 0 ? limit : -limit;
        }
        return value * 2;
    }
    T half = value / 2;  // truncates toward zero
    if (half < start && half > -start) {
        return 0;
    }
    return half;
}

// The 48-bit position as a 64-bit working value with zero low bits.
int64_t Widen(const Position48& position) {
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(position.integer)) << 32) |
                                (static_cast<uint64_t>(position.fraction) << 16));
}

void Narrow(int64_t value, Position48* position) {
    uint64_t bits = static_cast<uint64_t>(value);
    position->integer = static_cast<int32_t>(static_cast<uint32_t>(bits >> 32));
    position->fraction = static_cast<uint16_t>(bits >> 16);
}

void Move(Position48* position, int64_t velocity, uint16_t step) {
    Narrow(WrapAdd64(Widen(*position), velocity * static_cast<int64_t>(step)), position);
}

int32_t Turn(int32_t accumulator, int32_t rate, uint16_t step) {
    // Angles wrap at a full turn, which is the accumulator's 32 bits.
    uint64_t turn = static_cast<uint64_t>(static_cast<int64_t>(rate) * static_cast<int64_t>(step));
    return static_cast<int32_t>(static_cast<uint32_t>(accumulator) + static_cast<uint32_t>(turn));
}

int16_t AngleOf(int32_t accumulator) {
    return static_cast<int16_t>(static_cast<uint32_t>(accumulator) >> 16);
}

}  // namespace

int32_t Nudge32(int32_t value, int32_t start, int32_t limit, bool positive) {
    return Nudge(value, start, limit, positive);
}

int64_t Nudge64(int64_t value, int64_t start, int64_t limit, bool positive) {
    return Nudge(value, start, limit, positive);
}

void StopMotion() {
    state.forwardSpeed = 0;
    state.sideSpeed = 0;
    state.bankRate = 0;
    state.headingRate = 0;
    state.pitchRate = 0;
    state.latVelocity = 0;
    state.altVelocity = 0;
    state.lonVelocity = 0;
}

void LoadEditState(ObjectRecord* record) {
    StopMotion();
    if (record == nullptr) {
        state.bankAcc = 0;
        state.headingAcc = 0;
        state.pitchAcc = 0;
        return;
    }
    state.pitchAcc = ShiftLeft32(record->pitch, 16);
    state.headingAcc = ShiftLeft32(record->heading, 16);
    state.bankAcc = ShiftLeft32(record->bank, 16);
    // A scale of 0 has no percentage; 0 keeps the scale keys inactive.
    uint32_t scale = record->scale;
    state.scalePercent = scale == 0 ? 0 : static_cast<int32_t>(SCALE_PERCENT_NUMERATOR / scale);
    state.maxDistance = record->maxDistance;
    int32_t entry = 0, group = 0;
    if (FindCatalogEntry(record->objectKey, &entry, &group)) {
        state.objectIndex = entry;
        state.groupIndex = group;
    }
}

void UpdateHeadingVelocity(uint32_t heading) {
    state.velocityHeading = heading;
    int16_t s = 0, c = 0;
    SinCos(static_cast<uint32_t>(static_cast<int32_t>(heading) >> 16), &s, &c);
    // Products stay inside 32 bits by the speed limit.
    int32_t latitude = c * state.forwardSpeed - s * state.sideSpeed;
    state.latVelocity = latitude;
    int32_t across = (c * state.sideSpeed + s * state.forwardSpeed) >> 7;
    int32_t longitude = DistanceToLon(across, state.selectedRecord->lat.integer);
    state.lonVelocity = ShiftLeft64(longitude, 7);
}

void TAVU_CALL OnFrame(uint32_t, uint32_t) {
    if (*SimGlobal<uint32_t>(SG_FRAME_PAUSED) != 0) {
        return;
    }
    uint32_t heading = *SimGlobal<uint32_t>(SG_AIRCRAFT_HEADING);
    if (heading != state.velocityHeading) {
        UpdateHeadingVelocity(heading);
    }
    uint16_t step = *SimGlobal<uint16_t>(SG_FRAME_STEP);
    ObjectRecord* record = state.selectedRecord;
    Move(&record->lat, state.latVelocity, step);
    Move(&record->lon, state.lonVelocity, step);
    Move(&record->alt, state.altVelocity, step);
    state.pitchAcc = Turn(state.pitchAcc, state.pitchRate, step);
    state.headingAcc = Turn(state.headingAcc, state.headingRate, step);
    state.bankAcc = Turn(state.bankAcc, state.bankRate, step);
    record->pitch = AngleOf(state.pitchAcc);
    record->heading = AngleOf(state.headingAcc);
    record->bank = AngleOf(state.bankAcc);
    if (state.lonVelocity != 0 || state.altVelocity != 0 || state.latVelocity != 0 || state.pitchRate != 0 ||
        state.headingRate != 0 || state.bankRate != 0) {
        (*state.currentScenery->header)->flags |= MODIFIED;
    }
}
