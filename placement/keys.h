// The editor's key chords: the handler and the filter installed with the
// host's key hook for the length of an editing run.
#pragma once

#include <stdint.h>

#include "module/hostword.h"

enum : uint32_t {
    MODIFIER_VARIANT = 1,  // selects the variant of five commands
    MODIFIER_COMMAND = 2,  // the chord is meant for the editor
};

uint32_t TAVU_CALL OnKey(uint32_t keyCode, uint32_t modifiers);
uint32_t TAVU_CALL KeyFilter(uint32_t keyCode, uint32_t modifiers);
