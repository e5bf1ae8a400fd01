// Loading the real 32-bit TAVUEdit.dll for the emulated CPU: reading and
// checking a PE32 i386 DLL from its bytes, mapping it at a guest address
// (sections, base relocations, import address table) and decoding the string
// tables and dialog templates it carries.
//
// The bytes are untrusted: every offset, size and count is checked before it
// is used, nothing outside the given span is read, and a fault is reported
// as one sentence naming what is wrong. No CPU emulator is involved here.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/resources.h"
#include "platform/win32.h"

namespace sim {

struct PeSection {
    std::string name;  // up to 8 characters
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;  // as in the header; 0 means rawSize
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;  // IMAGE_SCN_* bits
    // Bytes the section occupies in memory: its virtual size rounded up to
    // the section alignment, the unit page protections apply to.
    uint32_t mappedSize = 0;

    bool Contains(uint32_t rva) const { return rva >= virtualAddress && rva - virtualAddress < mappedSize; }
};

enum : uint32_t {
    PE_SCN_MEM_EXECUTE = 0x20000000,
    PE_SCN_MEM_READ = 0x40000000,
    PE_SCN_MEM_WRITE = 0x80000000,
};

// One function imported by name. An import by ordinal is a load error: the
// emulated system DLLs know their functions by name only.
struct PeImport {
    std::string dll;   // as the import descriptor spells it, e.g. "KERNEL32.dll"
    std::string name;  // e.g. "GetProcAddress"
    uint16_t hint = 0;
    uint32_t iatRva = 0;  // the word the loader writes the address into
};

// A dialog template decoded from RT_DIALOG with every field it holds.
struct DecodedDialogControl {
    int id = 0;             // read signed: -1 for labels and group boxes
    std::string className;  // predefined classes upper-case: "BUTTON", "EDIT", ...
    DWORD style = 0;
    DWORD exStyle = 0;
    DWORD helpId = 0;
    int x = 0, y = 0, width = 0, height = 0;
    // A text given as an ordinal (an icon id for a static) reads "#<ordinal>",
    // the form a resource script writes it in.
    std::string text;
    std::optional<uint16_t> textOrdinal;
    uint16_t creationDataBytes = 0;  // skipped; the dialog manager has no use for them
};

struct DecodedDialog {
    LANGID language = 0;
    UINT id = 0;
    bool extended = false;  // DLGTEMPLATEEX rather than DLGTEMPLATE
    DWORD style = 0;
    DWORD exStyle = 0;
    DWORD helpId = 0;
    int x = 0, y = 0, width = 0, height = 0;
    std::string menu;         // "" for none, "#<ordinal>" for a numbered menu
    std::string windowClass;  // "" for the default dialog class, else as menu
    std::string caption;
    bool hasFont = false;  // DS_SETFONT
    std::string fontName;
    int pointSize = 0;
    int fontWeight = 0;   // DLGTEMPLATEEX only
    int fontItalic = 0;   // DLGTEMPLATEEX only
    int fontCharset = 0;  // DLGTEMPLATEEX only
    std::vector<DecodedDialogControl> controls;
};

// A decoded dialog together with the platform::DialogResource view the
// headless dialog manager runs (platform::RunDialogIndirect). The view points
// into storage the object shares among its copies, so it stays valid for as
// long as any copy lives.
class OwnedDialog {
  public:
    explicit OwnedDialog(DecodedDialog dialog);

    const DecodedDialog& decoded() const { return storage_->dialog; }
    const platform::DialogResource& resource() const { return storage_->view; }

  private:
    struct Storage {
        DecodedDialog dialog;
        std::vector<platform::DialogControlResource> controls;
        platform::DialogResource view{};
    };
    std::shared_ptr<const Storage> storage_;
};

struct PeImage {
    uint32_t preferredBase = 0;
    uint32_t imageSize = 0;
    uint32_t entryRva = 0;  // 0: the DLL has no entry point
    uint32_t sectionAlignment = 0;
    uint32_t headersSize = 0;
    uint16_t characteristics = 0;  // IMAGE_FILE_* bits
    size_t fileSize = 0;
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    std::map<std::string, uint32_t> exports;  // name -> RVA
    std::vector<uint32_t> relocations;        // RVAs of the 32-bit words a move adjusts

    std::map<std::pair<LANGID, UINT>, std::string> strings;  // (language, id) -> UTF-8
    std::vector<OwnedDialog> dialogs;

    // Exactly that language, as platform::FindDialogResource; nullptr when absent.
    const platform::DialogResource* FindDialog(UINT id, LANGID language) const;
    const DecodedDialog* FindDecodedDialog(UINT id, LANGID language) const;
    // UTF-8 in exactly that language, as platform::FindStringUtf8; nullptr when absent.
    const char* FindString(UINT id, LANGID language) const;
    // The section holding an RVA, or nullptr.
    const PeSection* SectionAt(uint32_t rva) const;
};

// Images larger than this are refused before anything is allocated for them.
inline constexpr uint32_t kMaxPeImageSize = 16u << 20;

// Parses and checks a PE32 i386 DLL. On a fault returns nullopt and, if
// error is given, sets it to what is wrong.
std::optional<PeImage> ParsePeImage(std::span<const uint8_t> file, std::string* error);

using PeImportResolver = std::function<std::optional<uint32_t>(const PeImport&)>;

// Maps a parsed image into memory, a buffer of at least image.imageSize bytes
// that lives at guest address base: zero-fills it, copies the headers and the
// sections' raw data, applies the base relocations for base -
// image.preferredBase and writes each import's IAT word from resolve. file
// must be the bytes image was parsed from. Fails, naming it, on the first
// import resolve returns nullopt for ("unresolved import KERNEL32.dll!Sleep");
// memory is then partly written.
bool MapPeImage(const PeImage& image, std::span<const uint8_t> file, uint8_t* memory, uint32_t base,
                const PeImportResolver& resolve, std::string* error);

}  // namespace sim
