#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace test_support {

namespace {

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const ProcessOptions &options) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        return result;
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
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
        execv(program.c_str(), argv.data());
        _exit(127);
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
    while (out_open || err_open) {
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
