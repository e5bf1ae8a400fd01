#include "tools/tavu/progress.h"

#include <unistd.h>

namespace tavu {

namespace {

// Quiet for work this short; then a redraw at most this often.
constexpr auto kQuietFor = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

}  // namespace

Progress::Progress(std::string command, std::string unit, size_t total, FILE* terminal, size_t every)
    : command_(std::move(command)),
      unit_(std::move(unit)),
      total_(total),
      terminal_(terminal),
      every_(every == 0 ? 1 : every),
      nextCheck_(terminal == nullptr ? static_cast<size_t>(-1) : every_),
      start_(Clock::now()) {}

FILE* Progress::StandardErrorTerminal() { return isatty(STDERR_FILENO) ? stderr : nullptr; }

void Progress::Check() {
    nextCheck_ = done_ + every_;
    Clock::time_point now = Clock::now();
    if (now - start_ < kQuietFor || (drawnWidth_ > 0 && now - lastDrawn_ < kRedrawEvery)) {
        return;
    }
    lastDrawn_ = now;
    std::string line = command_ + ": " + std::to_string(done_);
    if (total_ > 0) {
        line += " of " + std::to_string(total_) + " " + unit_ + " (" +
                std::to_string(done_ >= total_ ? 100 : done_ * 100 / total_) + "%)";
    } else {
        line += " " + unit_;
    }
    // Blanks over the rest of a longer line drawn before; no escape codes,
    // so that any terminal shows it.
    size_t width = line.size();
    if (width < drawnWidth_) {
        line.append(drawnWidth_ - width, ' ');
    }
    fprintf(terminal_, "\r%s", line.c_str());
    fflush(terminal_);
    drawnWidth_ = width > drawnWidth_ ? width : drawnWidth_;
}

void Progress::Finish() {
    if (drawnWidth_ > 0) {
        fprintf(terminal_, "\r%s\r", std::string(drawnWidth_, ' ').c_str());
        fflush(terminal_);
        drawnWidth_ = 0;
    }
    nextCheck_ = static_cast<size_t>(-1);
}

}  // namespace tavu
