// The x86 emulator against tiny hand-assembled guest functions: calls,
// traps, nesting, fault capture, the heap and the memory accessors.
#include "sim/x86_emulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using sim::X86Emulator;
using Reg = X86Emulator::Reg;

// Machine code written as bytes, with 32-bit little-endian words spliced in.
class Asm {
public:
    Asm& operator()(std::initializer_list<uint8_t> bytes) {
        // One by one: GCC 12 at -O3 misreads a range insert as a null copy.
        for (uint8_t byte : bytes) {
            bytes_.push_back(byte);
        }
        return *this;
    }
    Asm& Word(uint32_t word) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes_.push_back(static_cast<uint8_t>(word >> shift));
        }
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

class Emulator : public testing::Test {
protected:
    static constexpr uint32_t kCode = 0x04000000;
    static constexpr uint32_t kCodeSize = 0x10000;

    Emulator() {
        EXPECT_NE(cpu.MapRegion(kCode, kCodeSize), nullptr);
        EXPECT_TRUE(cpu.Protect(kCode, kCodeSize, X86Emulator::kRead | X86Emulator::kExecute));
    }

    // Places a guest function in the code region.
    uint32_t Code(const Asm& code) {
        const uint32_t address = next_;
        uint8_t* native = cpu.Native(address, static_cast<uint32_t>(code.bytes().size()));
        EXPECT_NE(native, nullptr);
        memcpy(native, code.bytes().data(), code.bytes().size());
        next_ += (static_cast<uint32_t>(code.bytes().size()) + 15) & ~15u;
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
        return Code(Asm()({0xFF, 0x74, 0x24, 0x08})({0xFF, 0x74, 0x24, 0x08})({0xFF, 0x15})
                        .Word(Slot(trap))({0x40})({0xC2, 0x08, 0x00}));
    }

    X86Emulator cpu;
    uint32_t next_ = kCode;
};

std::array<uint32_t, 10> Registers(const X86Emulator& cpu) {
    return {cpu.Register(Reg::Eax), cpu.Register(Reg::Ebx),   cpu.Register(Reg::Ecx), cpu.Register(Reg::Edx),
            cpu.Register(Reg::Esi), cpu.Register(Reg::Edi),   cpu.Register(Reg::Ebp), cpu.Register(Reg::Esp),
            cpu.Register(Reg::Eip), cpu.Register(Reg::Eflags)};
}

// --- Calls and traps ---------------------------------------------------------

TEST_F(Emulator, CallPassesArgumentsAndReturnsEax) {
    // mov eax,[esp+4]; add eax,[esp+8]; ret 8
    const uint32_t add = Code(Asm()({0x8B, 0x44, 0x24, 0x04, 0x03, 0x44, 0x24, 0x08, 0xC2, 0x08, 0x00}));
    EXPECT_EQ(cpu.Call(add, {2, 40}, "add"), 42u);
    EXPECT_EQ(cpu.Call(add, {0xFFFFFFFF, 3}, "add"), 2u);
    EXPECT_FALSE(cpu.fault());
    EXPECT_EQ(cpu.callDepth(), 0);
}

TEST_F(Emulator, CalleeSeesAnAlignedStackAndPopsItsArguments) {
    // mov eax,esp; ret 8
    const uint32_t entryStack = Code(Asm()({0x89, 0xE0, 0xC2, 0x08, 0x00}));
    const uint32_t esp = cpu.Call(entryStack, {1, 2}, "entry stack");
    EXPECT_EQ((esp + 4) % 16, 0u);
    EXPECT_GT(esp, cpu.layout().stackBase);
    EXPECT_LT(esp, cpu.layout().stackTop);
    EXPECT_EQ(cpu.Register(Reg::Esp), esp + 4 + 8);
    EXPECT_EQ(cpu.Read<uint32_t>(esp + 4), 1u);
    EXPECT_EQ(cpu.Read<uint32_t>(esp + 8), 2u);
    // Every outermost call starts from the same stack.
    EXPECT_EQ(cpu.Call(entryStack, {3, 4}, "entry stack"), esp);
}

TEST_F(Emulator, GuestCallsATrapThroughATableWord) {
    std::vector<uint32_t> seen;
    const uint32_t trap = cpu.AddTrap("Multiply", 2, [&](X86Emulator& emulator, const uint32_t* args) {
        seen.assign(args, args + 2);
        EXPECT_EQ(emulator.callDepth(), 1);
        EXPECT_EQ(emulator.Read<uint32_t>(emulator.TrapArguments()), args[0]);
        return args[0] * args[1];
    });
    EXPECT_EQ(cpu.TrapName(trap), "Multiply");
    const uint32_t caller = CallerOf(trap);
    EXPECT_EQ(cpu.Call(caller, {6, 7}, "multiply"), 43u);
    EXPECT_EQ(seen, (std::vector<uint32_t>{6, 7}));
    EXPECT_EQ(cpu.Call(caller, {100, 3}, "multiply"), 301u);
    EXPECT_FALSE(cpu.fault());
}

