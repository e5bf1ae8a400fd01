// Feeds arbitrary bytes to the session-script parser, as `tavu run` hands it
// a script file. Whatever the bytes, the parser returns a script or an error
// naming one of the script's own lines, and every statement it returns says
// which line it came from.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/require.h"
#include "sim/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // A script of n newlines has n + 1 lines, the last one possibly empty.
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
    sim::SessionError error;
    std::optional<sim::SessionScript> script = sim::ParseSession(text, &error);
    if (!script) {
        Require(error.line >= 1 && error.line <= lines);
        Require(!error.message.empty());
        Require(error.Format("fuzz.session").starts_with("fuzz.session:" + std::to_string(error.line) + ": "));
        return 0;
    }
    int previous = 0;
    for (const sim::Statement& statement : script->statements) {
        Require(statement.line > previous && statement.line <= lines);
        previous = statement.line;
    }
    return 0;
}
