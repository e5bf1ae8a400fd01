#include "sim/pe_image.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <set>
#include <stdexcept>
#include <string_view>

namespace sim {
namespace {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint32_t kScnCntCode = 0x00000020;

constexpr size_t kDosHeaderBytes = 64;
constexpr size_t kFileHeaderBytes = 20;
constexpr size_t kOptionalHeaderFixedBytes = 96;  // PE32, up to the data directories
constexpr size_t kSectionHeaderBytes = 40;
constexpr uint32_t kMaxSections = 96;  // the Windows loader's own limit
constexpr uint32_t kDirectoryCount = 16;

enum Directory : uint32_t {
    DIRECTORY_EXPORT = 0,
    DIRECTORY_IMPORT = 1,
    DIRECTORY_RESOURCE = 2,
    DIRECTORY_CERTIFICATE = 4,  // a file offset, not an RVA
    DIRECTORY_BASE_RELOCATION = 5,
    DIRECTORY_TLS = 9,
    DIRECTORY_DELAY_IMPORT = 13,
};

constexpr const char* kDirectoryNames[kDirectoryCount] = {
    "export", "import",       "resource",       "exception", "certificate", "base relocation",
    "debug",  "architecture", "global pointer", "TLS",       "load config", "bound import",
    "IAT",    "delay import", "CLR runtime",    "reserved",
};

constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;

constexpr uint32_t kRtDialog = 5;
constexpr uint32_t kRtString = 6;
constexpr uint32_t kDsSetFont = 0x40;

// Bounds far above what this module needs; they keep hostile counts, and
// tables that point many times at the same bytes, from turning into minutes
// of work or gigabytes of decoded copies.
constexpr size_t kMaxImportedDlls = 256;
constexpr size_t kMaxImports = 4096;
constexpr size_t kMaxExports = 4096;
constexpr size_t kMaxResourceEntries = 65536;
constexpr size_t kMaxDecodedResourceBytes = 1u << 20;
constexpr size_t kMaxNameBytes = 512;

class PeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& message) {
    throw PeError(message);
}

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Store32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}
bool IsPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// Reads of the file itself, each naming the structure a truncation cut.
class FileReader {
  public:
    explicit FileReader(std::span<const uint8_t> file) : file_(file) {}

    const uint8_t* At(uint64_t offset, uint64_t size, const char* what) const {
        if (offset > file_.size() || size > file_.size() - offset)
            Fail(std::string("the file ends inside the ") + what + " (offset " + Hex(offset) + ")");
        return file_.data() + offset;
    }
    uint16_t U16(uint64_t offset, const char* what) const { return Load16(At(offset, 2, what)); }
    uint32_t U32(uint64_t offset, const char* what) const { return Load32(At(offset, 4, what)); }

  private:
    std::span<const uint8_t> file_;
};

// Reads of the image as the loader lays it out, by RVA.
class ImageReader {
  public:
    explicit ImageReader(std::span<const uint8_t> image) : image_(image) {}

    bool Has(uint64_t rva, uint64_t size) const {
        return rva <= image_.size() && size <= image_.size() - rva;
    }
    const uint8_t* At(uint64_t rva, uint64_t size, std::string_view what) const {
        if (!Has(rva, size))
            Fail(std::string(what) + " at RVA " + Hex(rva) + " lies outside the image");
        return image_.data() + rva;
    }
    uint16_t U16(uint64_t rva, std::string_view what) const { return Load16(At(rva, 2, what)); }
    uint32_t U32(uint64_t rva, std::string_view what) const { return Load32(At(rva, 4, what)); }

    // A zero-terminated byte string; names in these tables are ASCII.
    std::string CString(uint64_t rva, std::string_view what) const {
        At(rva, 1, what);
        size_t limit = std::min<uint64_t>(image_.size() - rva, kMaxNameBytes);
        const uint8_t* start = image_.data() + rva;
        const void* end = memchr(start, 0, limit);
        if (end == nullptr && limit == kMaxNameBytes)
            Fail(std::string(what) + " at RVA " + Hex(rva) + " is longer than " +
                 std::to_string(kMaxNameBytes) + " bytes");
        if (end == nullptr)
            Fail(std::string(what) + " at RVA " + Hex(rva) + " is not terminated");
        return std::string(reinterpret_cast<const char*>(start), static_cast<const uint8_t*>(end) - start);
    }