TEST_F(Emulator, StdcallTrapsPopTheirArgumentsAndCdeclTrapsLeaveThem) {
    auto zero = [](X86Emulator&, const uint32_t*) { return 0u; };
    const uint32_t stdcallTrap = cpu.AddTrap("Stdcall", 2, zero);
    const uint32_t cdeclTrap = cpu.AddTrap("Cdecl", 2, zero, X86Emulator::Convention::Cdecl);
    // mov edi,esp; push 1; push 2; call [slot]; sub edi,esp; add esp,edi; mov eax,edi; ret
    auto stackLeft = [&](uint32_t trap) {
        return Code(Asm()({0x89, 0xE7, 0x6A, 0x01, 0x6A, 0x02, 0xFF, 0x15})
                        .Word(Slot(trap))({0x29, 0xE7, 0x01, 0xFC, 0x89, 0xF8, 0xC3}));
    };
    EXPECT_EQ(cpu.Call(stackLeft(stdcallTrap), {}, "stdcall"), 0u);
    EXPECT_EQ(cpu.Call(stackLeft(cdeclTrap), {}, "cdecl"), 8u);
}

TEST_F(Emulator, TrapResultIsTheOnlyRegisterAHandlerChanges) {
    uint32_t edxSeen = 0;
    const uint32_t trap = cpu.AddTrap("Pair", 0, [&](X86Emulator& emulator, const uint32_t*) {
        edxSeen = emulator.Register(Reg::Edx);
        emulator.SetRegister(Reg::Edx, 0xDEAD);  // a 64-bit result's high half
        return 0xBEEFu;
    });
    // mov edx,7; call [slot]; add eax,edx; ret
    const uint32_t code = Code(Asm()({0xBA}).Word(7)({0xFF, 0x15}).Word(Slot(trap))({0x01, 0xD0, 0xC3}));
    EXPECT_EQ(cpu.Call(code, {}, "pair"), 0xBEEFu + 0xDEADu);
    EXPECT_EQ(edxSeen, 7u);
}

TEST_F(Emulator, CallingATrapDirectlyRunsItsHandler) {
    const uint32_t trap =
        cpu.AddTrap("Subtract", 2, [](X86Emulator&, const uint32_t* args) { return args[0] - args[1]; });
    EXPECT_EQ(cpu.Call(trap, {50, 8}, "subtract"), 42u);
}

TEST_F(Emulator, VariadicHandlerReadsWordsBeyondItsDeclaredArguments) {
    const uint32_t trap = cpu.AddTrap(
        "Sum", 1,
        [](X86Emulator& emulator, const uint32_t* args) {
            uint32_t sum = 0;
            for (uint32_t i = 1; i <= args[0]; ++i) {
                sum += emulator.Read<uint32_t>(emulator.TrapArguments() + 4 * i);
            }
            return sum;
        },
        X86Emulator::Convention::Cdecl);
    // push 30; push 20; push 10; push 3; call [slot]; add esp,16; ret
    const uint32_t code = Code(Asm()({0x6A, 30, 0x6A, 20, 0x6A, 10, 0x6A, 3, 0xFF, 0x15})
                                   .Word(Slot(trap))({0x83, 0xC4, 0x10, 0xC3}));
    EXPECT_EQ(cpu.Call(code, {}, "sum"), 60u);
    EXPECT_EQ(cpu.TrapArguments(), 0u);  // no handler running
}

TEST_F(Emulator, TrapNamesOnlyExactStubAddresses) {
    const uint32_t trap = cpu.AddTrap("One", 0, [](X86Emulator&, const uint32_t*) { return 1u; });
    EXPECT_EQ(cpu.TrapName(trap), "One");
    EXPECT_EQ(cpu.TrapName(trap + 1), "");
    EXPECT_EQ(cpu.TrapName(trap + X86Emulator::kTrapStubSize), "");
    EXPECT_EQ(cpu.TrapName(0), "");
    EXPECT_THROW(cpu.AddTrap("TooMany", 33, nullptr), std::invalid_argument);
}

// --- Nesting -----------------------------------------------------------------

class Nesting : public Emulator {
protected:
    // level 1: keeps EBX, ESI, EDI and EBP across a call to trap 1 and
    // answers 0xBAD when any of them changed.
    uint32_t LevelOne(uint32_t trap) {
        return Code(Asm()({0x53, 0x56, 0x57, 0x55})({0xBB})
                        .Word(0x11111111)({0xBE})
                        .Word(0x22222222)({0xBF})
                        .Word(0x33333333)({0xBD})
                        .Word(0x44444444)({0xFF, 0x74, 0x24, 0x14})({0xFF, 0x15})
                        .Word(Slot(trap))({0x81, 0xFB})
                        .Word(0x11111111)({0x75, 0x1F, 0x81, 0xFE})
                        .Word(0x22222222)({0x75, 0x17, 0x81, 0xFF})
                        .Word(0x33333333)({0x75, 0x0F, 0x81, 0xFD})
                        .Word(0x44444444)({0x75, 0x07})({0x5D, 0x5F, 0x5E, 0x5B, 0xC2, 0x04, 0x00})({0xB8})
                        .Word(0xBAD)({0xEB, 0xF2}));
    }
    // level 2: clobbers every register and the direction flag, then answers
    // twice what trap 2 gives for its argument.
    uint32_t LevelTwo(uint32_t trap) {
        return Code(Asm()({0xBB})
                        .Word(0x55555555)({0xBE})
                        .Word(0x66666666)({0xBF})
                        .Word(0x77777777)({0xBD})
                        .Word(0x88888888)({0xB9})
                        .Word(0x99999999)({0xBA})
                        .Word(0xAAAAAAAA)({0xFD})({0xFF, 0x74, 0x24, 0x04})({0xFF, 0x15})
                        .Word(Slot(trap))({0x01, 0xC0, 0xC2, 0x04, 0x00}));
    }
};

