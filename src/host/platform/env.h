// The operating system as the host's layers see it: files, locks, the random source, the host
// name, the clocks, waiting and threads. Every layer above platform/ reaches the system through
// the current Env (env()), never on its own, so that a test can put an Env of its own in its
// place: one whose disk fills up, whose fsync fails, whose locks stay held or whose clock jumps,
// and whose time runs virtually (no real sleeps).
//
// Invariants the implementations keep:
// - Every call that can fail returns a base::Status or base::Result with the system's reason in
//   words; none throws, none ends the process.
// - A File is only ever a regular file: opening a directory, FIFO or device is refused at once,
//   without blocking (a FIFO without a writer would otherwise hang the open for ever).
// - append() writes all of the data or reports failure; after a failure the file may hold a
//   part of it, which the caller cuts back with truncate() to the size it had.
// - write_file_atomically() leaves either the old file or the new one at the path, never a mix
//   or a torn file, even when the power goes in the middle.
// - Every wait is bounded by its deadline on this Env's clock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/result.h"

namespace host {

using SteadyClock = std::chrono::steady_clock;
using SteadyTime = SteadyClock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// Which file a path names, or which one is open: equal identities are the same file on disk.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity &o) const { return device == o.device && inode == o.inode; }
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }
};

enum class FileKind { Missing, Regular, Directory, Fifo, Device, Other };

struct FileFacts {
    FileKind kind = FileKind::Missing;
    uint64_t size = 0;
    FileIdentity identity;
};

// "a directory", "a FIFO", ...: for sentences that refuse a path of the wrong kind.
const char *file_kind_words(FileKind kind);

enum class OpenMode {
    Read,          // an existing regular file, read only
    ReadAppend,    // read anywhere, write at the end; created (0644) when missing
    CreateNew,     // a new file, read and write; refused (Busy) when the path exists
    CreatePrivate  // like CreateNew, readable by its owner only (a secret key)
};

// One open regular file. Not shared between threads without the caller's own lock.
class File {
  public:
    virtual ~File() = default;
    const std::string &path() const { return path_; }

    // Reads up to `size` bytes at `offset`; fewer at the end of the file, 0 past it.
    virtual base::Result<size_t> read_at(uint64_t offset, void *buf, size_t size) = 0;
    // Writes all of `data` at the end of the file (ReadAppend) or at the current end (others).
    virtual base::Status append(std::string_view data) = 0;
    virtual base::Result<uint64_t> size() = 0;
    // Cuts the file to `length` bytes (an append that failed half way is taken back so).
    virtual base::Status truncate(uint64_t length) = 0;
    // The data and the size on the disk, not only in the system's cache.
    virtual base::Status sync() = 0;
    // The exclusive lock on the whole file, against other processes. wait=false: Busy at once
    // when another holds it. Held until unlock() or until the file is closed.
    virtual base::Status lock(bool wait) = 0;
    virtual void unlock() = 0;
    // Which file this is on the disk, to tell whether its path still names it.
    virtual base::Result<FileIdentity> identity() = 0;

  protected:
    explicit File(std::string path) : path_(std::move(path)) {}

  private:
    const std::string path_;
};

// What a library's own file access (SQLite's) asks the Env before each operation, so that a test
// can fail it as it fails the Env's files.
enum class IoKind { Open, Read, Write, Sync, Truncate, Lock };

// A network library's socket (a descriptor on POSIX, a SOCKET on Windows), waited on until it can
// be read or written without blocking.
using SocketHandle = intptr_t;
enum class SocketWait { Readable, Writable };

// What a program run through the Env did.
struct ProgramRun {
    int exit_status = -1;    // its exit status; -1 when a signal ended it
    bool timed_out = false;  // it was killed when its time was up
    std::string output;      // its standard output and standard error together, the first 64 KiB
};

class Env;
// The system's own Env, for the life of the process.
Env &system_env();

class Env {
  public:
    virtual ~Env() = default;

