// The x86 emulator against tiny hand-assembled guest functions: the stack a
// call sees, traps, nesting, fault capture, the arena's bounds and the heap.
#include "sim/x86_emulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using sim::X86Emulator;
using Reg = X86Emulator::Reg;

// Machine code: bytes, a little-endian word spliced in, more bytes.
std::vector<uint8_t> Asm(std::vector<uint8_t> code, uint32_t word, const std::vector<uint8_t>& tail) {
    for (int shift = 0; shift < 32; shift += 8)
        code.push_back(static_cast<uint8_t>(word >> shift));
    for (uint8_t byte : tail)  // one by one: GCC 12 at -O3 misreads a range insert as a null copy
        code.push_back(byte);
    return code;
}

class Emulator : public testing::Test {
  protected:
    static constexpr uint32_t kCode = 0x04000000;
    static constexpr uint32_t kCodeSize = 0x10000;

    Emulator() {
        EXPECT_NE(cpu.MapRegion(kCode, kCodeSize), nullptr);
        EXPECT_TRUE(cpu.Protect(kCode, kCodeSize, X86Emulator::kRead | X86Emulator::kExecute));
    }

    // Places a guest function in the code region.
    uint32_t Code(const std::vector<uint8_t>& code) {
        const uint32_t address = next_;
        memcpy(cpu.Native(address, 1), code.data(), code.size());
        next_ += (static_cast<uint32_t>(code.size()) + 15) & ~15u;
        return address;
    }
    // A table word holding `target`, as an import address table entry does.
    uint32_t Slot(uint32_t target) {
        const uint32_t slot = cpu.Allocate(4);
        cpu.Write<uint32_t>(slot, target);
        return slot;
    }
    // f(a, b) = trap(a, b) + 1, through the table word.
    uint32_t CallerOf(uint32_t trap) {
        return Code(Asm({0xFF, 0x74, 0x24, 0x08, 0xFF, 0x74, 0x24, 0x08, 0xFF, 0x15}, Slot(trap),
                        {0x40, 0xC2, 0x08, 0x00}));
    }
    std::string FaultMessage() const { return cpu.fault() ? cpu.fault()->message : "no fault"; }

    X86Emulator cpu;
    uint32_t next_ = kCode;
};

std::array<uint32_t, 8> Registers(const X86Emulator& cpu) {
    return {cpu.Register(Reg::Ebx),    cpu.Register(Reg::Esi), cpu.Register(Reg::Edi),
            cpu.Register(Reg::Ebp),    cpu.Register(Reg::Esp), cpu.Register(Reg::Eip),
            cpu.Register(Reg::Eflags), cpu.Register(Reg::Edx)};
}

// --- Calls and traps ---------------------------------------------------------------

TEST_F(Emulator, CalleeSeesItsArgumentsOnAnAlignedStackAndPopsThem) {
    // mov eax,esp; ret 8
    const uint32_t entryStack = Code({0x89, 0xE0, 0xC2, 0x08, 0x00});
    const uint32_t esp = cpu.Call(entryStack, {1, 2}, "entry stack");
    EXPECT_EQ((esp + 4) % 16, 0u);
    EXPECT_EQ(cpu.Register(Reg::Esp), esp + 4 + 8);
    EXPECT_EQ(cpu.Read<uint32_t>(esp + 4), 1u);
    EXPECT_EQ(cpu.Read<uint32_t>(esp + 8), 2u);
    EXPECT_EQ(cpu.Call(entryStack, {3, 4}, "entry stack"), esp) << "every outermost call starts alike";
}

// --- Nesting -------------------------------------------------------------------------

