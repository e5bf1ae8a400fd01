#include "tools/tavu/whole_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

namespace tavu {

namespace {

int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

// Writes, flushes and closes `fd` (open on `temporary`), then renames it
// over `path`; the temporary file goes when anything failed.
int Complete(int fd, const char* temporary, const std::string& path, std::string_view bytes) {
    int error = WriteAll(fd, bytes);
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temporary, path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temporary);
    }
    return error;
}

}  // namespace

int WriteWhole(const std::string& path, std::string_view bytes) {
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        int error = WriteAll(fd, bytes);
        if (close(fd) != 0 && error == 0) {
            error = errno;
        }
        return error;
    }
    std::filesystem::path target(path);
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    // mkostemp makes the file private; what the tools write is as readable
    // as any new file.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) {
        int error = errno;
        close(fd);
        unlink(temporary.data());
        return error;
    }
    return Complete(fd, temporary.data(), path, bytes);
}

int WriteLikeTheSave(const std::string& path, std::string_view bytes) {
    std::string temporary = path + ".saving";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    return Complete(fd, temporary.c_str(), path, bytes);
}

}  // namespace tavu
