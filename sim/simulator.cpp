#include "sim/simulator.h"

#include <string.h>

#include <cmath>
#include <filesystem>

#include "module/linkage.h"
#include "placement/edit_state.h"
#include "platform/bitmaps.h"
#include "platform/native.h"
#include "platform/resources.h"
#include "resources/resource_ids.h"
#include "sim/emulated_module.h"
#include "sim/geodesy.h"

namespace sim {

namespace {

constexpr char kEditorModuleName[] = "TAVUEdit.dll";
constexpr double kPi = 3.14159265358979323846;

// The native build links the module in; the "loader" registers its exports
// and calls its entry point, and the host then finds everything by name.
class LinkedModule : public EditorModule {
public:
    LinkedModule() {
        // A DLL load starts from zeroed module variables; the linked-in
        // module is loaded once per simulator, so it starts from zero too.
        state = EditState{};
        platform::RegisterModule(kEditorModuleName, Instance(), {{"Linkage", &Linkage}, {"ImportTable", ImportTable}});
        HMODULE module = GetModuleHandleA(kEditorModuleName);
        linkage_ = reinterpret_cast<ModuleLinkage*>(GetProcAddress(module, "Linkage"));
        imports_ = reinterpret_cast<ImportEntry*>(GetProcAddress(module, "ImportTable"));
    }
    ~LinkedModule() override { platform::UnregisterModule(Instance()); }

    void Attach(Host& host) override {
        host.FillImportTable(imports_);
        DllMain(Instance(), DLL_PROCESS_ATTACH, nullptr);
        linkage_->init();
    }
    void Detach() override {
        linkage_->deinit();
        DllMain(Instance(), DLL_PROCESS_DETACH, nullptr);
    }
    int32_t Entry(int index, int32_t argument, int32_t* running) override {
        return linkage_->moduleTable[index](argument, running);
    }
    HINSTANCE Instance() const override {
        static int anchor;
        return reinterpret_cast<HINSTANCE>(&anchor);
    }

private:
    ModuleLinkage* linkage_ = nullptr;
    ImportEntry* imports_ = nullptr;
};

}  // namespace

std::unique_ptr<EditorModule> LoadLinkedModule() { return std::make_unique<LinkedModule>(); }

// --- The real DLL under emulation -------------------------------------------

namespace {

std::unique_ptr<ModuleSpace> SpaceFor(const SimulatorOptions& options) {
    if (options.modulePath.empty()) {
        return MakeNativeSpace();
    }
    return std::make_unique<EmulatedSpace>();
}

std::unique_ptr<EditorModule> LoadEmulatedModule(EmulatedSpace& space, const std::string& path) {
    std::string error;
    std::unique_ptr<EmulatedModule> module = EmulatedModule::Load(space, path, {}, &error);
    if (!module) {
        throw std::runtime_error("cannot load the module " + error);
    }
    return module;
}

}  // namespace

const X86Emulator::Fault* Simulator::GuestFault() const {
    return emulated_ && emulated_->fault() ? &*emulated_->fault() : nullptr;
}

// ------------------------------------------------------------------------------

Simulator::Simulator(const SimulatorOptions& options) : host_(SpaceFor(options)) {
    emulated_ = dynamic_cast<EmulatedSpace*>(&host_.space());
    platform::ForceLanguage(options.language);
    platform::SetWorkingFolder(options.dataFolder);
    // The player is loaded before the editor's init looks for it.
    player_ = std::make_unique<Player>(host_, options.playerPresent);
    player_->onDeleteFailed = [this](const std::string& path, int error) {
        const std::string name = std::filesystem::path(path).filename().string();
        failedDeletes_.push_back({name, strerror(error)});
        playerMessages_.push_back(name + ": not deleted: " + strerror(error));
    };
    // The file layer's word on why a save failed comes with the editor's
    // box; one from before this simulator is none of its saves'.
    platform::TakeFileFailure();
    host_.watcher = [this](const MessageBox& box) {
        if (box.textId == IDS_SAVE_FAILED) {
            NoteFailedSave();
        }
    };
    if (!options.sceneryFolder.empty()) {
        player_->OpenFolder(options.sceneryFolder, &playerMessages_);
    }
    module_ = emulated_ ? LoadEmulatedModule(*emulated_, options.modulePath) : LoadLinkedModule();
    module_->Attach(host_);
    if (const X86Emulator::Fault* fault = GuestFault()) {
        throw std::runtime_error("guest fault: " + fault->Describe());
    }
}

Simulator::~Simulator() { Shutdown(); }

void Simulator::NoteFailedSave() {
    // The save writes "<file>.saving" and then puts it in place: either
    // name stands for the scenery file. A save that failed before touching
    // a file (no path from the player) names the current scenery.
    platform::FileFailure failure = platform::TakeFileFailure();
    std::string path = failure.path.empty() ? CurrentPath() : failure.path;
    const std::string_view saving = kSavingSuffix;
    if (path.size() > saving.size() && path.ends_with(saving)) {
        path.resize(path.size() - saving.size());
    }
    failedSaves_.push_back(
        {path.empty() ? std::string("(no scenery)") : std::filesystem::path(path).filename().string(),
         failure.error != 0 ? strerror(failure.error) : "not written"});
}

void Simulator::Shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    if (running_) {
        module_->Entry(1, 0, &running_);
    }
    module_->Detach();
    if (GuestFault()) {
        reclaimed_ = module_->Reclaim();
    }
    module_.reset();
    player_.reset();
    platform::SetWorkingFolder("");
    platform::ForceLanguage(0);
}

