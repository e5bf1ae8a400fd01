#include "sim/x86_emulator.h"

#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace sim {

namespace {

constexpr uint8_t kInt80[] = {0xCD, 0x80};
constexpr uint8_t kInt3 = 0xCC;
constexpr uint32_t kDirectionFlag = 0x400;
constexpr uint32_t kGranule = 16;    // heap blocks start and end on this
constexpr uint32_t kGdtEntries = 3;  // null, FS, flat data
constexpr uint32_t kFsSelector = 0x08;
constexpr uint32_t kFlatDataSelector = 0x10;
constexpr uint32_t kTrapAreaHeader = 0x100;  // return stub, stop address and GDT come first

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

uint64_t RoundUp(uint64_t value, uint64_t granule) {
    return (value + granule - 1) & ~(granule - 1);
}

int UnicornRegister(X86Emulator::Reg reg) {
    // In the order of X86Emulator::Reg.
    static constexpr int kRegisters[] = {
        UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX,    UC_X86_REG_ESI,  UC_X86_REG_EDI,
        UC_X86_REG_EBP, UC_X86_REG_ESP, UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_FPCW,
    };
    static_assert(std::size(kRegisters) == static_cast<size_t>(X86Emulator::Reg::Fpcw) + 1);
    return kRegisters[static_cast<size_t>(reg)];
}

const char* ExceptionName(uint32_t number) {
    static constexpr const char* kNames[] = {
        "divide error",
        "debug trap",
        "non-maskable interrupt",
        "breakpoint",
        "overflow",
        "bound range exceeded",
        "invalid opcode",
        "FPU not available",
        "double fault",
        "coprocessor overrun",
        "invalid TSS",
        "segment not present",
        "stack segment fault",
        "general protection fault",
        "page fault",
        "reserved",
        "x87 floating-point error",
        "alignment check",
        "machine check",
        "SIMD floating-point error",
    };
    return number < std::size(kNames) ? kNames[number] : "reserved";
}

// Unicorn 2.0.1 crashes on some guest code instead of refusing it. Its
// translator holds 512 temporaries per block and checks that only in debug
// builds, while several x86 translations leave one or two behind per
// instruction until the block ends (the FPU instruction pointer of every x87
// instruction, AAM's and AAD's immediate, an x87 register operand). A straight
// run of about 470 FSIN, 480 AAM or 235 FXCH overflows the array into the list
// of generated ops, and the next op written segfaults in tcg_emit_op. Nothing
// this Unicorn offers bounds a block below 512 instructions (a code hook
// shortens blocks to about 250 and slows every instruction, still too long
// for two temporaries each), so the crash is contained: a SIGSEGV raised in
// Unicorn's own code while this thread is inside uc_emu_start jumps back out
// of it, and the emulator reports a fault at the block it was translating.
struct CodeRange {
    uintptr_t begin = 0, end = 0;
};
CodeRange unicornCode;
struct sigaction previousSegv;
thread_local sigjmp_buf* crashLanding = nullptr;

int FindUnicornCode(dl_phdr_info* info, size_t, void*) {
    const auto probe = reinterpret_cast<uintptr_t>(&uc_emu_start);
    const bool named = info->dlpi_name && strstr(info->dlpi_name, "libunicorn");
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) &&
            (named || (probe >= begin && probe - begin < segment.p_memsz))) {
            unicornCode = {begin, begin + segment.p_memsz};
            return 1;
        }
    }
    return 0;
}

void OnSegv(int, siginfo_t*, void* context) {
#if defined(__x86_64__)
    const auto pc = static_cast<uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
    const bool inUnicorn = pc >= unicornCode.begin && pc < unicornCode.end;
#else
    (void)context;
    const bool inUnicorn = true;
#endif
    if (crashLanding && inUnicorn) {
        siglongjmp(*crashLanding, 1);
    }
    // Not Unicorn's: the fault repeats under the handler there was before
    // (the sanitizers' report, or the default crash).
    sigaction(SIGSEGV, &previousSegv, nullptr);
}