TEST_F(Nesting, HandlerCallsBackIntoGuestCodeThatCallsAnotherTrap) {
    int innermostDepth = 0;
    const uint32_t trapTwo = cpu.AddTrap("Two", 1, [&](X86Emulator& emulator, const uint32_t* args) {
        innermostDepth = emulator.callDepth();
        return args[0] + 5;
    });
    const uint32_t levelTwo = LevelTwo(trapTwo);
    const uint32_t trapOne = cpu.AddTrap("One", 1, [&](X86Emulator& emulator, const uint32_t* args) {
        const auto before = Registers(emulator);
        const uint32_t result = emulator.Call(levelTwo, {args[0] * 10}, "level 2");
        EXPECT_EQ(Registers(emulator), before);
        return result + 1;
    });
    const uint32_t levelOne = LevelOne(trapOne);

    // 3 -> trap one -> level two (30) -> trap two (35) -> 70 -> 71
    EXPECT_EQ(cpu.Call(levelOne, {3}, "level 1"), 71u);
    EXPECT_EQ(innermostDepth, 2);
    EXPECT_FALSE(cpu.fault());
    EXPECT_EQ(cpu.callDepth(), 0);
    // The nested call left nothing behind on the stack for the next one.
    EXPECT_EQ(cpu.Call(levelOne, {4}, "level 1"), 91u);
}

TEST_F(Nesting, NestedCallRunsBelowTheCallersStack) {
    // mov eax,esp; ret
    const uint32_t entryStack = Code(Asm()({0x89, 0xE0, 0xC3}));
    uint32_t outerStack = 0, innerStack = 0;
    const uint32_t trap = cpu.AddTrap("Probe", 0, [&](X86Emulator& emulator, const uint32_t*) {
        outerStack = emulator.Register(Reg::Esp);
        innerStack = emulator.Call(entryStack, {}, "probe");
        return 0u;
    });
    cpu.Call(CallerOf(trap), {0, 0}, "outer");
    EXPECT_LT(innerStack, outerStack);
    EXPECT_EQ((innerStack + 4) % 16, 0u);
}

TEST_F(Nesting, DeepRecursionThroughHandlersIsBounded) {
    uint32_t caller = 0;
    int deepest = 0;
    const uint32_t trap = cpu.AddTrap("Again", 2, [&](X86Emulator& emulator, const uint32_t*) {
        deepest = std::max(deepest, emulator.callDepth());
        return emulator.Call(caller, {0, 0}, "again");
    });
    caller = CallerOf(trap);
    EXPECT_EQ(cpu.Call(caller, {0, 0}, "first"), 0u);
    ASSERT_TRUE(cpu.fault());
    EXPECT_EQ(deepest, X86Emulator::kMaxCallDepth);
    EXPECT_NE(cpu.fault()->message.find("nested"), std::string::npos);
}

// --- Faults ------------------------------------------------------------------

class Faults : public Emulator {
protected:
    // Runs `code` as the only call and returns the fault it recorded.
    X86Emulator::Fault FaultOf(const Asm& code) {
        EXPECT_EQ(cpu.Call(Code(code), {}, "victim"), 0u);
        EXPECT_TRUE(cpu.fault());
        return cpu.fault().value_or(X86Emulator::Fault{});
    }
    bool Says(const X86Emulator::Fault& fault, const std::string& text) {
        return fault.message.find(text) != std::string::npos;
    }
};

TEST_F(Faults, ReadOfUnmappedMemoryNamesTheAddress) {
    // mov eax,[0x50]; ret
    const auto fault = FaultOf(Asm()({0xA1}).Word(0x50)({0xC3}));
    EXPECT_TRUE(Says(fault, "read of unmapped memory at 0x00000050")) << fault.message;
    EXPECT_EQ(fault.address, 0x50u);
    EXPECT_EQ(fault.innerCall, "victim");
    EXPECT_EQ(fault.outerCall, "victim");
    EXPECT_EQ(fault.block, Emulator::kCode);
}

TEST_F(Faults, WriteToCodeIsRefused) {
    // mov [code],eax; ret
    const auto fault = FaultOf(Asm()({0xA3}).Word(kCode)({0xC3}));
    EXPECT_TRUE(Says(fault, "write to read-only memory at 0x04000000")) << fault.message;
}

TEST_F(Faults, JumpToUnmappedAddress) {
    // mov eax,0x0BADC0DE; jmp eax
    const auto fault = FaultOf(Asm()({0xB8}).Word(0x7BADC0DE)({0xFF, 0xE0}));
    EXPECT_TRUE(Says(fault, "jump to unmapped address 0x7BADC0DE")) << fault.message;
    EXPECT_EQ(fault.address, 0x7BADC0DEu);
}

TEST_F(Faults, JumpIntoDataIsRefused) {
    const uint32_t data = cpu.Allocate(64);
    cpu.Write<uint8_t>(data, 0xC3);  // a valid `ret`, but not code of ours
    const auto fault = FaultOf(Asm()({0xB8}).Word(data)({0xFF, 0xE0}));
    EXPECT_TRUE(Says(fault, "jump to non-code memory")) << fault.message;
    EXPECT_EQ(fault.address, data);
}

TEST_F(Faults, CallToAnAddressOutsideTheArena) {
    EXPECT_EQ(cpu.Call(0xFFFFFFF0, {1}, "nowhere"), 0u);
    ASSERT_TRUE(cpu.fault());
    EXPECT_TRUE(Says(*cpu.fault(), "0xFFFFFFF0")) << cpu.fault()->message;
}