  private:
    std::span<const uint8_t> image_;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
    bool present() const { return rva != 0; }
};

struct Headers {
    PeImage image;
    std::array<DataDirectory, kDirectoryCount> directories{};
};

void AppendUtf8(std::string* out, uint32_t c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | c >> 18));
        out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// UTF-16LE units to UTF-8; false on a lone surrogate, which has no UTF-8 form.
bool Utf16ToUtf8(const uint8_t* units, size_t count, std::string* out) {
    out->clear();
    out->reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = Load16(units + 2 * i);
        if (c >= 0xD800 && c < 0xDC00) {
            if (i + 1 == count)
                return false;
            uint32_t low = Load16(units + 2 * (i + 1));
            if (low < 0xDC00 || low >= 0xE000)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c < 0xE000) {
            return false;
        }
        AppendUtf8(out, c);
    }
    return true;
}

Headers ReadHeaders(std::span<const uint8_t> file) {
    FileReader reader(file);
    Headers headers;
    PeImage& image = headers.image;
    image.fileSize = file.size();

    const uint8_t* dos = reader.At(0, kDosHeaderBytes, "DOS header");
    if (dos[0] != 'M' || dos[1] != 'Z')
        Fail("no MZ signature: not a PE file");
    uint32_t peOffset = Load32(dos + 0x3C);
    const uint8_t* signature = reader.At(peOffset, 4, "PE signature");
    if (memcmp(signature, "PE\0\0", 4) != 0)
        Fail("no PE signature at offset " + Hex(peOffset));

    uint64_t fileHeader = uint64_t{peOffset} + 4;
    const uint8_t* coff = reader.At(fileHeader, kFileHeaderBytes, "COFF file header");
    uint16_t machine = Load16(coff);
    uint16_t sectionCount = Load16(coff + 2);
    uint16_t optionalSize = Load16(coff + 16);
    image.characteristics = Load16(coff + 18);
    if (machine != kMachineI386)
        Fail("not an i386 image (machine " + Hex(machine) + ")");
    if (!(image.characteristics & kFileDll))
        Fail("not a DLL (characteristics " + Hex(image.characteristics) + " lack IMAGE_FILE_DLL)");

    uint64_t optional = fileHeader + kFileHeaderBytes;
    uint16_t magic = reader.U16(optional, "optional header");
    if (magic != kPe32Magic)
        Fail("not a PE32 image (optional header magic " + Hex(magic) + ")");
    if (optionalSize < kOptionalHeaderFixedBytes)
        Fail("optional header of " + std::to_string(optionalSize) + " bytes is too short for PE32");
    const uint8_t* opt = reader.At(optional, optionalSize, "optional header");
    image.entryRva = Load32(opt + 16);
    image.preferredBase = Load32(opt + 28);
    image.sectionAlignment = Load32(opt + 32);
    uint32_t fileAlignment = Load32(opt + 36);
    image.imageSize = Load32(opt + 56);
    image.headersSize = Load32(opt + 60);
    uint32_t directoryCount = Load32(opt + 92);

    if (!IsPowerOfTwo(image.sectionAlignment))
        Fail("section alignment " + Hex(image.sectionAlignment) + " is not a power of two");
    if (!IsPowerOfTwo(fileAlignment))
        Fail("file alignment " + Hex(fileAlignment) + " is not a power of two");
    if (image.preferredBase % 0x10000 != 0)
        Fail("preferred base " + Hex(image.preferredBase) + " is not 64 KiB aligned");
    if (image.imageSize == 0)
        Fail("SizeOfImage is 0");
    if (image.imageSize > kMaxPeImageSize)
        Fail("SizeOfImage " + Hex(image.imageSize) + " is larger than the " + Hex(kMaxPeImageSize) +
             " bytes this loader accepts");
    if (uint64_t{image.preferredBase} + image.imageSize > 0x100000000ull)
        Fail("the image does not fit below 4 GiB at its preferred base " + Hex(image.preferredBase));

    // Directories past 16 have no meaning; those present must fit the header.
    uint32_t directoriesRead = std::min(directoryCount, kDirectoryCount);
    if (kOptionalHeaderFixedBytes + 8 * directoriesRead > optionalSize)
        Fail(std::to_string(directoryCount) + " data directories do not fit an optional header of " +
             std::to_string(optionalSize) + " bytes");
    for (uint32_t i = 0; i < directoriesRead; ++i) {
        const uint8_t* entry = opt + kOptionalHeaderFixedBytes + 8 * i;
        headers.directories[i] = {Load32(entry), Load32(entry + 4)};
    }

    if (sectionCount > kMaxSections)
        Fail(std::to_string(sectionCount) + " sections (at most " + std::to_string(kMaxSections) + ")");
    uint64_t sectionTable = optional + optionalSize;
    const uint8_t* table =
        reader.At(sectionTable, uint64_t{kSectionHeaderBytes} * sectionCount, "section table");
    uint64_t sectionTableEnd = sectionTable + uint64_t{kSectionHeaderBytes} * sectionCount;
    if (image.headersSize > file.size())
        Fail("the headers (SizeOfHeaders " + Hex(image.headersSize) + ") run past the end of the file");
    if (sectionTableEnd > image.headersSize)
        Fail("the section table ends past SizeOfHeaders (" + Hex(image.headersSize) + ")");
    if (image.headersSize > image.imageSize)
        Fail("SizeOfHeaders " + Hex(image.headersSize) + " is larger than SizeOfImage");

    uint64_t nextFree = AlignUp(image.headersSize, image.sectionAlignment);
    std::string previous = "the headers";
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* header = table + kSectionHeaderBytes * i;
        PeSection section;
        section.name.assign(reinterpret_cast<const char*>(header),
                            strnlen(reinterpret_cast<const char*>(header), 8));
        section.virtualSize = Load32(header + 8);
        section.virtualAddress = Load32(header + 12);
        section.rawSize = Load32(header + 16);
        section.rawOffset = Load32(header + 20);
        section.characteristics = Load32(header + 36);
        const std::string name =
            "section " + (section.name.empty() ? "#" + std::to_string(i + 1) : section.name);

        if (section.rawSize != 0 && uint64_t{section.rawOffset} + section.rawSize > file.size())
            Fail(name + " runs past the end of the file");
        if (section.virtualAddress % image.sectionAlignment != 0)
            Fail(name + " at RVA " + Hex(section.virtualAddress) +
                 " is not aligned to the section alignment");
        uint64_t extent = section.virtualSize != 0 ? section.virtualSize : section.rawSize;
        uint64_t mapped = AlignUp(extent, image.sectionAlignment);
        if (section.virtualAddress < nextFree)
            Fail(name + " overlaps " + previous);
        if (section.virtualAddress + mapped > image.imageSize)
            Fail(name + " lies outside the image (SizeOfImage " + Hex(image.imageSize) + ")");
        section.mappedSize = static_cast<uint32_t>(mapped);
        nextFree = section.virtualAddress + mapped;
        previous = name;
        image.sections.push_back(std::move(section));
    }

    if (image.entryRva != 0) {
        const PeSection* section = image.SectionAt(image.entryRva);
        if (section == nullptr || !(section->characteristics & (PE_SCN_MEM_EXECUTE | kScnCntCode)))
            Fail("entry point " + Hex(image.entryRva) + " is not in an executable section");
    }
    for (uint32_t i = 0; i < kDirectoryCount; ++i) {
        const DataDirectory& directory = headers.directories[i];
        if (i == DIRECTORY_CERTIFICATE || !directory.present())
            continue;
        if (uint64_t{directory.rva} + directory.size > image.imageSize)
            Fail(std::string("the ") + kDirectoryNames[i] + " directory lies outside the image");
    }
    if (headers.directories[DIRECTORY_TLS].present())
        Fail("the image has a TLS directory; thread-local data and callbacks are not supported");
    if (headers.directories[DIRECTORY_DELAY_IMPORT].present())
        Fail("the image has delay-load imports, which are not supported");
    return headers;
}