void ContainUnicornCrashes() {
    static const bool installed = [] {
        dl_iterate_phdr(FindUnicornCode, nullptr);
        struct sigaction action {};
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;  // no signal mask to restore after the jump
        sigemptyset(&action.sa_mask);
        return sigaction(SIGSEGV, &action, &previousSegv) == 0;
    }();
    (void)installed;
}

// uc_emu_start, with `*crashed` set instead when Unicorn crashed inside it.
uc_err GuardedStart(uc_engine* uc, uint64_t begin, uint64_t until, bool* crashed) {
    sigjmp_buf landing;
    sigjmp_buf* const outer = crashLanding;
    if (sigsetjmp(landing, 0) != 0) {
        crashLanding = outer;
        *crashed = true;
        return UC_ERR_EXCEPTION;
    }
    crashLanding = &landing;
    const uc_err err = uc_emu_start(uc, begin, until, 0, 0);
    crashLanding = outer;
    *crashed = false;
    return err;
}

void Check(uc_err err, const char* what) {
    if (err != UC_ERR_OK) {
        throw std::runtime_error(std::string("x86 emulator: ") + what + ": " + uc_strerror(err));
    }
}

}  // namespace

// Unicorn calls these from inside its translated code. They record why the
// emulation has to stop and ask it to; nothing may throw out of them.
struct X86Emulator::Hooks {
    static void Interrupt(uc_engine* uc, uint32_t number, void* user) {
        auto& self = *static_cast<X86Emulator*>(user);
        uint32_t eip = 0;
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
        if (number == 0x80) {
            const uint32_t at = eip - sizeof kInt80;
            if (at == self.returnStub_) {
                self.stop_ = Stop::Returned;
                uc_emu_stop(uc);
                return;
            }
            if (!self.TrapName(at).empty()) {
                self.stop_ = Stop::Trap;
                self.stoppedAt_ = at;
                uc_emu_stop(uc);
                return;
            }
            self.StopWithFault("int 0x80 outside a trap stub at " + Hex(at), at);
            return;
        }
        // Only software interrupts leave EIP after the instruction; faults
        // are reported in the block that raised them.
        char text[96];
        if (number < 32) {
            snprintf(text, sizeof text, "CPU exception %u (%s) in the code block at ", number,
                     ExceptionName(number));
        } else {
            snprintf(text, sizeof text, "unexpected interrupt 0x%02X in the code block at ", number);
        }
        self.StopWithFault(text + Hex(self.lastBlock_), self.lastBlock_);
    }

    static bool InvalidMemory(uc_engine*, uc_mem_type type, uint64_t address64, int size, int64_t,
                              void* user) {
        auto& self = *static_cast<X86Emulator*>(user);
        const auto address = static_cast<uint32_t>(address64);
        std::string what;
        switch (type) {
            case UC_MEM_READ_UNMAPPED:
                what = "read of unmapped memory at ";
                break;
            case UC_MEM_WRITE_UNMAPPED:
                what = "write to unmapped memory at ";
                break;
            case UC_MEM_FETCH_UNMAPPED:
                what = "jump to unmapped address ";
                break;
            case UC_MEM_READ_PROT:
                what = "read of protected memory at ";
                break;
            case UC_MEM_WRITE_PROT:
                what = "write to read-only memory at ";
                break;
            case UC_MEM_FETCH_PROT:
                what = "jump to non-code memory at ";
                break;
            default:
                what = "invalid memory access at ";
                break;
        }
        what += Hex(address);
        if (type != UC_MEM_FETCH_UNMAPPED && type != UC_MEM_FETCH_PROT) {
            what += " (" + std::to_string(size) + " bytes, code block at " + Hex(self.lastBlock_) + ")";
        }
        // The stack sits right above the read-only trap area.
        if (type == UC_MEM_WRITE_PROT && address < self.layout_.stackBase &&
            address >= self.layout_.trapBase) {
            what += ": stack overflow";
        }
        self.StopWithFault(std::move(what), address);
        return false;
    }

    static bool InvalidInstruction(uc_engine* uc, void* user) {
        auto& self = *static_cast<X86Emulator*>(user);
        uint32_t eip = 0;
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
        self.StopWithFault("invalid instruction at " + Hex(eip), eip);
        return false;
    }

