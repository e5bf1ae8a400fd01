// Message boxes of the module: a title and a text from its string table.
#pragma once

#include <stdint.h>

#include "module/host.h"
#include "placement/edit_state.h"
#include "resources/resource_ids.h"

inline int32_t ShowErrorBox(int32_t textId) {
    return ShowMessage(state.moduleInstance, IDS_CAPTION_ERROR, textId, 0, BOX_ONE_BUTTON);
}
inline int32_t ShowWarningBox(int32_t textId) {
    return ShowMessage(state.moduleInstance, IDS_CAPTION_WARNING, textId, 0, BOX_ONE_BUTTON);
}
inline int32_t AskYesNo(int32_t textId) {
    return ShowMessage(state.moduleInstance, IDS_CAPTION_WARNING, textId, 0, BOX_YES_NO);
}
