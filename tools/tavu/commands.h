// The subcommands of the tavu CLI. Each adds itself to the application and
// returns the exit code of its run through the callback it installs.
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace tavu {

// Exit codes shared by every subcommand.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_FAILURE_FOUND = 1,  // the command ran and found errors (or failed)
    EXIT_USAGE = 2,          // bad arguments
    EXIT_NOT_SAVED = 3,      // an editing session ended with failed saves or deletes
};

// Set by the subcommand that ran.
int& ExitStatus();

void AddRunCommand(CLI::App& app);
void AddCatalogCommand(CLI::App& app);
void AddDumpCommand(CLI::App& app);
void AddCheckCommand(CLI::App& app);
void AddMapCommand(CLI::App& app);
void AddFlyCommand(CLI::App& app);
void AddDiffCommand(CLI::App& app);

// Runs one command line (the arguments after the program's name) as `tavu`
// does: every command, `help [COMMAND]` and `--version`; a bad argument is
// reported on `err` as `tavu COMMAND: what is wrong`, with a suggestion for
// an unknown command or option, and gives EXIT_USAGE. `ran` gets the command
// named, empty when none; `more` adds commands that live outside this library.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   std::string* ran = nullptr, void (*more)(CLI::App&) = nullptr);

}  // namespace tavu