    static void Block(uc_engine*, uint64_t address, uint32_t, void* user) {
        auto& self = *static_cast<X86Emulator*>(user);
        self.lastBlock_ = static_cast<uint32_t>(address);
        ++self.totalBlocks_;
        if (++self.blocks_ > self.blockLimit_) {
            self.StopWithFault("runaway guest code: more than " + std::to_string(self.blockLimit_) +
                                   " code blocks in one call, the last at " + Hex(self.lastBlock_),
                               self.lastBlock_);
        }
    }
};

std::string X86Emulator::Fault::Describe() const {
    std::string text = message;
    if (!innerCall.empty()) {
        text += " (in " + innerCall;
        if (outerCall != innerCall) {
            text += ", called from " + outerCall;
        }
        text += ")";
    }
    return text;
}

X86Emulator::X86Emulator(uint32_t base, uint32_t size) : base_(base), size_(size) {
    const uint64_t end = uint64_t{base} + size;
    if (base % kPageSize != 0 || size % kPageSize != 0 || base < kPageSize || end >= (uint64_t{1} << 32) ||
        size < kTrapAreaSize + kStackSize + 16 * kPageSize) {
        throw std::invalid_argument("x86 emulator: bad arena " + Hex(base) + " + " + Hex(size));
    }
    void* memory =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::runtime_error("x86 emulator: cannot reserve " + std::to_string(size) + " bytes");
    }
    arena_ = static_cast<uint8_t*>(memory);

    ContainUnicornCrashes();
    try {
        Check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "uc_open");
        Check(uc_mem_map_ptr(uc_, base, size, UC_PROT_READ | UC_PROT_WRITE, arena_), "uc_mem_map_ptr");
        // The guest may run the trap stubs but never rewrite them, and a
        // stack overflow runs into them.
        Check(uc_mem_protect(uc_, base, kTrapAreaSize, UC_PROT_READ | UC_PROT_EXEC), "uc_mem_protect");

        layout_.trapBase = base;
        layout_.trapEnd = base + kTrapAreaSize;
        layout_.stackBase = layout_.trapEnd;
        layout_.stackTop = layout_.stackBase + kStackSize;
        layout_.heapBase = layout_.stackTop;
        layout_.heapEnd = static_cast<uint32_t>(end);

        memset(arena_, kInt3, kTrapAreaSize);
        returnStub_ = base;
        memcpy(arena_, kInt80, sizeof kInt80);
        stopAddress_ = base + 8;  // never reached: returns are caught by the stub
        gdt_ = base + 0x40;
        memset(arena_ + (gdt_ - base), 0, kGdtEntries * 8);
        trapStubs_ = base + kTrapAreaHeader;

        // Unicorn starts with flat segments that have no descriptors behind
        // them; loading any selector later (FS) would recompute the stack
        // width from SS's empty descriptor and turn the stack 16-bit. So SS,
        // DS and ES get real flat 32-bit descriptors from the start.
        uc_x86_mmr gdtr{};
        gdtr.base = gdt_;
        gdtr.limit = kGdtEntries * 8 - 1;
        Check(uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "GDTR");
        WriteDescriptor(kFlatDataSelector, 0, 0x93);
        for (int segment : {UC_X86_REG_SS, UC_X86_REG_DS, UC_X86_REG_ES}) {
            uint32_t selector = kFlatDataSelector;
            Check(uc_reg_write(uc_, segment, &selector), "segment");
        }

        uc_hook hook;
        Check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Hooks::Interrupt), this, 1, 0),
              "interrupt hook");
        Check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Hooks::InvalidMemory),
                          this, 1, 0),
              "memory hook");
        Check(uc_hook_add(uc_, &hook, UC_HOOK_INSN_INVALID,
                          reinterpret_cast<void*>(&Hooks::InvalidInstruction), this, 1, 0),
              "instruction hook");
        Check(uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Hooks::Block), this, 1, 0),
              "block hook");

        AddFree(layout_.heapBase, layout_.heapEnd - layout_.heapBase);
    } catch (...) {
        if (uc_) {
            uc_close(uc_);
        }
        munmap(arena_, size_);
        throw;
    }
}

