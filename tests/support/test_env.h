// An Env for tests: the system's files with faults injected on purpose (a full disk at the Nth
// write, an fsync that fails, a lock someone else holds, a write torn half way), and a clock that
// can jump or run virtually.
//
// Virtual time: the clock stands still while any thread of the test runs, and when every thread
// the Env knows (the one that made it and those started through it) waits with a deadline, it
// moves at once to the earliest deadline and wakes who waits for it. So a station that polls
// every 250 ms and boards that take seconds run in milliseconds of real time, with the same
// order of events on every run. A thread blocked anywhere but in the Env (a pipe read, a
// std::thread join) stops the clock; the Env then ends the test with a message after 20 real
// seconds instead of hanging.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/platform/env.h"

namespace test_support {

class TestEnv : public host::Env {
  public:
    enum class Time { Real, Virtual };

    // The operations a fault can be injected into. Foreign*: a library's own file access (SQLite)
    // through Env::allow_io.
    enum class Op {
        Stat,
        Open,
        Read,
        Append,
        Truncate,
        Sync,
        Lock,
        Rename,
        Remove,
        SyncFolder,
        CreateFolders,
        ListFolder,
        Random,
        ForeignOpen,
        ForeignRead,
        ForeignWrite,
        ForeignSync,
        ForeignTruncate,
        ForeignLock,
    };

    struct Fault {
        Op op = Op::Append;
        base::ErrorCode code = base::ErrorCode::Io;
        int skip = 0;   // calls of `op` (on matching paths) that pass before the first failure
        int times = 1;  // failures in a row; -1: every call from then on
        std::string path_part;  // only paths that contain this ("" for every path)
        long keep_bytes = -1;   // Append: this many bytes reach the file before it fails
        bool throws = false;    // throw std::runtime_error instead (a fault of the program)
    };

    explicit TestEnv(Time time = Time::Real);
    ~TestEnv() override;

    void inject(const Fault &fault);
    void clear_faults();
    // How often `op` was called (whether or not it failed).
    int calls(Op op) const;

    // Moves the clocks forward at once, as a suspended process or a changed system clock sees.
    void jump(host::SteadyClock::duration by);
    void jump_wall(std::chrono::system_clock::duration by);

    // Env.
    base::Result<host::FileFacts> stat(const std::string &path) override;
    base::Result<std::unique_ptr<host::File>> open(const std::string &path,
                                                   host::OpenMode mode) override;
    base::Status rename(const std::string &from, const std::string &to, bool replace) override;
    base::Status remove(const std::string &path) override;
    base::Status sync_folder(const std::string &path) override;
    base::Status create_folders(const std::string &path) override;
    base::Result<std::vector<std::string>> list_folder(const std::string &path) override;
    base::Status allow_io(host::IoKind kind, const std::string &path) override;
    base::Status random_bytes(uint8_t *out, size_t size) override;
    std::string host_name() override;
    host::SteadyTime now() override;
    host::WallTime wall_now() override;
    void sleep_until(host::SteadyTime deadline) override;
    void wait_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                    host::SteadyTime deadline) override;
    void notify_all(std::condition_variable &cv) override;
    base::Result<std::thread> spawn(std::function<void()> body) override;
    void join(std::thread &thread) override;

    // The failure injected for this call of `op` on `path`, if one is due (counts the call).
    std::optional<base::Error> due(Op op, const std::string &path, long *keep_bytes = nullptr);

  private:
    struct Sleeper;
    struct ThreadControl;
    void advance_if_idle_locked();
    void wake_due_locked();
    void wake_locked(Sleeper &s);

    host::Env &system_;
    const Time time_;

    mutable std::mutex faults_mutex_;
    std::vector<Fault> faults_;
    std::map<Op, int> calls_;
    std::map<size_t, int> matched_;  // fault index -> matching calls seen

    std::mutex clock_mutex_;
    host::SteadyTime virtual_now_;
    host::SteadyClock::duration real_offset_{0};
    std::chrono::system_clock::duration wall_offset_{0};
    const host::WallTime wall_start_;
    const host::SteadyTime steady_start_;
    int running_ = 1;  // managed threads not waiting in the Env
    std::vector<Sleeper *> sleepers_;
    std::map<std::thread::id, std::shared_ptr<ThreadControl>> threads_;
};

}  // namespace test_support