TEST_F(Emulator, HandlerCallsBackIntoGuestCodeThatCallsAnotherTrap) {
    // Level 2 stores its ESP in espCell, clobbers the caller's registers and
    // the direction flag, then answers twice what trap two gives for its
    // argument: mov ebx,esp; mov esi,esp; mov edi,esp; mov ebp,esp; std;
    // mov [espCell],esp; push [esp+4]; call [slot]; add eax,eax; ret 4
    const uint32_t espCell = cpu.Allocate(4);
    int innermostDepth = 0;
    const uint32_t two = cpu.AddTrap("Two", 1, [&](X86Emulator& emulator, const uint32_t* args) {
        innermostDepth = emulator.callDepth();
        return args[0] + 5;
    });
    const uint32_t levelTwo =
        Code(Asm({0x89, 0xE3, 0x89, 0xE6, 0x89, 0xE7, 0x89, 0xE5, 0xFD, 0x89, 0x25}, espCell,
                 Asm({0xFF, 0x74, 0x24, 0x04, 0xFF, 0x15}, Slot(two), {0x01, 0xC0, 0xC2, 0x04, 0x00})));
    uint32_t outerEsp = 0;
    const uint32_t levelOne =
        CallerOf(cpu.AddTrap("One", 2, [&](X86Emulator& emulator, const uint32_t* args) {
            outerEsp = emulator.Register(Reg::Esp);
            const auto before = Registers(emulator);
            const uint32_t result = emulator.Call(levelTwo, {args[0] * 10}, "level 2");
            EXPECT_EQ(Registers(emulator), before);
            return result + 1;
        }));
    // 3 -> trap one -> level two (30) -> trap two (35) -> 70 -> 71 -> 72
    EXPECT_EQ(cpu.Call(levelOne, {3, 0}, "level 1"), 72u);
    EXPECT_EQ(innermostDepth, 2);
    EXPECT_EQ(cpu.callDepth(), 0);
    const uint32_t nestedEsp = cpu.Read<uint32_t>(espCell);
    EXPECT_LT(nestedEsp, outerEsp) << "a nested call runs below its caller's stack";
    EXPECT_EQ((nestedEsp + 4) % 16, 0u);
    EXPECT_EQ(cpu.Call(levelOne, {4, 0}, "level 1"), 92u) << "the nested call left nothing behind";
    EXPECT_FALSE(cpu.fault());
}

TEST_F(Emulator, RecursionThroughHandlersIsBoundedAndAFaultStopsEveryLevel) {
    uint32_t caller = 0;
    int deepest = 0;
    caller = CallerOf(cpu.AddTrap("Again", 2, [&](X86Emulator& emulator, const uint32_t*) {
        deepest = std::max(deepest, emulator.callDepth());
        return emulator.Call(caller, {0, 0}, "again");
    }));
    EXPECT_EQ(cpu.Call(caller, {0, 0}, "first"), 0u);
    EXPECT_EQ(deepest, X86Emulator::kMaxCallDepth);
    EXPECT_EQ(FaultMessage(), "guest calls nested more than 64 deep");
    cpu.ClearFault();

    int afterwards = 0;
    const uint32_t counter =
        cpu.AddTrap("Counter", 0, [&](X86Emulator&, const uint32_t*) { return ++afterwards; });
    const uint32_t bad = Code(Asm({0xA1}, 0x50, {0xC3}));  // mov eax,[0x50]; ret
    const uint32_t nest = cpu.AddTrap("Nest", 0, [&](X86Emulator& emulator, const uint32_t*) {
        return emulator.Call(bad, {}, "inner") + 5;
    });
    // call [nest]; call [counter]; ret
    const uint32_t outer = Code(Asm({0xFF, 0x15}, Slot(nest), Asm({0xFF, 0x15}, Slot(counter), {0xC3})));
    EXPECT_EQ(cpu.Call(outer, {}, "outer"), 0u);
    EXPECT_EQ(afterwards, 0);
    ASSERT_TRUE(cpu.fault());
    EXPECT_EQ(cpu.fault()->Describe(), cpu.fault()->message + " (in inner, called from outer)");
    EXPECT_EQ(cpu.callDepth(), 0);
    EXPECT_EQ(cpu.Call(CallerOf(counter), {0, 0}, "after the fault"), 0u);
    EXPECT_EQ(afterwards, 0) << "nothing runs until the fault is cleared";
}

TEST_F(Emulator, TheBlockLimitCoversNestedCallsAndRestartsWithEachOutermostCall) {
    // mov ecx,1000; dec ecx; jnz -3; ret: about a thousand blocks.
    const uint32_t loop = Code(Asm({0xB9}, 1000, {0x49, 0x75, 0xFD, 0xC3}));
    const uint32_t caller = CallerOf(cpu.AddTrap("Loop", 2, [&](X86Emulator& emulator, const uint32_t*) {
        emulator.Call(loop, {}, "inner loop");
        return emulator.Call(loop, {}, "inner loop");
    }));
    cpu.SetBlockLimit(3000);
    for (int round = 0; round < 3; ++round)
        cpu.Call(caller, {0, 0}, "outer");
    EXPECT_FALSE(cpu.fault()) << FaultMessage();
    cpu.SetBlockLimit(1500);
    cpu.Call(caller, {0, 0}, "outer");
    EXPECT_NE(FaultMessage().find("runaway guest code"), std::string::npos) << FaultMessage();
    EXPECT_EQ(cpu.fault()->innerCall, "inner loop");
}