X86Emulator::~X86Emulator() {
    for (uc_context* context : contexts_) {
        if (context) {
            uc_context_free(context);
        }
    }
    uc_close(uc_);
    munmap(arena_, size_);
}

// --- Memory ----------------------------------------------------------------

uint8_t* X86Emulator::Native(uint32_t address, uint32_t length) {
    return const_cast<uint8_t*>(std::as_const(*this).Native(address, length));
}

const uint8_t* X86Emulator::Native(uint32_t address, uint32_t length) const {
    if (address < base_) {
        return nullptr;
    }
    const uint32_t offset = address - base_;
    if (offset > size_ || length > size_ - offset) {
        return nullptr;
    }
    return arena_ + offset;
}

uint32_t X86Emulator::Guest(const void* native) const {
    const auto pointer = reinterpret_cast<uintptr_t>(native);
    const auto start = reinterpret_cast<uintptr_t>(arena_);
    if (pointer < start || pointer - start >= size_) {
        return 0;
    }
    return base_ + static_cast<uint32_t>(pointer - start);
}

const uint8_t* X86Emulator::Checked(uint32_t address, size_t length) const {
    const uint8_t* native = length <= UINT32_MAX ? Native(address, static_cast<uint32_t>(length)) : nullptr;
    if (!native) {
        throw std::out_of_range("guest access at " + Hex(address) + " (" + std::to_string(length) +
                                " bytes) lies outside the arena");
    }
    return native;
}

std::optional<std::string> X86Emulator::ReadString(uint32_t address, size_t limit) const {
    if (address < base_ || address - base_ >= size_) {
        return std::nullopt;
    }
    const size_t available = size_ - (address - base_);
    const size_t scan = limit < available ? limit + 1 : available;
    const uint8_t* start = arena_ + (address - base_);
    const void* end = memchr(start, 0, scan);
    if (!end) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(start), static_cast<const uint8_t*>(end) - start);
}

uint8_t* X86Emulator::MapRegion(uint32_t address, uint32_t size) {
    if (size == 0 || address % kPageSize != 0 || address < layout_.heapBase) {
        return nullptr;
    }
    const uint64_t length = RoundUp(size, kPageSize);
    auto range = free_.upper_bound(address);
    if (range == free_.begin()) {
        return nullptr;
    }
    --range;
    const uint32_t start = range->first;
    const uint64_t rangeEnd = uint64_t{start} + range->second;
    if (uint64_t{address} + length > rangeEnd) {
        return nullptr;
    }
    RemoveFree(range);
    if (address > start) {
        AddFree(start, address - start);
    }
    if (uint64_t{address} + length < rangeEnd) {
        AddFree(static_cast<uint32_t>(address + length), static_cast<uint32_t>(rangeEnd - address - length));
    }
    uint8_t* native = Native(address, static_cast<uint32_t>(length));
    memset(native, 0, length);
    Protect(address, static_cast<uint32_t>(length), kRead | kWrite);
    return native;
}

bool X86Emulator::Protect(uint32_t address, uint32_t size, uint32_t access) {
    if (address % kPageSize != 0 || size == 0 || size % kPageSize != 0 || address < layout_.stackBase ||
        !Native(address, size) || (access & ~(kRead | kWrite | kExecute)) != 0) {
        return false;
    }
    uint32_t perms = UC_PROT_NONE;
    perms |= (access & kRead) ? UC_PROT_READ : 0;
    perms |= (access & kWrite) ? UC_PROT_WRITE : 0;
    perms |= (access & kExecute) ? UC_PROT_EXEC : 0;
    if (uc_mem_protect(uc_, address, size, perms) != UC_ERR_OK) {
        return false;
    }
    FlushCode(address, size);  // translations made under the old rights must not run
    return true;
}

void X86Emulator::FlushCode(uint32_t address, uint32_t size) {
    // Only the range: a whole-cache flush in Unicorn 2.0 clears its entire
    // translation buffer, a gigabyte, each time.
    if (size != 0 && Native(address, size)) {
        uc_ctl(uc_, UC_CTL_WRITE(UC_CTL_TB_REMOVE_CACHE, 2), uint64_t{address}, uint64_t{address} + size);
    }
}

