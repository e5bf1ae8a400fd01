// Lookup of the dialog templates generated from resources/*.rc, or of the
// current resource provider's.
#include "platform/resources.h"

namespace platform {

const DialogResource* FindDialogResource(UINT id, LANGID language) {
    if (const ResourceProvider* provider = CurrentResourceProvider()) {
        return provider->FindDialog(id, language);
    }
    for (size_t i = 0; i < DIALOG_RESOURCE_COUNT; ++i) {
        if (DIALOG_RESOURCES[i].language == language && DIALOG_RESOURCES[i].id == id) {
            return &DIALOG_RESOURCES[i];
        }
    }
    return nullptr;
}

}  // namespace platform
