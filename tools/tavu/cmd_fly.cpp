#include "tools/tavu/commands.h"

namespace tavu {

void AddFlyCommand(CLI::App& app) {
    auto* command = app.add_subcommand("fly", "(not yet available)");
    command->callback([] { ExitStatus() = EXIT_FAILURE_FOUND; });
}

}  // namespace tavu
