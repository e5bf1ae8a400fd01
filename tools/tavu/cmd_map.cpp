#include "tools/tavu/commands.h"

namespace tavu {

void AddMapCommand(CLI::App& app) {
    auto* command = app.add_subcommand("map", "(not yet available)");
    command->callback([] { ExitStatus() = EXIT_FAILURE_FOUND; });
}

}  // namespace tavu