// What a section puts into memory from the file: its raw data, never more
// than the memory it occupies.
uint32_t CopiedBytes(const PeSection& section) {
    return std::min(section.rawSize, section.mappedSize);
}

// Zero-fills memory and copies the headers and each section's raw data.
// Bounds are checked again so that a PeImage changed after parsing cannot
// make this read or write outside the buffers.
void LayOut(const PeImage& image, std::span<const uint8_t> file, uint8_t* memory) {
    memset(memory, 0, image.imageSize);
    if (image.headersSize > file.size() || image.headersSize > image.imageSize)
        Fail("the headers do not fit the file or the image");
    memcpy(memory, file.data(), image.headersSize);
    for (const PeSection& section : image.sections) {
        uint32_t bytes = CopiedBytes(section);
        if (bytes == 0)
            continue;
        if (uint64_t{section.rawOffset} + bytes > file.size())
            Fail("section " + section.name + " runs past the end of the file");
        if (uint64_t{section.virtualAddress} + bytes > image.imageSize)
            Fail("section " + section.name + " lies outside the image");
        memcpy(memory + section.virtualAddress, file.data() + section.rawOffset, bytes);
    }
}

void ReadImports(const ImageReader& reader, const DataDirectory& directory, PeImage* image) {
    if (!directory.present())
        return;
    for (uint64_t descriptor = directory.rva, count = 0;; descriptor += 20, ++count) {
        const uint8_t* fields = reader.At(descriptor, 20, "import descriptor");
        uint32_t lookup = Load32(fields);
        uint32_t nameRva = Load32(fields + 12);
        uint32_t firstThunk = Load32(fields + 16);
        if (nameRva == 0 && firstThunk == 0)
            break;
        if (nameRva == 0 || firstThunk == 0)
            Fail("import descriptor at RVA " + Hex(descriptor) + " is incomplete");
        if (count == kMaxImportedDlls)
            Fail("more than " + std::to_string(kMaxImportedDlls) + " imported DLLs");
        std::string dll = reader.CString(nameRva, "imported DLL name");
        if (dll.empty())
            Fail("import descriptor at RVA " + Hex(descriptor) + " names no DLL");
        // Without a lookup table the IAT itself holds the names, as in
        // images no binder has touched.
        if (lookup == 0)
            lookup = firstThunk;
        const std::string lookupWhat = "import lookup table of " + dll;
        const std::string nameWhat = "import name of " + dll;
        for (uint64_t index = 0;; ++index) {
            uint32_t thunk = reader.U32(lookup + 4 * index, lookupWhat);
            if (thunk == 0)
                break;
            if (thunk & 0x80000000)
                Fail("import by ordinal " + std::to_string(thunk & 0xFFFF) + " from " + dll +
                     " not supported");
            if (image->imports.size() >= kMaxImports)
                Fail("more than " + std::to_string(kMaxImports) + " imported functions");
            PeImport entry;
            entry.dll = dll;
            entry.hint = reader.U16(thunk, nameWhat);
            entry.name = reader.CString(uint64_t{thunk} + 2, nameWhat);
            if (entry.name.empty())
                Fail("an import from " + dll + " has an empty name");
            uint64_t iat = firstThunk + 4 * index;
            if (!reader.Has(iat, 4))
                Fail("the import address table entry for " + dll + "!" + entry.name +
                     " lies outside the image");
            entry.iatRva = static_cast<uint32_t>(iat);
            image->imports.push_back(std::move(entry));
        }
    }
}

