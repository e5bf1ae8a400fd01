// The command line every tavu command shares: the commands themselves, help,
// --version, and how a bad argument is reported.
#include <algorithm>
#include <iostream>

#include "catalog/catalog_names.h"
#include "sim/printable.h"
#include "tools/tavu/commands.h"

namespace tavu {

namespace {

constexpr char kHelpHint[] = "tavu help lists the commands";

void AddCommands(CLI::App& app, void (*more)(CLI::App&)) {
    app.name("tavu");
    app.set_help_all_flag("--help-all", "Show every command's help");
    app.set_version_flag("--version", std::string("tavu ") + TAVU_VERSION);
    app.footer(
        "tavu help COMMAND (or tavu COMMAND --help) tells more about one command. A FILE or SCRIPT\n"
        "given as - is read from standard input (dump, check, diff, run, import).\n"
        "Exit status: 0 all went well; 1 the command found errors (run, dump, check, import) or\n"
        "differences (diff), or its standard output could not be written; 2 bad arguments, or an input\n"
        "run or diff cannot read; 3 a session (run, fly) ended with a save or delete that failed.\n"
        "Option values and catalog names may be given in any case.\n");
    AddRunCommand(app);
    AddFlyCommand(app);
    AddCatalogCommand(app);
    AddDumpCommand(app);
    AddCheckCommand(app);
    AddMapCommand(app);
    AddDiffCommand(app);
    if (more != nullptr) {
        more(app);
    }
}

std::vector<std::string> CommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        names.push_back(command->get_name());
    }
    return names;
}

std::vector<std::string> OptionNames(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::Option* option : command.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            names.push_back("--" + name);
        }
        for (const std::string& name : option->get_snames()) {
            names.push_back("-" + name);
        }
    }
    return names;
}

// `what "word"; did you mean ...?` among `names`.
std::string Unknown(const std::string& what, const std::string& word, const std::vector<std::string>& names) {
    std::string name = word.substr(0, word.find('='));
    catalog_names::NameMatch match = catalog_names::MatchName(name, names);
    if (match.index >= 0) {  // only the case differs: commands and options take one
        match.suggestions = {names[static_cast<size_t>(match.index)]};
    }
    return what + " \"" + name + "\"" + catalog_names::DidYouMean(match);
}

int Usage(std::ostream& err, const std::string& command, const std::string& message) {
    err << (command.empty() ? "tavu" : "tavu " + command) << ": " << sim::Printable(message) << "\n";
    return EXIT_USAGE;
}

// tavu help [COMMAND]
int Help(const CLI::App& app, const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1) {
        out << app.help();
        return EXIT_OK;
    }
    if (args.size() > 2) {
        return Usage(err, "help", "takes one command, not " + std::to_string(args.size() - 1));
    }
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (command->get_name() == args[1]) {
            out << command->help("tavu");
            return EXIT_OK;
        }
    }
    return Usage(err, "help", Unknown("unknown command", args[1], CommandNames(app)));
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   std::string* ran, void (*more)(CLI::App&)) {
    ExitStatus() = EXIT_OK;
    CLI::App app{"tavu - the TAVU scenery editor's workbench: editing sessions and scenery file tools"};
    AddCommands(app, more);
    std::vector<std::string> commands = CommandNames(app);
    if (args.empty()) {
        return Usage(err, "", std::string("no command given; ") + kHelpHint);
    }
    const std::string& first = args[0];
    if (first == "help") {
        return Help(app, args, out, err);
    }
    const bool isCommand = std::find(commands.begin(), commands.end(), first) != commands.end();
    if (!isCommand && !first.starts_with("-")) {
        commands.push_back("help");
        return Usage(err, "", Unknown("unknown command", first, commands));
    }
    if (!isCommand && first != "--help" && first != "-h" && first != "--help-all" && first != "--version") {
        return Usage(err, "", Unknown("unknown option", first, OptionNames(app)));
    }
    const std::string command = isCommand ? first : "";
    if (ran != nullptr) {
        *ran = command;
    }
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));  // CLI11 takes them last first
        return ExitStatus();
    } catch (const CLI::Success& e) {  // --help, --help-all, --version
        app.exit(e, out, err);
        return EXIT_OK;
    } catch (const CLI::ExtrasError&) {
        const CLI::App* sub = command.empty() ? &app : app.get_subcommand(command);
        std::vector<std::string> extras = app.remaining(true);
        const std::string extra = extras.empty() ? "" : extras.front();
        if (extra.starts_with("-") && extra != "-") {
            std::string message = Unknown("unknown option", extra, OptionNames(*sub));
            if (!message.ends_with("?")) {
                message += " (tavu help " + command + " lists the options)";
            }
            return Usage(err, command, message);
        }
        return Usage(err, command, "unexpected argument \"" + extra + "\"");
    } catch (const CLI::ParseError& e) {
        return Usage(err, command, e.what());
    }
}

}  // namespace tavu
