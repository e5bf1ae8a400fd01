// tavu run SCRIPT: an editing session against the emulated simulator, with
// its transcript on standard output and the first error on standard error.
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "platform/resources.h"
#include "sim/session.h"
#include "tools/tavu/commands.h"

namespace tavu {

namespace {

struct RunArguments {
    std::string script;
    std::string sceneries;
    std::string language;
    std::string module;
    CLI::Option* sceneriesOption = nullptr;
    CLI::Option* languageOption = nullptr;
};

int Run(const RunArguments& args) {
    std::ifstream in(args.script, std::ios::binary);
    if (!in) {
        std::cerr << "tavu run: cannot read " << args.script << "\n";
        return EXIT_USAGE;
    }
    std::ostringstream text;
    text << in.rdbuf();

    sim::SessionError error;
    std::optional<sim::SessionScript> script = sim::ParseSession(text.str(), &error);
    if (!script) {
        std::cerr << error.Format(args.script) << "\n";
        return EXIT_FAILURE_FOUND;
    }

    sim::SessionOptions options;
    options.dataFolder = TAVU_DATA_DIR;
    if (args.sceneriesOption->count() > 0) {
        options.sceneryFolder = args.sceneries;
    }
    if (args.languageOption->count() > 0) {
        options.language = sim::LanguageFromCode(args.language).value_or(platform::LANGUAGE_ENGLISH);
    }
    options.modulePath = args.module;
    std::cout << "tavu run " << args.script << "\n";
    sim::SessionResult result = sim::RunSession(*script, options, std::cout);
    std::cout.flush();
    if (result.error) {
        std::cerr << result.error->Format(args.script) << "\n";
        return EXIT_FAILURE_FOUND;
    }
    return EXIT_OK;
}

}  // namespace

void AddRunCommand(CLI::App& app) {
    auto args = std::make_shared<RunArguments>();
    auto* command = app.add_subcommand(
        "run", "Run an editing session script against the emulated simulator and print its transcript");
    command->add_option("SCRIPT", args->script, "The session script (see docs/sessions.md)")->required();
    args->sceneriesOption = command->add_option(
        "--sceneries", args->sceneries,
        "Folder of scenery files (created if missing); wins over the script's `sceneries` statement");
    args->languageOption =
        command
            ->add_option(
                "--language", args->language,
                "Language of boxes and dialogs: en, it or de; wins over the script's `language` statement")
            ->check(CLI::IsMember({"en", "it", "de"}));
    command
        ->add_option("--module", args->module,
                     "Run this build of TAVUEdit.dll (e.g. build/windows/TAVUEdit.dll) under x86 emulation "
                     "instead of the editor linked into tavu")
        ->check(CLI::ExistingFile);
    command->callback([args] { ExitStatus() = Run(*args); });
}

}  // namespace tavu
