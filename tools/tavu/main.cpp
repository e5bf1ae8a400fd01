// tavu: run editing sessions against the emulated simulator, and inspect,
// check and draw scenery files.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/tavu/commands.h"
#include "tools/tavu/geo/geo_commands.h"

namespace {

// Passes standard output on to the buffer it stands in for and keeps the
// reason of the first failed write, which may come long before the end.
class RecordingBuffer : public std::streambuf {
  public:
    explicit RecordingBuffer(std::streambuf* next) : next_(next) {}
    int error = 0;

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        int_type put = next_->sputc(traits_type::to_char_type(c));
        return Failed(traits_type::eq_int_type(put, traits_type::eof())) ? traits_type::eof() : c;
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override {
        std::streamsize written = next_->sputn(text, n);
        Failed(written < n);
        return written;
    }
    int sync() override { return Failed(next_->pubsync() != 0) ? -1 : 0; }

  private:
    bool Failed(bool failed) {
        if (failed && error == 0) {
            error = errno;
        }
        return failed;
    }
    std::streambuf* next_;
};

// Output that never arrived (a full disk, a closed descriptor) fails the
// command like any other failure: flush what is left and say why. A command
// that already failed keeps its own code.
int CheckStandardOutput(const std::string& command, int status, const RecordingBuffer& buffer) {
    errno = 0;
    bool failed = fflush(stdout) != 0;
    int error = buffer.error != 0 ? buffer.error : errno;
    if (!failed && !ferror(stdout) && buffer.error == 0 && std::cout) {
        return status;
    }
    std::string name = command.empty() ? "tavu" : "tavu " + command;
    fprintf(stderr, "%s: cannot write standard output: %s\n", name.c_str(),
            strerror(error != 0 ? error : EIO));
    return status == tavu::EXIT_OK ? tavu::EXIT_FAILURE_FOUND : status;
}

}  // namespace

int main(int argc, char** argv) {
    RecordingBuffer out(std::cout.rdbuf());
    std::streambuf* original = std::cout.rdbuf(&out);
    std::string command;
    int status =
        tavu::RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, &command,
                                        tavu::AddGeoCommands);
    std::cout.flush();
    std::cout.rdbuf(original);
    return CheckStandardOutput(command, status, out);
}
