// A promise a fuzz target holds its code to.
#pragma once

// A broken promise is a crash, so that libFuzzer keeps the input.
inline void Require(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}
