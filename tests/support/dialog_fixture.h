// A run of the module whose dialogs are played through the headless dialog
// manager, with the preview bitmaps of the build's data folder.
#pragma once

#include <functional>

#include "platform/bitmaps.h"
#include "platform/dialogs.h"
#include "resources/resource_ids.h"
#include "tests/support/module_fixture.h"

namespace testsupport {

class DialogTest : public ModuleTest {
protected:
    DialogTest() { platform::SetWorkingFolder(TAVU_DATA_DIR); }
    ~DialogTest() override { platform::SetWorkingFolder(""); }

    // The next dialogs are played by `user`; their results are kept.
    void OnDialog(std::function<void(HWND)> user) {
        host.dialogRunner = [this, user](HINSTANCE instance, int32_t id, DLGPROC procedure) {
            INT_PTR result = platform::RunDialog(instance, static_cast<UINT>(id), procedure, user);
            results.push_back(result);
            return static_cast<int32_t>(result);
        };
    }
    // Chooses group and object by name, then presses OK.
    void ChooseAndOk(const std::string& group, const std::string& object) {
        OnDialog([group, object](HWND dialog) {
            ASSERT_TRUE(platform::UserChooseItem(dialog, IDC_GROUP_LIST, group));
            ASSERT_TRUE(platform::UserChooseItem(dialog, IDC_OBJECT_LIST, object));
            ASSERT_TRUE(platform::UserClick(dialog, IDOK));
        });
    }
    static std::string PreviewPath(HWND dialog) {
        auto bitmap = platform::BitmapInfo(platform::ControlImage(dialog, IDC_PREVIEW));
        return bitmap ? bitmap->path : "";
    }

    std::vector<INT_PTR> results;
};

}  // namespace testsupport