void Simulator::PlaceAircraft(double latDegrees, double lonDegrees, std::optional<double> altMetres,
                              std::optional<double> headingDegrees) {
    host_.SetGlobal<int64_t>(SG_AIRCRAFT_LAT, LatitudeToPosition(latDegrees));
    host_.SetGlobal<int64_t>(SG_AIRCRAFT_LON, LongitudeToPosition(lonDegrees));
    if (altMetres) {
        host_.SetGlobal<int64_t>(SG_AIRCRAFT_ALT, AltitudeToPosition(*altMetres));
    }
    if (headingDegrees) {
        host_.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, DegreesToHeading(*headingDegrees));
    }
}

void Simulator::Slew(double forward, double right, double up) {
    double heading = HeadingDegrees() * kPi / 180.0;
    double north = forward * std::cos(heading) - right * std::sin(heading);
    double east = forward * std::sin(heading) + right * std::cos(heading);
    double latMetres = PositionToLatitude(Global64(SG_AIRCRAFT_LAT)) * kPi / 180.0 * kEarthRadiusMetres;
    double parallel = std::max(kEarthRadiusMetres * std::cos(latMetres / kEarthRadiusMetres), 1.0);
    double lonDegrees = LongitudeDegrees() + east / parallel * 180.0 / kPi;
    PlaceAircraft(LatitudeDegrees() + north / kEarthRadiusMetres * 180.0 / kPi, lonDegrees,
                  AltitudeMetres() + up, std::nullopt);
}

void Simulator::Turn(double degrees) {
    host_.SetGlobal<uint32_t>(SG_AIRCRAFT_HEADING, DegreesToHeading(HeadingDegrees() + degrees));
}

double Simulator::LatitudeDegrees() const { return PositionToLatitude(Global64(SG_AIRCRAFT_LAT)); }
double Simulator::LongitudeDegrees() const { return PositionToLongitude(Global64(SG_AIRCRAFT_LON)); }
double Simulator::AltitudeMetres() const { return PositionToAltitude(Global64(SG_AIRCRAFT_ALT)); }
double Simulator::HeadingDegrees() const { return HeadingToDegrees(host_.Global<uint32_t>(SG_AIRCRAFT_HEADING)); }

void Simulator::SetNewObjectAltitude(double metres) {
    host_.SetGlobal<int32_t>(SG_NEW_OBJECT_ALTITUDE, static_cast<int32_t>(std::lround(metres * 256.0)));
}

void Simulator::SetPaused(bool paused) { host_.SetGlobal<uint32_t>(SG_FRAME_PAUSED, paused ? 1 : 0); }

void Simulator::SetFrameStep(uint16_t milliseconds) { host_.SetGlobal<uint16_t>(SG_FRAME_STEP, milliseconds); }

int32_t Simulator::Start(int32_t* running) {
    int32_t result = module_->Entry(0, 0, &running_);
    *running = running_;
    return result;
}

int32_t Simulator::Stop(int32_t* running) {
    int32_t result = module_->Entry(1, 0, &running_);
    *running = running_;
    return result;
}

int32_t Simulator::SelectScenery(int32_t mode, int32_t* running) { return module_->Entry(2, mode, running); }

void Simulator::RunFrames(int count) {
    for (int i = 0; i < count; ++i) {
        host_.RunFrame();
    }
}

std::optional<MarkerPosition> Simulator::Marker() const {
    const std::vector<uint8_t>& block = host_.LastDrawBlock();
    if (block.size() < kDrawBlockBytes) {
        return std::nullopt;
    }
    auto i32 = [&](size_t at) {
        return static_cast<int32_t>(block[at] | block[at + 1] << 8 | block[at + 2] << 16 |
                                    static_cast<uint32_t>(block[at + 3]) << 24);
    };
    auto i16 = [&](size_t at) { return static_cast<int16_t>(block[at] | block[at + 1] << 8); };
    int32_t aircraftLat = i32(18), aircraftLon = i32(24), aircraftAlt = i32(30);
    int32_t east = i16(48);
    return MarkerPosition{aircraftLat + i16(52), aircraftLon + MetresToLonUnits(east, aircraftLat),
                          aircraftAlt + i16(50), east};
}

const SceneryView* Simulator::CurrentHeader() const {
    int current = player_->Current();
    currentView_ = current < 0 ? std::nullopt : player_->View(current);
    return currentView_ ? &*currentView_ : nullptr;
}

std::string Simulator::CurrentPath() const {
    int current = player_->Current();
    return current < 0 ? std::string() : player_->Path(current);
}

int Simulator::SelectedIndex() const {
    const SceneryView* header = CurrentHeader();
    if (header == nullptr || header->records == nullptr) {
        return -1;
    }
    int index = header->currentIndex;
    return index >= 0 && index < header->count ? index : -1;
}

const ObjectRecord* Simulator::SelectedRecord() const {
    int index = SelectedIndex();
    return index < 0 ? nullptr : CurrentHeader()->records + index;
}

}  // namespace sim
