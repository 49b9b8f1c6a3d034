#include "host/records/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace host {

namespace {

std::string system_error(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

#ifdef _WIN32
HANDLE handle_of(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}
#endif

}  // namespace

std::unique_ptr<RecordFile> RecordFile::open(const std::string &path, std::string &error) {
#ifdef _WIN32
    const int fd =
        _open(path.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<RecordFile>(new RecordFile(fd, path));
}

RecordFile::~RecordFile() {
    unlock();
#ifdef _WIN32
    _close(fd_);
#else
    close(fd_);
#endif
}

bool RecordFile::lock() {
#ifdef _WIN32
    OVERLAPPED at{};
    locked_ = LockFileEx(handle_of(fd_), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at) != 0;
#else
    while (!(locked_ = flock(fd_, LOCK_EX) == 0) && errno == EINTR) {
    }
#endif
    return locked_;
}

bool RecordFile::try_lock() {
#ifdef _WIN32
    OVERLAPPED at{};
    locked_ = LockFileEx(handle_of(fd_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                         MAXDWORD, MAXDWORD, &at) != 0;
#else
    while (!(locked_ = flock(fd_, LOCK_EX | LOCK_NB) == 0) && errno == EINTR) {
    }
#endif
    return locked_;
}

void RecordFile::unlock() {
    if (!locked_) {
        return;
    }
#ifdef _WIN32
    OVERLAPPED at{};
    UnlockFileEx(handle_of(fd_), 0, MAXDWORD, MAXDWORD, &at);
#else
    flock(fd_, LOCK_UN);
#endif
    locked_ = false;
}

bool RecordFile::append_line(std::string line, std::string &error) {
    if (!last_line_complete()) {
        line.insert(line.begin(), '\n');
    }
    size_t done = 0;
    while (done < line.size()) {
#ifdef _WIN32
        const int n = _write(fd_, line.data() + done, static_cast<unsigned>(line.size() - done));
#else
        const ssize_t n = write(fd_, line.data() + done, line.size() - done);
#endif
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = system_error("cannot write");
            return false;
        }
        done += static_cast<size_t>(n);
    }
#ifdef _WIN32
    const int synced = _commit(fd_);
#else
    const int synced = fsync(fd_);
#endif
    if (synced != 0) {
        error = system_error("cannot sync");
        return false;
    }
    return true;
}

bool RecordFile::read_all(std::string &text, std::string &error) {
    text.clear();
    char buffer[65536];
    for (long long at = 0;;) {
#ifdef _WIN32
        if (_lseeki64(fd_, at, SEEK_SET) < 0) {
            error = system_error("cannot read");
            return false;
        }
        const int n = _read(fd_, buffer, sizeof buffer);
#else
        const ssize_t n = pread(fd_, buffer, sizeof buffer, at);
#endif
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = system_error("cannot read");
            return false;
        }
        if (n == 0) {
            return true;
        }
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

bool RecordFile::truncate(std::string &error) {
#ifdef _WIN32
    const bool emptied = _chsize_s(fd_, 0) == 0 && _commit(fd_) == 0;
#else
    const bool emptied = ftruncate(fd_, 0) == 0 && fsync(fd_) == 0;
#endif
    if (!emptied) {
        error = system_error("cannot empty the file");
    }
    return emptied;
}

// False when the file ends in anything but a line end: a line a power loss cut short.
bool RecordFile::last_line_complete() {
#ifdef _WIN32
    const __int64 size = _lseeki64(fd_, 0, SEEK_END);
    if (size <= 0 || _lseeki64(fd_, size - 1, SEEK_SET) < 0) {
        return true;
    }
    char last = '\n';
    const bool read = _read(fd_, &last, 1) == 1;
    _lseeki64(fd_, 0, SEEK_END);
    return !read || last == '\n';
#else
    struct stat st {};
    if (fstat(fd_, &st) != 0 || st.st_size == 0) {
        return true;
    }
    char last = '\n';
    return pread(fd_, &last, 1, st.st_size - 1) != 1 || last == '\n';
#endif
}

}  // namespace host
