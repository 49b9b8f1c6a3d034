#include "run_executor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "scratch_dir.h"

namespace soak {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBodyThrew = 70;
constexpr int kHangExit = 3;
constexpr std::chrono::milliseconds kPollPeriod{10};

std::string transcript_of(const ScratchDir &dir) {
    std::string text;
    const struct {
        const char *file;
        const char *title;
    } parts[] = {{"console.txt", "console"},
                 {"errors.txt", "standard error"},
                 {"child.txt", "child output"}};
    for (const auto &part : parts) {
        const std::string content = read_text_file(dir.file(part.file));
        if (!content.empty()) {
            text += std::string("--- ") + part.title + " ---\n" + content;
            if (content.back() != '\n') {
                text += '\n';
            }
        }
    }
    return text;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Child {
    uint64_t seed = 0;
    pid_t pid = -1;
    int pipe_fd = -1;
    Clock::time_point start;
    std::unique_ptr<ScratchDir> dir;
    std::string report;
};

// In the child: runs the body with its output in the scratch directory, hands the report to the
// parent and exits through exit(), so leak checks at exit still run.
[[noreturn]] void child_main(uint64_t seed, const ScratchDir &dir, int report_fd,
                             const RunBody &body) {
    const int out = open(dir.file("child.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        close(out);
    }
    int status = 0;
    std::string report;
    try {
        report = body(seed, dir.path());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "soak run threw: %s\n", e.what());
        status = kBodyThrew;
    }
    size_t sent = 0;
    while (sent < report.size()) {
        const ssize_t n = write(report_fd, report.data() + sent, report.size() - sent);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    close(report_fd);
    std::exit(status);
}

Child spawn(uint64_t seed, const RunBody &body) {
    Child c;
    c.seed = seed;
    c.dir = std::make_unique<ScratchDir>();
    int fds[2];
    if (pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    c.start = Clock::now();
    c.pid = fork();
    if (c.pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (c.pid == 0) {
        close(fds[0]);
        child_main(seed, *c.dir, fds[1], body);
    }
    close(fds[1]);
    c.pipe_fd = fds[0];
    return c;
}

// Reads what the child has written; closes the pipe at its end.
void drain(Child &c) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(c.pipe_fd, buf, sizeof buf);
        if (n > 0) {
            c.report.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            close(c.pipe_fd);
            c.pipe_fd = -1;
        }
        return;
    }
}

RunEnd finish(Child &c, int status, bool hung) {
    RunEnd end;
    end.seed = c.seed;
    end.report = c.report;
    end.hung = hung;
    end.exited = !hung && WIFEXITED(status);
    end.exit_code = end.exited ? WEXITSTATUS(status) : -1;
    end.signal = !hung && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    end.seconds = seconds_since(c.start);
    end.transcript = transcript_of(*c.dir);
    if (c.pipe_fd >= 0) {
        close(c.pipe_fd);
    }
    return end;
}

}  // namespace

void run_in_children(const std::vector<uint64_t> &seeds, int jobs, std::chrono::milliseconds bound,
                     const RunBody &body, const RunDone &done) {
    std::vector<Child> active;
    size_t next = 0;
    while (next < seeds.size() || !active.empty()) {
        while (static_cast<int>(active.size()) < jobs && next < seeds.size()) {
            active.push_back(spawn(seeds[next++], body));
            fcntl(active.back().pipe_fd, F_SETFL, O_NONBLOCK);
        }
        std::vector<pollfd> fds;
        for (const Child &c : active) {
            if (c.pipe_fd >= 0) {
                fds.push_back(pollfd{c.pipe_fd, POLLIN, 0});
            }
        }
        if (fds.empty()) {
            std::this_thread::sleep_for(kPollPeriod);
        } else {
            poll(fds.data(), fds.size(), static_cast<int>(kPollPeriod.count()));
        }
        for (size_t i = 0; i < active.size();) {
            Child &c = active[i];
            if (c.pipe_fd >= 0) {
                drain(c);
            }
            int status = 0;
            bool ended = false;
            bool hung = false;
            if (c.pipe_fd < 0 && waitpid(c.pid, &status, WNOHANG) == c.pid) {
                ended = true;
            } else if (Clock::now() - c.start > bound) {
                kill(c.pid, SIGKILL);
                waitpid(c.pid, &status, 0);
                ended = true;
                hung = true;
            }
            if (ended) {
                done(finish(c, status, hung));
                active.erase(active.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                i++;
            }
        }
    }
}

void run_here(const std::vector<uint64_t> &seeds, std::chrono::milliseconds bound,
              const RunBody &body, const RunDone &done, bool keep_dirs) {
    for (uint64_t seed : seeds) {
        ScratchDir dir;
        if (keep_dirs) {
            dir.keep();
        }
        std::mutex mutex;
        std::condition_variable returned_cv;
        bool returned = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> lock(mutex);
            if (!returned_cv.wait_for(lock, bound, [&] { return returned; })) {
                std::fprintf(stderr, "\nHANG: seed %llu did not end within %lld ms\n%s",
                             static_cast<unsigned long long>(seed),
                             static_cast<long long>(bound.count()), transcript_of(dir).c_str());
                std::fflush(stderr);
                _exit(kHangExit);
            }
        });
        RunEnd end;
        end.seed = seed;
        const Clock::time_point start = Clock::now();
        try {
            end.report = body(seed, dir.path());
            end.exited = true;
            end.exit_code = 0;
        } catch (const std::exception &e) {
            end.exited = true;
            end.exit_code = kBodyThrew;
            end.transcript = std::string("soak run threw: ") + e.what() + "\n";
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            returned = true;
        }
        returned_cv.notify_all();
        watchdog.join();
        end.seconds = seconds_since(start);
        end.transcript += transcript_of(dir);
        done(end);
    }
}

}  // namespace soak
