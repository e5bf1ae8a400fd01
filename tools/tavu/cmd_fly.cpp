// tavu fly: the aircraft, the player and the editor in an interactive
// terminal session (see docs/fly.md).
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/resources.h"
#include "sim/session.h"
#include "sim/simulator.h"
#include "sim/transcript.h"
#include "tools/tavu/commands.h"
#include "tools/tavu/fly_keymap.h"
#include "tools/tavu/fly_session.h"
#include "tools/tavu/fly_terminal.h"

namespace tavu {

namespace {

struct FlyArguments {
    std::string sceneries = "sceneries";
    std::string language;
    double lat = fly::kDefaultLatitude;
    double lon = fly::kDefaultLongitude;
    double alt = fly::kDefaultAltitude;
    double heading = fly::kDefaultHeading;
    bool playerAbsent = false;
    std::string module;
};

int Fly(const FlyArguments& args) {
    fly::FlyOptions options;
    options.sceneryFolder = args.sceneries;
    options.language = sim::LanguageFromCode(args.language).value_or(0);
    options.dataFolder = TAVU_DATA_DIR;
    options.latitude = args.lat;
    options.longitude = args.lon;
    options.altitude = args.alt;
    options.heading = args.heading;
    options.playerPresent = !args.playerAbsent;
    options.modulePath = args.module;

    std::string error;
    std::unique_ptr<fly::TerminalConsole> console =
        fly::TerminalConsole::Open(STDIN_FILENO, STDOUT_FILENO, &error);
    if (!console) {
        std::cerr << "tavu fly: " << error << "; fly is interactive (tavu run plays a session script)\n";
        return EXIT_USAGE;
    }
    // Held until fly ends: a second session on the folder would overwrite
    // this one's saves.
    sim::SceneryFolderLock lock;
    const std::string folder = options.sceneryFolder.empty() ? "sceneries" : options.sceneryFolder;
    if (sim::PrepareSceneryFolder(folder, nullptr, &error) &&
        lock.Acquire(folder, &error) == sim::SceneryFolderLock::Status::Busy) {
        console->Restore();
        std::cerr << "tavu fly: " << error << "\n";
        return EXIT_USAGE;
    }
    std::string summary;
    std::vector<std::string> failures;
    try {
        fly::FlySession session(options, *console);
        if (!session.Start(&error)) {
            console->Restore();
            std::cerr << "tavu fly: " << error << "\n";
            return EXIT_FAILURE_FOUND;
        }
        session.Run();
        sim::Simulator& simulator = session.simulator();
        if (const sim::X86Emulator::Fault* fault = simulator.GuestFault()) {
            console->Restore();
            std::cerr << "tavu fly: guest fault: " << fault->Describe() << "\n";
            // Unloading the stopped module closes what it held.
            simulator.Shutdown();
            if (std::string reclaimed = sim::ReclaimedLine(simulator); !reclaimed.empty()) {
                std::cerr << "tavu fly: " << reclaimed << "\n";
            }
            failures = sim::FailedWriteLines(simulator);
            for (const std::string& failure : failures) {
                std::cerr << "tavu fly: " << failure << "\n";
            }
            return failures.empty() ? EXIT_FAILURE_FOUND : EXIT_NOT_SAVED;
        }
        summary = session.Summary();
        failures = sim::FailedWriteLines(simulator);
    } catch (const std::exception& e) {
        console->Restore();
        std::cerr << "tavu fly: " << e.what() << "\n";
        return EXIT_FAILURE_FOUND;
    }
    console->Restore();
    std::cout << summary << "\n";
    for (const std::string& failure : failures) {
        std::cout << "tavu fly: " << failure << "\n";
    }
    // Saved and summed up; the exit status still tells the shell which
    // signal ended it (130 for SIGINT, 143 SIGTERM, 129 SIGHUP).
    if (int signal = console->TerminationSignal(); signal != 0) {
        return 128 + signal;
    }
    return failures.empty() ? EXIT_OK : EXIT_NOT_SAVED;
}

}  // namespace

void AddFlyCommand(CLI::App& app) {
    auto args = std::make_shared<FlyArguments>();
    auto* command = app.add_subcommand(
        "fly", "Fly the aircraft over a map in the terminal and edit sceneries with the editor's key chords");
    command->add_option("--sceneries", args->sceneries, "Folder of scenery files, created if missing")
        ->capture_default_str();
    command
        ->add_option("--language", args->language,
                     "Language of boxes and dialogs (default: the environment's)")
        ->transform(CLI::IsMember({"en", "it", "de"}, CLI::ignore_case));
    auto* lat = command->add_option("--lat", args->lat, "Aircraft latitude in degrees (default: Lugano-Agno)")
                    ->check(CLI::Range(-90.0, 90.0));
    auto* lon = command->add_option("--lon", args->lon, "Aircraft longitude in degrees")
                    ->check(CLI::Range(-180.0, 180.0));
    lat->needs(lon);
    lon->needs(lat);
    command->add_option("--alt", args->alt, "Aircraft altitude in metres; new objects stand there too")
        ->capture_default_str();
    command->add_option("--heading", args->heading, "Aircraft heading in degrees, 0 north, clockwise")
        ->capture_default_str();
    command->add_flag("--player-absent", args->playerAbsent,
                      "Run without the player module (the editor then refuses to start)");
    command
        ->add_option("--module", args->module,
                     "Fly with this build of TAVUEdit.dll (e.g. build/windows/TAVUEdit.dll) under x86 "
                     "emulation instead of the editor linked into tavu")
        ->check(CLI::ExistingFile);
    command->footer(
        "Keys of the main view:\n" + fly::KeyMapText() +
        "\nIn a box: Enter answers OK; y / n answer Yes / No.\n"
        "In the object dialog: Tab / Shift+Tab move between controls, Up / Down / PageUp / PageDown /\n"
        "Home / End choose in a list, digits and Backspace type into a field, Enter is OK, Esc is\n"
        "Cancel, F1 or h is Help. q asks, then stops the editor (which saves) and prints the files "
        "saved.\n\n"
        "Exit status: 0 when every save and delete went through; 1 when the flight could not start\n"
        "or the DLL's code faulted; 2 on bad arguments, without a terminal, or when another session\n"
        "holds the folder; 3 when a save or a delete failed (the last lines name each file and why;\n"
        "a folder that cannot be written is named at the start); 129, 130 or 143 when SIGHUP, SIGINT\n"
        "or SIGTERM ended the flight, after saving.");
    command->callback([args] { ExitStatus() = Fly(*args); });
}

}  // namespace tavu