// --- Registers -------------------------------------------------------------

uint32_t X86Emulator::Register(Reg reg) const {
    uint64_t value = 0;  // FPCW is written as 16 bits
    uc_reg_read(uc_, UnicornRegister(reg), &value);
    return static_cast<uint32_t>(reg == Reg::Fpcw ? value & 0xFFFF : value);
}

void X86Emulator::SetRegister(Reg reg, uint32_t value) {
    uint64_t wide = value;
    uc_reg_write(uc_, UnicornRegister(reg), &wide);
}

void X86Emulator::SetFsBase(uint32_t address) {
    // 32-bit mode has no FS base register of its own: FS gets a descriptor.
    WriteDescriptor(kFsSelector, address, 0xF3);
    uint32_t selector = kFsSelector;
    Check(uc_reg_write(uc_, UC_X86_REG_FS, &selector), "FS");
}

void X86Emulator::WriteDescriptor(uint32_t selector, uint32_t address, uint8_t access) {
    // A 4 GiB 32-bit segment based at `address`. `access` has the accessed
    // bit set so that loading it never writes to the read-only trap area.
    const uint32_t limit = 0xFFFFF;
    const uint64_t descriptor = (limit & 0xFFFF) | (uint64_t{address & 0xFFFFFF} << 16) |
                                (uint64_t{access} << 40) | (uint64_t{(limit >> 16) & 0xF} << 48) |
                                (uint64_t{0xC} << 52) | (uint64_t{address >> 24} << 56);
    memcpy(arena_ + (gdt_ + (selector & ~7u) - base_), &descriptor, sizeof descriptor);
}

// --- Traps -----------------------------------------------------------------

uint32_t X86Emulator::AddTrap(std::string name, int argumentCount, TrapHandler handler,
                              Convention convention) {
    if (argumentCount < 0 || argumentCount > static_cast<int>(kMaxTrapArguments)) {
        throw std::invalid_argument("trap " + name + ": bad argument count");
    }
    if (name.empty()) {
        throw std::invalid_argument("trap needs a name");
    }
    const uint32_t address = trapStubs_ + static_cast<uint32_t>(traps_.size()) * kTrapStubSize;
    if (address + kTrapStubSize > layout_.trapEnd) {
        throw std::length_error("trap area full");
    }
    uint8_t* stub = arena_ + (address - base_);
    memcpy(stub, kInt80, sizeof kInt80);
    const uint32_t popped = convention == Convention::Stdcall ? 4 * static_cast<uint32_t>(argumentCount) : 0;
    const uint8_t ret[] = {0xC2, static_cast<uint8_t>(popped), static_cast<uint8_t>(popped >> 8)};
    memcpy(stub + sizeof kInt80, ret, sizeof ret);
    FlushCode(address, kTrapStubSize);  // a stray jump may have translated the filler here
    traps_.push_back(Trap{std::move(name), argumentCount, std::move(handler)});
    return address;
}

const std::string& X86Emulator::TrapName(uint32_t address) const {
    static const std::string none;
    if (address < trapStubs_ || (address - trapStubs_) % kTrapStubSize != 0) {
        return none;
    }
    const size_t index = (address - trapStubs_) / kTrapStubSize;
    return index < traps_.size() ? traps_[index].name : none;
}

uint32_t X86Emulator::TrapArguments() const {
    return trapFrames_.empty() ? 0 : trapFrames_.back();
}