void ReadExports(const ImageReader& reader, const DataDirectory& directory, PeImage* image) {
    if (!directory.present())
        return;
    const uint8_t* fields = reader.At(directory.rva, 40, "export directory");
    uint32_t functionCount = Load32(fields + 20);
    uint32_t nameCount = Load32(fields + 24);
    uint32_t functions = Load32(fields + 28);
    uint32_t names = Load32(fields + 32);
    uint32_t ordinals = Load32(fields + 36);
    if (functionCount > kMaxExports)
        Fail(std::to_string(functionCount) + " exported functions is too many");
    if (nameCount > functionCount)
        Fail(std::to_string(nameCount) + " export names for " + std::to_string(functionCount) + " functions");
    reader.At(functions, uint64_t{4} * functionCount, "export address table");
    reader.At(names, uint64_t{4} * nameCount, "export name table");
    reader.At(ordinals, uint64_t{2} * nameCount, "export ordinal table");
    for (uint32_t i = 0; i < nameCount; ++i) {
        std::string name =
            reader.CString(reader.U32(names + 4 * uint64_t{i}, "export name table"), "export name");
        uint16_t index = reader.U16(ordinals + 2 * uint64_t{i}, "export ordinal table");
        if (index >= functionCount)
            Fail("export " + name + " points past the export address table");
        uint32_t rva = reader.U32(functions + 4 * uint64_t{index}, "export address table");
        // An address inside the export directory is a forwarder string.
        if (rva >= directory.rva && rva - directory.rva < directory.size)
            Fail("export " + name + " is forwarded to " + reader.CString(rva, "export forwarder") +
                 ", which is not supported");
        if (rva >= image->imageSize)
            Fail("export " + name + " at RVA " + Hex(rva) + " lies outside the image");
        if (!image->exports.emplace(name, rva).second)
            Fail("export " + name + " appears twice");
    }
}

