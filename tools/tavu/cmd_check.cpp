#include "tools/tavu/commands.h"

namespace tavu {

void AddCheckCommand(CLI::App& app) {
    auto* command = app.add_subcommand("check", "(not yet available)");
    command->callback([] { ExitStatus() = EXIT_FAILURE_FOUND; });
}

}  // namespace tavu