    // --- Files and folders. Paths are UTF-8.
    // The kind, size and identity of what PATH names; kind Missing when nothing does.
    virtual base::Result<FileFacts> stat(const std::string &path) = 0;
    virtual base::Result<std::unique_ptr<File>> open(const std::string &path, OpenMode mode) = 0;
    // Renames FROM to TO. replace=false: refused (Busy) when TO exists, atomically.
    virtual base::Status rename(const std::string &from, const std::string &to, bool replace) = 0;
    virtual base::Status remove(const std::string &path) = 0;
    // Makes the folder's list of names durable (after a create or rename in it).
    virtual base::Status sync_folder(const std::string &path) = 0;
    // The folder and its parents, where missing.
    virtual base::Status create_folders(const std::string &path) = 0;
    // The names in the folder (not "." or ".."), in no particular order.
    virtual base::Result<std::vector<std::string>> list_folder(const std::string &path) = 0;
    virtual base::Status allow_io(IoKind kind, const std::string &path) {
        (void)kind;
        (void)path;
        return {};
    }

    // --- The machine.
    // Bytes from the system's random source, which no two machines share a state of.
    virtual base::Status random_bytes(uint8_t *out, size_t size) = 0;
    // This machine's name; "" when the system does not say.
    virtual std::string host_name() = 0;
    // The folder where this user's programs keep their state: $XDG_STATE_HOME when it is an
    // absolute path, else ~/.local/state; %LOCALAPPDATA% on Windows. An Env that does not say
    // otherwise uses the system's.
    virtual std::string user_state_folder() { return system_env().user_state_folder(); }
    // PATH with every symbolic link resolved (where a sysfs node really is); an Env that does
    // not say otherwise asks the system's.
    virtual base::Result<std::string> real_path(const std::string &path) {
        return system_env().real_path(path);
    }

    // --- Time. now() is monotonic; wall_now() is the calendar's time (it may jump).
    virtual SteadyTime now() = 0;
    virtual WallTime wall_now() = 0;
    virtual void sleep_until(SteadyTime deadline) = 0;
    // Blocks on `cv` (whose mutex `lock` holds) until notify_all(cv) or `deadline`, whichever
    // comes first; may return early, as a condition variable may. Callers use Signal.
    virtual void wait_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                            SteadyTime deadline) = 0;
    virtual void notify_all(std::condition_variable &cv) = 0;
    // Blocks until SOCKET can be read or written without blocking (true), or `deadline` passes
    // (false). An Env that does not say otherwise waits on the system's clock for as long as
    // this Env's clock has left until the deadline.
    virtual base::Result<bool> wait_socket(SocketHandle socket, SocketWait what,
                                           SteadyTime deadline);

    // --- The service manager that started the process (systemd's notification socket on Linux;
    // none elsewhere). An Env that does not say otherwise uses the system's.
    // Sends STATE ("READY=1", "STATUS=...", "WATCHDOG=1"); false when no manager listens.
    virtual bool notify_service(const std::string &state);
    // How often the manager wants to hear "WATCHDOG=1"; zero when it watches nothing.
    virtual std::chrono::microseconds service_watchdog_interval();
    // Asks the system not to sleep (logind's inhibitor on Linux, a power request on Windows)
    // until release_sleep(token); -1 where it cannot be asked, which callers carry on without.
    virtual intptr_t hold_sleep(const std::string &why);
    virtual void release_sleep(intptr_t token);
    // --- Programs.
    // Runs PROGRAM (a path: no arguments, never through a shell) with this process's
    // environment and the `extra` variables, its standard input empty, and kills it (with every
    // process it started) once `limit` has passed; returns when it has ended. An error when it
    // cannot be started. An Env that does not say otherwise asks the system's.
    virtual base::Result<ProgramRun> run_program(
        const std::string &program, const std::vector<std::pair<std::string, std::string>> &extra,
        std::chrono::milliseconds limit) {
        return system_env().run_program(program, extra, limit);
    }

    // --- Threads. Callers use Thread.
    virtual base::Result<std::thread> spawn(std::function<void()> body) = 0;
    virtual void join(std::thread &thread) = 0;
};

