#include "run_in_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>

#include "console/console.h"
#include "scratch_dir.h"

namespace soak {

namespace {

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

// Points file descriptor 2 at a file for as long as it lives.
class StderrToFile {
  public:
    explicit StderrToFile(const std::string &path) {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (saved_ < 0 || fd < 0) {
            throw std::runtime_error("cannot send standard error to " + path);
        }
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrToFile() {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    StderrToFile(const StderrToFile &) = delete;
    StderrToFile &operator=(const StderrToFile &) = delete;

  private:
    int saved_ = -1;
};

// Collects the console while the tool runs; restores standard output when done.
class ConsoleCapture {
  public:
    ConsoleCapture(const std::string &copy_path, bool echo)
        : copy_fd_(open(copy_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)),
          sink_([this, echo](std::string_view text) {
              std::lock_guard<std::mutex> lock(mutex_);
              text_.append(text);
              if (copy_fd_ >= 0) {
                  // Written straight through, so the transcript survives a crash of this process.
                  const ssize_t ignored = ::write(copy_fd_, text.data(), text.size());
                  (void)ignored;
              }
              if (echo) {
                  console_stdout_sink(text);
              }
          }) {}
    ~ConsoleCapture() {
        if (copy_fd_ >= 0) {
            close(copy_fd_);
        }
    }
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

  private:
    std::mutex mutex_;
    std::string text_;
    int copy_fd_;
    ConsoleSinkScope sink_;
};

}  // namespace

std::vector<std::string> tool_arguments(const RunPlan &plan, const std::string &dir) {
    std::vector<std::string> args = {"hidiap", "--simulate", "--no-wait", "--sim-flash",
                                     dir + "/flash.bin"};
    if (plan.skip_blank) {
        args.push_back("--skip-blank");
    }
    if (plan.skip_unchanged) {
        args.push_back("--skip-unchanged");
        if (!plan.start_flash.empty()) {
            args.push_back("--sim-flash-from");
            args.push_back(dir + "/start.bin");
        }
    }
    for (const std::string &rule : plan.fault_texts()) {
        args.push_back("--sim-fault");
        args.push_back(rule);
    }
    args.push_back(dir + "/image.bin");
    args.push_back(dir + "/tts.bin");
    args.push_back(plan.token);
    return args;
}

RunObservation run_in_process(const RunPlan &plan, const std::string &dir,
                              const host::UpdateSettings &tuning, bool echo) {
    write_file(dir + "/image.bin", plan.image);
    write_file(dir + "/tts.bin", plan.tts);
    if (!plan.start_flash.empty()) {
        write_file(dir + "/start.bin", plan.start_flash);
    }
    std::vector<std::string> args = tool_arguments(plan, dir);
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    RunObservation seen;
    {
        ConsoleCapture console(dir + "/console.txt", echo);
        {
            StderrToFile errors(dir + "/errors.txt");
            seen.exit_status = host::run_tool(static_cast<int>(args.size()), argv.data(), tuning);
        }
        seen.console = console.text();
    }
    seen.errors = read_text_file(dir + "/errors.txt");
    if (echo) {
        std::fputs(seen.errors.c_str(), stdout);
        std::fflush(stdout);
    }
    seen.flash = read_file(dir + "/flash.bin");
    return seen;
}

}  // namespace soak