// --- Faults --------------------------------------------------------------------------

TEST_F(Emulator, EachGuestFaultIsRecordedNamingWhatAndWhere) {
    const uint32_t data = cpu.Allocate(64);
    cpu.Write<uint8_t>(data, 0xC3);  // a valid `ret`, but not code of ours
    cpu.SetBlockLimit(300000);       // past the 262144 calls that fill the stack
    const struct {
        std::vector<uint8_t> code;
        std::string message;
        uint32_t address;  // 0: not checked
    } faults[] = {
        {Asm({0xA1}, 0x50, {0xC3}), "read of unmapped memory at 0x00000050", 0x50},
        {Asm({0xA3}, kCode, {0xC3}), "write to read-only memory at 0x04000000", kCode},
        {Asm({0xB8}, 0x7BADC0DE, {0xFF, 0xE0}), "jump to unmapped address 0x7BADC0DE", 0x7BADC0DE},
        {Asm({0xB8}, data, {0xFF, 0xE0}), "jump to non-code memory", data},
        {{0x0F, 0x0B}, "invalid", 0},
        {{0x31, 0xC9, 0xF7, 0xF1, 0xC3}, "divide error", 0},  // xor ecx,ecx; div ecx
        {{0xCC, 0xC3}, "breakpoint", 0},
        {{0xCD, 0x21, 0xC3}, "unexpected interrupt 0x21", 0},
        {{0xCD, 0x80, 0xC3}, "int 0x80 outside a trap stub", 0},
        {{0xF4, 0xC3}, "stopped without returning", 0},             // hlt
        {Asm({0xE8}, 0xFFFFFFFB, {}), "stack overflow", 0},         // call $
        {{0xEB, 0xFE}, "runaway guest code: more than 300000", 0},  // jmp $
    };
    for (const auto& fault : faults) {
        EXPECT_EQ(cpu.Call(Code(fault.code), {}, "victim"), 0u);
        EXPECT_NE(FaultMessage().find(fault.message), std::string::npos) << FaultMessage();
        ASSERT_TRUE(cpu.fault()) << fault.message;
        EXPECT_EQ(cpu.fault()->innerCall, "victim");
        EXPECT_TRUE(fault.address == 0 || cpu.fault()->address == fault.address) << fault.message;
        cpu.ClearFault();
    }
    // Last, as the emulator is out of order after it: 300 FXCH in a row,
    // more than Unicorn can translate in one block, code hook or not.
    std::vector<uint8_t> exchanges;
    for (int i = 0; i < 600; ++i)
        exchanges.push_back(i % 2 ? 0xC9 : 0xD9);
    const uint32_t dense = Code(exchanges);
    cpu.Call(dense, {}, "victim");
    EXPECT_EQ(cpu.fault() ? cpu.fault()->address : 0, dense) << FaultMessage();
    cpu.ClearFault();
    cpu.Call(Code({0xC3}), {}, "victim");
    EXPECT_NE(FaultMessage().find("out of order since it failed on the code at"), std::string::npos)
        << FaultMessage();
}

// --- Heap ----------------------------------------------------------------------------