void X86Emulator::DispatchTrap(uint32_t stub) {
    // A handler may add traps; the deque keeps this one where it is.
    const Trap& trap = traps_[(stub - trapStubs_) / kTrapStubSize];
    const uint32_t frame = Register(Reg::Esp) + 4;
    uint32_t arguments[kMaxTrapArguments] = {};
    const auto bytes = static_cast<uint32_t>(trap.argumentCount) * 4;
    const uint8_t* source = frame >= 4 ? Native(frame, bytes) : nullptr;
    if (!source) {
        RecordFault("trap " + trap.name + ": its arguments at " + Hex(frame) + " lie outside the arena",
                    stub);
        return;
    }
    memcpy(arguments, source, bytes);

    trapFrames_.push_back(frame);
    uint32_t result = 0;
    try {
        result = trap.handler(*this, arguments);
    } catch (const std::exception& error) {
        RecordFault("trap " + trap.name + " failed: " + error.what(), stub);
    } catch (...) {
        RecordFault("trap " + trap.name + " failed with an unknown exception", stub);
    }
    trapFrames_.pop_back();
    if (!fault_) {
        SetRegister(Reg::Eax, result);
    }
}

// --- Calls -----------------------------------------------------------------

uint32_t X86Emulator::Call(uint32_t function, std::span<const uint32_t> arguments, std::string_view what) {
    if (fault_) {
        return 0;
    }
    calls_.push_back(what);
    if (calls_.size() > kMaxCallDepth) {
        RecordFault("guest calls nested more than " + std::to_string(kMaxCallDepth) + " deep", function);
        calls_.pop_back();
        return 0;
    }
    uc_context* saved = nullptr;
    if (calls_.size() > 1) {
        saved = SavedContext(calls_.size() - 2);
        uc_context_save(uc_, saved);
    } else {
        blocks_ = 0;
        lastBlock_ = 0;
    }

    uint32_t result = 0;
    try {
        result = Run(function, arguments);
    } catch (const std::exception& error) {  // only allocation failures get here
        RecordFault(std::string("emulator failure: ") + error.what(), function);
    }

    if (saved) {
        uc_context_restore(uc_, saved);
    }
    calls_.pop_back();
    return fault_ ? 0 : result;
}

uc_context* X86Emulator::SavedContext(size_t level) {
    if (contexts_.size() <= level) {
        contexts_.resize(level + 1, nullptr);
    }
    if (!contexts_[level]) {
        Check(uc_context_alloc(uc_, &contexts_[level]), "uc_context_alloc");
    }
    return contexts_[level];
}

uint32_t X86Emulator::Run(uint32_t function, std::span<const uint32_t> arguments) {
    if (brokenAt_) {
        RecordFault("the emulator is out of order since it failed on the code at " + Hex(*brokenAt_),
                    function);
        return 0;
    }
    // A nested call runs on the stack below its caller's, as a callback
    // would on a real thread. At entry ESP + 4 is 16-byte aligned.
    const bool outermost = calls_.size() == 1;
    const uint32_t from = outermost ? layout_.stackTop : Register(Reg::Esp);
    const uint64_t bytes = uint64_t{4} * arguments.size();
    const uint64_t top = from & ~uint64_t{15};
    if (top < bytes + 64 || (top - bytes - 64) < layout_.stackBase) {
        RecordFault("no stack left for a call to " + Hex(function) + ": stack overflow", function);
        return 0;
    }
    const auto frame = static_cast<uint32_t>((top - bytes) & ~uint64_t{15});
    uint8_t* slot = Native(frame - 4, static_cast<uint32_t>(bytes + 4));
    if (!slot) {
        RecordFault("no stack for a call to " + Hex(function), function);
        return 0;
    }
    memcpy(slot, &returnStub_, 4);
    if (!arguments.empty()) {
        memcpy(slot + 4, arguments.data(), bytes);
    }
    SetRegister(Reg::Esp, frame - 4);
    if (outermost) {
        SetRegister(Reg::Eflags, Register(Reg::Eflags) & ~kDirectionFlag);
    }

    uint32_t pc = function;
    for (;;) {
        stop_ = Stop::None;
        bool crashed = false;
        const uc_err err = GuardedStart(uc_, pc, stopAddress_, &crashed);
        if (crashed) {
            // Unicorn crashes translating a block, before it runs: EIP is its start.
            brokenAt_ = Register(Reg::Eip);
            RecordFault("the emulator cannot translate the guest code at " + Hex(*brokenAt_) +
                            ": too long a straight run of instructions for Unicorn's translator",
                        *brokenAt_);
            return 0;
        }
        if (fault_) {
            return 0;
        }
        if (err != UC_ERR_OK) {
            RecordFault(std::string("emulation failed: ") + uc_strerror(err) + " in the code block at " +
                            Hex(lastBlock_),
                        lastBlock_);
            return 0;
        }
        if (stop_ == Stop::Returned) {
            return Register(Reg::Eax);
        }
        if (stop_ != Stop::Trap) {
            const uint32_t eip = Register(Reg::Eip);
            RecordFault("guest code stopped without returning at " + Hex(eip), eip);
            return 0;
        }
        const uint32_t stub = stoppedAt_;
        DispatchTrap(stub);
        if (fault_) {
            return 0;
        }
        pc = stub + sizeof kInt80;  // the stub's own return
    }
}

