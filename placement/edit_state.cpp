#include "placement/edit_state.h"

// Zero-initialised: lives in .bss, so nothing has to run at load.
EditState state;