void ReadRelocations(const ImageReader& reader, const DataDirectory& directory, PeImage* image) {
    if (!directory.present())
        return;
    uint64_t end = uint64_t{directory.rva} + directory.size;
    for (uint64_t block = directory.rva; block + 8 <= end;) {
        uint32_t page = reader.U32(block, "base relocation block");
        uint32_t blockSize = reader.U32(block + 4, "base relocation block");
        // Some linkers pad the table with zeros.
        if (page == 0 && blockSize == 0)
            break;
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - block)
            Fail("base relocation block at RVA " + Hex(block) + " has a bad size (" + Hex(blockSize) + ")");
        for (uint64_t entry = block + 8; entry < block + blockSize; entry += 2) {
            uint16_t value = reader.U16(entry, "base relocation entry");
            uint16_t type = value >> 12;
            uint64_t target = uint64_t{page} + (value & 0xFFF);
            if (type == kRelocAbsolute)
                continue;
            if (type != kRelocHighLow)
                Fail("base relocation type " + std::to_string(type) + " at RVA " + Hex(target) +
                     " is not supported");
            if (!reader.Has(target, 4))
                Fail("base relocation at RVA " + Hex(target) + " lies outside the image");
            image->relocations.push_back(static_cast<uint32_t>(target));
        }
        block += blockSize;
    }
}

// Reads a dialog template field by field, refusing to run past its end.
class TemplateReader {
  public:
    TemplateReader(std::span<const uint8_t> data, std::string where)
        : data_(data), where_(std::move(where)) {}

    void SetWhere(std::string where) { where_ = std::move(where); }
    const std::string& where() const { return where_; }

    const uint8_t* Take(size_t size) {
        if (offset_ > data_.size() || size > data_.size() - offset_)
            Fail(where_ + " ends inside its template (offset " + Hex(offset_) + ")");
        const uint8_t* p = data_.data() + offset_;
        offset_ += size;
        return p;
    }
    uint8_t U8() { return *Take(1); }
    uint16_t U16() { return Load16(Take(2)); }
    uint32_t U32() { return Load32(Take(4)); }
    int16_t S16() { return static_cast<int16_t>(U16()); }
    void Skip(size_t size) { Take(size); }
    void Align() { offset_ = (offset_ + 3) & ~size_t{3}; }

    // A zero-terminated UTF-16 string, as UTF-8.
    std::string Text() {
        size_t start = offset_;
        size_t units = 0;
        while (U16() != 0)
            ++units;
        std::string out;
        if (!Utf16ToUtf8(data_.data() + start, units, &out))
            Fail(where_ + " has a string that is not valid UTF-16 (offset " + Hex(start) + ")");
        return out;
    }
    // sz_Or_Ord: 0xFFFF and an ordinal, else a string.
    std::string TextOrOrdinal(std::optional<uint16_t>* ordinal) {
        if (offset_ + 2 <= data_.size() && Load16(data_.data() + offset_) == 0xFFFF) {
            offset_ += 2;
            uint16_t value = U16();
            if (ordinal != nullptr)
                *ordinal = value;
            return "#" + std::to_string(value);
        }
        return Text();
    }

  private:
    std::span<const uint8_t> data_;
    std::string where_;
    size_t offset_ = 0;
};

std::string ControlClass(TemplateReader* reader) {
    std::optional<uint16_t> ordinal;
    std::string name = reader->TextOrOrdinal(&ordinal);
    if (ordinal) {
        static constexpr const char* kPredefined[] = {"BUTTON",  "EDIT",      "STATIC",
                                                      "LISTBOX", "SCROLLBAR", "COMBOBOX"};
        if (*ordinal < 0x80 || *ordinal > 0x85)
            Fail(reader->where() + " has an unknown window class ordinal " + Hex(*ordinal));
        return kPredefined[*ordinal - 0x80];
    }
    // Window class names ignore case; the native tables spell the
    // predefined ones upper-case, as windres stores them.
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return name;
}

