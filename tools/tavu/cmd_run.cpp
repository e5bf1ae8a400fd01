// tavu run SCRIPT: an editing session against the emulated simulator, with
// its transcript on standard output and the first error on standard error.
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/resources.h"
#include "sim/printable.h"
#include "sim/scenery_file.h"
#include "sim/session.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/scenery_info.h"

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

// The signal that asks the session to end; the runner polls it between
// statements and frames, so the handler does nothing else.
volatile sig_atomic_t interruptSignal = 0;

void OnInterrupt(int signal) {
    interruptSignal = signal;
}

// A script is a few hundred lines; anything near this is not one.
constexpr size_t kMaxScriptBytes = size_t{1} << 20;

// A temporary folder the session made is removed when it holds nothing
// worth keeping, and named when it does, so /tmp does not fill up with them.
void KeepOrRemove(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code code;
    bool empty = true;
    for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
        empty = empty && it->path().filename() == sim::kSceneryLockName;
    }
    if (code || !empty) {
        std::cout << "sceneries kept in " << sim::Printable(folder) << "\n";
    } else if (fs::remove_all(folder, code) != static_cast<std::uintmax_t>(-1) && !code) {
        std::cout << "no scenery files left: the temporary folder " << sim::Printable(folder) << " is removed\n";
    }
}

int Run(const RunArguments& args) {
    std::string why;
    std::optional<std::vector<uint8_t>> bytes = args.script == kStandardInput
                                                    ? ReadStandardInput(kMaxScriptBytes, &why)
                                                    : sim::ReadFileBytes(args.script, kMaxScriptBytes, &why);
    if (!bytes) {
        std::cerr << sim::Printable("tavu run: " + args.script + ": " + why) << "\n";
        return EXIT_USAGE;
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());

    sim::SessionError error;
    std::optional<sim::SessionScript> script = sim::ParseSession(text, &error);
    if (!script) {
        std::cerr << "tavu run: " << error.Format(args.script) << "\n";
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
    options.interrupt = &interruptSignal;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::cout << "tavu run " << args.script << std::endl;
    sim::SessionResult result = sim::RunSession(*script, options, std::cout);
    if (result.folderIsTemporary) {
        KeepOrRemove(result.sceneryFolder);
    }
    std::cout.flush();
    if (result.folderInUse) {
        std::cerr << "tavu run: " << sim::Printable(result.error->message) << "\n";
        return EXIT_USAGE;
    }
    if (result.error && result.interruptedBy == 0) {
        std::cerr << "tavu run: " << result.error->Format(args.script) << "\n";
    }
    for (const std::string& failure : result.failedWrites) {
        std::cerr << "tavu run: " << failure << "\n";
    }
    if (result.interruptedBy != 0) {
        // As shells report a command ended by the signal.
        return 128 + result.interruptedBy;
    }
    // Work that did not reach the disk outweighs a failed script line.
    if (!result.failedWrites.empty()) {
        return EXIT_NOT_SAVED;
    }
    return result.error ? EXIT_FAILURE_FOUND : EXIT_OK;
}

}  // namespace

void AddRunCommand(CLI::App& app) {
    auto args = std::make_shared<RunArguments>();
    auto* command = app.add_subcommand(
        "run", "Run an editing session script against the emulated simulator and print its transcript");
    command
        ->add_option(
            "SCRIPT", args->script,
            "The session script: a text file of at most 1 MiB (see docs/sessions.md); - reads standard input")
        ->required();
    args->sceneriesOption = command->add_option(
        "--sceneries", args->sceneries,
        "Folder of scenery files (created if missing); wins over the script's `sceneries` statement");
    args->languageOption =
        command
            ->add_option(
                "--language", args->language,
                "Language of boxes and dialogs: en, it or de; wins over the script's `language` statement")
            ->transform(CLI::IsMember({"en", "it", "de"}, CLI::ignore_case));
    command
        ->add_option("--module", args->module,
                     "Run this build of TAVUEdit.dll (e.g. build/windows/TAVUEdit.dll) under x86 emulation "
                     "instead of the editor linked into tavu")
        ->check(CLI::ExistingFile);
    command->footer(
        "Exit status: 0 when the script ran through and every save and delete went through; 1 on a\n"
        "script error (a line that does not parse, a failed expect line, a fault of the DLL's code);\n"
        "2 on bad arguments, a script that cannot be read, or a folder another session holds; 3 when\n"
        "a save or a delete failed (the transcript's last lines and standard error name each file and\n"
        "why), which outweighs 1; 130 or 143 when SIGINT or SIGTERM stopped the session, after saving.");
    command->callback([args] { ExitStatus() = Run(*args); });
}

}  // namespace tavu
