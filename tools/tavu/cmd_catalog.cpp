#include "tools/tavu/commands.h"

namespace tavu {

void AddCatalogCommand(CLI::App& app) {
    auto* command = app.add_subcommand("catalog", "(not yet available)");
    command->callback([] { ExitStatus() = EXIT_FAILURE_FOUND; });
}

}  // namespace tavu
