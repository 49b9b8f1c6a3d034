// The system's Env on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "host/platform/env.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

ErrorCode code_of(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ErrorCode::NotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return ErrorCode::PermissionDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ErrorCode::NoSpace;
        case EEXIST:
        case EWOULDBLOCK:
        case ETXTBSY:
            return ErrorCode::Busy;
        case EISDIR:
        case ENXIO:
        case ENAMETOOLONG:
        case EINVAL:
            return ErrorCode::InvalidInput;
        case EINTR:
            return ErrorCode::Interrupted;
        default:
            return ErrorCode::Io;
    }
}

Error system_error(const char *what, int err) {
    return Error(code_of(err), std::string(what) + ": " + std::strerror(err));
}

FileKind kind_of(mode_t mode) {
    if (S_ISREG(mode))
        return FileKind::Regular;
    if (S_ISDIR(mode))
        return FileKind::Directory;
    if (S_ISFIFO(mode))
        return FileKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FileKind::Device;
    return FileKind::Other;
}

class PosixFile : public File {
  public:
    PosixFile(int fd, std::string path) : File(std::move(path)), fd_(fd) {}
    ~PosixFile() override {
        unlock();
        ::close(fd_);
    }

    base::Result<size_t> read_at(uint64_t offset, void *buf, size_t size) override {
        for (;;) {
            const ssize_t n = ::pread(fd_, buf, size, static_cast<off_t>(offset));
            if (n >= 0) {
                return static_cast<size_t>(n);
            }
            if (errno != EINTR) {
                return system_error("cannot read", errno);
            }
        }
    }

    base::Status append(std::string_view data) override {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return system_error("cannot write", n < 0 ? errno : ENOSPC);
            }
            done += static_cast<size_t>(n);
        }
        return {};
    }

    base::Result<uint64_t> size() override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            return system_error("cannot read the size", errno);
        }
        return static_cast<uint64_t>(st.st_size);
    }

    base::Status truncate(uint64_t length) override {
        while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
            if (errno != EINTR) {
                return system_error("cannot cut the file back", errno);
            }
        }
        return {};
    }

    base::Status sync() override {
        if (::fsync(fd_) != 0) {
            return system_error("cannot sync", errno);
        }
        return {};
    }

    base::Status lock(bool wait) override {
        for (;;) {
            if (::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) {
                locked_ = true;
                return {};
            }
            if (errno != EINTR) {
                return errno == EWOULDBLOCK
                           ? Error(ErrorCode::Busy, "another process holds its lock")
                           : system_error("cannot lock", errno);
            }
        }
    }

    void unlock() override {
        if (locked_) {
            ::flock(fd_, LOCK_UN);
            locked_ = false;
        }
    }

    base::Result<FileIdentity> identity() override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            return system_error("cannot stat", errno);
        }
        return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    }

  private:
    const int fd_;
    bool locked_ = false;
};