// Random allocations, resizes and frees, each block filled with a byte of
// its own: blocks stay aligned and disjoint, come and grow zeroed, keep
// their contents when they move, and every byte goes back to one free range.
TEST(EmulatorHeap, RandomTrafficKeepsBlocksIntactAndReturnsEveryByte) {
    X86Emulator cpu;
    const uint64_t heap = cpu.heapStats().freeBytes;
    std::map<uint32_t, std::pair<uint32_t, uint8_t>> live;  // address -> size, fill
    std::mt19937 random(7);
    auto holds = [&](uint32_t address, uint32_t from, uint32_t to, uint8_t fill) {
        const uint8_t* bytes = cpu.Native(address, to);
        return bytes && std::all_of(bytes + from, bytes + to, [fill](uint8_t b) { return b == fill; });
    };
    for (int step = 0; step < 3000; ++step) {
        const uint32_t size = random() % 3000;
        const uint8_t fill = static_cast<uint8_t>(1 + step % 255);
        const unsigned action = live.empty() ? 0 : random() % 3;
        auto victim = live.begin();
        std::advance(victim, live.empty() ? 0 : random() % live.size());
        uint32_t address = 0;
        if (action == 0) {
            const uint32_t align = 16u << (random() % 5);
            address = cpu.Allocate(size, align);
            ASSERT_NE(address, 0u);
            EXPECT_EQ(address % align, 0u);
            EXPECT_TRUE(holds(address, 0, size, 0)) << "a new block is zeroed";
        } else if (action == 1) {
            const auto [old, oldFill] = victim->second;
            address = cpu.Resize(victim->first, size);
            ASSERT_NE(address, 0u);
            EXPECT_TRUE(holds(address, 0, std::min(old, size), oldFill)) << "contents kept";
            EXPECT_TRUE(size <= old || holds(address, old, size, 0)) << "growth is zeroed";
            live.erase(victim);
        } else {
            EXPECT_TRUE(holds(victim->first, 0, victim->second.first, victim->second.second));
            EXPECT_TRUE(cpu.Free(victim->first));
            live.erase(victim);
            continue;
        }
        EXPECT_EQ(cpu.Size(address), size);
        memset(cpu.Native(address, size), fill, size);
        live[address] = {size, fill};
    }
    EXPECT_EQ(cpu.heapStats().liveBlocks, live.size());
    for (const auto& [address, block] : live) {
        EXPECT_TRUE(holds(address, 0, block.first, block.second)) << "block " << address << " overwritten";
        EXPECT_TRUE(cpu.Free(address));
    }
    EXPECT_EQ(cpu.heapStats().freeBytes, heap);
    EXPECT_NE(cpu.Allocate(static_cast<uint32_t>(heap)), 0u) << "the free ranges did not coalesce";
}

TEST(EmulatorHeap, HolesAreReusedBestFirstAndWhatIsNotABlockIsRefused) {
    X86Emulator cpu;
    const uint32_t heap = static_cast<uint32_t>(cpu.heapStats().freeBytes);
    EXPECT_EQ(cpu.Allocate(heap + 16), 0u);
    EXPECT_EQ(cpu.Allocate(0xFFFFFFFF), 0u);
    ASSERT_NE(cpu.Allocate(heap - 1024), 0u);  // 1 KiB left
    const uint32_t a = cpu.Allocate(100), b = cpu.Allocate(100), c = cpu.Allocate(100);
    EXPECT_TRUE(cpu.Free(b));
    EXPECT_EQ(cpu.Allocate(90), b) << "the hole fits it best";
    EXPECT_EQ(cpu.Resize(a, 112), a) << "within its granules";
    {
        const uint32_t left = cpu.Allocate(32), right = cpu.Allocate(32), fence = cpu.Allocate(32);
        ASSERT_TRUE(cpu.Free(right));
        EXPECT_EQ(cpu.Resize(left, 64), left) << "a free neighbour that exactly fits is taken in place";
        EXPECT_TRUE(cpu.Free(left) && cpu.Free(fence));
    }
    EXPECT_EQ(cpu.Resize(c, 2000), 0u);
    EXPECT_EQ(cpu.Size(c), 100u) << "a failed resize keeps the block";
    EXPECT_FALSE(cpu.Free(a + 16));
    EXPECT_EQ(cpu.Size(a + 16), 0u);
    EXPECT_TRUE(cpu.Free(a));
    EXPECT_FALSE(cpu.Free(a)) << "twice";
    EXPECT_EQ(cpu.Resize(a, 64), 0u);
    EXPECT_TRUE(cpu.Free(0));
    EXPECT_EQ(cpu.Size(cpu.Resize(0, 24)), 24u);
    const uint32_t empty = cpu.Allocate(0);
    EXPECT_NE(empty, 0u);
    EXPECT_NE(cpu.Allocate(0), empty);
    EXPECT_EQ(cpu.Allocate(16, 48), 0u);
}

}  // namespace
