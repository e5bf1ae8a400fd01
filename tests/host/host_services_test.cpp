// The module's host wrappers against the emulated host: each wrapper must
// reach its own slot of its own table with its arguments in order.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <type_traits>

#include "module/host.h"
#include "placement/edit_state.h"
#include "platform/resources.h"
#include "sim/host.h"

namespace {

class HostServices : public testing::Test {
protected:
    HostServices() {
        host.FillImportTable(ImportTable);
        state = EditState{};
    }
    sim::Host host;
};

std::string callOrder;
void TAVU_CALL FrameA(uint32_t, uint32_t) { callOrder += "frame "; }
void TAVU_CALL DrawA(uint32_t, uint32_t) { callOrder += "draw "; }
uint32_t TAVU_CALL Handler(uint32_t key, uint32_t modifiers) {
    callOrder += "handler(" + std::to_string(key) + "," + std::to_string(modifiers) + ") ";
    return 0;
}
uint32_t TAVU_CALL Filter(uint32_t key, uint32_t) {
    callOrder += "filter ";
    return key == 45 ? 0 : 1;
}

TEST(EditStateLayout, IsPlainZeroInitialisedData) {
    // Nothing may need a constructor: the DLL has no runtime to run one.
    static_assert(std::is_trivial_v<EditState>);
    static_assert(std::is_standard_layout_v<EditState>);
    static EditState fresh;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&fresh);
    for (size_t i = 0; i < sizeof fresh; ++i) {
        ASSERT_EQ(bytes[i], 0u) << "byte " << i;
    }
}

TEST_F(HostServices, ImportTableKeepsIdsAndReceivesEveryTable) {
    const HostWord ids[] = {1, 2, 4, 0x0E, 0x14, 0x1954, 0};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(ImportTable[i].id, ids[i]);
        EXPECT_EQ(ImportTable[i].table != 0, i < 6) << "entry " << i;
    }
    EXPECT_EQ(SimGlobal<uint8_t>(0), host.Globals());
    EXPECT_EQ(*SimGlobal<uint16_t>(SG_FRAME_STEP), sim::kDefaultFrameStepMs);
}

