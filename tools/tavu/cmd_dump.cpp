#include "tools/tavu/commands.h"

namespace tavu {

void AddDumpCommand(CLI::App& app) {
    auto* command = app.add_subcommand("dump", "(not yet available)");
    command->callback([] { ExitStatus() = EXIT_FAILURE_FOUND; });
}

}  // namespace tavu