TEST_F(Faults, InvalidInstructions) {
    const auto ud2 = FaultOf(Asm()({0x0F, 0x0B}));
    EXPECT_TRUE(Says(ud2, "invalid")) << ud2.message;
    cpu.ClearFault();
    const auto undefined = FaultOf(Asm()({0x0F, 0xFF}));  // no such opcode
    EXPECT_TRUE(Says(undefined, "invalid")) << undefined.message;
}

TEST_F(Faults, CpuExceptions) {
    // xor ecx,ecx; div ecx
    const auto divide = FaultOf(Asm()({0x31, 0xC9, 0xF7, 0xF1, 0xC3}));
    EXPECT_TRUE(Says(divide, "divide error")) << divide.message;
    cpu.ClearFault();
    const auto breakpoint = FaultOf(Asm()({0xCC, 0xC3}));
    EXPECT_TRUE(Says(breakpoint, "breakpoint")) << breakpoint.message;
    cpu.ClearFault();
    const auto interrupt = FaultOf(Asm()({0xCD, 0x21, 0xC3}));
    EXPECT_TRUE(Says(interrupt, "interrupt 0x21")) << interrupt.message;
    cpu.ClearFault();
    const auto stray = FaultOf(Asm()({0xCD, 0x80, 0xC3}));  // our trap instruction, outside a stub
    EXPECT_TRUE(Says(stray, "outside a trap stub")) << stray.message;
}

TEST_F(Faults, HaltIsNotAReturn) {
    const auto fault = FaultOf(Asm()({0xF4, 0xC3}));
    EXPECT_TRUE(Says(fault, "without returning")) << fault.message;
}

