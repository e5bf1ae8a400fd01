// The object properties dialog (and any dialog of the same controls) drawn in
// the terminal and driven from the keyboard. Every change goes through the
// headless dialog manager's user actions, so the dialog procedure sees what
// a person at the simulator would make it see.
#pragma once

#include <string>
#include <vector>

#include "platform/dialogs.h"
#include "tools/tavu/fly_keys.h"
#include "tools/tavu/fly_screen.h"

namespace tavu::fly {

class DialogView {
  public:
    explicit DialogView(HWND dialog);

    // Draws the dialog centred over what the screen holds.
    void Draw(Screen& screen);
    // Takes one key; false once the dialog has ended.
    bool HandleKey(const Key& key);

    // The control that has the keyboard.
    int Focus() const { return focus_; }

  private:
    // Tab-stop controls that are visible and enabled, in tab order.
    std::vector<int> Focusable(const platform::DialogSnapshot& snapshot) const;
    void MoveFocus(const platform::DialogSnapshot& snapshot, int step);
    void Click(int id);
    void ChooseStep(const platform::ControlSnapshot& list, int step);
    void TypeKey(const platform::ControlSnapshot& field, const Key& key);

    HWND dialog_;
    int focus_ = 0;
    // A field just reached with Tab shows its text selected: the first digit
    // typed replaces it, as in a Windows dialog.
    bool replaceOnType_ = false;
    std::string note_;
    int listRows_ = 8;  // item rows the last drawing showed per list
};

// Draws an image into a screen area with half-block characters, two pixel
// rows per cell, keeping its proportions, centred in the area.
struct PictureArea {
    int x, y, width, height;
};
void DrawPicture(Screen& screen, const PictureArea& area, int pixelWidth, int pixelHeight,
                 const std::vector<uint8_t>& rgb);

}  // namespace tavu::fly
