// The keys of `tavu fly`'s main view: what each does, in one table that the
// session, the key map overlay and `--help` all read.
#pragma once

#include <string>
#include <vector>

#include "sim/session.h"
#include "tools/tavu/fly_keys.h"

namespace tavu::fly {

struct FlyAction {
    enum class Kind {
        Chord,    // an editor chord for the host's key hook
        Slew,     // move the aircraft, in steps of two map cells
        Turn,     // turn the aircraft, degrees
        Zoom,     // +1 in, -1 out
        Pause,    // stop or resume the world's motion
        KeyHelp,  // the key map overlay
        Quit,     // asks first
        QuitNow,
        Redraw,
    };
    Kind kind = Kind::Redraw;
    sim::KeyChord chord;
    double forward = 0, right = 0, up = 0;
    double degrees = 0;
    int zoom = 0;
};

struct KeyBinding {
    Key key;
    FlyAction action;
};

// One line of the key map: the keys as a person reads them and what they do.
struct KeyMapRow {
    const char* section;
    const char* keys;
    const char* what;
    std::vector<KeyBinding> bindings;
};

const std::vector<KeyMapRow>& KeyMap();
// What a key does in the main view; nullptr for a key that does nothing.
const FlyAction* FindAction(const Key& key);
// The chords a row sends, "Ctrl+Up / Ctrl+Down", or "" for none.
std::string RowChords(const KeyMapRow& row);
// The whole map as plain text, for --help.
std::string KeyMapText();

}  // namespace tavu::fly
