#include "tools/tavu/commands.h"

namespace tavu {

int& ExitStatus() {
    static int status = EXIT_OK;
    return status;
}

}  // namespace tavu