// --- Faults ----------------------------------------------------------------

void X86Emulator::RecordFault(std::string message, uint32_t address) {
    if (fault_) {
        return;  // the first fault is the cause; the rest is unwinding
    }
    Fault fault;
    fault.message = std::move(message);
    fault.address = address;
    fault.block = lastBlock_;
    if (!calls_.empty()) {
        fault.outerCall = std::string(calls_.front());
        fault.innerCall = std::string(calls_.back());
    }
    fault_ = std::move(fault);
}

void X86Emulator::StopWithFault(std::string message, uint32_t address) noexcept {
    try {
        RecordFault(std::move(message), address);
    } catch (...) {
        // Out of memory while describing it: stopping matters more.
    }
    uc_emu_stop(uc_);
}

void X86Emulator::ClearFault() {
    if (!calls_.empty()) {
        return;
    }
    fault_.reset();
    // The faulting code may have left anything behind: start the next call
    // as a fresh thread would, keeping FS, the FPU control word and MXCSR.
    for (Reg reg : {Reg::Eax, Reg::Ebx, Reg::Ecx, Reg::Edx, Reg::Esi, Reg::Edi, Reg::Ebp}) {
        SetRegister(reg, 0);
    }
    SetRegister(Reg::Eflags, 0x202);
    uint64_t status = 0, tags = 0xFFFF;  // empty x87 stack
    uc_reg_write(uc_, UC_X86_REG_FPSW, &status);
    uc_reg_write(uc_, UC_X86_REG_FPTAG, &tags);
}

// --- Heap ------------------------------------------------------------------

void X86Emulator::AddFree(uint32_t start, uint32_t size) {
    uint64_t end = uint64_t{start} + size;
    auto next = free_.lower_bound(start);
    if (next != free_.end() && next->first == end) {
        end += next->second;
        next = std::next(next);
        RemoveFree(std::prev(next));
    }
    if (next != free_.begin()) {
        auto previous = std::prev(next);
        if (uint64_t{previous->first} + previous->second == start) {
            start = previous->first;
            RemoveFree(previous);
        }
    }
    const auto length = static_cast<uint32_t>(end - start);
    free_.emplace(start, length);
    freeBySize_.emplace(length, start);
}

void X86Emulator::RemoveFree(std::map<uint32_t, uint32_t>::iterator range) {
    freeBySize_.erase({range->second, range->first});
    free_.erase(range);
}

uint32_t X86Emulator::TakeFree(uint32_t size, uint32_t align) {
    // Best fit: the smallest ranges that hold `size` are tried first, then
    // the smallest that holds it at any alignment, so a search stays
    // logarithmic however fragmented the heap is.
    auto fits = [&](const std::pair<uint32_t, uint32_t>& range) {
        return RoundUp(range.second, align) + size <= uint64_t{range.second} + range.first;
    };
    auto candidate = freeBySize_.lower_bound({size, 0});
    for (int probe = 0; probe < 8 && candidate != freeBySize_.end() && !fits(*candidate); ++probe) {
        ++candidate;
    }
    if (candidate == freeBySize_.end() || !fits(*candidate)) {
        const uint64_t worst = uint64_t{size} + align - kGranule;
        if (worst > UINT32_MAX) {
            return 0;
        }
        candidate = freeBySize_.lower_bound({static_cast<uint32_t>(worst), 0});
        if (candidate == freeBySize_.end()) {
            return 0;
        }
    }
    const uint32_t start = candidate->second;
    const uint32_t length = candidate->first;
    const auto address = static_cast<uint32_t>(RoundUp(start, align));
    RemoveFree(free_.find(start));
    if (address > start) {
        AddFree(start, address - start);
    }
    const uint64_t end = uint64_t{start} + length;
    if (uint64_t{address} + size < end) {
        AddFree(address + size, static_cast<uint32_t>(end - address - size));
    }
    return address;
}