DecodedDialog DecodeDialog(std::span<const uint8_t> data, LANGID language, UINT id) {
    TemplateReader reader(data,
                          "dialog " + std::to_string(id) + " (language " + std::to_string(language) + ")");
    DecodedDialog dialog;
    dialog.language = language;
    dialog.id = id;
    dialog.extended = data.size() >= 4 && Load16(data.data()) == 1 && Load16(data.data() + 2) == 0xFFFF;
    if (dialog.extended) {
        reader.Skip(4);
        dialog.helpId = reader.U32();
        dialog.exStyle = reader.U32();
        dialog.style = reader.U32();
    } else {
        dialog.style = reader.U32();
        dialog.exStyle = reader.U32();
    }
    const uint16_t count = reader.U16();
    dialog.x = reader.S16();
    dialog.y = reader.S16();
    dialog.width = reader.S16();
    dialog.height = reader.S16();
    dialog.menu = reader.TextOrOrdinal(nullptr);
    dialog.windowClass = reader.TextOrOrdinal(nullptr);
    dialog.caption = reader.Text();
    if (dialog.style & kDsSetFont) {
        dialog.hasFont = true;
        dialog.pointSize = reader.U16();
        if (dialog.extended) {
            dialog.fontWeight = reader.U16();
            dialog.fontItalic = reader.U8();
            dialog.fontCharset = reader.U8();
        }
        dialog.fontName = reader.Text();
    }
    const std::string dialogWhere = reader.where();
    for (uint16_t index = 0; index < count; ++index) {
        reader.Align();
        reader.SetWhere(dialogWhere + " control " + std::to_string(index));
        DecodedDialogControl control;
        if (dialog.extended) {
            control.helpId = reader.U32();
            control.exStyle = reader.U32();
            control.style = reader.U32();
        } else {
            control.style = reader.U32();
            control.exStyle = reader.U32();
        }
        control.x = reader.S16();
        control.y = reader.S16();
        control.width = reader.S16();
        control.height = reader.S16();
        control.id = dialog.extended ? static_cast<int32_t>(reader.U32()) : reader.S16();
        control.className = ControlClass(&reader);
        control.text = reader.TextOrOrdinal(&control.textOrdinal);
        control.creationDataBytes = reader.U16();
        reader.Skip(control.creationDataBytes);
        dialog.controls.push_back(std::move(control));
    }
    return dialog;
}

// Block n of a string table holds ids (n - 1) * 16 to (n - 1) * 16 + 15, each
// a UTF-16 length and that many units; length 0 is an absent id.
void DecodeStringBlock(std::span<const uint8_t> data, LANGID language, uint32_t block, PeImage* image) {
    const std::string where =
        "string table block " + std::to_string(block) + " (language " + std::to_string(language) + ")";
    if (block == 0 || block > 4096)
        Fail(where + " is not a block number from 1 to 4096");
    size_t offset = 0;
    for (uint32_t index = 0; index < 16; ++index) {
        if (data.size() - offset < 2)
            Fail(where + " ends after " + std::to_string(index) + " strings");
        size_t length = Load16(data.data() + offset);
        offset += 2;
        if (data.size() - offset < 2 * length)
            Fail(where + " string " + std::to_string(index) + " runs past the block");
        if (length != 0) {
            UINT id = (block - 1) * 16 + index;
            std::string text;
            if (!Utf16ToUtf8(data.data() + offset, length, &text))
                Fail("string " + std::to_string(id) + " (language " + std::to_string(language) +
                     ") is not valid UTF-16");
            if (!image->strings.emplace(std::make_pair(language, id), std::move(text)).second)
                Fail("string " + std::to_string(id) + " (language " + std::to_string(language) +
                     ") appears twice");
        }
        offset += 2 * length;
    }
}

// The resource tree: type, name, language, then a data entry. Only string
// tables and dialogs are decoded; the module loads nothing else.
class ResourceWalker {
  public:
    ResourceWalker(const ImageReader& reader, const DataDirectory& directory, PeImage* image)
        : reader_(reader), directory_(directory), image_(image) {}

