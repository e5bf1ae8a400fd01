#include "placement/keys.h"

#include "catalog/object_commands.h"
#include "module/host.h"
#include "module/messages.h"
#include "placement/edit_state.h"
#include "placement/motion.h"
#include "resources/resource_ids.h"
#include "scenery/record.h"
#include "scenery/scale.h"
#include "scenery/storage.h"

namespace {

// Windows virtual-key codes of the command table.
enum : uint32_t {
    KEY_CLEAR = 12,
    KEY_RETURN = 13,
    KEY_CONTROL = 17,
    KEY_SPACE = 32,
    KEY_PAGE_UP = 33,
    KEY_PAGE_DOWN = 34,
    KEY_END = 35,
    KEY_HOME = 36,
    KEY_LEFT = 37,
    KEY_UP = 38,
    KEY_RIGHT = 39,
    KEY_DOWN = 40,
    KEY_INSERT = 45,
    KEY_DELETE = 46,
    KEY_A = 65,
    KEY_I = 73,
    KEY_L = 76,
    KEY_Q = 81,
    KEY_ADD = 107,
    KEY_SUBTRACT = 109,
    KEY_F1 = 112,
    KEY_F5 = 116,
    KEY_F8 = 119,
    FIRST_COMMAND_KEY = KEY_CLEAR,
    LAST_COMMAND_KEY = KEY_F8,
};

const uint8_t kCommandKeys[] = {KEY_CLEAR, KEY_RETURN, KEY_SPACE,  KEY_PAGE_UP, KEY_PAGE_DOWN, KEY_END,
                                KEY_HOME,  KEY_LEFT,   KEY_UP,     KEY_RIGHT,   KEY_DOWN,      KEY_INSERT,
                                KEY_DELETE, KEY_A,     KEY_I,      KEY_L,       KEY_Q,         KEY_ADD,
                                KEY_SUBTRACT, KEY_F1,  KEY_F5,     KEY_F8};
static_assert(sizeof kCommandKeys == 22, "22 chords");

constexpr char kHelpFile[] = "QIRO\\TAVU\\TAVU.CHM";
constexpr char kHelpTopic[] = "/Commands.htm";
constexpr int32_t kMaxScalePercent = 2000;
constexpr int32_t kMinScalePercent = 1;

bool IsCommandKey(uint32_t keyCode) {
    for (uint8_t key : kCommandKeys) {
        if (key == keyCode) {
            return true;
        }
    }
    return false;
}

void MarkModified() { (*state.currentScenery->header)->flags |= MODIFIED; }

void Level(bool withHeading) {
    state.bankAcc = 0;
    state.pitchAcc = 0;
    state.bankRate = 0;
    state.pitchRate = 0;
    if (withHeading) {
        state.headingAcc = 0;
        state.headingRate = 0;
    }
    MarkModified();
}

void NudgeSpeed(int32_t* speed, bool positive) {
    *speed = Nudge32(*speed, SPEED_START, SPEED_LIMIT, positive);
    UpdateHeadingVelocity(state.velocityHeading);
}

void NudgeRate(int32_t* rate, bool positive) { *rate = Nudge32(*rate, RATE_START, RATE_LIMIT, positive); }

void NudgeClimb(bool positive) {
    state.altVelocity = Nudge64(state.altVelocity, ALT_VELOCITY_START, ALT_VELOCITY_LIMIT, positive);
}

void Rescale(int32_t change) {
    if (state.scalePercent <= 0) {
        return;
    }
    int32_t percent = state.scalePercent + change;
    if (change > 0 && percent > kMaxScalePercent) {
        percent = kMaxScalePercent;
    }
    if (change < 0 && percent < kMinScalePercent) {
        percent = kMinScalePercent;
    }
    state.scalePercent = percent;
    state.selectedRecord->scale = static_cast<uint32_t>(static_cast<int32_t>(SCALE_PERCENT_NUMERATOR) / percent);
    MarkModified();
}

void SelectRecord(ObjectRecord* record) {
    if (record != nullptr) {
        state.selectedRecord = record;
        LoadEditState(record);
    }
}

void AnotherScenery() {
    int32_t running = 0;
    SelectScenery(1, &running);
}

void RunCommand(uint32_t keyCode, bool variant) {
    switch (keyCode) {
        case KEY_CLEAR:
        case KEY_I:
            StopMotion();
            break;
        case KEY_RETURN:
            EditObjectProperties();
            break;
        case KEY_SPACE:
            Level(variant);
            break;
        case KEY_PAGE_UP:
            NudgeRate(&state.bankRate, false);
            break;
        case KEY_PAGE_DOWN:
            NudgeRate(&state.headingRate, true);
            break;
        case KEY_END:
            NudgeRate(&state.headingRate, false);
            break;
        case KEY_HOME:
            NudgeRate(&state.bankRate, true);
            break;
        case KEY_LEFT:
            if (variant) {
                SelectRecord(SelectPrevRecord());
            } else {
                NudgeSpeed(&state.sideSpeed, false);
            }
            break;
        case KEY_UP:
            NudgeSpeed(&state.forwardSpeed, true);
            break;
        case KEY_RIGHT:
            if (variant) {
                SelectRecord(SelectNextRecord());
            } else {
                NudgeSpeed(&state.sideSpeed, true);
            }
            break;
        case KEY_DOWN:
            NudgeSpeed(&state.forwardSpeed, false);
            break;
        case KEY_INSERT:
            AddObject();
            break;
        case KEY_DELETE:
            DeleteSelectedObject();
            break;
        case KEY_A:
            NudgeClimb(false);
            break;
        case KEY_Q:
            NudgeClimb(true);
            break;
        case KEY_L:
            AnotherScenery();
            break;
        case KEY_ADD:
            Rescale(variant ? 10 : 1);
            break;
        case KEY_SUBTRACT:
            Rescale(variant ? -10 : -1);
            break;
        case KEY_F1:
            ShowHelp(kHelpFile, kHelpTopic);
            break;
        case KEY_F5:
            NudgeRate(&state.pitchRate, false);
            break;
        case KEY_F8:
            NudgeRate(&state.pitchRate, true);
            break;
        default:
            break;
    }
}

}  // namespace

uint32_t TAVU_CALL OnKey(uint32_t keyCode, uint32_t modifiers) {
    if ((modifiers & MODIFIER_COMMAND) == 0 || keyCode == KEY_CONTROL) {
        return 1;
    }
    // Every chord but adding and another scenery needs a selected object,
    // and the user is told so even for a key that is no command.
    if (state.selectedRecord == nullptr && keyCode != KEY_INSERT && keyCode != KEY_L) {
        ShowWarningBox(IDS_NEED_SELECTION);
        return 1;
    }
    if (keyCode < FIRST_COMMAND_KEY || keyCode > LAST_COMMAND_KEY || !IsCommandKey(keyCode)) {
        return 1;
    }
    RunCommand(keyCode, (modifiers & MODIFIER_VARIANT) != 0);
    return 0;
}

uint32_t TAVU_CALL KeyFilter(uint32_t keyCode, uint32_t modifiers) {
    return (modifiers & MODIFIER_COMMAND) != 0 && IsCommandKey(keyCode) ? 0 : 1;
}