uint32_t X86Emulator::Allocate(uint32_t size, uint32_t align) {
    align = std::max(align, kGranule);
    if ((align & (align - 1)) != 0) {
        return 0;
    }
    const uint64_t reserved = std::max<uint64_t>(RoundUp(size, kGranule), kGranule);
    if (reserved > UINT32_MAX) {
        return 0;
    }
    const uint32_t address = TakeFree(static_cast<uint32_t>(reserved), align);
    if (address == 0) {
        return 0;
    }
    used_.emplace(address, Block{size, static_cast<uint32_t>(reserved), align});
    memset(arena_ + (address - base_), 0, size);
    return address;
}

bool X86Emulator::Free(uint32_t address) {
    if (address == 0) {
        return true;
    }
    auto block = used_.find(address);
    if (block == used_.end()) {
        return false;
    }
    AddFree(address, block->second.reserved);
    used_.erase(block);
    return true;
}

uint32_t X86Emulator::Resize(uint32_t address, uint32_t size) {
    if (address == 0) {
        return Allocate(size);
    }
    auto found = used_.find(address);
    if (found == used_.end()) {
        return 0;
    }
    Block& block = found->second;
    const uint64_t need = std::max<uint64_t>(RoundUp(size, kGranule), kGranule);
    if (need > UINT32_MAX) {
        return 0;
    }
    uint8_t* native = arena_ + (address - base_);

    if (size <= block.size) {  // shrinking gives back whole granules
        if (need < block.reserved) {
            AddFree(address + static_cast<uint32_t>(need), block.reserved - static_cast<uint32_t>(need));
            block.reserved = static_cast<uint32_t>(need);
        }
        block.size = size;
        return address;
    }
    if (need <= block.reserved) {
        memset(native + block.size, 0, size - block.size);
        block.size = size;
        return address;
    }
    auto next = free_.find(address + block.reserved);
    if (next != free_.end() && uint64_t{block.reserved} + next->second >= need) {
        const uint32_t after = next->first + next->second;
        RemoveFree(next);
        if (address + need < after) {
            AddFree(address + static_cast<uint32_t>(need), after - address - static_cast<uint32_t>(need));
        }
        memset(native + block.size, 0, size - block.size);
        block.size = size;
        block.reserved = static_cast<uint32_t>(need);
        return address;
    }

    // Moving: reserve half as much again so that a block that keeps growing
    // is copied a logarithmic number of times.
    uint64_t want = std::max(need, RoundUp(uint64_t{block.reserved} * 3 / 2, kGranule));
    uint32_t moved = want <= UINT32_MAX ? TakeFree(static_cast<uint32_t>(want), block.align) : 0;
    if (moved == 0 && want > need) {
        want = need;
        moved = TakeFree(static_cast<uint32_t>(want), block.align);
    }
    if (moved == 0) {
        return 0;
    }
    uint8_t* target = arena_ + (moved - base_);
    memcpy(target, native, block.size);
    memset(target + block.size, 0, size - block.size);
    const Block grown{size, static_cast<uint32_t>(want), block.align};
    AddFree(address, block.reserved);
    used_.erase(found);
    used_.emplace(moved, grown);
    return moved;
}

uint32_t X86Emulator::Size(uint32_t address) const {
    auto block = used_.find(address);
    return block == used_.end() ? 0 : block->second.size;
}

X86Emulator::HeapStats X86Emulator::heapStats() const {
    HeapStats stats;
    stats.liveBlocks = static_cast<uint32_t>(used_.size());
    for (const auto& [address, block] : used_) {
        stats.liveBytes += block.size;
    }
    for (const auto& [start, length] : free_) {
        stats.freeBytes += length;
    }
    return stats;
}

}  // namespace sim