class PosixEnv : public StandardClockEnv {
  public:
    base::Result<FileFacts> stat(const std::string &path) override {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                return FileFacts{};
            }
            return system_error("cannot stat", errno);
        }
        FileFacts facts;
        facts.kind = kind_of(st.st_mode);
        facts.size = static_cast<uint64_t>(st.st_size);
        facts.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
        return facts;
    }

    base::Result<std::unique_ptr<File>> open(const std::string &path, OpenMode mode) override {
        int flags = O_CLOEXEC | O_NONBLOCK;  // a FIFO must not block the open
        mode_t perms = 0644;
        switch (mode) {
            case OpenMode::Read:
                flags |= O_RDONLY;
                break;
            case OpenMode::ReadAppend:
                flags |= O_RDWR | O_APPEND | O_CREAT;
                break;
            case OpenMode::CreateNew:
                flags |= O_RDWR | O_CREAT | O_EXCL;
                break;
            case OpenMode::CreatePrivate:
                flags |= O_RDWR | O_CREAT | O_EXCL;
                perms = 0600;
                break;
        }
        int fd;
        while ((fd = ::open(path.c_str(), flags, perms)) < 0 && errno == EINTR) {
        }
        if (fd < 0) {
            const int err = errno;
            if (err == ENXIO) {
                // O_NONBLOCK on a FIFO without a reader, opened for writing.
                return Error(ErrorCode::InvalidInput, "it is a FIFO, not a regular file");
            }
            return system_error("cannot open", err);
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const FileKind kind = kind_of(st.st_mode);
            ::close(fd);
            return Error(ErrorCode::InvalidInput,
                         std::string("it is ") + file_kind_words(kind) + ", not a regular file");
        }
        // Regular files never block; the flag only served the open.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return std::unique_ptr<File>(new PosixFile(fd, path));
    }

    base::Status rename(const std::string &from, const std::string &to, bool replace) override {
        if (replace) {
            if (::rename(from.c_str(), to.c_str()) != 0) {
                return system_error("cannot rename", errno);
            }
            return {};
        }
        // A hard link fails when the name exists, atomically; the temporary name then goes.
        if (::link(from.c_str(), to.c_str()) != 0) {
            return errno == EEXIST ? Error(ErrorCode::Busy, "it exists")
                                   : system_error("cannot create", errno);
        }
        ::unlink(from.c_str());
        return {};
    }

    base::Status remove(const std::string &path) override {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return system_error("cannot remove", errno);
        }
        return {};
    }

    base::Status sync_folder(const std::string &path) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return system_error("cannot open the folder", errno);
        }
        const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot
        const int err = errno;
        ::close(fd);
        if (!synced) {
            return system_error("cannot sync the folder", err);
        }
        return {};
    }

    base::Status create_folders(const std::string &path) override {
        std::string partial;
        for (size_t at = 0; at <= path.size(); at++) {
            if (at < path.size() && path[at] != '/') {
                continue;
            }
            partial = path.substr(0, at);
            if (partial.empty()) {
                continue;
            }
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
                return system_error("cannot create the folder", errno);
            }
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return Error(ErrorCode::InvalidInput, "'" + path + "' is not a folder");
        }
        return {};
    }

    base::Result<std::vector<std::string>> list_folder(const std::string &path) override {
        DIR *dir = ::opendir(path.c_str());
        if (dir == nullptr) {
            return system_error("cannot read the folder", errno);
        }
        std::vector<std::string> names;
        while (const dirent *entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        return names;
    }

    base::Status random_bytes(uint8_t *out, size_t size) override {
        // getentropy: the kernel's random source, in pieces of at most 256 bytes.
        for (size_t done = 0; done < size;) {
            const size_t piece = size - done < 256 ? size - done : 256;
            if (::getentropy(out + done, piece) != 0) {
                return system_error("the random source failed", errno);
            }
            done += piece;
        }
        return {};
    }

    std::string host_name() override {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0) {
            return "";
        }
        return name;
    }

    base::Result<std::string> real_path(const std::string &path) override {
        char *resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            return system_error("cannot resolve", errno);
        }
        std::string text = resolved;
        std::free(resolved);
        return text;
    }

    base::Result<ProgramRun> run_program(
        const std::string &program, const std::vector<std::pair<std::string, std::string>> &extra,
        std::chrono::milliseconds limit) override;

    std::string user_state_folder() override {
        const char *state = std::getenv("XDG_STATE_HOME");
        if (state != nullptr && *state == '/') {
            return state;
        }
        const char *home = std::getenv("HOME");
        return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/state";
    }

    base::Result<bool> wait_socket(SocketHandle socket, SocketWait what,
                                   SteadyTime deadline) override {
        pollfd fd{static_cast<int>(socket),
                  static_cast<short>(what == SocketWait::Writable ? POLLOUT : POLLIN), 0};
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now()).count();
            if (left <= 0) {
                return false;
            }
            // Rounded up, so that a wait never ends before its deadline.
            const int n = ::poll(&fd, 1, static_cast<int>(std::min<long long>(left + 1, 1 << 30)));
            if (n > 0) {
                return true;
            }
            if (n < 0 && errno != EINTR) {
                return system_error("cannot wait for the network", errno);
            }
        }
    }
};

constexpr size_t kProgramOutputLimit = 64 * 1024;

base::Result<ProgramRun> PosixEnv::run_program(
    const std::string &program, const std::vector<std::pair<std::string, std::string>> &extra,
    std::chrono::milliseconds limit) {
    // The environment: this process's, each extra variable in place of one of its name.
    std::vector<std::string> variables;
    for (char **e = environ; *e != nullptr; e++) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::none_of(extra.begin(), extra.end(),
                         [&](const auto &v) { return v.first == name; })) {
            variables.push_back(entry);
        }
    }
    for (const auto &[name, value] : extra) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char *> envp;
    for (std::string &v : variables) {
        envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    std::string path = program;
    char *argv[] = {path.data(), nullptr};

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return system_error("cannot make a pipe for", errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawnattr_init(&attributes);
    // Its own process group: what it starts is killed with it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return Error(spawned == ENOENT ? ErrorCode::NotFound : ErrorCode::Io,
                     "cannot run '" + program + "': " + std::strerror(spawned));
    }
    ProgramRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timed_out = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // every writer has closed it: the program has ended, or is about to
        }
        run.output.append(buffer, std::min(static_cast<size_t>(n),
                                           kProgramOutputLimit -
                                               std::min(kProgramOutputLimit, run.output.size())));
    }
    ::close(out[0]);
    // One that closed its output early still has until its time is up.
    int status = 0;
    while (!run.timed_out) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) {
            run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return run;
        }
        run.timed_out = std::chrono::steady_clock::now() >= deadline;
        if (!run.timed_out) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

Env &system_env() {
    static PosixEnv instance;
    return instance;
}

}  // namespace host
