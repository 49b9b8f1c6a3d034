// Healthy boards on a busy host: runs the built tool again and again on one to eight simulated
// boards at once under the USB full-speed timing model (no fault rules, so every run should
// succeed) while busy processes hold every core, and prints how many runs failed and how each
// board's time compares with the model's. Before that, on the machine as it is, the medium
// update once more for the tick period and the time against the model.
//
//   hidiap_busy_bench [--runs N] [--busy-per-core K]     (defaults: 500 runs, 2 per core)
//
// The busy processes are this program's children; they are killed by their ids at the end, and
// the system kills them too should this program die first.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_run.h"
#include "timing/usb_timing.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kImageStart = 0x8000;
// Eight sectors of image and one of TTS data: long enough for every kind of step to wait on
// the link (an erase takes 45 ms of its 100 ms budget), short enough for hundreds of runs.
constexpr uint32_t kImageProgram = 0x8000;
constexpr uint32_t kTtsBytes = 0x1000;
constexpr int kMaxBoards = 8;

std::vector<int> busy_children;

void write_random_file(const fs::path &p, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char &b : bytes) {
        b = static_cast<char>(rng());
    }
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(n));
}

double figure_after(const std::string &text, const char *key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::atof(text.c_str() + at + std::strlen(key));
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void start_busy_processes(int count) {
    for (int i = 0; i < count; i++) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            volatile unsigned long spin = 0;
            for (;;) {
                spin = spin + 1;
            }
        }
        if (pid > 0) {
            busy_children.push_back(pid);
        }
    }
}

void stop_busy_processes() {
    for (int pid : busy_children) {
        kill(pid, SIGKILL);
    }
    for (int pid : busy_children) {
        waitpid(pid, nullptr, 0);
    }
    busy_children.clear();
}

void on_signal(int) {
    for (int pid : busy_children) {
        kill(pid, SIGKILL);
    }
    _exit(130);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const size_t at =
        std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[at];
}

// The quiet figures: the medium update of the tool's benchmarks, alone on the link.
void quiet_run(const std::string &tool, const fs::path &dir) {
    std::vector<double> updates, ticks;
    double model = 0;
    for (int i = 0; i < 3; i++) {
        const bench::ChildRun run = bench::run_child(
            tool, {"--simulate", "--no-wait", "--timing-report", "--sim-timing", "usb-fs",
                   (dir / "medium.img").string(), (dir / "medium.tts").string(), "2MB"});
        if (run.exit_status != 0) {
            std::printf("quiet run failed (exit status %d): %s\n", run.exit_status,
                        run.errors.c_str());
            continue;
        }
        updates.push_back(figure_after(run.errors, "timing: update "));
        ticks.push_back(figure_after(run.errors, "mean tick period "));
        model = figure_after(run.errors, "on this link takes ");
    }
    if (updates.empty()) {
        return;
    }
    const double update = percentile(updates, 0.5);
    std::printf(
        "Quiet machine (load average %s), medium update (256 KiB image, 16 KiB TTS), median "
        "of %zu:\n  update %.3f s vs model %.3f s (%+.2f%%), mean tick period %.4f ms\n",
        load_average().c_str(), updates.size(), update, model, 100 * (update / model - 1),
        percentile(ticks, 0.5));
}

struct Tally {
    int runs = 0;
    int failed_runs = 0;
    int boards = 0;
    int failed_boards = 0;
    std::vector<double> off;  // each successful board's time against the model, in percent
    std::map<int, std::vector<double>> off_by_count;
    std::vector<std::string> failures;
};

