#include "test_env.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace test_support {

using base::Error;
using base::ErrorCode;
using host::File;
using host::SteadyClock;
using host::SteadyTime;

namespace {

thread_local bool managed_thread = false;

constexpr std::chrono::seconds kNothingMovesLimit{20};

std::string words_of(ErrorCode code) {
    switch (code) {
        case ErrorCode::NoSpace:
            return "No space left on device";
        case ErrorCode::Busy:
            return "Resource temporarily unavailable";
        case ErrorCode::PermissionDenied:
            return "Permission denied";
        case ErrorCode::NotFound:
            return "No such file or directory";
        default:
            return "Input/output error";
    }
}

// A file of the system's whose operations first ask the test's Env for a fault.
class FaultyFile : public File {
  public:
    FaultyFile(std::unique_ptr<File> inner, TestEnv &env)
        : File(inner->path()), inner_(std::move(inner)), env_(env) {}

    base::Result<size_t> read_at(uint64_t offset, void *buf, size_t size) override {
        if (auto e = env_.due(TestEnv::Op::Read, path())) {
            return *e;
        }
        return inner_->read_at(offset, buf, size);
    }
    base::Status append(std::string_view data) override {
        long keep = -1;
        if (auto e = env_.due(TestEnv::Op::Append, path(), &keep)) {
            if (keep > 0) {
                (void)inner_->append(data.substr(0, std::min<size_t>(data.size(), keep)));
            }
            return *e;
        }
        return inner_->append(data);
    }
    base::Result<uint64_t> size() override { return inner_->size(); }
    base::Status truncate(uint64_t length) override {
        if (auto e = env_.due(TestEnv::Op::Truncate, path())) {
            return *e;
        }
        return inner_->truncate(length);
    }
    base::Status sync() override {
        if (auto e = env_.due(TestEnv::Op::Sync, path())) {
            return *e;
        }
        return inner_->sync();
    }
    base::Status lock(bool wait) override {
        if (auto e = env_.due(TestEnv::Op::Lock, path())) {
            return *e;
        }
        return inner_->lock(wait);
    }
    void unlock() override { inner_->unlock(); }
    base::Result<host::FileIdentity> identity() override { return inner_->identity(); }

  private:
    std::unique_ptr<File> inner_;
    TestEnv &env_;
};

const char *op_words(TestEnv::Op op) {
    switch (op) {
        case TestEnv::Op::Append:
        case TestEnv::Op::ForeignWrite:
            return "cannot write";
        case TestEnv::Op::Sync:
        case TestEnv::Op::ForeignSync:
        case TestEnv::Op::SyncFolder:
            return "cannot sync";
        case TestEnv::Op::Lock:
        case TestEnv::Op::ForeignLock:
            return "cannot lock";
        case TestEnv::Op::Read:
        case TestEnv::Op::ForeignRead:
            return "cannot read";
        case TestEnv::Op::Truncate:
        case TestEnv::Op::ForeignTruncate:
            return "cannot cut the file back";
        case TestEnv::Op::Rename:
            return "cannot rename";
        default:
            return "cannot open";
    }
}

}  // namespace

struct TestEnv::Sleeper {
    SteadyTime deadline;
    std::condition_variable *cv;  // the caller's: notify_all(cv) wakes it
    std::condition_variable wake;
    bool woken = false;
};

struct TestEnv::ThreadControl {
    bool done = false;
    bool joiner_waiting = false;
};

TestEnv::TestEnv(Time time)
    : system_(host::system_env()),
      time_(time),
      virtual_now_(SteadyClock::now()),
      wall_start_(std::chrono::system_clock::now()),
      steady_start_(virtual_now_) {
    managed_thread = true;
}

TestEnv::~TestEnv() {
    managed_thread = false;
}

void TestEnv::inject(const Fault &fault) {
    std::lock_guard<std::mutex> lock(faults_mutex_);
    faults_.push_back(fault);
}

void TestEnv::clear_faults() {
    std::lock_guard<std::mutex> lock(faults_mutex_);
    faults_.clear();
    matched_.clear();
}

int TestEnv::calls(Op op) const {
    std::lock_guard<std::mutex> lock(faults_mutex_);
    const auto it = calls_.find(op);
    return it == calls_.end() ? 0 : it->second;
}

