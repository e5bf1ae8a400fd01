// Feeds arbitrary bytes through what `tavu run --module` and `tavu fly
// --module` do with a DLL's bytes before any of its code runs: parse them,
// map the image away from its preferred base (so every relocation applies),
// bind each import by name to what the emulated host provides, and read the
// string tables and dialog templates the dialog manager will use. Whatever
// the bytes, nothing is read or written outside its buffer (the sanitizers
// watch) and the loader keeps the promises the emulated module relies on.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz/require.h"
#include "sim/pe_image.h"

namespace {

// Where the emulated host's trap stubs lie.
constexpr uint32_t kTrapStubs = 0x00100100;
// Where the workbench maps a DLL: the first 64 KiB boundary of its heap.
constexpr uint32_t kLoadBase = 0x00210000;
constexpr uint16_t kRelocationsStripped = 0x0001;  // IMAGE_FILE_RELOCS_STRIPPED

// Every import binds, to a stub of its own, so that any image gets as far
// as mapping; which names the emulated host provides matters only later.
std::optional<uint32_t> Bind(const sim::PeImport& entry) { return kTrapStubs + entry.iatRva; }

// Maps the image at base into a buffer of exactly its size, so that the
// sanitizer sees any write past it.
std::optional<std::vector<uint8_t>> Map(const sim::PeImage& image, std::span<const uint8_t> file,
                                        uint32_t base) {
    std::vector<uint8_t> memory(image.imageSize, 0xAA);
    std::string error;
    if (!sim::MapPeImage(image, file, memory.data(), base, Bind, &error)) {
        Require(!error.empty());
        return std::nullopt;
    }
    return memory;
}

// The dialog manager's view of a template: every pointer it follows.
void ReadDialog(const platform::DialogResource& view, const sim::DecodedDialog& decoded) {
    Require(strlen(view.captionUtf8) == decoded.caption.size());
    Require((view.fontName != nullptr) == decoded.hasFont);
    Require(view.controlCount == decoded.controls.size());
    for (size_t i = 0; i < view.controlCount; ++i) {
        Require(strlen(view.controls[i].className) == decoded.controls[i].className.size());
        Require(strlen(view.controls[i].textUtf8) == decoded.controls[i].text.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> file(data, size);
    std::string error;
    std::optional<sim::PeImage> parsed = sim::ParsePeImage(file, &error);
    if (!parsed) {
        Require(!error.empty());
        return 0;
    }
    // A copy, the parsed image gone: the dialog views share their storage
    // among copies, as the loaded module keeps its own.
    const sim::PeImage image = *parsed;
    parsed.reset();

    // Every location the image names lies inside it.
    Require(image.imageSize != 0 && image.imageSize <= sim::kMaxPeImageSize);
    Require(image.fileSize == size);
    for (const sim::PeSection& section : image.sections) {
        Require(uint64_t{section.virtualAddress} + section.mappedSize <= image.imageSize);
    }
    for (uint32_t rva : image.relocations) {
        Require(uint64_t{rva} + 4 <= image.imageSize);
    }
    for (const sim::PeImport& entry : image.imports) {
        Require(uint64_t{entry.iatRva} + 4 <= image.imageSize);
        Require(!entry.dll.empty() && !entry.name.empty());
    }
    for (const auto& [name, rva] : image.exports) {
        Require(rva < image.imageSize);
    }
    if (image.entryRva != 0) {
        Require(image.SectionAt(image.entryRva) != nullptr);
    }

    // Moved, as the workbench maps it, and at home: the two differ only in
    // the words a relocation names, and each import's word holds its stub.
    // An image without relocations cannot move.
    const uint32_t base = image.preferredBase == kLoadBase ? kLoadBase + 0x10000 : kLoadBase;
    const std::optional<std::vector<uint8_t>> home = Map(image, file, image.preferredBase);
    const std::optional<std::vector<uint8_t>> moved = Map(image, file, base);
    Require(moved.has_value() == (home.has_value() && !(image.characteristics & kRelocationsStripped)));
    if (moved) {
        std::vector<bool> named(image.imageSize);
        for (uint32_t rva : image.relocations) {
            std::fill_n(named.begin() + rva, 4, true);
        }
        for (const sim::PeImport& entry : image.imports) {
            std::fill_n(named.begin() + entry.iatRva, 4, true);
        }
        for (size_t i = 0; i < image.imageSize; ++i) {
            Require(named[i] || (*moved)[i] == (*home)[i]);
        }
        if (!image.imports.empty()) {  // the last import's word is the one no later write can change
            uint32_t word;
            memcpy(&word, moved->data() + image.imports.back().iatRva, 4);
            Require(word == *Bind(image.imports.back()));
        }
    }
    Require(!sim::MapPeImage(image, file.first(size - 1), std::vector<uint8_t>(image.imageSize).data(), base,
                             Bind, &error));

    // The texts and templates, as the module's resource provider hands them out.
    for (const auto& [key, text] : image.strings) {
        const char* found = image.FindString(key.second, key.first);
        Require(found != nullptr && strlen(found) <= text.size());
    }
    for (const sim::OwnedDialog& dialog : image.dialogs) {
        const sim::DecodedDialog& decoded = dialog.decoded();
        Require(image.FindDialog(decoded.id, decoded.language) != nullptr);
        Require(image.FindDecodedDialog(decoded.id, decoded.language) == &decoded);
        ReadDialog(dialog.resource(), decoded);
    }
    return 0;
}