// The system's clocks, waits and threads, which the standard library gives alike on every system:
// the part the system Envs share.
class StandardClockEnv : public Env {
  public:
    SteadyTime now() override;
    WallTime wall_now() override;
    void sleep_until(SteadyTime deadline) override;
    void wait_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                    SteadyTime deadline) override;
    void notify_all(std::condition_variable &cv) override;
    base::Result<std::thread> spawn(std::function<void()> body) override;
    void join(std::thread &thread) override;
};

// The Env every layer uses: the system's, unless a test put another in its place.
Env &env();

// Puts `replacement` in place of the current Env while it lives, for a test. Made and ended while
// no other thread uses env().
class EnvScope {
  public:
    explicit EnvScope(Env &replacement);
    ~EnvScope();
    EnvScope(const EnvScope &) = delete;
    EnvScope &operator=(const EnvScope &) = delete;

  private:
    Env *previous_;
};

// --- Built on the Env's calls, the same for every Env.

// Reads the regular file at PATH whole: InvalidInput when it is no regular file or holds more
// than `limit` bytes (nothing past the limit is read: /dev/zero ends at once).
base::Result<std::string> read_file(const std::string &path, uint64_t limit);

// Replaces (or, with replace=false, creates) the file at PATH with `data`: a temporary file
// beside it is written and synced, renamed over PATH and the folder synced, so that PATH holds
// the old content or the new, whole. `private_file`: readable by its owner only. On a failure
// the temporary file is removed and PATH is as it was.
base::Status write_file_atomically(const std::string &path, std::string_view data,
                                   bool replace = true, bool private_file = false);

// The steady clock's `now() + d` of the current Env.
inline SteadyTime deadline_after(SteadyClock::duration d) {
    return env().now() + d;
}

// Sleeps through the current Env.
inline void sleep_for(SteadyClock::duration d) {
    env().sleep_until(env().now() + d);
}

// A condition variable whose waits and notifications go through the current Env, so that an Env
// with a virtual clock knows every thread that sleeps. Used with a std::mutex, as
// std::condition_variable is.
class Signal {
  public:
    void notify_all() { env().notify_all(cv_); }

    // Waits until pred() holds or the Env's clock reaches `deadline`; returns pred().
    template <typename Predicate>
    bool wait_until(std::unique_lock<std::mutex> &lock, SteadyTime deadline, Predicate pred) {
        Env &e = env();
        while (!pred()) {
            if (e.now() >= deadline) {
                return pred();
            }
            e.wait_until(cv_, lock, deadline);
        }
        return true;
    }
    template <typename Predicate>
    bool wait_for(std::unique_lock<std::mutex> &lock, SteadyClock::duration d, Predicate pred) {
        return wait_until(lock, env().now() + d, pred);
    }
    // One wait, until a notification or the deadline (or earlier, spuriously).
    void wait_until(std::unique_lock<std::mutex> &lock, SteadyTime deadline) {
        env().wait_until(cv_, lock, deadline);
    }
    void wait_for(std::unique_lock<std::mutex> &lock, SteadyClock::duration d) {
        env().wait_until(cv_, lock, env().now() + d);
    }

  private:
    std::condition_variable cv_;
};

// The exit status of a fault of the program itself (sysexits' EX_SOFTWARE).
constexpr int kExitInternalError = 70;

// Says "hidiap: internal error: WHAT" on standard error and ends the process with
// kExitInternalError at once, running no destructor (nothing more is recorded).
[[noreturn]] void end_on_internal_error(const char *what);

// A thread started and joined through the current Env. Joined when it goes, if still running.
// What its body throws ends the process through end_on_internal_error.
class Thread {
  public:
    Thread() = default;
    // Starts BODY on a new thread; Unavailable when the system cannot start one.
    static base::Result<Thread> start(std::function<void()> body);
    Thread(Thread &&other) noexcept = default;
    Thread &operator=(Thread &&other) noexcept;
    ~Thread();

    bool joinable() const { return thread_.joinable(); }
    void join();

  private:
    explicit Thread(std::thread thread) : thread_(std::move(thread)) {}
    std::thread thread_;
};

}  // namespace host
