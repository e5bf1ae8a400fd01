#include "tools/tavu/commands.h"

namespace tavu {

void AddRunCommand(CLI::App& app) {
    auto* command = app.add_subcommand("run", "(not yet available)");
    command->callback([] { ExitStatus() = EXIT_FAILURE_FOUND; });
}

}  // namespace tavu
