#include "child_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace bench {

namespace {

std::string read_and_remove(const char *path) {
    std::ifstream in(path);
    std::string text(std::istreambuf_iterator<char>(in), {});
    std::remove(path);
    return text;
}

}  // namespace

ChildRun run_child(const std::string &program, const std::vector<std::string> &args,
                   bool keep_output) {
    ChildRun run;
    char errors_path[] = "/tmp/hidiap_bench_stderr_XXXXXX";
    char output_path[] = "/tmp/hidiap_bench_stdout_XXXXXX";
    const int errors_fd = mkstemp(errors_path);
    if (errors_fd < 0) {
        return run;
    }
    const int output_fd = keep_output ? mkstemp(output_path) : -1;
    if (keep_output && output_fd < 0) {
        close(errors_fd);
        std::remove(errors_path);
        return run;
    }
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (keep_output) {
        posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, errors_fd, STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(errors_fd);
    if (keep_output) {
        close(output_fd);
    }
    if (spawned == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid) {
            run.wall_s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            const auto seconds = [](const timeval &tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
            run.cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
            run.peak_rss_mib = usage.ru_maxrss / 1024.0;  // kilobytes on Linux
        }
    }
    run.errors = read_and_remove(errors_path);
    if (keep_output) {
        run.output = read_and_remove(output_path);
    }
    return run;
}

}  // namespace bench