void one_busy_run(const std::string &tool, const fs::path &dir, int boards, double model_s,
                  Tally &t) {
    const bench::ChildRun run =
        bench::run_child(tool,
                         {"--simulate", "--no-wait", "--json", "--sim-devices",
                          std::to_string(boards), "--all", "--sim-timing", "usb-fs",
                          (dir / "small.img").string(), (dir / "small.tts").string(), "1MB"},
                         true);
    t.runs++;
    t.boards += boards;
    int succeeded = 0;
    std::string reasons;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_discarded() || event.value("type", "") != "outcome") {
            continue;
        }
        if (event.value("status", "") == "success") {
            succeeded++;
            const double off = 100 * (event.value("seconds", 0.0) / model_s - 1);
            t.off.push_back(off);
            t.off_by_count[boards].push_back(off);
        } else {
            reasons += "\n    " + event.value("device", std::string("-")) + ": " +
                       (event["reason"].is_string() ? event["reason"].get<std::string>() : "");
        }
    }
    if (run.exit_status != 0 || succeeded != boards) {
        t.failed_runs++;
        t.failed_boards += boards - succeeded;
        t.failures.push_back("run " + std::to_string(t.runs) + " (" + std::to_string(boards) +
                             " boards), exit status " + std::to_string(run.exit_status) + reasons);
    }
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 500;
    int per_core = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--busy-per-core") == 0) {
            per_core = std::max(0, std::atoi(argv[i + 1]));
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--busy-per-core K]\n", argv[0]);
            return 2;
        }
    }
    const std::string tool = HIDIAP_TOOL_PATH;
    const fs::path dir = fs::temp_directory_path() / ("hidiap_busy_" + std::to_string(getpid()));
    fs::create_directories(dir);
    write_random_file(dir / "small.img", kImageStart + kImageProgram, 11);
    write_random_file(dir / "small.tts", kTtsBytes, 12);
    write_random_file(dir / "medium.img", 262144, 3);
    write_random_file(dir / "medium.tts", 16384, 4);
    const double model_s =
        std::chrono::duration<double>(
            timing::theoretical_update_time(timing::UsbTimingFigures{}, kImageProgram, kTtsBytes))
            .count();

    quiet_run(tool, dir);

    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    start_busy_processes(cores * per_core);
    std::printf(
        "Busy machine: %d busy processes on %d CPUs (%d per core); %d runs of 1-%d healthy "
        "boards at once (32 KiB image, 4 KiB TTS, usb-fs, model %.3f s per board)\n",
        cores * per_core, cores, per_core, runs, kMaxBoards, model_s);
    std::fflush(stdout);
    Tally t;
    for (int i = 0; i < runs; i++) {
        one_busy_run(tool, dir, 1 + i % kMaxBoards, model_s, t);
        if ((i + 1) % 50 == 0) {
            std::fprintf(stderr, "  %d runs, %d failed, load average %s\n", i + 1, t.failed_runs,
                         load_average().c_str());
        }
    }
    const std::string load = load_average();
    stop_busy_processes();
    fs::remove_all(dir);

    std::printf("Load average at the end of the busy runs: %s\n", load.c_str());
    const double rate = 100.0 * t.failed_runs / t.runs;
    std::printf(
        "Failed runs: %d of %d (%.2f%%); failed boards: %d of %d (aim: at most 1 run in "
        "500: %s)\n",
        t.failed_runs, t.runs, rate, t.failed_boards, t.boards,
        t.failed_runs * 500 <= t.runs ? "met" : "NOT met");
    const double worst = t.off.empty() ? 0 : *std::max_element(t.off.begin(), t.off.end());
    const auto within = std::count_if(t.off.begin(), t.off.end(), [](double o) { return o <= 2; });
    std::printf(
        "Board time against the model: median %+.2f%%, 95th percentile %+.2f%%, worst "
        "%+.2f%%; %.1f%% of boards within 2%% (aim: every board: %s)\n",
        percentile(t.off, 0.5), percentile(t.off, 0.95), worst,
        t.off.empty() ? 0 : 100.0 * static_cast<double>(within) / t.off.size(),
        worst <= 2 ? "met" : "NOT met");
    for (const auto &[count, offs] : t.off_by_count) {
        std::printf("  %d board%s at once: median %+.2f%%, worst %+.2f%% (%zu boards)\n", count,
                    count == 1 ? " " : "s", percentile(offs, 0.5),
                    *std::max_element(offs.begin(), offs.end()), offs.size());
    }
    for (size_t i = 0; i < t.failures.size() && i < 10; i++) {
        std::printf("  failed: %s\n", t.failures[i].c_str());
    }
    return 0;
}
