// A flat 32-bit x86 guest on Unicorn: one arena of guest memory that native
// code reads and writes in place, "traps" (guest-callable addresses that run
// native handlers), stdcall calls into guest code that may nest through those
// handlers, a block allocator for the host's memory and fault capture that
// never takes the process down.
//
// Guest code runs only inside Call(). A trap stops the emulation, its handler
// runs as ordinary native code (so it may throw, or Call() back into the
// guest) and the emulation resumes; no native code ever runs beneath
// Unicorn's frames except the small hooks that record why it stopped.
#pragma once

#include <stdint.h>
#include <string.h>

#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

struct uc_struct;
struct uc_context;

namespace sim {

class X86Emulator {
public:
    static constexpr uint32_t kDefaultBase = 0x00100000;
    static constexpr uint32_t kDefaultSize = 256u << 20;
    static constexpr uint32_t kPageSize = 4096;
    static constexpr uint32_t kTrapAreaSize = 64u << 10;
    static constexpr uint32_t kStackSize = 1u << 20;
    static constexpr uint32_t kTrapStubSize = 8;
    static constexpr uint32_t kMaxTrapArguments = 32;
    static constexpr uint64_t kDefaultBlockLimit = 100'000'000;
    static constexpr int kMaxCallDepth = 64;

    // Where the regions of the arena lie: [trap stubs][stack][heap], the heap
    // being everything above the stack minus the regions MapRegion() takes.
    struct Layout {
        uint32_t trapBase = 0, trapEnd = 0;
        uint32_t stackBase = 0, stackTop = 0;
        uint32_t heapBase = 0, heapEnd = 0;
    };

    struct Fault {
        std::string message;    // what went wrong, naming the address involved
        uint32_t address = 0;   // the memory accessed, or the code or trap address at fault
        uint32_t block = 0;     // start of the guest code block that was running (0 if none)
        std::string outerCall;  // the `what` of the outermost Call()
        std::string innerCall;  // the `what` of the innermost Call()
        // "message (in inner, called from outer)"
        std::string Describe() const;
    };

    enum class Convention { Stdcall, Cdecl };
    enum class Reg { Eax, Ebx, Ecx, Edx, Esi, Edi, Ebp, Esp, Eip, Eflags, Fpcw };

    // Guest access rights for Protect().
    static constexpr uint32_t kRead = 1, kWrite = 2, kExecute = 4;

    // `arguments` points at the trap's declared argument words, copied off the
    // guest stack. The result becomes EAX.
    using TrapHandler = std::function<uint32_t(X86Emulator&, const uint32_t* arguments)>;

    struct HeapStats {
        uint32_t liveBlocks = 0;
        uint64_t liveBytes = 0;  // as requested
        uint64_t freeBytes = 0;
    };

    // `base` and `size` are page multiples; the arena must hold the trap area,
    // the stack and a heap, and lie above the null page and below 4 GiB.
    explicit X86Emulator(uint32_t base = kDefaultBase, uint32_t size = kDefaultSize);
    ~X86Emulator();
    X86Emulator(const X86Emulator&) = delete;
    X86Emulator& operator=(const X86Emulator&) = delete;

    const Layout& layout() const { return layout_; }

    // --- Memory ------------------------------------------------------------
    // The native bytes behind [address, address + length), or nullptr when
    // any of it lies outside the arena. Guest access rights do not apply.
    uint8_t* Native(uint32_t address, uint32_t length);
    const uint8_t* Native(uint32_t address, uint32_t length) const;
    // The guest address of a native pointer into the arena; 0 if outside.
    uint32_t Guest(const void* native) const;

    // Bounds-checked access; std::out_of_range outside the arena. Inside a
    // trap handler that exception becomes a fault naming the trap.
    template <class T>
    T Read(uint32_t address) const {
        static_assert(std::is_trivially_copyable_v<T>);
        T value;
        memcpy(&value, Checked(address, sizeof(T)), sizeof(T));
        return value;
    }
    template <class T>
    void Write(uint32_t address, const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        memcpy(const_cast<uint8_t*>(Checked(address, sizeof(T))), &value, sizeof(T));
    }
    // The NUL-terminated string at `address` of at most `limit` characters;
    // nullopt when no terminator comes within `limit` or before the arena ends.
    std::optional<std::string> ReadString(uint32_t address, size_t limit) const;

    // Takes [address, address + size) out of the heap for an image at a fixed
    // address and zeroes it; nullptr unless the range is page aligned and
    // wholly unused heap. Guest rights start as read/write.
    uint8_t* MapRegion(uint32_t address, uint32_t size);
    // Sets the guest's rights (kRead | kWrite | kExecute) on whole pages of
    // the stack, heap or mapped regions. Only executable pages run: jumping
    // anywhere else is a fault. False on a range outside those parts.
    bool Protect(uint32_t address, uint32_t size, uint32_t access);
    // Drops translated code in a range, for native writes into code that
    // already ran.
    void FlushCode(uint32_t address, uint32_t size);

    // --- Registers ---------------------------------------------------------
    uint32_t Register(Reg reg) const;
    void SetRegister(Reg reg, uint32_t value);
    // Points FS at `address` (a thread block); the default FS base is 0, so
    // FS-relative reads fault as accesses near address 0.
    void SetFsBase(uint32_t address);

