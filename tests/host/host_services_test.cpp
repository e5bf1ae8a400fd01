// The module's host wrappers against the emulated host: each wrapper must
// reach its own slot of its own table with its arguments in order, and the
// host must keep the rules the module relies on.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "module/host.h"
#include "placement/edit_state.h"
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
    EXPECT_EQ(host.BlockSize(block), 304u);
    EXPECT_EQ(static_cast<uint8_t*>(block)[303], 0) << "flag 1 hands out zeroed memory";
    memset(block, 0xAB, 304);
    ASSERT_EQ(ResizeBlock(1, 608, &block), 0);
    EXPECT_EQ(static_cast<uint8_t*>(block)[303], 0xAB) << "contents kept";
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
    EXPECT_EQ(CompareBytes("QIROTrf6", "QIROTrf6", 8), 0);
    EXPECT_NE(CompareBytes("QIROTrf6", "QIROTrf5", 8), 0);
    EXPECT_EQ(CompareBytes("ab", "ac", 1), 0) << "only count bytes compared";
    char path[36];
    CopyString(path, "QIRO\\TAVU\\BMP\\");
    AppendString(path, "Tree_14.BMP");
    EXPECT_STREQ(path, "QIRO\\TAVU\\BMP\\Tree_14.BMP");
}

std::string callOrder;
void TAVU_CALL Frame(uint32_t, uint32_t) {
    callOrder += "frame ";
}
void TAVU_CALL Draw(uint32_t, uint32_t) {
    callOrder += "draw ";
}

TEST_F(HostServices, CallbacksRunFrameBeforeDrawAndUnregisterIsHarmless) {
    callOrder.clear();
    UnregisterCallback(FRAME_CALLBACK, Frame);  // never registered
    RegisterCallback(DRAW_CALLBACK, Draw);
    RegisterCallback(FRAME_CALLBACK, Frame);
    host.RunFrame();
    EXPECT_EQ(callOrder, "frame draw ");
    UnregisterCallback(FRAME_CALLBACK, Frame);
    UnregisterCallback(DRAW_CALLBACK, Draw);
    host.RunFrame();
    EXPECT_EQ(callOrder, "frame draw ");
}

TEST_F(HostServices, SinCosAndDistanceConversionsAtKnownPoints) {
    const struct {
        uint32_t angle;
        int16_t sine, cosine;
    } points[] = {{0, 0, 32767},          {0x4000, 32767, 0},      {0x8000, 0, -32767}, {0xC000, -32767, 0},
                  {0x2000, 23170, 23170}, {0xFFFF8000u, 0, -32767}};  // low 16 bits count
    for (const auto& p : points) {
        int16_t s = 1, c = 1;
        SinCos(p.angle, &s, &c);
        EXPECT_EQ(s, p.sine) << std::hex << p.angle;
        EXPECT_EQ(c, p.cosine) << std::hex << p.angle;
    }
    // At the equator a metre is 2^32 / (2 pi R) longitude units; at 60
    // degrees (R pi / 3 metres north) the same metres need twice the units.
    EXPECT_EQ(DistanceToLon(1000, 0), 107293);
    EXPECT_EQ(DistanceToLon(-1000, 0), -107293);
    EXPECT_NEAR(DistanceToLon(1000, 6671704), 2 * 107293, 2);
    EXPECT_EQ(LonToDistance(107293, 0), 1000);
    EXPECT_EQ(LonToDistance(DistanceToLon(50, 6671704), 6671704), 50);
    // Near a pole the conversion saturates instead of overflowing.
    EXPECT_EQ(DistanceToLon(2000000000, 10007543), INT32_MAX);
}

}  // namespace
