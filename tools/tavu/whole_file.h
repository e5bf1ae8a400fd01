// Files the tools write whole or not at all: the bytes go into a temporary
// file beside the target, are flushed to the disk and renamed over it, so a
// failed write never leaves a torn file behind.
#pragma once

#include <string>
#include <string_view>

namespace tavu {

// Into a private temporary name (`.NAME.XXXXXX`), made readable as any new
// file; a device or a pipe (/dev/stdout, a process substitution) is written
// directly, never replaced. Returns 0 or the errno of the failure.
int WriteWhole(const std::string& path, std::string_view bytes);

// As the editor's save does it: whatever stands at "<path>.saving" goes
// (a link, never its target), a new file is created there exclusively,
// written, flushed and renamed over `path`. Returns 0 or the errno.
int WriteLikeTheSave(const std::string& path, std::string_view bytes);

}  // namespace tavu
