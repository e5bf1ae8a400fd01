// The PE32 loader: small images assembled here to reach each table and each
// fault on purpose, then the real TAVUEdit.dll parsed, mapped at two bases
// and held to the native resource tables, and finally cut and corrupted.
#include "sim/pe_image.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "module/host.h"
#include "module/linkage.h"
#include "platform/resources.h"

namespace {

using sim::MapPeImage;
using sim::ParsePeImage;
using sim::PeImage;
using sim::PeImport;

uint32_t Word(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Little-endian bytes written in order, patched in place by offset.
class Bytes {
  public:
    size_t size() const { return data_.size(); }
    const std::vector<uint8_t>& data() const { return data_; }

    Bytes& U8(uint8_t value) {
        data_.push_back(value);
        return *this;
    }
    Bytes& U16(uint16_t value) { return U8(value & 0xFF).U8(value >> 8); }
    Bytes& U32(uint32_t value) { return U16(value & 0xFFFF).U16(value >> 16); }
    Bytes& Zeros(size_t count) {
        data_.resize(data_.size() + count);
        return *this;
    }
    Bytes& Ascii(std::string_view text) {
        data_.insert(data_.end(), text.begin(), text.end());
        return U8(0);
    }
    // Zero-terminated UTF-16, the form of every text in a dialog template.
    Bytes& Text(std::u16string_view text) {
        for (char16_t c : text)
            U16(c);
        return U16(0);
    }
    Bytes& Append(const std::vector<uint8_t>& bytes) {
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Bytes& Align(size_t alignment) { return Zeros((alignment - data_.size() % alignment) % alignment); }
    void Put16(size_t at, uint16_t value) {
        data_.at(at) = value & 0xFF;
        data_.at(at + 1) = value >> 8;
    }
    void Put32(size_t at, uint32_t value) {
        Put16(at, value & 0xFFFF);
        Put16(at + 2, value >> 16);
    }

  private:
    std::vector<uint8_t> data_;
};

struct Resource {
    uint32_t type;
    uint32_t name;
    uint16_t language;
    std::vector<uint8_t> data;
};

// Where AddImports put one DLL's tables: offsets into the data section for
// patching, and the RVA the loader reports.
struct ImportTables {
    size_t descriptor;
    size_t lookup;
    uint32_t iatRva;
};

// A PE32 i386 DLL in memory: the headers, a .text section holding a RET and a
// .data section whose content each test lays out itself.
class ImageBuilder {
  public:
    static constexpr uint32_t kBase = 0x10000000;
    static constexpr uint32_t kCodeRva = 0x1000;
    static constexpr uint32_t kDataRva = 0x2000;
    static constexpr uint32_t kOptionalHeader = 0x58;

    Bytes data;
    uint16_t characteristics = 0x2102;  // DLL, executable, 32-bit
    uint32_t entry = kCodeRva;

    uint32_t Here() const { return kDataRva + static_cast<uint32_t>(data.size()); }
    void Directory(int index, uint32_t rva, uint32_t size) { directories_[index] = {rva, size}; }

    std::vector<ImportTables> AddImports(
        const std::vector<std::pair<std::string, std::vector<std::string>>>& dlls) {
        data.Align(4);
        uint32_t start = Here();
        size_t descriptors = data.size();
        data.Zeros(20 * (dlls.size() + 1));
        std::vector<ImportTables> tables;
        for (size_t i = 0; i < dlls.size(); ++i) {
            const auto& names = dlls[i].second;
            data.Align(4);
            size_t lookup = data.size();
            data.Zeros(4 * (names.size() + 1));
            size_t iat = data.size();
            data.Zeros(4 * (names.size() + 1));
            for (size_t j = 0; j < names.size(); ++j) {
                data.Align(2);
                uint32_t hintName = Here();
                data.U16(static_cast<uint16_t>(j + 7)).Ascii(names[j]);
                data.Put32(lookup + 4 * j, hintName);
                data.Put32(iat + 4 * j, hintName);
            }
            uint32_t dllName = Here();
            data.Ascii(dlls[i].first);
            data.Put32(descriptors + 20 * i, kDataRva + lookup);
            data.Put32(descriptors + 20 * i + 12, dllName);
            data.Put32(descriptors + 20 * i + 16, kDataRva + iat);
            tables.push_back({descriptors + 20 * i, lookup, static_cast<uint32_t>(kDataRva + iat)});
        }
        Directory(1, start, 20 * static_cast<uint32_t>(dlls.size() + 1));
        return tables;
    }

    // Names sorted as a linker writes them; an RVA of 0 makes the export a
    // forwarder to NTDLL.RtlFoo. Returns the address table's data offset.
    size_t AddExports(const std::map<std::string, uint32_t>& exports) {
        data.Align(4);
        uint32_t start = Here();
        size_t directory = data.size();
        data.Zeros(40);
        uint32_t count = static_cast<uint32_t>(exports.size());
        uint32_t functions = Here();
        for (const auto& [name, rva] : exports)
            data.U32(rva);
        size_t names = data.size();
        data.Zeros(4 * count);
        uint32_t ordinals = Here();
        for (uint32_t i = 0; i < count; ++i)
            data.U16(static_cast<uint16_t>(i));
        size_t i = 0;
        for (const auto& [name, rva] : exports) {
            data.Put32(names + 4 * i++, Here());
            data.Ascii(name);
        }
        i = 0;
        for (const auto& [name, rva] : exports) {
            if (rva == 0) {
                data.Put32(functions - kDataRva + 4 * i, Here());
                data.Ascii("NTDLL.RtlFoo");
            }
            ++i;
        }
        uint32_t moduleName = Here();
        data.Ascii("test.dll");
        data.Put32(directory + 12, moduleName);
        data.Put32(directory + 16, 1);
        data.Put32(directory + 20, count);
        data.Put32(directory + 24, count);
        data.Put32(directory + 28, functions);
        data.Put32(directory + 32, kDataRva + static_cast<uint32_t>(names));
        data.Put32(directory + 36, ordinals);
        Directory(0, start, Here() - start);
        return functions - kDataRva;
    }

    // Returns the table's data offset.
    size_t AddRelocations(const std::vector<std::pair<uint32_t, std::vector<uint16_t>>>& blocks,
                          size_t padding = 0) {
        data.Align(4);
        uint32_t start = Here();
        for (const auto& [page, entries] : blocks) {
            data.U32(page).U32(8 + 2 * static_cast<uint32_t>(entries.size()));
            for (uint16_t entry : entries)
                data.U16(entry);
        }
        data.Zeros(padding);
        Directory(5, start, Here() - start);
        return start - kDataRva;
    }

    // Type, name and language directories in that order, then the data
    // entries' blobs; offsets count from the start of the tree, which is
    // the returned data offset.
    size_t AddResources(const std::vector<Resource>& resources) {
        std::map<uint32_t, std::map<uint32_t, std::map<uint16_t, const std::vector<uint8_t>*>>> tree;
        for (const Resource& r : resources)
            tree[r.type][r.name][r.language] = &r.data;
        Bytes out;
        auto table = [&](size_t count) {
            size_t at = out.size();
            out.Zeros(16 + 8 * count);
            out.Put16(at + 14, static_cast<uint16_t>(count));
            return at;
        };
        std::vector<std::pair<size_t, const std::vector<uint8_t>*>> entries;
        size_t root = table(tree.size());
        size_t t = 0;
        for (const auto& [type, names] : tree) {
            size_t typeTable = table(names.size());
            out.Put32(root + 16 + 8 * t, type);
            out.Put32(root + 20 + 8 * t++, 0x80000000 | static_cast<uint32_t>(typeTable));
            size_t n = 0;
            for (const auto& [name, languages] : names) {
                size_t nameTable = table(languages.size());
                out.Put32(typeTable + 16 + 8 * n, name);
                out.Put32(typeTable + 20 + 8 * n++, 0x80000000 | static_cast<uint32_t>(nameTable));
                size_t l = 0;
                for (const auto& [language, blob] : languages) {
                    size_t entry = out.size();
                    out.Zeros(16);
                    out.Put32(nameTable + 16 + 8 * l, language);
                    out.Put32(nameTable + 20 + 8 * l++, static_cast<uint32_t>(entry));
                    entries.emplace_back(entry, blob);
                }
            }
        }
        data.Align(4);
        uint32_t start = Here();
        for (const auto& [entry, blob] : entries) {
            out.Align(4);
            out.Put32(entry, start + static_cast<uint32_t>(out.size()));
            out.Put32(entry + 4, static_cast<uint32_t>(blob->size()));
            out.Append(*blob);
        }
        data.Append(out.data());
        Directory(2, start, static_cast<uint32_t>(out.size()));
        return start - kDataRva;
    }

    std::vector<uint8_t> Build() const {
        uint32_t dataVirtual = std::max<uint32_t>(static_cast<uint32_t>(data.size()), 1);
        uint32_t dataRaw = (dataVirtual + 0x1FF) & ~0x1FFu;
        uint32_t imageSize = kDataRva + ((dataVirtual + 0xFFF) & ~0xFFFu);
        Bytes f;
        f.Zeros(0x400 + dataRaw);
        f.Put16(0, 'M' | 'Z' << 8);
        f.Put32(0x3C, 0x40);
        f.Put32(0x40, 'P' | 'E' << 8);
        f.Put16(0x44, 0x14C);
        f.Put16(0x46, 2);
        f.Put16(0x54, 0xE0);
        f.Put16(0x56, characteristics);
        const size_t o = kOptionalHeader;
        f.Put16(o, 0x10B);
        f.Put32(o + 16, entry);
        f.Put32(o + 28, kBase);
        f.Put32(o + 32, 0x1000);
        f.Put32(o + 36, 0x200);
        f.Put32(o + 56, imageSize);
        f.Put32(o + 60, 0x200);
        f.Put32(o + 92, 16);
        for (const auto& [index, directory] : directories_) {
            f.Put32(o + 96 + 8 * index, directory.first);
            f.Put32(o + 100 + 8 * index, directory.second);
        }
        auto section = [&](size_t at, const char* name, uint32_t virtualSize, uint32_t rva, uint32_t rawSize,
                           uint32_t rawOffset, uint32_t flags) {
            for (size_t i = 0; name[i] != 0; ++i)
                f.Put16(at + i, static_cast<uint8_t>(name[i]));
            f.Put32(at + 8, virtualSize);
            f.Put32(at + 12, rva);
            f.Put32(at + 16, rawSize);
            f.Put32(at + 20, rawOffset);
            f.Put32(at + 36, flags);
        };
        section(0x138, ".text", 0x10, kCodeRva, 0x200, 0x200, 0x60000020);
        section(0x160, ".data", dataVirtual, kDataRva, dataRaw, 0x400, 0xC0000040);
        std::vector<uint8_t> file = f.data();
        std::fill(file.begin() + 0x200, file.begin() + 0x210, 0xC3);
        std::copy(data.data().begin(), data.data().end(), file.begin() + 0x400);
        return file;
    }

  private:
    std::map<int, std::pair<uint32_t, uint32_t>> directories_;
};

// The fault message a parse gives, or "parsed" if there was none.
std::string ParseError(const std::vector<uint8_t>& file) {
    std::string error;
    return ParsePeImage(file, &error) ? "parsed" : error;
}

#define EXPECT_FAULT(message, substring) \
    EXPECT_NE((message).find(substring), std::string::npos) << "message: " << (message)

// A string table block: ids (block - 1) * 16 + index, absent ones empty.
std::vector<uint8_t> StringBlock(const std::map<int, std::u16string>& texts, int count = 16) {
    Bytes block;
    for (int index = 0; index < count; ++index) {
        auto found = texts.find(index);
        std::u16string text = found == texts.end() ? u"" : found->second;
        block.U16(static_cast<uint16_t>(text.size()));
        for (char16_t c : text)
            block.U16(c);
    }
    return block.data();
}

// An image with a word for each relocation kind and two DLLs' imports.
struct SampleImage {
    ImageBuilder builder;
    uint32_t pointerRva = 0;  // holds kBase + kCodeRva, relocated
    uint32_t plainRva = 0;    // holds the same value, not relocated
    std::vector<ImportTables> imports;

    SampleImage() {
        pointerRva = builder.Here();
        builder.data.U32(ImageBuilder::kBase + ImageBuilder::kCodeRva);
        plainRva = builder.Here();
        builder.data.U32(ImageBuilder::kBase + ImageBuilder::kCodeRva);
        builder.data.Ascii("payload");
        imports = builder.AddImports(
            {{"KERNEL32.dll", {"GetTickCount", "Sleep"}}, {"USER32.dll", {"MessageBoxA"}}});
        builder.AddExports({{"Beta", pointerRva}, {"Alpha", ImageBuilder::kCodeRva}});
        // An ABSOLUTE entry pads the block as linkers do.
        builder.AddRelocations(
            {{ImageBuilder::kDataRva, {static_cast<uint16_t>(0x3000 | (pointerRva & 0xFFF)), 0}}});
    }
};

std::optional<uint32_t> AddressByName(const PeImport& entry) {
    static const std::map<std::string, uint32_t> kAddresses = {
        {"GetTickCount", 0xF0000010}, {"Sleep", 0xF0000020}, {"MessageBoxA", 0xF0000030}};
    auto found = kAddresses.find(entry.name);
    if (found == kAddresses.end())
        return std::nullopt;
    return found->second;
}

TEST(PeImageTables, ReadsHeadersSectionsImportsExportsAndRelocations) {
    SampleImage sample;
    std::string error;
    std::optional<PeImage> image = ParsePeImage(sample.builder.Build(), &error);
    ASSERT_TRUE(image) << error;

    EXPECT_EQ(image->preferredBase, ImageBuilder::kBase);
    EXPECT_EQ(image->imageSize, 0x3000u);
    EXPECT_EQ(image->entryRva, ImageBuilder::kCodeRva);
    ASSERT_EQ(image->sections.size(), 2u);
    EXPECT_EQ(image->sections[0].name, ".text");
    EXPECT_EQ(image->sections[0].mappedSize, 0x1000u);
    EXPECT_EQ(image->sections[1].name, ".data");
    EXPECT_EQ(image->SectionAt(ImageBuilder::kDataRva + 0xFFF), &image->sections[1]);
    EXPECT_EQ(image->SectionAt(ImageBuilder::kDataRva + 0x1000), nullptr);
    EXPECT_EQ(image->SectionAt(0x800), nullptr);

    ASSERT_EQ(image->imports.size(), 3u);
    EXPECT_EQ(image->imports[0].dll, "KERNEL32.dll");
    EXPECT_EQ(image->imports[0].name, "GetTickCount");
    EXPECT_EQ(image->imports[0].hint, 7);
    EXPECT_EQ(image->imports[0].iatRva, sample.imports[0].iatRva);
    EXPECT_EQ(image->imports[1].name, "Sleep");
    EXPECT_EQ(image->imports[1].iatRva, sample.imports[0].iatRva + 4);
    EXPECT_EQ(image->imports[2].dll, "USER32.dll");
    EXPECT_EQ(image->imports[2].name, "MessageBoxA");
    EXPECT_EQ(image->imports[2].iatRva, sample.imports[1].iatRva);

    EXPECT_EQ(image->exports, (std::map<std::string, uint32_t>{{"Alpha", ImageBuilder::kCodeRva},
                                                               {"Beta", sample.pointerRva}}));
    EXPECT_EQ(image->relocations, std::vector<uint32_t>{sample.pointerRva});
}

TEST(PeImageTables, ImportsWithoutLookupTableAreNamedByTheIat) {
    SampleImage sample;
    sample.builder.data.Put32(sample.imports[0].descriptor, 0);
    std::string error;
    std::optional<PeImage> image = ParsePeImage(sample.builder.Build(), &error);
    ASSERT_TRUE(image) << error;
    ASSERT_EQ(image->imports.size(), 3u);
    EXPECT_EQ(image->imports[1].name, "Sleep");
    EXPECT_EQ(image->imports[1].iatRva, sample.imports[0].iatRva + 4);
}

TEST(PeImageTables, ZeroPaddingEndsTheRelocationTable) {
    ImageBuilder builder;
    builder.data.Zeros(16);
    builder.AddRelocations({{ImageBuilder::kDataRva, {0x3000, 0x3008}}}, 8);
    std::string error;
    std::optional<PeImage> image = ParsePeImage(builder.Build(), &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->relocations, (std::vector<uint32_t>{0x2000, 0x2008}));
}

// One way the tables can be wrong, and what the loader must say about it.
struct TableFault {
    const char* what;
    std::function<void(SampleImage&)> change;
    const char* message;
};

TEST(PeImageTables, RejectsWhatTheLoaderCannotHonour) {
    const TableFault faults[] = {
        {"import by ordinal", [](SampleImage& s) { s.builder.data.Put32(s.imports[1].lookup, 0x80000005); },
         "import by ordinal 5 from USER32.dll not supported"},
        {"descriptor without IAT",
         [](SampleImage& s) { s.builder.data.Put32(s.imports[1].descriptor + 16, 0); }, "is incomplete"},
        {"DLL name running into the end of the image",
         [](SampleImage& s) {
             s.builder.data.Zeros(0xFFD - s.builder.data.size());
             s.builder.data.U8('A').U8('B').U8('C');
             s.builder.data.Put32(s.imports[0].descriptor + 12, s.builder.Here() - 3);
         },
         "imported DLL name at RVA 0x2ffd is not terminated"},
        {"relocation of another type",
         [](SampleImage& s) {
             s.builder.AddRelocations({{ImageBuilder::kDataRva, {0xA000}}});
         },
         "base relocation type 10 at RVA 0x2000 is not supported"},
        {"relocation block larger than the table",
         [](SampleImage& s) {
             size_t table = s.builder.AddRelocations({{ImageBuilder::kDataRva, {0x3000}}});
             s.builder.data.Put32(table + 4, 0x1000);
         },
         "has a bad size (0x1000)"},
        {"relocation block of odd size",
         [](SampleImage& s) {
             size_t table = s.builder.AddRelocations({{ImageBuilder::kDataRva, {0x3000, 0}}});
             s.builder.data.Put32(table + 4, 11);
         },
         "has a bad size (0xb)"},
        {"relocated word across the end of the image",
         [](SampleImage& s) {
             s.builder.AddRelocations({{ImageBuilder::kDataRva, {0x3FFE}}});
         },
         "base relocation at RVA 0x2ffe lies outside the image"},
        {"forwarded export",
         [](SampleImage& s) {
             s.builder.AddExports({{"Fwd", 0}});
         },
         "export Fwd is forwarded to NTDLL.RtlFoo"},
        {"export ordinal past the address table",
         [](SampleImage& s) {
             size_t functions = s.builder.AddExports({{"One", ImageBuilder::kCodeRva}});
             s.builder.data.Put16(functions + 8, 1);  // after one address and one name
         },
         "export One points past the export address table"},
        {"more export names than functions",
         [](SampleImage& s) {
             size_t functions = s.builder.AddExports({{"One", ImageBuilder::kCodeRva}});
             s.builder.data.Put32(functions - 40 + 24, 2);
         },
         "2 export names for 1 functions"},
        {"export outside the image",
         [](SampleImage& s) {
             s.builder.AddExports({{"Far", 0x40000}});
         },
         "export Far at RVA 0x40000 lies outside the image"},
        {"TLS directory", [](SampleImage& s) { s.builder.Directory(9, ImageBuilder::kDataRva, 24); }, "TLS"},
        {"delay-load imports", [](SampleImage& s) { s.builder.Directory(13, ImageBuilder::kDataRva, 32); },
         "delay-load imports"},
        {"directory past SizeOfImage",
         [](SampleImage& s) { s.builder.Directory(2, ImageBuilder::kDataRva + 0xF00, 0x200); },
         "the resource directory lies outside the image"},
        {"entry point in data", [](SampleImage& s) { s.builder.entry = ImageBuilder::kDataRva; },
         "entry point 0x2000 is not in an executable section"},
        {"an EXE", [](SampleImage& s) { s.builder.characteristics = 0x0102; }, "not a DLL"},
    };
    for (const TableFault& fault : faults) {
        SCOPED_TRACE(fault.what);
        SampleImage sample;
        fault.change(sample);
        EXPECT_FAULT(ParseError(sample.builder.Build()), fault.message);
    }
}

TEST(PeImageTables, BoundsWhatHostileTablesCanCost) {
    ImageBuilder manyImports;
    std::vector<std::string> names;
    for (int i = 0; i <= 4096; ++i)
        names.push_back("f" + std::to_string(i));
    manyImports.AddImports({{"KERNEL32.dll", names}});
    EXPECT_FAULT(ParseError(manyImports.Build()), "more than 4096 imported functions");

    ImageBuilder manyDlls;
    std::vector<std::pair<std::string, std::vector<std::string>>> dlls;
    for (int i = 0; i <= 256; ++i)
        dlls.push_back({"D" + std::to_string(i) + ".dll", {"F"}});
    manyDlls.AddImports(dlls);
    EXPECT_FAULT(ParseError(manyDlls.Build()), "more than 256 imported DLLs");

    ImageBuilder longName;
    longName.AddImports({{std::string(600, 'K'), {"Sleep"}}});
    EXPECT_FAULT(ParseError(longName.Build()), "imported DLL name at RVA");
    EXPECT_FAULT(ParseError(longName.Build()), "is longer than 512 bytes");

    std::map<int, std::u16string> large;
    for (int i = 0; i < 16; ++i)
        large[i] = std::u16string(40000, u'a');
    ImageBuilder largeStrings;
    largeStrings.AddResources({{6, 1, 1033, StringBlock(large)}});
    EXPECT_FAULT(ParseError(largeStrings.Build()),
                 "the string tables and dialogs hold more than 1048576 bytes");
}

TEST(PeImageMapping, CopiesSectionsRelocatesAndFillsTheIat) {
    SampleImage sample;
    const std::vector<uint8_t> file = sample.builder.Build();
    std::string error;
    std::optional<PeImage> image = ParsePeImage(file, &error);
    ASSERT_TRUE(image) << error;
    const uint32_t iat0 = sample.imports[0].iatRva;
    const uint32_t iat1 = sample.imports[1].iatRva;

    for (uint32_t base :
         {ImageBuilder::kBase, ImageBuilder::kBase + 0x230000, ImageBuilder::kBase - 0x10000}) {
        SCOPED_TRACE(base);
        std::vector<uint8_t> memory(image->imageSize, 0xAA);  // whatever was there before must go
        ASSERT_TRUE(MapPeImage(*image, file, memory.data(), base, AddressByName, &error)) << error;
        EXPECT_TRUE(std::equal(file.begin(), file.begin() + 0x200, memory.begin()));
        EXPECT_TRUE(
            std::all_of(memory.begin() + 0x200, memory.begin() + 0x1000, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(std::all_of(memory.begin() + 0x1000, memory.begin() + 0x1010,
                                [](uint8_t b) { return b == 0xC3; }));
        EXPECT_TRUE(
            std::all_of(memory.begin() + 0x1010, memory.begin() + 0x2000, [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(memcmp(&memory[sample.plainRva + 4], "payload", 8), 0);

        EXPECT_EQ(Word(&memory[sample.pointerRva]), base + ImageBuilder::kCodeRva);
        EXPECT_EQ(Word(&memory[sample.plainRva]), ImageBuilder::kBase + ImageBuilder::kCodeRva);
        EXPECT_EQ(Word(&memory[iat0]), 0xF0000010u);
        EXPECT_EQ(Word(&memory[iat0 + 4]), 0xF0000020u);
        EXPECT_EQ(Word(&memory[iat0 + 8]), 0u);
        EXPECT_EQ(Word(&memory[iat1]), 0xF0000030u);
        EXPECT_TRUE(std::all_of(memory.begin() + ImageBuilder::kDataRva + sample.builder.data.size(),
                                memory.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST(PeImageMapping, RefusesWhatItCannotHonour) {
    SampleImage sample;
    std::vector<uint8_t> file = sample.builder.Build();
    std::string error;
    std::optional<PeImage> image = ParsePeImage(file, &error);
    ASSERT_TRUE(image) << error;
    std::vector<uint8_t> memory(image->imageSize);
    auto map = [&](uint32_t base, const sim::PeImportResolver& resolve, std::span<const uint8_t> bytes) {
        error.clear();
        return MapPeImage(*image, bytes, memory.data(), base, resolve, &error) ? "mapped" : error;
    };

    auto withoutMessageBox = [](const PeImport& entry) -> std::optional<uint32_t> {
        return entry.name == "MessageBoxA" ? std::nullopt : AddressByName(entry);
    };
    EXPECT_EQ(map(ImageBuilder::kBase, withoutMessageBox, file), "unresolved import USER32.dll!MessageBoxA");
    EXPECT_EQ(map(ImageBuilder::kBase, nullptr, file), "unresolved import KERNEL32.dll!GetTickCount");
    EXPECT_FAULT(map(ImageBuilder::kBase + 0x8000, AddressByName, file), "not 64 KiB aligned");
    EXPECT_FAULT(map(0xFFFFE000, AddressByName, file), "does not fit below 4 GiB");
    EXPECT_FAULT(map(ImageBuilder::kBase, AddressByName, std::span(file).first(file.size() - 1)),
                 "not the one the image was parsed from");

    sample.builder.characteristics |= 0x0001;  // relocations stripped
    file = sample.builder.Build();
    image = ParsePeImage(file, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(map(ImageBuilder::kBase, AddressByName, file), "mapped");
    EXPECT_FAULT(map(ImageBuilder::kBase + 0x10000, AddressByName, file),
                 "has no relocations and cannot move");
}

constexpr uint32_t kPopup = 0x80000000;
constexpr uint32_t kSetFont = 0x40;
constexpr uint32_t kModalFrame = 0x80;

// DLGTEMPLATE: an ordinal class, a lower-case class name, an ordinal text
// with creation data, and a 16-bit id of -1.
std::vector<uint8_t> PlainDialog() {
    Bytes d;
    d.U32(kPopup | kSetFont | kModalFrame).U32(0).U16(3).U16(10).U16(20).U16(200).U16(100);
    d.U16(0).U16(0).Text(u"Propriet\u00e0").U16(8).Text(u"MS Shell Dlg");
    d.Align(4).U32(0x50010001).U32(0).U16(5).U16(6).U16(50).U16(14).U16(1);
    d.U16(0xFFFF).U16(0x80).Text(u"OK").U16(0);
    d.Align(4).U32(0x50000003).U32(0x200).U16(static_cast<uint16_t>(-3)).U16(6).U16(20).U16(20).U16(0xFFFF);
    d.Text(u"Static").U16(0xFFFF).U16(100).U16(4).U16(0xAAAA).U16(0xBBBB);
    d.Align(4).U32(0x50000000).U32(0).U16(40).U16(6).U16(100).U16(12).U16(1002);
    d.Text(u"msctls_trackbar32").Text(u"").U16(0);
    return d.data();
}

// DLGTEMPLATEEX: help ids, extended styles, a menu ordinal, a window class,
// the full font record and a 32-bit control id.
std::vector<uint8_t> ExtendedDialog() {
    Bytes d;
    d.U16(1).U16(0xFFFF).U32(55).U32(0x10).U32(kPopup | kSetFont).U16(1).U16(0).U16(0).U16(100).U16(50);
    d.U16(0xFFFF).U16(9).Text(u"MyDialogClass").Text(u"").U16(9).U16(700).U8(1).U8(0xEE).Text(u"Tahoma");
    d.Align(4).U32(77).U32(0x20000).U32(0x50000000).U16(1).U16(2).U16(3).U16(4).U32(70000);
    d.U16(0xFFFF).U16(0x81).Text(u"x").U16(0);
    return d.data();
}

std::optional<PeImage> ParseResources(const std::vector<Resource>& resources, std::string* error) {
    ImageBuilder builder;
    builder.AddResources(resources);
    return ParsePeImage(builder.Build(), error);
}

TEST(PeImageResources, DecodesPlainDialogTemplates) {
    std::string error;
    std::optional<PeImage> image = ParseResources({{5, 7, 1033, PlainDialog()}}, &error);
    ASSERT_TRUE(image) << error;
    const sim::DecodedDialog* dialog = image->FindDecodedDialog(7, 1033);
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(dialog->extended);
    EXPECT_EQ(dialog->style, kPopup | kSetFont | kModalFrame);
    EXPECT_EQ(dialog->caption, "Propriet\xC3\xA0");
    EXPECT_EQ(dialog->menu, "");
    EXPECT_EQ(dialog->windowClass, "");
    EXPECT_TRUE(dialog->hasFont);
    EXPECT_EQ(dialog->fontName, "MS Shell Dlg");
    EXPECT_EQ(dialog->pointSize, 8);
    ASSERT_EQ(dialog->controls.size(), 3u);
    EXPECT_EQ(dialog->controls[0].className, "BUTTON");
    EXPECT_EQ(dialog->controls[0].id, 1);
    EXPECT_EQ(dialog->controls[0].text, "OK");
    EXPECT_EQ(dialog->controls[1].className, "STATIC");
    EXPECT_EQ(dialog->controls[1].id, -1);
    EXPECT_EQ(dialog->controls[1].x, -3);
    EXPECT_EQ(dialog->controls[1].exStyle, 0x200u);
    EXPECT_EQ(dialog->controls[1].text, "#100");
    EXPECT_EQ(dialog->controls[1].textOrdinal, 100);
    EXPECT_EQ(dialog->controls[1].creationDataBytes, 4);
    EXPECT_EQ(dialog->controls[2].className, "MSCTLS_TRACKBAR32");
    EXPECT_EQ(dialog->controls[2].id, 1002);
    EXPECT_EQ(dialog->controls[2].width, 100);

    const platform::DialogResource* view = image->FindDialog(7, 1033);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(image->FindDialog(7, 1040), nullptr);
    EXPECT_EQ(image->FindDialog(8, 1033), nullptr);
    EXPECT_EQ(view->language, 1033);
    EXPECT_EQ(view->id, 7u);
    EXPECT_EQ(view->x, 10);
    EXPECT_EQ(view->height, 100);
    EXPECT_STREQ(view->fontName, "MS Shell Dlg");
    ASSERT_EQ(view->controlCount, 3u);
    EXPECT_STREQ(view->controls[1].className, "STATIC");
    EXPECT_STREQ(view->controls[1].textUtf8, "#100");
    EXPECT_EQ(view->controls[2].style, 0x50000000u);
}

TEST(PeImageResources, DecodesExtendedDialogTemplates) {
    Bytes noFont;
    noFont.U16(1).U16(0xFFFF).U32(0).U32(0).U32(kPopup).U16(0).U16(0).U16(0).U16(10).U16(10);
    noFont.U16(0).U16(0).Text(u"Bare");
    std::string error;
    std::optional<PeImage> image =
        ParseResources({{5, 9, 1040, ExtendedDialog()}, {5, 10, 1040, noFont.data()}}, &error);
    ASSERT_TRUE(image) << error;
    const sim::DecodedDialog* dialog = image->FindDecodedDialog(9, 1040);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->extended);
    EXPECT_EQ(dialog->helpId, 55u);
    EXPECT_EQ(dialog->exStyle, 0x10u);
    EXPECT_EQ(dialog->menu, "#9");
    EXPECT_EQ(dialog->windowClass, "MyDialogClass");
    EXPECT_EQ(dialog->caption, "");
    EXPECT_EQ(dialog->pointSize, 9);
    EXPECT_EQ(dialog->fontWeight, 700);
    EXPECT_EQ(dialog->fontItalic, 1);
    EXPECT_EQ(dialog->fontCharset, 0xEE);
    EXPECT_EQ(dialog->fontName, "Tahoma");
    ASSERT_EQ(dialog->controls.size(), 1u);
    EXPECT_EQ(dialog->controls[0].id, 70000);
    EXPECT_EQ(dialog->controls[0].helpId, 77u);
    EXPECT_EQ(dialog->controls[0].exStyle, 0x20000u);
    EXPECT_EQ(dialog->controls[0].className, "EDIT");
    EXPECT_EQ(dialog->controls[0].height, 4);

    const platform::DialogResource* bare = image->FindDialog(10, 1040);
    ASSERT_NE(bare, nullptr);
    EXPECT_STREQ(bare->captionUtf8, "Bare");
    EXPECT_EQ(bare->fontName, nullptr);
    EXPECT_EQ(bare->pointSize, 0);
    EXPECT_EQ(bare->controls, nullptr);
    EXPECT_EQ(bare->controlCount, 0u);
}

TEST(PeImageResources, DialogViewsOutliveTheImageTheyCameFrom) {
    std::optional<sim::OwnedDialog> kept;
    {
        std::string error;
        std::optional<PeImage> image = ParseResources({{5, 7, 1033, PlainDialog()}}, &error);
        ASSERT_TRUE(image) << error;
        PeImage copy = *image;
        image.reset();
        kept = copy.dialogs.at(0);
    }
    const platform::DialogResource& view = kept->resource();
    EXPECT_STREQ(view.captionUtf8, "Propriet\xC3\xA0");
    EXPECT_STREQ(view.controls[0].textUtf8, "OK");
    EXPECT_STREQ(view.controls[2].className, "MSCTLS_TRACKBAR32");
}

TEST(PeImageResources, DecodesStringBlocksByIdAndLanguage) {
    std::string error;
    std::optional<PeImage> image = ParseResources(
        {
            {6, 1, 1033, StringBlock({{1, u"Hello"}, {15, u"last"}})},
            {6, 3, 1040, StringBlock({{1, u"Citt\u00e0 \U0001F600"}})},
            {6, 1, 1040, StringBlock({{1, u"Ciao"}})},
            {3, 1, 1033, {0xDE, 0xAD}},  // an icon: not decoded, not checked
        },
        &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->strings.size(), 4u);
    EXPECT_STREQ(image->FindString(1, 1033), "Hello");
    EXPECT_STREQ(image->FindString(15, 1033), "last");
    EXPECT_STREQ(image->FindString(1, 1040), "Ciao");
    EXPECT_STREQ(image->FindString(33, 1040), "Citt\xC3\xA0 \xF0\x9F\x98\x80");
    EXPECT_EQ(image->FindString(0, 1033), nullptr);
    EXPECT_EQ(image->FindString(2, 1033), nullptr);
    EXPECT_EQ(image->FindString(33, 1033), nullptr);
    EXPECT_EQ(image->FindString(15, 1031), nullptr);
}

TEST(PeImageResources, RejectsBrokenResources) {
    std::vector<uint8_t> cutDialog = PlainDialog();
    cutDialog.resize(cutDialog.size() - 3);
    std::vector<uint8_t> unknownClass = ExtendedDialog();
    unknownClass[unknownClass.size() - 8] =
        0x86;  // the class ordinal, before the text "x" and the data count
    Bytes badCaption;
    badCaption.U32(kPopup).U32(0).U16(0).U16(0).U16(0).U16(10).U16(10).U16(0).U16(0).U16(0xDC00).U16(0);

    const struct {
        const char* what;
        std::vector<Resource> resources;
        const char* message;
    } faults[] = {
        {"lone surrogate",
         {{6, 1, 1033, StringBlock({{2, u"a\xD800"}})}},
         "string 2 (language 1033) is not valid UTF-16"},
        {"short string block", {{6, 1, 1033, StringBlock({}, 2)}}, "ends after 2 strings"},
        {"string past its block",
         {{6, 1, 1033, {0x05, 0x00, 'a', 0}}},
         "string table block 1 (language 1033) string 0 runs past the block"},
        {"block 0", {{6, 0, 1033, StringBlock({})}}, "is not a block number"},
        {"cut dialog",
         {{5, 7, 1033, cutDialog}},
         "dialog 7 (language 1033) control 2 ends inside its template"},
        {"unknown class ordinal", {{5, 9, 1040, unknownClass}}, "unknown window class ordinal 0x86"},
        {"caption not UTF-16",
         {{5, 4, 1031, badCaption.data()}},
         "dialog 4 (language 1031) has a string that is not valid UTF-16"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.what);
        std::string error;
        EXPECT_FALSE(ParseResources(fault.resources, &error));
        EXPECT_FAULT(error, fault.message);
    }
}

TEST(PeImageResources, RejectsBrokenResourceTrees) {
    // One resource: root at 0, type table at 24, name table at 48, data entry at 72.
    const struct {
        const char* what;
        size_t offset;
        uint32_t value;
        const char* message;
    } faults[] = {
        {"type pointing back at the root", 20, 0x80000000, "resource tree deeper than type/name/language"},
        {"entry counts past the directory", 12, 0xFFFF0000, "lies outside the resource directory"},
        {"subdirectory past the directory", 20, 0x80010000, "lies outside the resource directory"},
        {"data entry past the directory", 68, 0x00010000, "data entry at offset 0x10000 lies outside"},
        {"data past the image", 72, 0x7FFFFFF0,
         "resource 6/1/1033 data at RVA 0x7ffffff0 lies outside the image"},
        {"type as a leaf", 20, 48, "resource type 6 is not a directory"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.what);
        ImageBuilder builder;
        size_t tree = builder.AddResources({{6, 1, 1033, StringBlock({{0, u"x"}})}});
        builder.data.Put32(tree + fault.offset, fault.value);
        EXPECT_FAULT(ParseError(builder.Build()), fault.message);
    }

    // Two languages of one dialog, the second relabelled as the first: its
    // language entry follows the name table's header and first entry.
    ImageBuilder builder;
    size_t tree = builder.AddResources({{5, 7, 1033, PlainDialog()}, {5, 7, 1040, PlainDialog()}});
    builder.data.Put32(tree + 48 + 16 + 8, 1033);
    EXPECT_FAULT(ParseError(builder.Build()), "dialog 7 (language 1033) appears twice");
}

// --- The real DLL -----------------------------------------------------------

std::filesystem::path DllPath() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
           "build/windows/TAVUEdit.dll";
}

const LANGID kLanguages[] = {platform::LANGUAGE_ENGLISH, platform::LANGUAGE_ITALIAN,
                             platform::LANGUAGE_GERMAN};

class RealDll : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::ifstream in(DllPath(), std::ios::binary);
        if (!in)
            return;
        file_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        image_ = ParsePeImage(file_, &parseError_);
    }

    void SetUp() override {
        if (file_.empty())
            GTEST_SKIP() << DllPath() << " is missing; `make dll` builds it";
        ASSERT_TRUE(image_) << parseError_;
    }

    const PeImage& image() const { return *image_; }
    const std::vector<uint8_t>& file() const { return file_; }

    // A distinct address per import so that a word written to the wrong slot shows.
    static std::optional<uint32_t> Resolve(const PeImport& entry) {
        for (size_t i = 0; i < image_->imports.size(); ++i)
            if (image_->imports[i].dll == entry.dll && image_->imports[i].name == entry.name)
                return 0x7F000000 + 16 * static_cast<uint32_t>(i);
        return std::nullopt;
    }

    const sim::PeSection* SectionNamed(const std::string& name) const {
        for (const sim::PeSection& section : image().sections)
            if (section.name == name)
                return &section;
        return nullptr;
    }

    std::vector<uint8_t> Map(uint32_t base) const {
        std::vector<uint8_t> memory(image().imageSize);
        std::string error;
        EXPECT_TRUE(MapPeImage(image(), file(), memory.data(), base, Resolve, &error)) << error;
        return memory;
    }

    uint32_t ExportRva(const char* name) const {
        auto found = image().exports.find(name);
        return found == image().exports.end() ? 0 : found->second;
    }

    static inline std::vector<uint8_t> file_;
    static inline std::optional<PeImage> image_;
    static inline std::string parseError_;
};

TEST_F(RealDll, ExportsEntryPointImportsAndRelocations) {
    std::set<std::string> exported;
    for (const auto& [name, rva] : image().exports)
        exported.insert(name);
    EXPECT_EQ(exported, (std::set<std::string>{"ImportTable", "Linkage"}));
    // The host writes its table addresses into ImportTable.
    const sim::PeSection* table = image().SectionAt(ExportRva("ImportTable"));
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(table->characteristics & sim::PE_SCN_MEM_WRITE);

    const sim::PeSection* entry = image().SectionAt(image().entryRva);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->name, ".text");

    const std::set<std::string> kWindows = {"KERNEL32.dll", "USER32.dll", "GDI32.dll"};
    ASSERT_FALSE(image().imports.empty());
    std::set<uint32_t> slots;
    for (const PeImport& entry : image().imports) {
        SCOPED_TRACE(entry.dll + "!" + entry.name);
        EXPECT_TRUE(kWindows.count(entry.dll));
        EXPECT_FALSE(entry.name.empty());
        EXPECT_TRUE(slots.insert(entry.iatRva).second) << "two imports share an IAT word";
        EXPECT_NE(image().SectionAt(entry.iatRva), nullptr);
    }

    ASSERT_FALSE(image().relocations.empty());
    std::set<uint32_t> relocated;
    for (uint32_t rva : image().relocations) {
        EXPECT_LE(uint64_t{rva} + 4, image().imageSize);
        EXPECT_NE(image().SectionAt(rva), nullptr) << rva;
        EXPECT_TRUE(relocated.insert(rva).second) << "relocated twice: " << rva;
    }
    const uint32_t linkage = ExportRva("Linkage");
    for (int word : {1, 2, 6, 7, 8})
        EXPECT_TRUE(relocated.count(linkage + 4 * word)) << "Linkage word " << word;
    for (int word : {0, 3, 4, 5, 9})
        EXPECT_FALSE(relocated.count(linkage + 4 * word)) << "Linkage word " << word;
}

TEST_F(RealDll, MovingTheImageChangesOnlyRelocatedWordsByTheDelta) {
    const uint32_t preferred = image().preferredBase;
    const uint32_t delta = 0x100000;
    const std::vector<uint8_t> atHome = Map(preferred);
    const std::vector<uint8_t> moved = Map(preferred + delta);

    std::vector<bool> patched(image().imageSize);
    for (uint32_t rva : image().relocations) {
        EXPECT_EQ(Word(&moved[rva]) - Word(&atHome[rva]), delta) << "relocation at " << rva;
        std::fill(patched.begin() + rva, patched.begin() + rva + 4, true);
    }
    for (size_t i = 0; i < image().imports.size(); ++i) {
        const PeImport& entry = image().imports[i];
        SCOPED_TRACE(entry.dll + "!" + entry.name);
        EXPECT_EQ(Word(&atHome[entry.iatRva]), *Resolve(entry));
        EXPECT_EQ(Word(&moved[entry.iatRva]), *Resolve(entry));
    }
    size_t differing = 0;
    for (size_t i = 0; i < atHome.size(); ++i)
        if (!patched[i] && atHome[i] != moved[i])
            ++differing;
    EXPECT_EQ(differing, 0u) << "bytes no relocation covers differ between the two bases";

    // Linkage: five code addresses that move with the image, fixed words that do not.
    const uint32_t linkage = ExportRva("Linkage");
    for (int word : {1, 2, 6, 7, 8}) {
        SCOPED_TRACE(word);
        uint32_t address = Word(&atHome[linkage + 4 * word]);
        ASSERT_GE(address, preferred);
        const sim::PeSection* section = image().SectionAt(address - preferred);
        ASSERT_NE(section, nullptr);
        EXPECT_EQ(section->name, ".text");
        EXPECT_EQ(Word(&moved[linkage + 4 * word]), address + delta);
    }
    const std::map<int, uint32_t> fixed = {{0, 0}, {3, 0}, {4, 0}, {5, MODULE_VERSION}, {9, 0}};
    for (const auto& [word, value] : fixed) {
        EXPECT_EQ(Word(&atHome[linkage + 4 * word]), value) << "Linkage word " << word;
        EXPECT_EQ(Word(&moved[linkage + 4 * word]), value) << "Linkage word " << word;
    }

    const uint32_t table = ExportRva("ImportTable");
    const uint32_t ids[IMPORT_ENTRY_COUNT] = {
        RUNTIME_TABLE_ID, SIM_GLOBALS_ID, CALLBACK_TABLE_ID, RENDER_TABLE_ID, MATH_TABLE_ID, UI_TABLE_ID, 0};
    for (uint32_t i = 0; i < IMPORT_ENTRY_COUNT; ++i) {
        for (const std::vector<uint8_t>* memory : {&atHome, &moved}) {
            EXPECT_EQ(Word(&(*memory)[table + 8 * i]), ids[i]) << "ImportTable entry " << i;
            EXPECT_EQ(Word(&(*memory)[table + 8 * i + 4]), 0u) << "ImportTable entry " << i;
        }
    }
}

TEST_F(RealDll, UnresolvedImportIsNamed) {
    auto refused = std::find_if(image().imports.begin(), image().imports.end(),
                                [](const PeImport& entry) { return entry.dll == "USER32.dll"; });
    ASSERT_NE(refused, image().imports.end());
    std::vector<uint8_t> memory(image().imageSize);
    std::string error;
    EXPECT_FALSE(MapPeImage(
        image(), file(), memory.data(), image().preferredBase,
        [&](const PeImport& entry) {
            return entry.dll == refused->dll && entry.name == refused->name ? std::nullopt : Resolve(entry);
        },
        &error));
    EXPECT_EQ(error, "unresolved import USER32.dll!" + refused->name);
}

TEST_F(RealDll, StringsEqualTheNativeTables) {
    EXPECT_EQ(image().strings.size(), platform::STRING_RESOURCE_COUNT);
    for (LANGID language : kLanguages) {
        for (UINT id = 0; id < 0x1000; ++id) {
            const char* native = platform::FindStringUtf8(id, language);
            const char* decoded = image().FindString(id, language);
            if (native == nullptr) {
                EXPECT_EQ(decoded, nullptr) << "id " << id << " language " << language << " only in the DLL";
            } else {
                ASSERT_NE(decoded, nullptr) << "id " << id << " language " << language << " not in the DLL";
                EXPECT_STREQ(decoded, native) << "id " << id << " language " << language;
            }
        }
    }
}

TEST_F(RealDll, Dialog102EqualsTheNativeTemplate) {
    EXPECT_EQ(image().dialogs.size(), platform::DIALOG_RESOURCE_COUNT);
    for (LANGID language : kLanguages) {
        SCOPED_TRACE(language);
        const platform::DialogResource* native = platform::FindDialogResource(102, language);
        const platform::DialogResource* decoded = image().FindDialog(102, language);
        ASSERT_NE(native, nullptr);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->language, native->language);
        EXPECT_EQ(decoded->id, native->id);
        EXPECT_EQ(decoded->style, native->style);
        EXPECT_EQ(decoded->x, native->x);
        EXPECT_EQ(decoded->y, native->y);
        EXPECT_EQ(decoded->width, native->width);
        EXPECT_EQ(decoded->height, native->height);
        EXPECT_STREQ(decoded->captionUtf8, native->captionUtf8);
        EXPECT_STREQ(decoded->fontName, native->fontName);
        EXPECT_EQ(decoded->pointSize, native->pointSize);
        ASSERT_EQ(decoded->controlCount, native->controlCount);
        for (size_t i = 0; i < native->controlCount; ++i) {
            SCOPED_TRACE("control " + std::to_string(i));
            const platform::DialogControlResource& a = decoded->controls[i];
            const platform::DialogControlResource& b = native->controls[i];
            EXPECT_EQ(a.id, b.id);
            EXPECT_STREQ(a.className, b.className);
            EXPECT_EQ(a.style, b.style);
            EXPECT_EQ(a.x, b.x);
            EXPECT_EQ(a.y, b.y);
            EXPECT_EQ(a.width, b.width);
            EXPECT_EQ(a.height, b.height);
            EXPECT_STREQ(a.textUtf8, b.textUtf8);
        }
        // What the native template cannot express must be absent from the DLL's.
        const sim::DecodedDialog* full = image().FindDecodedDialog(102, language);
        ASSERT_NE(full, nullptr);
        EXPECT_EQ(full->menu, "");
        EXPECT_EQ(full->windowClass, "");
        EXPECT_EQ(full->exStyle, 0u);
        for (const sim::DecodedDialogControl& control : full->controls) {
            EXPECT_EQ(control.exStyle, 0u) << control.id;
            EXPECT_FALSE(control.textOrdinal) << control.id;
            EXPECT_EQ(control.creationDataBytes, 0) << control.id;
        }
    }
}

// Offsets of the DLL's header fields and tables in the file.
struct FileLayout {
    explicit FileLayout(const std::vector<uint8_t>& file, const PeImage& image) : image(image) {
        pe = Word(&file[0x3C]);
        coff = pe + 4;
        optional = pe + 24;
        sectionTable = optional + (file[coff + 16] | file[coff + 17] << 8);
    }
    size_t Section(const std::string& name) const {
        for (size_t i = 0; i < image.sections.size(); ++i)
            if (image.sections[i].name == name)
                return sectionTable + 40 * i;
        ADD_FAILURE() << "no section " << name;
        return 0;
    }
    size_t Directory(int index) const { return optional + 96 + 8 * index; }
    size_t FileOffset(uint32_t rva) const {
        const sim::PeSection* section = image.SectionAt(rva);
        if (section == nullptr) {
            ADD_FAILURE() << "RVA " << rva << " is in no section";
            return 0;
        }
        return section->rawOffset + (rva - section->virtualAddress);
    }

    const PeImage& image;
    size_t pe, coff, optional, sectionTable;
};

void Put16(std::vector<uint8_t>& file, size_t at, uint16_t value) {
    file.at(at) = value & 0xFF;
    file.at(at + 1) = value >> 8;
}
void Put32(std::vector<uint8_t>& file, size_t at, uint32_t value) {
    Put16(file, at, value & 0xFFFF);
    Put16(file, at + 2, value >> 16);
}

TEST_F(RealDll, TruncatedFilesAreRefused) {
    uint32_t rawEnd = 0;
    for (const sim::PeSection& section : image().sections)
        rawEnd = std::max(rawEnd, section.rawOffset + section.rawSize);
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 1024; ++length)
        lengths.push_back(length);
    for (size_t length = 1025; length < rawEnd; length += 61)
        lengths.push_back(length);
    for (const sim::PeSection& section : image().sections)
        for (uint32_t edge : {section.rawOffset, section.rawOffset + section.rawSize - 1})
            if (section.rawSize != 0 && edge < rawEnd)
                lengths.push_back(edge);
    for (size_t length : lengths) {
        std::vector<uint8_t> cut(file().begin(),
                                 file().begin() + length);  // exact size: ASan sees any overrun
        std::string error;
        EXPECT_FALSE(ParsePeImage(cut, &error)) << "a " << length << "-byte prefix parsed";
        EXPECT_FALSE(error.empty()) << length;
    }
    // The COFF symbol table after the sections is the linker's, not the loader's.
    std::vector<uint8_t> sectionsOnly(file().begin(), file().begin() + rawEnd);
    std::string error;
    std::optional<PeImage> image = ParsePeImage(sectionsOnly, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->exports, this->image().exports);
    EXPECT_EQ(image->strings, this->image().strings);
}

TEST_F(RealDll, CorruptedFieldsAreRefusedByName) {
    const FileLayout at(file(), image());
    const std::vector<uint8_t>& original = file();
    auto word = [&](size_t offset) { return Word(&original[offset]); };
    const uint32_t importRva = word(at.Directory(1));
    const uint32_t exportRva = word(at.Directory(0));
    const uint32_t relocRva = word(at.Directory(5));
    const uint32_t resourceRva = word(at.Directory(2));
    const size_t firstDescriptor = at.FileOffset(importRva);
    const uint32_t firstLookup =
        word(firstDescriptor) != 0 ? word(firstDescriptor) : word(firstDescriptor + 16);
    const std::string firstDll = image().imports.front().dll;
    const sim::PeSection* rdataSection = SectionNamed(".rdata");
    ASSERT_NE(rdataSection, nullptr);
    const uint32_t rdata = rdataSection->virtualAddress;
    using Patch = std::function<void(std::vector<uint8_t>&)>;
    const struct {
        const char* what;
        Patch patch;
        std::string message;
    } faults[] = {
        {"MZ", [&](auto& f) { f[0] = 'X'; }, "no MZ signature"},
        {"PE offset past the end", [&](auto& f) { Put32(f, 0x3C, 0xFFFFFFF0); },
         "the file ends inside the PE signature"},
        {"PE signature", [&](auto& f) { f[at.pe + 1] = 'X'; }, "no PE signature"},
        {"machine", [&](auto& f) { Put16(f, at.coff, 0x8664); }, "not an i386 image (machine 0x8664)"},
        {"DLL flag", [&](auto& f) { f[at.coff + 19] &= ~0x20; }, "not a DLL"},
        {"PE32+", [&](auto& f) { Put16(f, at.optional, 0x20B); },
         "not a PE32 image (optional header magic 0x20b)"},
        {"short optional header", [&](auto& f) { Put16(f, at.coff + 16, 0x20); }, "too short for PE32"},
        {"directories past the optional header", [&](auto& f) { Put16(f, at.coff + 16, 0x70); },
         "16 data directories do not fit"},
        {"section count", [&](auto& f) { Put16(f, at.coff + 2, 0xFFFF); }, "65535 sections"},
        {"section table past the file", [&](auto& f) { Put16(f, at.coff + 16, 0xFFF0); },
         "the file ends inside the"},
        {"huge SizeOfImage", [&](auto& f) { Put32(f, at.optional + 56, 0xFFFFFFFF); }, "larger than"},
        {"small SizeOfImage", [&](auto& f) { Put32(f, at.optional + 56, 0x2000); },
         "section .text lies outside the image"},
        {"section alignment", [&](auto& f) { Put32(f, at.optional + 32, 0x3000); },
         "section alignment 0x3000 is not a power of two"},
        {"preferred base", [&](auto& f) { Put32(f, at.optional + 28, image().preferredBase + 0x1000); },
         "is not 64 KiB aligned"},
        {"base near 4 GiB", [&](auto& f) { Put32(f, at.optional + 28, 0xFFFF0000); },
         "does not fit below 4 GiB"},
        {"headers past the file",
         [&](auto& f) { Put32(f, at.optional + 60, static_cast<uint32_t>(f.size() + 1)); },
         "run past the end of the file"},
        {".text raw offset", [&](auto& f) { Put32(f, at.Section(".text") + 20, 0xFFFFFF00); },
         "section .text runs past the end of the file"},
        {".rsrc raw size", [&](auto& f) { Put32(f, at.Section(".rsrc") + 16, 0x100000); },
         "section .rsrc runs past the end of the file"},
        {".data over .text", [&](auto& f) { Put32(f, at.Section(".data") + 12, 0x2000); },
         "section .data overlaps section .text"},
        {".text misaligned", [&](auto& f) { Put32(f, at.Section(".text") + 12, 0x1234); },
         "section .text at RVA 0x1234 is not aligned"},
        {".reloc past SizeOfImage", [&](auto& f) { Put32(f, at.Section(".reloc") + 12, 0x400000); },
         "section .reloc lies outside the image"},
        {"entry point in data", [&](auto& f) { Put32(f, at.optional + 16, rdata); },
         "is not in an executable section"},
        {"import directory outside", [&](auto& f) { Put32(f, at.Directory(1), 0xFFFFF000); },
         "the import directory lies outside the image"},
        {"DLL name outside", [&](auto& f) { Put32(f, firstDescriptor + 12, 0x7FFFFFF0); },
         "imported DLL name at RVA 0x7ffffff0 lies outside the image"},
        {"ordinal import", [&](auto& f) { Put32(f, at.FileOffset(firstLookup), 0x80000010); },
         "import by ordinal 16 from " + firstDll + " not supported"},
        {"export name count", [&](auto& f) { Put32(f, at.FileOffset(exportRva) + 24, 0xFFFFFFFF); },
         "export names for"},
        {"export function count", [&](auto& f) { Put32(f, at.FileOffset(exportRva) + 20, 0x7FFFFFFF); },
         "exported functions is too many"},
        {"relocation block size", [&](auto& f) { Put32(f, at.FileOffset(relocRva) + 4, 0xFFFFFFF0); },
         "bad size"},
        {"relocation type", [&](auto& f) { f[at.FileOffset(relocRva) + 9] = 0xA0; },
         "base relocation type 10"},
        {"resource entry count", [&](auto& f) { Put16(f, at.FileOffset(resourceRva) + 14, 0xFFFF); },
         "lies outside the resource directory"},
        {"TLS directory",
         [&](auto& f) {
             Put32(f, at.Directory(9), rdata);
             Put32(f, at.Directory(9) + 4, 24);
         },
         "TLS directory"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.what);
        std::vector<uint8_t> corrupted = original;
        fault.patch(corrupted);
        EXPECT_FAULT(ParseError(corrupted), fault.message);
    }
}

// Random bytes in the headers and the tables the loader walks: whatever the
// outcome, nothing is read or written outside the buffers (the sanitizers
// watch), and an image that parses holds only in-bounds locations.
TEST_F(RealDll, RandomCorruptionStaysInBounds) {
    std::vector<std::pair<size_t, size_t>> regions = {{0, image().headersSize}};
    for (const char* name : {".edata", ".idata", ".rsrc", ".reloc"})
        for (const sim::PeSection& section : image().sections)
            if (section.name == name)
                regions.emplace_back(section.rawOffset, section.rawSize);
    uint32_t state = 0x2545F491;
    auto next = [&]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    size_t parsed = 0;
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> corrupted = file();
        int changes = 1 + next() % 4;
        for (int i = 0; i < changes; ++i) {
            const auto& [start, size] = regions[next() % regions.size()];
            size_t offset = start + next() % size;
            corrupted[offset] = next() % 3 == 0 ? 0xFF : static_cast<uint8_t>(next());
        }
        std::string error;
        std::optional<PeImage> image = ParsePeImage(corrupted, &error);
        if (!image) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        ++parsed;
        ASSERT_LE(image->imageSize, sim::kMaxPeImageSize);
        for (const sim::PeSection& section : image->sections)
            ASSERT_LE(uint64_t{section.virtualAddress} + section.mappedSize, image->imageSize);
        for (uint32_t rva : image->relocations)
            ASSERT_LE(uint64_t{rva} + 4, image->imageSize);
        for (const PeImport& entry : image->imports)
            ASSERT_LE(uint64_t{entry.iatRva} + 4, image->imageSize);
        for (const auto& [name, rva] : image->exports)
            ASSERT_LT(rva, image->imageSize);
        std::vector<uint8_t> memory(image->imageSize);
        MapPeImage(
            *image, corrupted, memory.data(), image->preferredBase + 0x100000,
            [](const PeImport&) { return std::optional<uint32_t>(0x1000); }, &error);
    }
    EXPECT_GT(parsed, 0u) << "every mutant was refused: the sweep never reached the mapping";
}

}  // namespace