TEST_F(HostServices, AllocatorAccountsForEveryBlockAndFailsOnRequest) {
    void* block = nullptr;
    ASSERT_EQ(AllocBlock(1, 304, &block, 1), 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(host.BlockSize(block), 304u);
    EXPECT_EQ(static_cast<uint8_t*>(block)[303], 0) << "flag 1 hands out zeroed memory";
    memset(block, 0xAB, 304);

    ASSERT_EQ(ResizeBlock(1, 608, &block), 0);
    EXPECT_EQ(static_cast<uint8_t*>(block)[303], 0xAB) << "contents kept";
    EXPECT_EQ(host.Allocations().liveBlocks, 1);
    EXPECT_EQ(host.Allocations().liveBytes, 608);
    EXPECT_EQ(host.Allocations().calls, 2);

    // The second call from now fails; a failed resize keeps the block alive
    // but clears the caller's pointer, which the caller must restore.
    host.FailAllocationAt(2);
    void* other = nullptr;
    ASSERT_EQ(AllocBlock(1, 16, &other, 1), 0);
    void* saved = block;
    EXPECT_NE(ResizeBlock(1, 912, &block), 0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(host.BlockSize(saved), 608u);
    block = saved;
    ASSERT_EQ(ResizeBlock(1, 912, &block), 0) << "only the Nth call fails";

    host.FailAllocationAt(1);
    void* failed = reinterpret_cast<void*>(0x1);
    EXPECT_NE(AllocBlock(1, 76, &failed, 1), 0);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(host.Allocations().liveBlocks, 2);
    EXPECT_EQ(host.Allocations().liveBytes, 912 + 16);

    ASSERT_EQ(ResizeBlock(1, 0, &other), 0);
    EXPECT_EQ(host.Allocations().liveBytes, 912);
}

TEST_F(HostServices, ByteAndStringServices) {
    char buffer[16] = "abcdefghij";
    CopyBytes(buffer, buffer + 2, 6);  // overlapping, destination below source
    EXPECT_STREQ(buffer, "cdefghghij");
    CopyBytes(buffer, "zz", 0);
    EXPECT_EQ(buffer[0], 'c');

    EXPECT_EQ(CompareBytes("QIROTrf6", "QIROTrf6", 8), 0);
    EXPECT_NE(CompareBytes("QIROTrf6", "QIROTrf5", 8), 0);
    EXPECT_EQ(CompareBytes("ab", "ac", 1), 0) << "only count bytes compared";

    char path[36];
    CopyString(path, "QIRO\\TAVU\\BMP\\");
    AppendString(path, "Tree_14.BMP");
    EXPECT_STREQ(path, "QIRO\\TAVU\\BMP\\Tree_14.BMP");
}

TEST_F(HostServices, CallbacksRunFrameBeforeDrawAndUnregisterIsHarmless) {
    callOrder.clear();
    UnregisterCallback(FRAME_CALLBACK, FrameA);  // never registered
    RegisterCallback(DRAW_CALLBACK, DrawA);
    RegisterCallback(FRAME_CALLBACK, FrameA);
    host.RunFrame();
    EXPECT_EQ(callOrder, "frame draw ");
    ASSERT_EQ(host.CallbackLog().size(), 3u);
    EXPECT_FALSE(host.CallbackLog()[0].registered);
    EXPECT_EQ(host.CallbackLog()[1].type, DRAW_CALLBACK);

    UnregisterCallback(FRAME_CALLBACK, FrameA);
    UnregisterCallback(DRAW_CALLBACK, DrawA);
    callOrder.clear();
    host.RunFrame();
    EXPECT_EQ(callOrder, "");
    EXPECT_TRUE(host.Registered(FRAME_CALLBACK).empty());
}

TEST_F(HostServices, DrawBlockKeepsTheLastBlock) {
    uint8_t block[56];
    for (int i = 0; i < 56; ++i) {
        block[i] = static_cast<uint8_t>(i);
    }
    DrawBlock(block, 0);
    block[55] = 0xEE;
    DrawBlock(block, 0);
    ASSERT_EQ(host.LastDrawBlock().size(), 56u);
    EXPECT_EQ(host.LastDrawBlock()[55], 0xEE);
    EXPECT_EQ(host.DrawCount(), 2);
}

TEST_F(HostServices, SinCosAndDistanceConversionsAtKnownPoints) {
    struct Point {
        uint32_t angle;
        int16_t sine, cosine;
    } points[] = {{0, 0, 32767}, {0x4000, 32767, 0}, {0x8000, 0, -32767}, {0xC000, -32767, 0},
                  {0x2000, 23170, 23170}, {0xFFFF8000u, 0, -32767}};  // only the low 16 bits count
    for (const Point& p : points) {
        int16_t s = 1, c = 1;
        SinCos(p.angle, &s, &c);
        EXPECT_EQ(s, p.sine) << std::hex << p.angle;
        EXPECT_EQ(c, p.cosine) << std::hex << p.angle;
    }

    // At the equator a metre is 2^32 / (2 pi R) longitude units.
    EXPECT_EQ(DistanceToLon(1000, 0), 107293);
    EXPECT_EQ(DistanceToLon(0, 5000000), 0);
    EXPECT_EQ(DistanceToLon(-1000, 0), -107293);
    // At 60 degrees (R pi / 3 metres north) the same metres need twice the units.
    const int32_t sixtyNorth = 6671704;
    EXPECT_NEAR(DistanceToLon(1000, sixtyNorth), 2 * 107293, 2);
    EXPECT_EQ(LonToDistance(107293, 0), 1000);
    EXPECT_EQ(LonToDistance(DistanceToLon(50, sixtyNorth), sixtyNorth), 50);
    // Near a pole the conversion saturates instead of overflowing.
    EXPECT_EQ(DistanceToLon(2000000000, 10007543), INT32_MAX);
}

TEST_F(HostServices, MessagesLoadTheirTextsAndTakeQueuedAnswers) {
    platform::ForceLanguage(platform::LANGUAGE_ENGLISH);
    EXPECT_EQ(ShowMessage(nullptr, 3, 6, 0, BOX_ONE_BUTTON), 1);
    host.Answers().push_back(ANSWER_NO);
    EXPECT_EQ(ShowMessage(nullptr, 4, 11, 0, BOX_YES_NO), ANSWER_NO);
    EXPECT_EQ(ShowMessage(nullptr, 4, 12, 0, BOX_YES_NO), 0) << "no answer queued";

    ASSERT_EQ(host.Boxes().size(), 3u);
    EXPECT_EQ(host.Boxes()[0].title, "Orvanta Editor - Error");
    EXPECT_EQ(host.Boxes()[0].text, "\n\n\nCould not save the current scenery file!");
    EXPECT_EQ(host.Boxes()[1].flags, BOX_YES_NO);
    EXPECT_TRUE(host.Boxes()[2].unanswered);

    platform::ForceLanguage(platform::LANGUAGE_GERMAN);
    ShowMessage(nullptr, 3, 6, 0, BOX_ONE_BUTTON);
    EXPECT_EQ(host.Boxes().back().title, "Orvanta Editor - Fehler");
    platform::ForceLanguage(0);
}

TEST_F(HostServices, HelpDialogAndKeyHookReachTheHost) {
    ShowHelp("QIRO\\TAVU\\TAVU.CHM", "/Commands.htm");
    ASSERT_EQ(host.HelpRequests().size(), 1u);
    EXPECT_EQ(host.HelpRequests()[0].second, "/Commands.htm");

    EXPECT_EQ(RunDialog(nullptr, 102, nullptr), 0) << "no dialog runner: the dialog fails";
    int32_t seenTemplate = 0;
    host.dialogRunner = [&](HINSTANCE, int32_t id, DLGPROC) {
        seenTemplate = id;
        return 1;
    };
    EXPECT_EQ(RunDialog(nullptr, 102, nullptr), 1);
    EXPECT_EQ(seenTemplate, 102);

    host.RefuseKeyHook(true);
    EXPECT_EQ(InstallKeyHook(Handler, Filter), 0);
    EXPECT_FALSE(host.KeyHookInstalled());
    host.RefuseKeyHook(false);
    EXPECT_NE(InstallKeyHook(Handler, Filter), 0);
    callOrder.clear();
    sim::KeyPress press = host.PressKey(45, 2);
    EXPECT_EQ(callOrder, "filter handler(45,2) ");
    EXPECT_EQ(press.filterResult, 0u);
    EXPECT_EQ(press.handlerResult, 0u);
    RemoveKeyHook(Handler, Filter);
    EXPECT_FALSE(host.KeyHookInstalled());
}

}  // namespace
