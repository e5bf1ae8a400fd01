// The PE32 loader: the real TAVUEdit.dll parsed and held to the native
// resource tables, mapped away from its preferred base and refused by name
// when damaged; a small image for the relocation tables the DLL never has.
#include "sim/pe_image.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/resources.h"
#include "tests/emulation/emulation_support.h"

namespace {

using sim::MapPeImage;
using sim::ParsePeImage;
using sim::PeImage;
using sim::PeImport;
using File = std::vector<uint8_t>;

uint32_t Word(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put(File& file, size_t at, uint32_t value, int bytes = 4) {
    for (int i = 0; i < bytes; ++i)
        file.at(at + i) = static_cast<uint8_t>(value >> 8 * i);
}

// The fault a parse reports, or "parsed".
std::string ParseError(const File& file) {
    std::string error;
    return ParsePeImage(file, &error) ? "parsed" : error;
}

std::string MapError(const PeImage& image, const File& file, uint32_t base,
                     const sim::PeImportResolver& resolve) {
    std::vector<uint8_t> memory(image.imageSize);
    std::string error;
    return MapPeImage(image, file, memory.data(), base, resolve, &error) ? "mapped" : error;
}

#define EXPECT_SAYS(message, text) EXPECT_NE((message).find(text), std::string::npos) << (message)

// --- A small image --------------------------------------------------------------

constexpr uint32_t kBase = 0x10000000;

// A DLL preferring kBase: a RET at RVA 0x1000 and a .data page at 0x2000
// whose first two words hold kBase + 0x1000; at 0x2100 the base relocation
// table, given as 16-bit halves.
File SmallImage(const std::vector<uint16_t>& relocations, uint16_t characteristics = 0x2102) {
    File f(0x600);
    Put(f, 0, 'M' | 'Z' << 8, 2);
    Put(f, 0x3C, 0x40);
    Put(f, 0x40, 'P' | 'E' << 8);
    Put(f, 0x44, 0x14C, 2);
    Put(f, 0x46, 2, 2);
    Put(f, 0x54, 0xE0, 2);
    Put(f, 0x56, characteristics, 2);
    const uint32_t optional[][2] = {{0, 0x10B},    {16, 0x1000},
                                    {28, kBase},   {32, 0x1000},
                                    {36, 0x200},   {56, 0x3000},
                                    {60, 0x200},   {92, 16},
                                    {136, 0x2100}, {140, 2 * static_cast<uint32_t>(relocations.size())}};
    for (const auto& [offset, value] : optional)
        Put(f, 0x58 + offset, value);
    // .text and .data: virtual size, RVA, raw size, raw offset; then the flags.
    const uint32_t sections[][4] = {{0x10, 0x1000, 0x200, 0x200}, {0x1000, 0x2000, 0x200, 0x400}};
    for (size_t i = 0; i < 2; ++i) {
        memcpy(&f[0x138 + 40 * i], i == 0 ? ".text" : ".data", 5);
        for (size_t field = 0; field < 4; ++field)
            Put(f, 0x138 + 40 * i + 8 + 4 * field, sections[i][field]);
        Put(f, 0x138 + 40 * i + 36, i == 0 ? 0x60000020 : 0xC0000040);
    }
    memset(&f[0x200], 0xC3, 0x10);
    Put(f, 0x400, kBase + 0x1000);
    Put(f, 0x404, kBase + 0x1000);
    for (size_t i = 0; i < relocations.size(); ++i)
        Put(f, 0x500 + 2 * i, relocations[i], 2);
    return f;
}

TEST(PeImageRelocations, HighLowWordsMoveByTheDeltaWhereverTheImageGoes) {
    // Words at 0x2000 and at the last word of the image with an ABSOLUTE
    // entry between them, then zeros ending the table before a block
    // that would be refused.
    const File file = SmallImage({0x2000, 0, 16, 0, 0x3000, 0, 0x3FFC, 0, 0, 0, 0, 0, 0x2000, 0, 4, 0});
    std::string error;
    const std::optional<PeImage> image = ParsePeImage(file, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->relocations, (std::vector<uint32_t>{0x2000, 0x2FFC}));
    for (uint32_t base : {kBase, kBase + 0x230000, kBase - 0x10000}) {
        SCOPED_TRACE(base);
        std::vector<uint8_t> memory(image->imageSize, 0xAA);  // what was there before must go
        ASSERT_TRUE(MapPeImage(*image, file, memory.data(), base, nullptr, &error)) << error;
        EXPECT_EQ(memcmp(memory.data(), file.data(), 0x200), 0);
        EXPECT_EQ(memory[0x1000], 0xC3);
        EXPECT_EQ(memory[0x1010] | memory[0x2ff8], 0);
        EXPECT_EQ(Word(&memory[0x2000]), base + 0x1000);
        EXPECT_EQ(Word(&memory[0x2004]), kBase + 0x1000);
        EXPECT_EQ(Word(&memory[0x2FFC]), base - kBase);
    }
}

TEST(PeImageRelocations, TablesAndMovesTheLoaderCannotHonourAreRefused) {
    const struct {
        const char* what;
        std::vector<uint16_t> table;
        const char* message;
    } tables[] = {
        {"type 10", {0x2000, 0, 10, 0, 0xA000}, "base relocation type 10 at RVA 0x2000 is not supported"},
        {"block past the table", {0x2000, 0, 12, 0, 0x3000}, "has a bad size (0xc)"},
        {"odd block", {0x2000, 0, 11, 0, 0x3000, 0}, "has a bad size (0xb)"},
        {"block shorter than its header", {0x2000, 0, 4, 0, 0x3000, 0}, "has a bad size (0x4)"},
        {"word across the image's end",
         {0x2000, 0, 10, 0, 0x3FFD},
         "base relocation at RVA 0x2ffd lies outside"},
    };
    for (const auto& table : tables)
        EXPECT_SAYS(ParseError(SmallImage(table.table)), table.message) << table.what;

    const File file = SmallImage({}, 0x2103);  // relocations stripped
    const std::optional<PeImage> image = ParsePeImage(file, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(MapError(*image, file, kBase, nullptr), "mapped");
    EXPECT_SAYS(MapError(*image, file, kBase + 0x10000, nullptr), "has no relocations and cannot move");
    EXPECT_SAYS(MapError(*image, file, kBase + 0x8000, nullptr), "is not 64 KiB aligned");
    EXPECT_SAYS(MapError(*image, file, 0xFFFFE000, nullptr), "does not fit below 4 GiB");
    EXPECT_SAYS(MapError(*image, File(file.begin(), file.end() - 1), kBase, nullptr),
                "not the one the image was parsed from");
}

// --- The real DLL -----------------------------------------------------------------

class RealDll : public testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_DLL();
        std::string error;
        image = ParsePeImage(file, &error);
        ASSERT_TRUE(image) << error;
    }

    // An address per import slot, so that a word written to the wrong slot shows.
    static std::optional<uint32_t> Resolve(const PeImport& entry) { return 0x7F000000 + entry.iatRva; }

    size_t FileOffset(uint32_t rva) const {
        const sim::PeSection* section = image->SectionAt(rva);
        return section == nullptr ? 0 : section->rawOffset + (rva - section->virtualAddress);
    }
    const sim::PeSection& Section(const std::string& name) const {
        for (const sim::PeSection& section : image->sections)
            if (section.name == name)
                return section;
        throw std::runtime_error("no section " + name);
    }

    const File& file = emulation::DllBytes();
    std::optional<PeImage> image;
};

std::string Describe(const platform::DialogResource& d) {
    std::ostringstream out;
    out << d.language << " " << d.id << " " << d.style << " " << d.x << "," << d.y << "," << d.width << ","
        << d.height << " " << d.captionUtf8 << " " << (d.fontName ? d.fontName : "-") << " " << d.pointSize;
    for (size_t i = 0; i < d.controlCount; ++i) {
        const platform::DialogControlResource& c = d.controls[i];
        out << "\n"
            << c.id << " " << c.className << " " << c.style << " " << c.x << "," << c.y << "," << c.width
            << "," << c.height << " " << c.textUtf8;
    }
    return out.str();
}

TEST_F(RealDll, TextsAndDialogsEqualTheNativeTables) {
    EXPECT_EQ(image->strings.size(), platform::STRING_RESOURCE_COUNT);
    for (const auto& [key, text] : image->strings) {
        const char* native = platform::FindStringUtf8(key.second, key.first);
        EXPECT_STREQ(text.c_str(), native ? native : "(absent)") << key.second << " " << key.first;
    }
    EXPECT_EQ(image->dialogs.size(), platform::DIALOG_RESOURCE_COUNT);
    for (const sim::OwnedDialog& dialog : image->dialogs) {
        const platform::DialogResource* native =
            platform::FindDialogResource(dialog.decoded().id, dialog.decoded().language);
        ASSERT_NE(native, nullptr) << dialog.decoded().id;
        EXPECT_EQ(Describe(dialog.resource()), Describe(*native));
    }
}

TEST_F(RealDll, MovingItChangesOnlyRelocatedWordsByTheDeltaAndFillsTheIat) {
    auto map = [&](uint32_t base) {
        std::vector<uint8_t> memory(image->imageSize, 0xAA);
        std::string error;
        EXPECT_TRUE(MapPeImage(*image, file, memory.data(), base, Resolve, &error)) << error;
        return memory;
    };
    const uint32_t delta = 0x100000;
    const std::vector<uint8_t> home = map(image->preferredBase), moved = map(image->preferredBase + delta);
    std::vector<bool> iat(image->imageSize), relocated(image->imageSize);
    ASSERT_FALSE(image->imports.empty());
    for (const PeImport& entry : image->imports) {
        EXPECT_EQ(Word(&moved[entry.iatRva]), *Resolve(entry)) << entry.dll << "!" << entry.name;
        std::fill_n(iat.begin() + entry.iatRva, 4, true);
    }
    ASSERT_FALSE(image->relocations.empty());
    for (uint32_t rva : image->relocations) {
        EXPECT_EQ(Word(&moved[rva]) - Word(&home[rva]), delta) << rva;
        std::fill_n(relocated.begin() + rva, 4, true);
    }
    // At home the image is the file's bytes laid out; moved, it differs
    // only where a relocation says.
    size_t wrongAtHome = 0, wrongMoved = 0;
    for (const sim::PeSection& section : image->sections)
        for (uint32_t i = 0; i < std::min(section.rawSize, section.mappedSize); ++i)
            wrongAtHome += !iat[section.virtualAddress + i] &&
                           home[section.virtualAddress + i] != file[section.rawOffset + i];
    for (size_t i = 0; i < home.size(); ++i)
        wrongMoved += !relocated[i] && home[i] != moved[i];
    EXPECT_EQ(wrongAtHome, 0u);
    EXPECT_EQ(wrongMoved, 0u);

    const PeImport& refused = image->imports.back();
    EXPECT_EQ(MapError(*image, file, image->preferredBase,
                       [&](const PeImport& entry) {
                           return entry.iatRva == refused.iatRva ? std::nullopt : Resolve(entry);
                       }),
              "unresolved import " + refused.dll + "!" + refused.name);
}

TEST_F(RealDll, DamageIsRefusedByName) {
    const size_t pe = Word(&file[0x3C]), coff = pe + 4, optional = pe + 24;
    const size_t sectionTable = optional + (file[coff + 16] | file[coff + 17] << 8);
    const size_t sectionTableEnd = sectionTable + 40 * image->sections.size();
    auto directory = [&](int index) { return optional + 96 + 8 * index; };
    auto at = [&](int index) { return FileOffset(Word(&file[directory(index)])); };
    auto header = [&](const std::string& name) {
        return sectionTable + 40 * (&Section(name) - &image->sections[0]);
    };
    const uint32_t rawEnd = Section(".reloc").rawOffset + Section(".reloc").rawSize;
    const uint32_t rdata = Section(".rdata").virtualAddress;
    const size_t descriptor = at(1), exports = at(0), resources = at(2);
    const size_t lookup = FileOffset(Word(&file[descriptor]));
    const size_t functions = FileOffset(Word(&file[exports + 28]));
    const size_t ordinals = FileOffset(Word(&file[exports + 36]));
    // The language table under a resource type's first name. Types and
    // languages come in ascending order: 5 then 6, 1031 first.
    auto languages = [&](int type) {
        const size_t names = resources + (Word(&file[resources + 16 + 8 * (type - 5) + 4]) & 0x7FFFFFFF);
        return resources + (Word(&file[names + 20]) & 0x7FFFFFFF);
    };
    const size_t dialogEntry = resources + Word(&file[languages(5) + 20]);
    const size_t stringEntry = resources + Word(&file[languages(6) + 20]);
    // The resource directory's last structure: the third string table's data entry.
    const uint32_t lastEntryEnd = Word(&file[languages(6) + 36]) + 16;
    const size_t strings = FileOffset(Word(&file[stringEntry]));
    const uint32_t size = image->imageSize;

    // Lengths the file is cut to.
    const std::pair<size_t, std::string> cuts[] = {
        {63, "the file ends inside the DOS header"},
        {sectionTableEnd - 1, "the file ends inside the section table"},
        {sectionTableEnd, "run past the end of the file"},
        {rawEnd - 1, "section .reloc runs past the end of the file"},
        {rawEnd, "parsed"},  // the linker's symbols after the sections are not the loader's
    };
    for (const auto& [length, message] : cuts) {
        const File cut(file.begin(), file.begin() + length);  // exact size: the sanitizer sees an overrun
        EXPECT_SAYS(ParseError(cut), message) << length;
    }
    // A field overwritten: where, the new value, its width in bytes.
    const uint32_t characteristics = image->characteristics, stringLength = Word(&file[strings]) >> 16;
    const struct {
        size_t at;
        uint32_t value;
        int bytes;
        std::string message;
    } faults[] = {
        {0, 'X', 1, "no MZ signature"},
        {0x3C, 0xFFFFFFF0, 4, "the file ends inside the PE signature"},
        {pe + 1, 'X', 1, "no PE signature"},
        {coff, 0x8664, 2, "not an i386 image (machine 0x8664)"},
        {coff + 18, characteristics & ~0x2000u, 2, "not a DLL"},
        {optional, 0x20B, 2, "not a PE32 image (optional header magic 0x20b)"},
        {coff + 16, 0x20, 2, "too short for PE32"},
        {coff + 16, 0x70, 2, "16 data directories do not fit"},
        {coff + 2, 0xFFFF, 2, "65535 sections"},
        {optional + 56, 0xFFFFFFFF, 4, "larger than"},
        {optional + 56, size - 1, 4, "section .reloc lies outside the image"},
        {optional + 32, 0x3000, 4, "section alignment 0x3000 is not a power of two"},
        {optional + 28, image->preferredBase + 0x1000, 4, "is not 64 KiB aligned"},
        {optional + 28, 0xFFFF0000, 4, "does not fit below 4 GiB"},
        {optional + 60, static_cast<uint32_t>(file.size() + 1), 4, "run past the end of the file"},
        {optional + 60, static_cast<uint32_t>(sectionTableEnd - 1), 4,
         "the section table ends past SizeOfHeaders"},
        {header(".text") + 20, 0xFFFFFF00, 4, "section .text runs past the end of the file"},
        {header(".data") + 12, 0x2000, 4, "section .data overlaps section .text"},
        {header(".text") + 12, 0x1234, 4, "section .text at RVA 0x1234 is not aligned"},
        {optional + 16, rdata, 4, "is not in an executable section"},
        {directory(2) + 4, size - Word(&file[directory(2)]) + 1, 4,
         "the resource directory lies outside the image"},
        {directory(9), rdata, 4, "the image has a TLS directory"},
        {directory(13), rdata, 4, "the image has delay-load imports"},
        {descriptor + 12, 0x7FFFFFF0, 4, "imported DLL name at RVA 0x7ffffff0 lies outside the image"},
        {descriptor + 16, 0, 4, "is incomplete"},
        {descriptor, 0, 4, "parsed"},  // without a lookup table the IAT names the imports
        {lookup, 0x80000010, 4, "import by ordinal 16 from " + image->imports.front().dll + " not supported"},
        {exports + 24, 0xFFFFFFFF, 4, "4294967295 export names for"},
        {exports + 20, 0x7FFFFFFF, 4, "2147483647 exported functions is too many"},
        {ordinals, Word(&file[exports + 20]), 2, "points past the export address table"},
        {functions, Word(&file[directory(0)]), 4, "is forwarded to"},
        {functions, size, 4, "lies outside the image"},  // an export at the image's end
        {resources + 14, 0xFFFF, 2, "lies outside the resource directory"},
        {resources + 20, Word(&file[resources + 20]) & 0x7FFFFFFF, 4, "resource type 5 is not a directory"},
        {stringEntry, 0x7FFFFFF0, 4, "resource 6/1/1031 data at RVA 0x7ffffff0 lies outside the image"},
        {stringEntry + 4, 1, 4, "string table block 1 (language 1031) ends after 0 strings"},
        {stringEntry + 4, 3 + 2 * stringLength, 4, "block 1 (language 1031) string 1 runs past the block"},
        {strings + 4, 0xD800, 2, "string 1 (language 1031) is not valid UTF-16"},
        {languages(6) + 24, 1031, 4, "string 1 (language 1031) appears twice"},
        {dialogEntry + 4, Word(&file[dialogEntry + 4]) - 1, 4, "ends inside its template"},
        {directory(2) + 4, lastEntryEnd - 1, 4, "data entry at offset"},
        {directory(2) + 4, lastEntryEnd, 4, "parsed"},
        {languages(5) + 24, 1031, 4, "dialog 102 (language 1031) appears twice"},
    };
    for (const auto& fault : faults) {
        File damaged = file;
        Put(damaged, fault.at, fault.value, fault.bytes);
        EXPECT_SAYS(ParseError(damaged), fault.message) << "at " << fault.at;
    }
}

}  // namespace
