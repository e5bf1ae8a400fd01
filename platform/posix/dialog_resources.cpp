// Lookup of the dialog templates generated from resources/*.rc.
#include "platform/resources.h"

namespace platform {

const DialogResource* FindDialogResource(UINT id, LANGID language) {
    for (size_t i = 0; i < DIALOG_RESOURCE_COUNT; ++i) {
        if (DIALOG_RESOURCES[i].language == language && DIALOG_RESOURCES[i].id == id) {
            return &DIALOG_RESOURCES[i];
        }
    }
    return nullptr;
}

}  // namespace platform
