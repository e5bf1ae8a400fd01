// tavu: run editing sessions against the emulated simulator, and inspect,
// check and draw scenery files.
#include <iostream>

#include "tools/tavu/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"tavu - the TAVU scenery editor's workbench: editing sessions and scenery file tools"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show every subcommand's help");
    tavu::AddRunCommand(app);
    tavu::AddFlyCommand(app);
    tavu::AddCatalogCommand(app);
    tavu::AddDumpCommand(app);
    tavu::AddCheckCommand(app);
    tavu::AddMapCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? tavu::EXIT_OK : tavu::EXIT_USAGE;
    }
    return tavu::ExitStatus();
}
