#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace test_support {

namespace {

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::vector<char *> argv_of(const std::string &program, const std::vector<std::string> &args) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

void exec_child(const std::string &program, std::vector<char *> &argv,
                const ProcessOptions &options) {
    for (const std::string &e : options.env) {
        putenv(const_cast<char *>(e.c_str()));
    }
    execv(program.c_str(), argv.data());
    _exit(127);
}

// Appends what is readable on fd; false once it is closed (a pseudo-terminal whose other side
// has gone reports EIO instead of end of file).
bool drain(int fd, std::string &sink) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            sink.append(buf, static_cast<size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

ProcessResult run_in_terminal(const std::string &program, const std::vector<std::string> &args,
                              const ProcessOptions &options) {
    ProcessResult result;
    std::vector<char *> argv = argv_of(program, args);
    int out[2] = {-1, -1};
    if (options.stdout_to_pipe && pipe2(out, O_CLOEXEC) != 0) {
        return result;
    }
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        return result;
    }
    if (pid == 0) {
        if (options.stdout_to_pipe) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
        }
        exec_child(program, argv, options);
    }
    if (options.stdout_to_pipe) {
        close(out[1]);
        set_nonblocking(out[0]);
    }
    set_nonblocking(master);
    const auto deadline = std::chrono::steady_clock::now() + options.limit;
    bool acted = options.wait_for.empty();
    bool screen_open = true, out_open = options.stdout_to_pipe;
    while (screen_open || out_open) {
        if (!acted && result.screen.find(options.wait_for) != std::string::npos) {
            acted = true;
            if (options.then_signal != 0) {
                kill(pid, options.then_signal);
            } else {
                const std::string text = options.then_write ? options.then_write() : "\n";
                (void)!write(master, text.data(), text.size());
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
        poll(fds, out_open ? 2 : 1, 50);
        if (screen_open) {
            screen_open = drain(master, result.screen);
        }
        if (out_open) {
            out_open = drain(out[0], result.out);
        }
    }
    close(master);
    if (options.stdout_to_pipe) {
        close(out[0]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const ProcessOptions &options) {
    if (options.terminal) {
        return run_in_terminal(program, args, options);
    }
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return result;
    }
    std::vector<char *> argv = argv_of(program, args);
    if (options.stdin_mode == Stdin::Newline) {
        (void)!write(in[1], "\n", 1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        exec_child(program, argv, options);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    int stdin_fd = in[1];
    if (options.stdin_mode != Stdin::HeldOpen) {
        close(stdin_fd);
        stdin_fd = -1;
    }
    set_nonblocking(out[0]);
    set_nonblocking(err[0]);
    const auto deadline = std::chrono::steady_clock::now() + options.limit;
    bool out_open = true, err_open = true;
    size_t signalled = 0;
    while (out_open || err_open) {
        if (signalled < options.signals.size() &&
            (result.out.find(options.signals[signalled].first) != std::string::npos ||
             result.err.find(options.signals[signalled].first) != std::string::npos)) {
            kill(pid, options.signals[signalled++].second);
        }
        if (stdin_fd >= 0 && !options.wait_for.empty() &&
            result.out.find(options.wait_for) != std::string::npos) {
            const std::string text = options.then_write ? options.then_write() : "\n";
            (void)!write(stdin_fd, text.data(), text.size());
            close(stdin_fd);
            stdin_fd = -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 100)));
        char buf[4096];
        for (int i = 0; i < 2; i++) {
            bool &open = i == 0 ? out_open : err_open;
            std::string &sink = i == 0 ? result.out : result.err;
            if (!open) {
                continue;
            }
            for (;;) {
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sink.append(buf, static_cast<size_t>(n));
                    continue;
                }
                if (n == 0) {
                    open = false;
                }
                break;
            }
        }
    }
    if (stdin_fd >= 0) {
        close(stdin_fd);
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace test_support
