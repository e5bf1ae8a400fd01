// The Win32 file calls and module lookup of the native layer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

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
    Files() {
        char pattern[] = "/tmp/tavu-files-XXXXXX";
        dir = mkdtemp(pattern);
        platform::ClearFileFaults();
    }
    ~Files() override {
        platform::ClearFileFaults();
        fs::remove_all(dir);
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static bool Write(HANDLE file, const std::string& data, DWORD* written) {
        return WriteFile(file, data.data(), static_cast<DWORD>(data.size()), written, nullptr) != FALSE;
    }
    std::string dir;
};

TEST_F(Files, CreateWriteFlushMoveAndDelete) {
    // Backslashes are folder separators, as on Windows.
    std::string windowsPath = Path("new.bin");
    windowsPath[dir.size()] = '\\';
    HANDLE file = CreateFileA(windowsPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(Write(file, "hello", &written));
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(FlushFileBuffers(file));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file)) << "a closed handle is no longer valid";
    EXPECT_EQ(Read(Path("new.bin")), "hello");

    // CREATE_ALWAYS truncates an existing file.
    file = CreateFileA(Path("new.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_TRUE(Write(file, "hi", &written));
    CloseHandle(file);
    EXPECT_EQ(Read(Path("new.bin")), "hi");

    std::ofstream(Path("old.bin")) << "old";
    EXPECT_FALSE(MoveFileExA(Path("new.bin").c_str(), Path("old.bin").c_str(), 0))
        << "without MOVEFILE_REPLACE_EXISTING an existing target stays";
    EXPECT_EQ(Read(Path("old.bin")), "old");
    EXPECT_TRUE(MoveFileExA(Path("new.bin").c_str(), Path("old.bin").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(Read(Path("old.bin")), "hi");
    EXPECT_FALSE(fs::exists(Path("new.bin")));

    EXPECT_TRUE(DeleteFileA(Path("old.bin").c_str()));
    EXPECT_FALSE(DeleteFileA(Path("old.bin").c_str()));
    EXPECT_EQ(platform::FileCalls().openHandles, 0);
}

TEST_F(Files, FailuresLookLikeWindows) {
    EXPECT_EQ(CreateFileA(Path("missing/x.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA(Path("absent.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(FlushFileBuffers(nullptr));
}

TEST_F(Files, FaultSwitchFailsTheNthCallOfEachKind) {
    platform::SetFileFaults({.failCreate = 2, .failWrite = 0, .shortWrite = 0, .failFlush = 0, .failMove = 0});
    HANDLE first = CreateFileA(Path("a").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA(Path("b").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(fs::exists(Path("b"))) << "a failed create makes no file";
    CloseHandle(first);

    platform::SetFileFaults({.failCreate = 0, .failWrite = 2, .shortWrite = 3, .failFlush = 1, .failMove = 1});
    HANDLE file = CreateFileA(Path("c").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(Write(file, "0123", &written));
    EXPECT_FALSE(Write(file, "4567", &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Write(file, "abcdefgh", &written)) << "a short write still reports success";
    EXPECT_EQ(written, 4u);
    EXPECT_FALSE(FlushFileBuffers(file));
    EXPECT_TRUE(FlushFileBuffers(file));
    CloseHandle(file);
    EXPECT_EQ(Read(Path("c")), "0123abcd");
    EXPECT_FALSE(MoveFileExA(Path("c").c_str(), Path("d").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(fs::exists(Path("c")));
    EXPECT_TRUE(MoveFileExA(Path("c").c_str(), Path("d").c_str(), MOVEFILE_REPLACE_EXISTING));

    platform::FileCallCounts counts = platform::FileCalls();
    EXPECT_EQ(counts.create, 1);
    EXPECT_EQ(counts.write, 3);
    EXPECT_EQ(counts.flush, 2);
    EXPECT_EQ(counts.move, 2);
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