TEST_F(Faults, RunawayLoopIsStoppedByTheBlockLimit) {
    cpu.SetBlockLimit(100000);
    const auto start = std::chrono::steady_clock::now();
    const auto fault = FaultOf(Asm()({0xEB, 0xFE}));  // jmp $
    EXPECT_TRUE(Says(fault, "runaway")) << fault.message;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(Faults, BlockLimitCoversNestedCallsAndResetsPerOutermostCall) {
    // A loop of 1000 iterations: mov ecx,1000; dec ecx; jnz -3; ret
    const uint32_t loop = Code(Asm()({0xB9}).Word(1000)({0x49, 0x75, 0xFD, 0xC3}));
    const uint32_t trap = cpu.AddTrap("Loop", 2, [&](X86Emulator& emulator, const uint32_t*) {
        emulator.Call(loop, {}, "inner loop");
        return emulator.Call(loop, {}, "inner loop");
    });
    const uint32_t caller = CallerOf(trap);
    cpu.SetBlockLimit(3000);
    for (int round = 0; round < 3; ++round) {  // each round runs ~2000 blocks
        cpu.Call(caller, {0, 0}, "outer");
        ASSERT_FALSE(cpu.fault()) << cpu.fault()->Describe();
    }
    cpu.SetBlockLimit(1500);
    cpu.Call(caller, {0, 0}, "outer");
    ASSERT_TRUE(cpu.fault());
    EXPECT_EQ(cpu.fault()->innerCall, "inner loop");
    EXPECT_EQ(cpu.fault()->outerCall, "outer");
}

TEST_F(Faults, StackOverflowIsReported) {
    const auto fault = FaultOf(Asm()({0xE8}).Word(0xFFFFFFFB));  // call $
    EXPECT_TRUE(Says(fault, "stack overflow")) << fault.message;
}

TEST_F(Faults, ThrowingHandlerBecomesAFaultNamingTheTrap) {
    const uint32_t trap = cpu.AddTrap(
        "Explode", 2, [](X86Emulator&, const uint32_t*) -> uint32_t { throw std::runtime_error("boom"); });
    EXPECT_EQ(cpu.Call(CallerOf(trap), {1, 2}, "explode"), 0u);
    ASSERT_TRUE(cpu.fault());
    EXPECT_TRUE(Says(*cpu.fault(), "Explode")) << cpu.fault()->message;
    EXPECT_TRUE(Says(*cpu.fault(), "boom")) << cpu.fault()->message;
    EXPECT_EQ(cpu.fault()->address, trap);
    EXPECT_EQ(cpu.fault()->innerCall, "explode");
}

TEST_F(Faults, HandlerThatAddsTrapsAndThrowsIsStillNamed) {
    const uint32_t trap = cpu.AddTrap("Grow", 2, [](X86Emulator& emulator, const uint32_t*) -> uint32_t {
        for (int i = 0; i < 100; ++i) {
            emulator.AddTrap("Extra" + std::to_string(i), 0,
                             [](X86Emulator&, const uint32_t*) { return 0u; });
        }
        throw std::runtime_error("late");
    });
    cpu.Call(CallerOf(trap), {0, 0}, "grow");
    ASSERT_TRUE(cpu.fault());
    EXPECT_TRUE(Says(*cpu.fault(), "trap Grow failed: late")) << cpu.fault()->message;
}

TEST_F(Faults, HandlerReadingOutsideTheArenaBecomesAFault) {
    const uint32_t trap = cpu.AddTrap("Deref", 2, [](X86Emulator& emulator, const uint32_t* args) {
        return emulator.Read<uint32_t>(args[0]);
    });
    EXPECT_EQ(cpu.Call(CallerOf(trap), {0x10, 0}, "deref"), 0u);
    ASSERT_TRUE(cpu.fault());
    EXPECT_TRUE(Says(*cpu.fault(), "Deref")) << cpu.fault()->message;
    EXPECT_TRUE(Says(*cpu.fault(), "0x00000010")) << cpu.fault()->message;
}

TEST_F(Faults, FaultInANestedCallStopsEveryLevel) {
    int afterwards = 0;
    const uint32_t counter = cpu.AddTrap("Counter", 0, [&](X86Emulator&, const uint32_t*) {
        ++afterwards;
        return 0u;
    });
    // mov eax,[0x50]; ret
    const uint32_t bad = Code(Asm()({0xA1}).Word(0x50)({0xC3}));
    bool innerReturnedZero = false;
    const uint32_t trap = cpu.AddTrap("Nest", 0, [&](X86Emulator& emulator, const uint32_t*) {
        innerReturnedZero = emulator.Call(bad, {}, "inner") == 0;
        return 5u;
    });
    // call [nest]; call [counter]; ret
    const uint32_t outer =
        Code(Asm()({0xFF, 0x15}).Word(Slot(trap))({0xFF, 0x15}).Word(Slot(counter))({0xC3}));
    EXPECT_EQ(cpu.Call(outer, {}, "outer"), 0u);
    EXPECT_TRUE(innerReturnedZero);
    EXPECT_EQ(afterwards, 0);
    ASSERT_TRUE(cpu.fault());
    EXPECT_EQ(cpu.fault()->innerCall, "inner");
    EXPECT_EQ(cpu.fault()->outerCall, "outer");
    EXPECT_EQ(cpu.fault()->Describe(), cpu.fault()->message + " (in inner, called from outer)");
    EXPECT_EQ(cpu.callDepth(), 0);
}

TEST_F(Faults, CallsDoNothingUntilTheFaultIsCleared) {
    int runs = 0;
    const uint32_t trap = cpu.AddTrap("Count", 2, [&](X86Emulator&, const uint32_t*) { return ++runs; });
    const uint32_t caller = CallerOf(trap);
    FaultOf(Asm()({0x0F, 0x0B}));
    const auto first = *cpu.fault();

    EXPECT_EQ(cpu.Call(caller, {0, 0}, "later"), 0u);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(cpu.fault()->innerCall, first.innerCall);  // the first fault stays

    cpu.ClearFault();
    EXPECT_FALSE(cpu.fault());
    EXPECT_EQ(cpu.Call(caller, {0, 0}, "later"), 2u);
    EXPECT_EQ(runs, 1);
}

TEST_F(Faults, FaultLeavesAFreshCpuAfterClearing) {
    // std; fld1; mov eax,[0x50]
    FaultOf(Asm()({0xFD, 0xD9, 0xE8, 0xA1}).Word(0x50));
    cpu.ClearFault();
    // pushfd; pop eax; and eax,0x400 (direction flag); ret
    const uint32_t flags = Code(Asm()({0x9C, 0x58, 0x25}).Word(0x400)({0xC3}));
    EXPECT_EQ(cpu.Call(flags, {}, "flags"), 0u);
    // fnstsw ax; shr eax,11; and eax,7 (x87 top of stack); ret
    const uint32_t top = Code(Asm()({0xDF, 0xE0, 0xC1, 0xE8, 0x0B, 0x83, 0xE0, 0x07, 0xC3}));
    EXPECT_EQ(cpu.Call(top, {}, "x87 top"), 0u);
}

// --- Segments and registers ---------------------------------------------------

TEST_F(Emulator, FsPointsAtTheThreadBlock) {
    const uint32_t block = cpu.Allocate(4096);
    cpu.Write<uint32_t>(block + 0x18, block);  // the block's pointer to itself
    cpu.SetFsBase(block);
    // mov eax,fs:[0x18]; ret
    EXPECT_EQ(cpu.Call(Code(Asm()({0x64, 0xA1}).Word(0x18)({0xC3})), {}, "fs"), block);
    EXPECT_FALSE(cpu.fault()) << cpu.fault()->Describe();
}

TEST_F(Emulator, UnsetFsFaultsNearAddressZero) {
    EXPECT_EQ(cpu.Call(Code(Asm()({0x64, 0xA1}).Word(0)({0xC3})), {}, "fs"), 0u);
    ASSERT_TRUE(cpu.fault());
    EXPECT_EQ(cpu.fault()->address, 0u);
}

TEST_F(Emulator, FpuControlWordPersistsAcrossCalls) {
    cpu.SetRegister(Reg::Fpcw, 0x027F);
    // sub esp,4; fnstcw [esp]; movzx eax,word [esp]; add esp,4; ret
    const uint32_t code =
        Code(Asm()({0x83, 0xEC, 0x04, 0xD9, 0x3C, 0x24, 0x0F, 0xB7, 0x04, 0x24, 0x83, 0xC4, 0x04, 0xC3}));
    EXPECT_EQ(cpu.Call(code, {}, "fpcw"), 0x027Fu);
    EXPECT_EQ(cpu.Register(Reg::Fpcw), 0x027Fu);
}

// --- Memory ------------------------------------------------------------------

TEST(EmulatorMemory, NativeAndGuestAreInversesWithinTheArena) {
    X86Emulator cpu;
    const uint32_t base = X86Emulator::kDefaultBase;
    const uint32_t end = base + X86Emulator::kDefaultSize;
    uint8_t* first = cpu.Native(base, 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(cpu.Guest(first), base);
    EXPECT_EQ(cpu.Native(base + 0x1234, 4), first + 0x1234);
    EXPECT_EQ(cpu.Guest(first + 0x1234), base + 0x1234);
    EXPECT_EQ(cpu.Native(end - 4, 4), first + (end - 4 - base));
    EXPECT_EQ(cpu.Guest(first + (end - 1 - base)), end - 1);

    EXPECT_EQ(cpu.Native(base - 1, 1), nullptr);
    EXPECT_EQ(cpu.Native(end - 4, 5), nullptr);
    EXPECT_EQ(cpu.Native(end, 1), nullptr);
    EXPECT_EQ(cpu.Native(0, 0x1000), nullptr);
    EXPECT_EQ(cpu.Guest(first - 1), 0u);
    EXPECT_EQ(cpu.Guest(first + (end - base)), 0u);
    int native = 0;
    EXPECT_EQ(cpu.Guest(&native), 0u);
}

TEST(EmulatorMemory, BoundsChecksDoNotWrapAtTheTopOfTheAddressSpace) {
    // An arena ending just below 4 GiB.
    const uint32_t base = 0xEFF00000;
    X86Emulator cpu(base, 0x10000000);
    EXPECT_NE(cpu.Native(0xFFEFFFFC, 4), nullptr);
    EXPECT_EQ(cpu.Native(0xFFEFFFFC, 5), nullptr);
    EXPECT_EQ(cpu.Native(0xFFFFFFFF, 1), nullptr);
    EXPECT_EQ(cpu.Native(0xFFFFFFFF, 0xFFFFFFFF), nullptr);
    EXPECT_EQ(cpu.Native(base + 16, 0xFFFFFFF8), nullptr);
    EXPECT_THROW(cpu.Read<uint32_t>(0xFFFFFFFE), std::out_of_range);
    EXPECT_THROW(cpu.Write<uint64_t>(0xFFEFFFFC, 1), std::out_of_range);
    EXPECT_FALSE(cpu.ReadString(0xFFFFFFFF, 10));
    EXPECT_THROW(X86Emulator(0xF0000000, 0x10000000), std::invalid_argument);  // would reach 4 GiB
    EXPECT_THROW(X86Emulator(0x100000, 0x1000), std::invalid_argument);        // too small
    EXPECT_THROW(X86Emulator(0x100800, 0x1000000), std::invalid_argument);     // not page aligned
}

TEST(EmulatorMemory, ReadAndWriteRoundTrip) {
    X86Emulator cpu;
    const uint32_t block = cpu.Allocate(16);
    cpu.Write<uint32_t>(block, 0x11223344);
    cpu.Write<uint16_t>(block + 5, 0xBEEF);  // unaligned
    EXPECT_EQ(cpu.Read<uint32_t>(block), 0x11223344u);
    EXPECT_EQ(cpu.Read<uint8_t>(block), 0x44u);
    EXPECT_EQ(cpu.Read<uint16_t>(block + 5), 0xBEEFu);
    EXPECT_THROW(cpu.Read<uint32_t>(0x10), std::out_of_range);
}

TEST(EmulatorMemory, ReadStringStopsAtTheLimitAndTheArenaEnd) {
    X86Emulator cpu;
    const uint32_t text = cpu.Allocate(16);
    memcpy(cpu.Native(text, 6), "hello", 6);
    EXPECT_EQ(cpu.ReadString(text, 100), "hello");
    EXPECT_EQ(cpu.ReadString(text, 5), "hello");
    EXPECT_FALSE(cpu.ReadString(text, 4));
    EXPECT_EQ(cpu.ReadString(text + 5, 0), "");
    EXPECT_FALSE(cpu.ReadString(0x10, 10));

    // A string running into the end of the arena has no terminator.
    const uint32_t last = X86Emulator::kDefaultBase + X86Emulator::kDefaultSize - 3;
    memcpy(cpu.Native(last, 3), "abc", 3);
    EXPECT_FALSE(cpu.ReadString(last, 100));
    cpu.Write<uint8_t>(last + 2, 0);
    EXPECT_EQ(cpu.ReadString(last, SIZE_MAX), "ab");
}

TEST(EmulatorMemory, GuestWritesAreSeenNativelyAndBackAfterProtect) {
    X86Emulator cpu;
    const uint32_t code = 0x05000000;
    ASSERT_NE(cpu.MapRegion(code, 0x2000), nullptr);
    ASSERT_TRUE(cpu.Protect(code, 0x1000, X86Emulator::kRead | X86Emulator::kExecute));
    const uint32_t data = code + 0x1000;
    // mov eax,[data]; mov dword [data+4],0x12345678; ret
    const uint8_t bytes[] = {0xA1, 0, 0x10, 0,    0x05, 0xC7, 0x05, 4,
                             0x10, 0, 0x05, 0x78, 0x56, 0x34, 0x12, 0xC3};
    memcpy(cpu.Native(code, sizeof bytes), bytes, sizeof bytes);
    cpu.Write<uint32_t>(data, 99);
    EXPECT_EQ(cpu.Call(code, {}, "shared"), 99u);
    EXPECT_EQ(cpu.Read<uint32_t>(data + 4), 0x12345678u);
}

TEST_F(Emulator, ProtectTakesEffectOnCodeThatAlreadyRan) {
    // mov eax,7; ret
    const uint32_t code = Code(Asm()({0xB8}).Word(7)({0xC3}));
    EXPECT_EQ(cpu.Call(code, {}, "before"), 7u);
    ASSERT_TRUE(cpu.Protect(kCode, kCodeSize, X86Emulator::kRead));
    EXPECT_EQ(cpu.Call(code, {}, "after"), 0u);
    ASSERT_TRUE(cpu.fault());
    EXPECT_NE(cpu.fault()->message.find("non-code"), std::string::npos) << cpu.fault()->message;
}

TEST_F(Emulator, FlushCodeMakesNativeRewritesRun) {
    const uint32_t code = Code(Asm()({0xB8}).Word(7)({0xC3}));
    EXPECT_EQ(cpu.Call(code, {}, "before"), 7u);
    cpu.Write<uint32_t>(code + 1, 8);
    cpu.FlushCode(code, 6);
    EXPECT_EQ(cpu.Call(code, {}, "after"), 8u);
}

TEST(EmulatorMemory, MapRegionTakesOnlyUnusedHeap) {
    X86Emulator cpu;
    const auto& layout = cpu.layout();
    EXPECT_LT(layout.trapBase, layout.trapEnd);
    EXPECT_EQ(layout.trapEnd, layout.stackBase);
    EXPECT_EQ(layout.stackTop, layout.heapBase);
    EXPECT_EQ(cpu.MapRegion(layout.stackBase, 0x1000), nullptr);
    EXPECT_EQ(cpu.MapRegion(0x10000800, 0x1000), nullptr);  // unaligned
    EXPECT_EQ(cpu.MapRegion(layout.heapEnd - 0x1000, 0x2000), nullptr);

    const uint32_t block = cpu.Allocate(100);
    EXPECT_EQ(cpu.MapRegion(block & ~0xFFFu, 0x1000), nullptr);

    const uint32_t image = 0x10000000;
    uint8_t* native = cpu.MapRegion(image, 0x3000);
    ASSERT_NE(native, nullptr);
    EXPECT_EQ(native, cpu.Native(image, 0x3000));
    EXPECT_EQ(cpu.MapRegion(image + 0x1000, 0x1000), nullptr);  // taken

    // The heap never hands out the mapped pages.
    for (int i = 0; i < 64; ++i) {
        const uint32_t big = cpu.Allocate(0x01000000);
        if (big == 0) {
            break;
        }
        EXPECT_TRUE(big + 0x01000000 <= image || big >= image + 0x3000) << std::hex << big;
    }
}

TEST(EmulatorMemory, ProtectRejectsTheTrapAreaAndOddRanges) {
    X86Emulator cpu;
    EXPECT_FALSE(cpu.Protect(cpu.layout().trapBase, 0x1000, X86Emulator::kRead));
    EXPECT_FALSE(cpu.Protect(cpu.layout().heapBase + 1, 0x1000, X86Emulator::kRead));
    EXPECT_FALSE(cpu.Protect(cpu.layout().heapBase, 0x800, X86Emulator::kRead));
    EXPECT_FALSE(cpu.Protect(cpu.layout().heapEnd - 0x1000, 0x2000, X86Emulator::kRead));
    EXPECT_TRUE(cpu.Protect(cpu.layout().heapBase, 0x1000, X86Emulator::kRead));
}

// --- Heap --------------------------------------------------------------------

class Heap : public testing::Test {
protected:
    X86Emulator cpu;
};

TEST_F(Heap, BlocksAreZeroedAlignedDisjointAndSized) {
    struct Live {
        uint32_t address, size;
    };
    std::vector<Live> live;
    std::mt19937 random(7);
    for (int i = 0; i < 500; ++i) {
        const uint32_t size = random() % 3000;
        const uint32_t align = 16u << (random() % 5);
        const uint32_t address = cpu.Allocate(size, align);
        ASSERT_NE(address, 0u);
        EXPECT_EQ(address % align, 0u);
        EXPECT_EQ(cpu.Size(address), size);
        EXPECT_GE(address, cpu.layout().heapBase);
        const uint8_t* bytes = cpu.Native(address, size);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::count(bytes, bytes + size, 0), static_cast<long>(size));
        memset(cpu.Native(address, size), 0xAB, size);  // dirty it for later reuse
        live.push_back({address, size});
        if (random() % 3 == 0) {
            const size_t victim = random() % live.size();
            EXPECT_TRUE(cpu.Free(live[victim].address));
            live.erase(live.begin() + static_cast<long>(victim));
        }
    }
    std::sort(live.begin(), live.end(), [](const Live& a, const Live& b) { return a.address < b.address; });
    for (size_t i = 1; i < live.size(); ++i) {
        EXPECT_LE(live[i - 1].address + std::max(live[i - 1].size, 1u), live[i].address);
    }
    EXPECT_EQ(cpu.heapStats().liveBlocks, live.size());
}

TEST_F(Heap, FreedSpaceIsReusedAndCoalesced) {
    const X86Emulator::HeapStats empty = cpu.heapStats();
    const uint32_t a = cpu.Allocate(100);
    const uint32_t b = cpu.Allocate(100);
    const uint32_t c = cpu.Allocate(100);
    EXPECT_TRUE(cpu.Free(b));
    EXPECT_EQ(cpu.Allocate(90), b);  // the hole fits it best
    EXPECT_TRUE(cpu.Free(a));
    EXPECT_TRUE(cpu.Free(b));
    EXPECT_TRUE(cpu.Free(c));
    EXPECT_EQ(cpu.heapStats().freeBytes, empty.freeBytes);
    EXPECT_EQ(cpu.heapStats().liveBlocks, 0u);
    // One range again: the whole heap can be taken in one block.
    EXPECT_NE(cpu.Allocate(static_cast<uint32_t>(empty.freeBytes)), 0u);
}

TEST_F(Heap, FreeAndSizeRejectWhatIsNotABlock) {
    const uint32_t a = cpu.Allocate(32);
    EXPECT_FALSE(cpu.Free(a + 16));
    EXPECT_EQ(cpu.Size(a + 16), 0u);
    EXPECT_TRUE(cpu.Free(a));
    EXPECT_FALSE(cpu.Free(a));  // twice
    EXPECT_EQ(cpu.Size(a), 0u);
    EXPECT_TRUE(cpu.Free(0));
    EXPECT_EQ(cpu.Resize(a, 64), 0u);
}

TEST_F(Heap, ZeroSizedBlocksAreDistinct) {
    const uint32_t a = cpu.Allocate(0);
    const uint32_t b = cpu.Allocate(0);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(cpu.Size(a), 0u);
    EXPECT_TRUE(cpu.Free(a));
}

TEST_F(Heap, FullHeapAndBadAlignmentGiveZero) {
    const uint32_t everything = static_cast<uint32_t>(cpu.heapStats().freeBytes);
    EXPECT_EQ(cpu.Allocate(everything + 16), 0u);
    EXPECT_EQ(cpu.Allocate(0xFFFFFFFF), 0u);
    EXPECT_EQ(cpu.Allocate(16, 48), 0u);
    const uint32_t all = cpu.Allocate(everything);
    ASSERT_NE(all, 0u);
    EXPECT_EQ(cpu.Allocate(1), 0u);
    EXPECT_EQ(cpu.Resize(all, everything + 16), 0u);
    EXPECT_EQ(cpu.Size(all), everything);  // a failed resize keeps the block
    EXPECT_TRUE(cpu.Free(all));
    EXPECT_NE(cpu.Allocate(1), 0u);
}

TEST_F(Heap, ResizeKeepsContentsAndZeroesGrowth) {
    const uint32_t a = cpu.Allocate(40);
    const uint32_t fence = cpu.Allocate(40);  // forces a move when `a` grows past its granules
    for (uint32_t i = 0; i < 40; ++i) {
        cpu.Write<uint8_t>(a + i, static_cast<uint8_t>(i + 1));
    }
    const uint32_t same = cpu.Resize(a, 48);  // still within its granules
    EXPECT_EQ(same, a);
    EXPECT_EQ(cpu.Read<uint64_t>(a + 40), 0u);

    const uint32_t moved = cpu.Resize(a, 1000);
    ASSERT_NE(moved, 0u);
    EXPECT_NE(moved, a);
    EXPECT_EQ(cpu.Size(moved), 1000u);
    EXPECT_EQ(cpu.Size(a), 0u);
    for (uint32_t i = 0; i < 40; ++i) {
        ASSERT_EQ(cpu.Read<uint8_t>(moved + i), i + 1);
    }
    const uint8_t* tail = cpu.Native(moved + 40, 960);
    EXPECT_EQ(std::count(tail, tail + 960, 0), 960);

    // Shrinking stays put and hands the tail back.
    const uint64_t freeBefore = cpu.heapStats().freeBytes;
    EXPECT_EQ(cpu.Resize(moved, 10), moved);
    EXPECT_EQ(cpu.Size(moved), 10u);
    EXPECT_GT(cpu.heapStats().freeBytes, freeBefore);
    EXPECT_EQ(cpu.Read<uint8_t>(moved + 9), 10u);
    // Growing again zeroes what the shrink cut off.
    EXPECT_EQ(cpu.Resize(moved, 12), moved);
    EXPECT_EQ(cpu.Read<uint16_t>(moved + 10), 0u);
    EXPECT_EQ(cpu.Size(fence), 40u);
}

TEST_F(Heap, ResizeOfNothingAllocates) {
    const uint32_t a = cpu.Resize(0, 24);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(cpu.Size(a), 24u);
}

TEST_F(Heap, ManyGrowthStepsStayFast) {
    // Two blocks growing in turns, with small blocks allocated between the
    // steps, so that growth keeps needing moves.
    const auto start = std::chrono::steady_clock::now();
    uint32_t a = cpu.Allocate(4);
    uint32_t b = cpu.Allocate(4);
    std::vector<uint32_t> smalls;
    for (uint32_t step = 1; step <= 100000; ++step) {
        uint32_t& grown = step % 2 ? a : b;
        grown = cpu.Resize(grown, 4 + step * 8);
        ASSERT_NE(grown, 0u);
        cpu.Write<uint32_t>(grown + 4 + step * 8 - 4, step);
        if (step % 10 == 0) {
            smalls.push_back(cpu.Allocate(24));
        }
        if (step % 25 == 0) {
            cpu.Free(smalls[smalls.size() / 2]);
            smalls.erase(smalls.begin() + static_cast<long>(smalls.size() / 2));
        }
    }
    EXPECT_EQ(cpu.Read<uint32_t>(b + 4 + 100000 * 8 - 4), 100000u);
    EXPECT_EQ(cpu.Read<uint32_t>(a + 4 + 99999 * 8 - 4), 99999u);
    EXPECT_EQ(cpu.Size(a), 4u + 99999u * 8u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
