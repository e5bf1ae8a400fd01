// The Win32 file calls the save path makes, their fault switch, and module
// lookup, over POSIX.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/native.h"
#include "platform/win32.h"

namespace fs = std::filesystem;

namespace {

class Files : public testing::Test {
  protected:
    Files() { platform::ClearFileFaults(); }
    ~Files() override {
        platform::ClearFileFaults();
        fs::remove_all(dir);
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    HANDLE Create(const std::string& name) const {
        return CreateFileA(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    }
    static bool Write(HANDLE file, const std::string& data, DWORD* written) {
        return WriteFile(file, data.data(), static_cast<DWORD>(data.size()), written, nullptr) != FALSE;
    }
    bool Move(const std::string& from, const std::string& to) const {
        return MoveFileExA(Path(from).c_str(), Path(to).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    char pattern[32] = "/tmp/tavu-files-XXXXXX";
    std::string dir = mkdtemp(pattern);
};

// The save path writes a temporary file, flushes and closes it, then puts
// it in place of the old one. The fault sweeps fail the Nth call of each
// kind, counted from the moment the faults are set.
TEST_F(Files, SavePathCallsAndTheFaultSwitch) {
    std::ofstream(Path("c")) << "older and longer";
    std::ofstream(Path("d")) << "old";
    platform::SetFileFaults(
        {.failCreate = 2, .failWrite = 2, .shortWrite = 3, .failFlush = 1, .failMove = 1});
    HANDLE file = CreateFileA((dir + "\\c").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "backslashes separate folders";
    EXPECT_EQ(Create("b"), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(fs::exists(Path("b"))) << "a failed create makes no file";
    EXPECT_EQ(Create("missing/x"), INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(Write(file, "0123", &written));
    EXPECT_EQ(written, 4u);
    EXPECT_FALSE(Write(file, "4567", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Write(file, "abcdefgh", &written)) << "a short write still reports success";
    EXPECT_EQ(written, 4u);
    EXPECT_FALSE(FlushFileBuffers(file));
    EXPECT_TRUE(FlushFileBuffers(file));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(Read("c"), "0123abcd") << "CREATE_ALWAYS truncates";
    EXPECT_FALSE(Move("c", "d"));
    EXPECT_EQ(Read("d"), "old");
    EXPECT_TRUE(Move("c", "d"));
    EXPECT_EQ(Read("d"), "0123abcd");
    EXPECT_FALSE(fs::exists(Path("c")));
    EXPECT_TRUE(DeleteFileA(Path("d").c_str()));
    EXPECT_FALSE(fs::exists(Path("d")));
    const platform::FileCallCounts counts = platform::FileCalls();
    EXPECT_EQ(counts.create, 3);
    EXPECT_EQ(counts.write, 3);
    EXPECT_EQ(counts.flush, 2);
    EXPECT_EQ(counts.move, 2);
    EXPECT_EQ(counts.openHandles, 0);
    platform::ClearFileFaults();
    EXPECT_EQ(platform::FileCalls().create, 0) << "setting faults starts the counts again";
}

TEST(Modules, LookupByNameIgnoresCaseAndExportsDoNot) {
    int linkage = 0;
    HMODULE handle = reinterpret_cast<HMODULE>(&linkage);
    EXPECT_EQ(GetModuleHandleA("TAVUPlay.DLL"), nullptr);
    platform::RegisterModule("TAVUPlay.DLL", handle, {{"Linkage", &linkage}});
    EXPECT_EQ(GetModuleHandleA("tavuplay.dll"), handle);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(handle, "Linkage")), &linkage);
    EXPECT_EQ(GetProcAddress(handle, "linkage"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "Linkage"), nullptr);
    EXPECT_TRUE(DisableThreadLibraryCalls(handle));
    EXPECT_EQ(platform::ThreadNotificationsDisabled(handle), 1);
    platform::UnregisterModule(handle);
    EXPECT_EQ(GetModuleHandleA("TAVUPlay.DLL"), nullptr);
    EXPECT_FALSE(DisableThreadLibraryCalls(handle));
}

}  // namespace