    void Walk() {
        for (const Entry& type : Entries(0, "resource type directory")) {
            if (type.named || (type.id != kRtDialog && type.id != kRtString))
                continue;
            if (!type.subdirectory)
                Fail("resource type " + std::to_string(type.id) + " is not a directory");
            for (const Entry& name : Entries(type.offset, "resource name directory")) {
                if (name.named) {
                    if (type.id == kRtString)
                        Fail("a string table block has a name instead of a number");
                    continue;  // the module finds its dialogs by number
                }
                if (!name.subdirectory)
                    Fail("resource " + std::to_string(type.id) + "/" + std::to_string(name.id) +
                         " is not a directory");
                for (const Entry& language : Entries(name.offset, "resource language directory")) {
                    const std::string where = "resource " + std::to_string(type.id) + "/" +
                                              std::to_string(name.id) + "/" + std::to_string(language.id);
                    if (language.named || language.id > 0xFFFF)
                        Fail(where + " has no language id");
                    if (language.subdirectory)
                        Fail("resource tree deeper than type/name/language at " + where);
                    std::span<const uint8_t> data = Data(language.offset, where);
                    if (type.id == kRtString)
                        DecodeStringBlock(data, static_cast<LANGID>(language.id), name.id, image_);
                    else
                        AddDialog(DecodeDialog(data, static_cast<LANGID>(language.id), name.id));
                }
            }
        }
    }

  private:
    struct Entry {
        bool named;
        uint32_t id;
        bool subdirectory;
        uint32_t offset;
    };

    // The resource directory entry at an offset from its start.
    const uint8_t* Directory(uint64_t offset, uint64_t size, const std::string& what) const {
        if (offset > directory_.size || size > directory_.size - offset)
            Fail(what + " at offset " + Hex(offset) + " lies outside the resource directory");
        return reader_.At(directory_.rva + offset, size, what);
    }

    std::vector<Entry> Entries(uint32_t offset, const std::string& what) {
        const uint8_t* header = Directory(offset, 16, what);
        size_t count = size_t{Load16(header + 12)} + Load16(header + 14);
        visited_ += count;
        if (visited_ > kMaxResourceEntries)
            Fail("the resource tree has more than " + std::to_string(kMaxResourceEntries) + " entries");
        const uint8_t* table = Directory(uint64_t{offset} + 16, 8 * uint64_t{count}, what);
        std::vector<Entry> entries;
        for (size_t i = 0; i < count; ++i) {
            uint32_t key = Load32(table + 8 * i);
            uint32_t target = Load32(table + 8 * i + 4);
            entries.push_back(
                {(key & 0x80000000) != 0, key & 0x7FFFFFFF, (target & 0x80000000) != 0, target & 0x7FFFFFFF});
        }
        return entries;
    }

    // A resource's bytes; they live in the laid-out image for the whole parse.
    std::span<const uint8_t> Data(uint32_t offset, const std::string& where) {
        const uint8_t* entry = Directory(offset, 16, where + " data entry");
        uint32_t rva = Load32(entry);
        uint32_t size = Load32(entry + 4);
        const uint8_t* data = reader_.At(rva, size, where + " data");
        decodedBytes_ += size;
        if (decodedBytes_ > kMaxDecodedResourceBytes)
            Fail("the string tables and dialogs hold more than " + std::to_string(kMaxDecodedResourceBytes) +
                 " bytes");
        return {data, size};
    }

    void AddDialog(DecodedDialog dialog) {
        if (!dialogKeys_.emplace(dialog.language, dialog.id).second)
            Fail("dialog " + std::to_string(dialog.id) + " (language " + std::to_string(dialog.language) +
                 ") appears twice");
        image_->dialogs.emplace_back(std::move(dialog));
    }

    const ImageReader& reader_;
    DataDirectory directory_;
    PeImage* image_;
    size_t visited_ = 0;
    size_t decodedBytes_ = 0;
    std::set<std::pair<LANGID, UINT>> dialogKeys_;
};

}  // namespace

