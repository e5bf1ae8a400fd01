// Progress of long work on standard error, for a person at a terminal.
//
// Nothing shows when standard error is not a terminal (a pipe, a file, a
// test), nor for work that ends within a second. Counting an item costs an
// increment and a compare: the clock is read only every `every` items.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <chrono>
#include <string>

namespace tavu {

class Progress {
public:
    // Shows "COMMAND: DONE of TOTAL UNIT (P%)", or "COMMAND: DONE UNIT" when
    // the total is not known (0), on `terminal` (none: shows nothing).
    Progress(std::string command, std::string unit, size_t total, FILE* terminal = StandardErrorTerminal(),
             size_t every = 4096);
    ~Progress() { Finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Add(size_t items = 1) {
        done_ += items;
        if (done_ >= nextCheck_) {
            Check();
        }
    }
    // Clears the line it drew, so that what follows starts on a clean line;
    // nothing shows after it.
    void Finish();

    // stderr when it is a terminal, else none.
    static FILE* StandardErrorTerminal();

private:
    using Clock = std::chrono::steady_clock;
    void Check();

    std::string command_;
    std::string unit_;
    size_t total_;
    FILE* terminal_;
    size_t every_;
    size_t done_ = 0;
    size_t nextCheck_;
    Clock::time_point start_;
    Clock::time_point lastDrawn_;
    size_t drawnWidth_ = 0;  // 0: nothing on the line
};

}  // namespace tavu