std::optional<Error> TestEnv::due(Op op, const std::string &path, long *keep_bytes) {
    std::lock_guard<std::mutex> lock(faults_mutex_);
    calls_[op]++;
    for (size_t i = 0; i < faults_.size(); i++) {
        const Fault &f = faults_[i];
        if (f.op != op || (!f.path_part.empty() && path.find(f.path_part) == std::string::npos)) {
            continue;
        }
        const int seen = matched_[i]++;
        if (seen < f.skip || (f.times >= 0 && seen >= f.skip + f.times)) {
            continue;
        }
        if (keep_bytes != nullptr) {
            *keep_bytes = f.keep_bytes;
        }
        if (f.throws) {
            throw std::runtime_error(std::string("injected into ") + op_words(op));
        }
        return Error(f.code, std::string(op_words(op)) + ": " + words_of(f.code));
    }
    return std::nullopt;
}

base::Result<host::FileFacts> TestEnv::stat(const std::string &path) {
    if (auto e = due(Op::Stat, path)) {
        return *e;
    }
    return system_.stat(path);
}

base::Result<std::unique_ptr<File>> TestEnv::open(const std::string &path, host::OpenMode mode) {
    if (auto e = due(Op::Open, path)) {
        return *e;
    }
    base::Result<std::unique_ptr<File>> opened = system_.open(path, mode);
    if (!opened.ok()) {
        return opened.error();
    }
    return std::unique_ptr<File>(new FaultyFile(std::move(*opened), *this));
}

base::Status TestEnv::rename(const std::string &from, const std::string &to, bool replace) {
    if (auto e = due(Op::Rename, to)) {
        return *e;
    }
    return system_.rename(from, to, replace);
}

base::Status TestEnv::remove(const std::string &path) {
    if (auto e = due(Op::Remove, path)) {
        return *e;
    }
    return system_.remove(path);
}

base::Status TestEnv::sync_folder(const std::string &path) {
    if (auto e = due(Op::SyncFolder, path)) {
        return *e;
    }
    return system_.sync_folder(path);
}

base::Status TestEnv::create_folders(const std::string &path) {
    if (auto e = due(Op::CreateFolders, path)) {
        return *e;
    }
    return system_.create_folders(path);
}

base::Result<std::vector<std::string>> TestEnv::list_folder(const std::string &path) {
    if (auto e = due(Op::ListFolder, path)) {
        return *e;
    }
    return system_.list_folder(path);
}

base::Status TestEnv::allow_io(host::IoKind kind, const std::string &path) {
    Op op = Op::ForeignOpen;
    switch (kind) {
        case host::IoKind::Open:
            op = Op::ForeignOpen;
            break;
        case host::IoKind::Read:
            op = Op::ForeignRead;
            break;
        case host::IoKind::Write:
            op = Op::ForeignWrite;
            break;
        case host::IoKind::Sync:
            op = Op::ForeignSync;
            break;
        case host::IoKind::Truncate:
            op = Op::ForeignTruncate;
            break;
        case host::IoKind::Lock:
            op = Op::ForeignLock;
            break;
    }
    if (auto e = due(op, path)) {
        return *e;
    }
    return {};
}

base::Status TestEnv::random_bytes(uint8_t *out, size_t size) {
    if (auto e = due(Op::Random, "")) {
        return *e;
    }
    return system_.random_bytes(out, size);
}

std::string TestEnv::host_name() {
    return system_.host_name();
}

// --- Time.

SteadyTime TestEnv::now() {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    return time_ == Time::Virtual ? virtual_now_ : SteadyClock::now() + real_offset_;
}

host::WallTime TestEnv::wall_now() {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    if (time_ == Time::Virtual) {
        return wall_start_ +
               std::chrono::duration_cast<std::chrono::system_clock::duration>(virtual_now_ -
                                                                               steady_start_) +
               wall_offset_;
    }
    return std::chrono::system_clock::now() +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(real_offset_) +
           wall_offset_;
}

void TestEnv::jump(SteadyClock::duration by) {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    if (time_ == Time::Virtual) {
        virtual_now_ += by;
        wake_due_locked();
    } else {
        real_offset_ += by;
    }
}

void TestEnv::jump_wall(std::chrono::system_clock::duration by) {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    wall_offset_ += by;
}

void TestEnv::wake_locked(Sleeper &s) {
    s.woken = true;
    running_++;
    s.wake.notify_one();
    sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), &s));
}