OwnedDialog::OwnedDialog(DecodedDialog dialog) {
    auto storage = std::make_shared<Storage>();
    storage->dialog = std::move(dialog);
    const DecodedDialog& d = storage->dialog;
    for (const DecodedDialogControl& c : d.controls)
        storage->controls.push_back(
            {c.id, c.className.c_str(), c.style, c.x, c.y, c.width, c.height, c.text.c_str()});
    storage->view = {d.language,
                     d.id,
                     d.style,
                     d.x,
                     d.y,
                     d.width,
                     d.height,
                     d.caption.c_str(),
                     d.hasFont ? d.fontName.c_str() : nullptr,
                     d.pointSize,
                     storage->controls.empty() ? nullptr : storage->controls.data(),
                     storage->controls.size()};
    storage_ = std::move(storage);
}

const DecodedDialog* PeImage::FindDecodedDialog(UINT id, LANGID language) const {
    for (const OwnedDialog& dialog : dialogs)
        if (dialog.decoded().id == id && dialog.decoded().language == language)
            return &dialog.decoded();
    return nullptr;
}

const platform::DialogResource* PeImage::FindDialog(UINT id, LANGID language) const {
    for (const OwnedDialog& dialog : dialogs)
        if (dialog.decoded().id == id && dialog.decoded().language == language)
            return &dialog.resource();
    return nullptr;
}

const char* PeImage::FindString(UINT id, LANGID language) const {
    auto found = strings.find({language, id});
    return found == strings.end() ? nullptr : found->second.c_str();
}

const PeSection* PeImage::SectionAt(uint32_t rva) const {
    for (const PeSection& section : sections)
        if (section.Contains(rva))
            return &section;
    return nullptr;
}

std::optional<PeImage> ParsePeImage(std::span<const uint8_t> file, std::string* error) {
    try {
        Headers headers = ReadHeaders(file);
        PeImage& image = headers.image;
        std::vector<uint8_t> memory(image.imageSize);
        LayOut(image, file, memory.data());
        ImageReader reader(memory);
        ReadImports(reader, headers.directories[DIRECTORY_IMPORT], &image);
        ReadExports(reader, headers.directories[DIRECTORY_EXPORT], &image);
        ReadRelocations(reader, headers.directories[DIRECTORY_BASE_RELOCATION], &image);
        if (headers.directories[DIRECTORY_RESOURCE].present())
            ResourceWalker(reader, headers.directories[DIRECTORY_RESOURCE], &image).Walk();
        return std::move(image);
    } catch (const PeError& e) {
        if (error != nullptr)
            *error = e.what();
        return std::nullopt;
    }
}

bool MapPeImage(const PeImage& image, std::span<const uint8_t> file, uint8_t* memory, uint32_t base,
                const PeImportResolver& resolve, std::string* error) {
    try {
        if (file.size() != image.fileSize)
            Fail("the file (" + std::to_string(file.size()) +
                 " bytes) is not the one the image was parsed from (" + std::to_string(image.fileSize) +
                 " bytes)");
        if (uint64_t{base} + image.imageSize > 0x100000000ull)
            Fail("the image does not fit below 4 GiB at base " + Hex(base));
        if (base % 0x10000 != 0)
            Fail("base " + Hex(base) + " is not 64 KiB aligned");
        uint32_t delta = base - image.preferredBase;
        if (delta != 0 && (image.characteristics & kFileRelocsStripped))
            Fail("the image has no relocations and cannot move from " + Hex(image.preferredBase) + " to " +
                 Hex(base));
        LayOut(image, file, memory);
        for (uint32_t rva : image.relocations) {
            if (uint64_t{rva} + 4 > image.imageSize)
                Fail("base relocation at RVA " + Hex(rva) + " lies outside the image");
            Store32(memory + rva, Load32(memory + rva) + delta);
        }
        // After the relocations: an IAT word holds what the resolver said,
        // whatever a relocation of the same word would have made of it.
        for (const PeImport& entry : image.imports) {
            std::optional<uint32_t> address = resolve ? resolve(entry) : std::nullopt;
            if (!address)
                Fail("unresolved import " + entry.dll + "!" + entry.name);
            if (uint64_t{entry.iatRva} + 4 > image.imageSize)
                Fail("import address table entry for " + entry.dll + "!" + entry.name +
                     " lies outside the image");
            Store32(memory + entry.iatRva, *address);
        }
        return true;
    } catch (const PeError& e) {
        if (error != nullptr)
            *error = e.what();
        return false;
    }
}

}  // namespace sim
