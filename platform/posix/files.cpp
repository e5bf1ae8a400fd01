// The Win32 file calls over POSIX, with a fault switch so tests can make the
// Nth call fail or write short.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/native.h"

namespace {

struct FileHandle {
    int fd;
    std::string path;
};

platform::FileFaults faults;
platform::FileCallCounts calls;
std::set<FileHandle*> openHandles;
DWORD lastError = 0;
platform::FileFailure lastFailure;

constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;

BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
}

// Keeps why a call that changes a file failed; returns FALSE for the caller.
BOOL Failed(const std::string& path, int error, DWORD code) {
    lastFailure = {path, error};
    return Fail(code);
}

DWORD ErrorFromErrno() {
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOSPC:
            return ERROR_DISK_FULL;
        default:
            return ERROR_WRITE_FAULT;
    }
}

FileHandle* Lookup(HANDLE handle) {
    auto* file = static_cast<FileHandle*>(handle);
    return openHandles.count(file) ? file : nullptr;
}

std::string ParentFolder(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

namespace platform {

void SetFileFaults(const FileFaults& newFaults) {
    faults = newFaults;
    calls = FileCallCounts{};
}

void ClearFileFaults() { SetFileFaults(FileFaults{}); }

FileFailure TakeFileFailure() {
    FileFailure failure = std::move(lastFailure);
    lastFailure = {};
    return failure;
}

FileCallCounts FileCalls() {
    FileCallCounts counts = calls;
    counts.openHandles = static_cast<int>(openHandles.size());
    return counts;
}

std::string NativePath(const char* windowsPath) {
    std::string path = windowsPath ? windowsPath : "";
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

}  // namespace platform

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile) {
    (void)shareMode;
    (void)security;
    (void)attributes;
    (void)templateFile;
    // Only a create for writing is a failure to change a file.
    auto failed = [&](const std::string& native, int error, DWORD code) {
        if (access & GENERIC_WRITE) {
            Failed(native, error, code);
        } else {
            lastError = code;
        }
        return INVALID_HANDLE_VALUE;
    };
    if (++calls.create == faults.failCreate) {
        return failed(platform::NativePath(path), EACCES, ERROR_ACCESS_DENIED);
    }
    if (path == nullptr || (access & (GENERIC_READ | GENERIC_WRITE)) == 0) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
        flags |= O_RDWR;
    } else {
        flags |= (access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
    }
    switch (disposition) {
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case CREATE_NEW:
            // Never through a link, never onto a FIFO or device: only a file
            // made by this call.
            flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
            break;
        case OPEN_EXISTING:
            break;
        default:
            lastError = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
    }
    std::string native = platform::NativePath(path);
    int fd = open(native.c_str(), flags, 0644);
    if (fd < 0) {
        return failed(native, errno, ErrorFromErrno());
    }
    auto* file = new FileHandle{fd, native};
    openHandles.insert(file);
    return file;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped) {
    (void)overlapped;
    if (written != nullptr) {
        *written = 0;
    }
    FileHandle* file = Lookup(handle);
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    ++calls.write;
    if (calls.write == faults.failWrite) {
        return Failed(file->path, EIO, ERROR_WRITE_FAULT);
    }
    DWORD wanted = bytes;
    if (calls.write == faults.shortWrite) {
        // As a full disk cuts a write short; the caller sees the count.
        wanted = bytes / 2;
        lastFailure = {file->path, ENOSPC};
    }
    DWORD done = 0;
    const char* data = static_cast<const char*>(buffer);
    while (done < wanted) {
        ssize_t n = write(file->fd, data + done, wanted - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (written != nullptr) {
                *written = done;
            }
            return Failed(file->path, errno, ErrorFromErrno());
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped) {
    (void)overlapped;
    if (read != nullptr) {
        *read = 0;
    }
    FileHandle* file = Lookup(handle);
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DWORD done = 0;
    char* data = static_cast<char*>(buffer);
    while (done < bytes) {
        ssize_t n = ::read(file->fd, data + done, bytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fail(ErrorFromErrno());
        }
        if (n == 0) {
            break;
        }
        done += static_cast<DWORD>(n);
    }
    if (read != nullptr) {
        *read = done;
    }
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE handle) {
    FileHandle* file = Lookup(handle);
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (++calls.flush == faults.failFlush) {
        return Failed(file->path, EIO, ERROR_WRITE_FAULT);
    }
    return fsync(file->fd) == 0 ? TRUE : Failed(file->path, errno, ErrorFromErrno());
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    FileHandle* file = Lookup(handle);
    if (file == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    openHandles.erase(file);
    int result = close(file->fd);
    const int error = errno;
    const std::string path = std::move(file->path);
    delete file;
    if (++calls.close == faults.failClose) {
        return Failed(path, EIO, ERROR_WRITE_FAULT);
    }
    errno = error;
    return result == 0 ? TRUE : Failed(path, error, ErrorFromErrno());
}

// Removes the name only: a link goes, its target stays. A folder is refused
// (unlink fails on one), as on Windows.
BOOL WINAPI DeleteFileA(LPCSTR path) {
    if (path == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return unlink(platform::NativePath(path).c_str()) == 0 ? TRUE : Fail(ErrorFromErrno());
}

BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    if (existing == nullptr || replacement == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string from = platform::NativePath(existing);
    std::string to = platform::NativePath(replacement);
    if (++calls.move == faults.failMove) {
        return Failed(to, EACCES, ERROR_ACCESS_DENIED);
    }
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && access(to.c_str(), F_OK) == 0) {
        return Failed(to, EEXIST, ERROR_FILE_EXISTS);
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        return Failed(to, errno, ErrorFromErrno());
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        // The rename itself must reach the disk before we report success.
        int dir = open(ParentFolder(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
    }
    return TRUE;
}

DWORD WINAPI GetLastError(void) { return lastError; }

}  // extern "C"