void TestEnv::wake_due_locked() {
    for (size_t i = 0; i < sleepers_.size();) {
        if (sleepers_[i]->deadline <= virtual_now_) {
            wake_locked(*sleepers_[i]);
        } else {
            i++;
        }
    }
}

// Every known thread waits: time moves to the earliest deadline.
void TestEnv::advance_if_idle_locked() {
    if (running_ > 0 || sleepers_.empty()) {
        return;
    }
    SteadyTime next = sleepers_.front()->deadline;
    for (const Sleeper *s : sleepers_) {
        next = std::min(next, s->deadline);
    }
    virtual_now_ = std::max(virtual_now_, next);
    wake_due_locked();
}

void TestEnv::wait_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                         SteadyTime deadline) {
    if (time_ == Time::Real) {
        SteadyClock::duration offset;
        {
            std::lock_guard<std::mutex> clock(clock_mutex_);
            offset = real_offset_;
        }
        cv.wait_until(lock, deadline - offset);
        return;
    }
    if (!managed_thread) {
        // A thread the Env did not start: it sees the clock move, but does not hold it.
        cv.wait_for(lock, std::chrono::milliseconds(1));
        return;
    }
    std::unique_lock<std::mutex> clock(clock_mutex_);
    if (deadline <= virtual_now_) {
        return;
    }
    Sleeper s;
    s.deadline = deadline;
    s.cv = &cv;
    sleepers_.push_back(&s);
    running_--;
    advance_if_idle_locked();
    // The caller's mutex is let go while the thread sleeps, as a condition variable does; the
    // clock's mutex is never held while taking it.
    lock.unlock();
    while (!s.woken) {
        if (s.wake.wait_for(clock, kNothingMovesLimit) == std::cv_status::timeout && !s.woken) {
            std::fprintf(stderr,
                         "TestEnv: the virtual clock stood still for %lld s: a thread is blocked "
                         "outside the Env (%d running, %zu waiting)\n",
                         static_cast<long long>(kNothingMovesLimit.count()), running_,
                         sleepers_.size());
            std::abort();
        }
    }
    clock.unlock();
    lock.lock();
}

void TestEnv::notify_all(std::condition_variable &cv) {
    if (time_ == Time::Virtual) {
        std::lock_guard<std::mutex> clock(clock_mutex_);
        for (size_t i = 0; i < sleepers_.size();) {
            if (sleepers_[i]->cv == &cv) {
                wake_locked(*sleepers_[i]);
            } else {
                i++;
            }
        }
    }
    cv.notify_all();
}

void TestEnv::sleep_until(SteadyTime deadline) {
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock<std::mutex> lock(mutex);
    while (now() < deadline) {
        wait_until(never, lock, deadline);
    }
}

base::Result<std::thread> TestEnv::spawn(std::function<void()> body) {
    if (time_ == Time::Real) {
        return system_.spawn(std::move(body));
    }
    auto control = std::make_shared<ThreadControl>();
    {
        std::lock_guard<std::mutex> clock(clock_mutex_);
        running_++;
    }
    base::Result<std::thread> started = system_.spawn([this, control, body = std::move(body)] {
        managed_thread = true;
        body();
        std::lock_guard<std::mutex> clock(clock_mutex_);
        control->done = true;
        // A thread that joins this one goes on with the count this one had.
        if (!control->joiner_waiting) {
            running_--;
            advance_if_idle_locked();
        }
    });
    std::lock_guard<std::mutex> clock(clock_mutex_);
    if (!started.ok()) {
        running_--;
        return started.error();
    }
    threads_[started->get_id()] = control;
    return started;
}

void TestEnv::join(std::thread &thread) {
    if (time_ == Time::Real) {
        thread.join();
        return;
    }
    const std::thread::id id = thread.get_id();
    std::shared_ptr<ThreadControl> control;
    {
        std::lock_guard<std::mutex> clock(clock_mutex_);
        const auto it = threads_.find(id);
        if (it != threads_.end()) {
            control = it->second;
        }
        if (control && !control->done && managed_thread) {
            control->joiner_waiting = true;
            running_--;
            advance_if_idle_locked();
        }
    }
    thread.join();
    // Once joined, its id may already be a new thread's: only its own entry goes.
    std::lock_guard<std::mutex> clock(clock_mutex_);
    const auto it = threads_.find(id);
    if (it != threads_.end() && it->second == control) {
        threads_.erase(it);
    }
}

}  // namespace test_support