    // --- Traps -------------------------------------------------------------
    // A guest address that, called with `convention`, runs `handler` and
    // returns its result in EAX; a stdcall trap pops its arguments.
    // Throws std::length_error when the trap area is full.
    uint32_t AddTrap(std::string name, int argumentCount, TrapHandler handler,
                     Convention convention = Convention::Stdcall);
    // The trap's name, or an empty string when `address` is not a trap.
    const std::string& TrapName(uint32_t address) const;
    // Inside a handler: the guest address of the first stack argument, for
    // handlers that take more words than they declared (variadic callees).
    uint32_t TrapArguments() const;

    // --- Calls -------------------------------------------------------------
    // Calls guest code at `function` with the arguments pushed right to left
    // (the callee may pop them or not) and returns EAX. An outermost call
    // starts at the top of the stack; from inside a handler the call nests
    // below the caller's stack and every register of the caller is restored
    // afterwards. Returns 0 without running anything once a fault is
    // recorded; `what` labels the call in fault reports.
    uint32_t Call(uint32_t function, std::span<const uint32_t> arguments, std::string_view what);
    uint32_t Call(uint32_t function, std::initializer_list<uint32_t> arguments, std::string_view what) {
        return Call(function, std::span<const uint32_t>(arguments.begin(), arguments.size()), what);
    }
    int callDepth() const { return static_cast<int>(calls_.size()); }

    // Runaway bound: code blocks (straight runs of guest instructions ending
    // at a jump, roughly five instructions each) one outermost Call() may
    // run, its nested calls included. Counting blocks rather than
    // instructions keeps the emulation fast.
    void SetBlockLimit(uint64_t blocksPerCall) { blockLimit_ = blocksPerCall; }
    uint64_t blocksExecuted() const { return totalBlocks_; }  // over the emulator's life

    // --- Faults ------------------------------------------------------------
    const std::optional<Fault>& fault() const { return fault_; }
    // Forgets the fault and resets the CPU so calls run again. Does nothing
    // while a Call() is under way. After a block Unicorn could not translate
    // every later call faults at once: Unicorn's state is no longer trusted.
    void ClearFault();

    // --- Heap --------------------------------------------------------------
    // Zeroed blocks of the heap. Allocate returns 0 when no free range fits
    // or `align` is not a power of two; alignment is at least 16.
    uint32_t Allocate(uint32_t size, uint32_t align = 16);
    // False when `address` is not a live block; Free(0) does nothing.
    bool Free(uint32_t address);
    // Grows in place when it can, otherwise moves the contents (0 and the old
    // block kept when there is no room). Bytes beyond the old size are zero.
    // Resize(0, n) allocates.
    uint32_t Resize(uint32_t address, uint32_t size);
    // The requested size of a live block; 0 if `address` is not one.
    uint32_t Size(uint32_t address) const;
    HeapStats heapStats() const;

private:
    struct Trap {
        std::string name;
        int argumentCount = 0;
        TrapHandler handler;
    };
    struct Block {
        uint32_t size = 0;      // requested
        uint32_t reserved = 0;  // taken from the free ranges
        uint32_t align = 16;
    };
    enum class Stop { None, Returned, Trap };

    struct Hooks;  // Unicorn's callbacks; they only record and stop
    friend struct Hooks;

    const uint8_t* Checked(uint32_t address, size_t length) const;
    void RecordFault(std::string message, uint32_t address);
    void StopWithFault(std::string message, uint32_t address) noexcept;
    uint32_t Run(uint32_t function, std::span<const uint32_t> arguments);
    void DispatchTrap(uint32_t stub);
    uc_context* SavedContext(size_t level);
    void WriteDescriptor(uint32_t selector, uint32_t address, uint8_t access);

    void AddFree(uint32_t start, uint32_t size);
    void RemoveFree(std::map<uint32_t, uint32_t>::iterator range);
    uint32_t TakeFree(uint32_t size, uint32_t align);

    uc_struct* uc_ = nullptr;
    uint8_t* arena_ = nullptr;
    uint32_t base_ = 0;
    uint32_t size_ = 0;
    Layout layout_;
    uint32_t returnStub_ = 0;
    uint32_t stopAddress_ = 0;
    uint32_t gdt_ = 0;
    uint32_t trapStubs_ = 0;
    std::vector<uc_context*> contexts_;  // one per nesting level

    std::deque<Trap> traps_;               // a handler may add traps while its own runs
    std::vector<uint32_t> trapFrames_;     // argument addresses of the handlers running
    std::vector<std::string_view> calls_;  // `what` of the calls under way, outermost first

    Stop stop_ = Stop::None;
    uint32_t stoppedAt_ = 0;
    uint32_t lastBlock_ = 0;
    uint64_t blocks_ = 0;
    uint64_t blockLimit_ = kDefaultBlockLimit;
    uint64_t totalBlocks_ = 0;
    std::optional<Fault> fault_;
    std::optional<uint32_t> brokenAt_;  // the block Unicorn crashed translating

    std::map<uint32_t, uint32_t> free_;                   // start -> size, coalesced
    std::set<std::pair<uint32_t, uint32_t>> freeBySize_;  // (size, start)
    std::map<uint32_t, Block> used_;                      // live blocks by address
};

}  // namespace sim
