// The whole tool as a user runs it, against the simulated device: with no delays (what the tool
// itself costs), with the USB full-speed timing model against the model's theoretical time,
// with --skip-unchanged over unchanged, partly changed and erased flash, and with a device that
// stops answering (the CPU the tool uses while it waits), and with 1, 2, 4 and 8 devices updated
// at once under the timing model, and the station (--station) with boards arriving alone and in
// bursts, and while it waits for one. The runs that take minutes are
// registered only when HIDIAP_BENCH_LONG=1 (scripts/bench sets it).
#include "tool_bench.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "child_run.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

constexpr uint32_t kSector = 4096;
constexpr uint32_t kImageStart = 0x8000;
constexpr uint32_t kTtsAddr2Mb = 0x180000;

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto &b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

void write_file(const fs::path &p, const std::vector<uint8_t> &bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The input files of every case, made once in a scratch directory removed at exit.
struct Inputs {
    Inputs() {
        dir = fs::temp_directory_path() / ("hidiap_bench_" + std::to_string(getpid()));
        fs::create_directories(dir);
        // The largest files the buffers hold; their ranges overlap whatever the token.
        write_file(dir / "largest.img", random_bytes(2080768, 1));
        write_file(dir / "largest.tts", random_bytes(262144, 2));
        write_file(dir / "medium.img", random_bytes(262144, 3));
        write_file(dir / "medium.tts", random_bytes(16384, 4));
        // The largest files whose ranges do not overlap (needed by --skip-unchanged): the image
        // up to the TTS data at 0x180000.
        write_file(dir / "skip.img", random_bytes(kTtsAddr2Mb, 5));
        write_file(dir / "skip.tts", random_bytes(262144, 6));
        write_file(dir / "small.img", random_bytes(40000, 7));
        write_file(dir / "small.tts", random_bytes(1000, 8));
    }
    ~Inputs() { fs::remove_all(dir); }
    std::string operator()(const std::string &name) const { return (dir / name).string(); }

    // The flash a full update of the skip files leaves, and that flash with a tenth of the
    // sectors the update touches rewritten with other data.
    void make_start_flashes() {
        if (fs::exists(dir / "unchanged.flash")) {
            return;
        }
        run_child(tool_path(),
                  {"--simulate", "--no-wait", "--sim-flash", (*this)("unchanged.flash"),
                   (*this)("skip.img"), (*this)("skip.tts"), "2MB"});
        std::vector<uint8_t> flash = read_file(dir / "unchanged.flash");
        std::vector<uint32_t> sectors;
        for (uint32_t a = kImageStart; a < kTtsAddr2Mb + 262144; a += kSector) {
            sectors.push_back(a);
        }
        std::mt19937 rng(9);
        std::shuffle(sectors.begin(), sectors.end(), rng);
        sectors.resize(sectors.size() / 10);
        for (uint32_t a : sectors) {
            const std::vector<uint8_t> other = random_bytes(kSector, a);
            std::copy(other.begin(), other.end(), flash.begin() + a);
        }
        write_file(dir / "tenth.flash", flash);
    }

    fs::path dir;
};

Inputs &inputs() {
    static Inputs in;
    return in;
}

double figure_after(const std::string &text, const char *key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::atof(text.c_str() + at + std::strlen(key));
}

void BM_Tool_Largest_NoDelay(benchmark::State &state) {
    Inputs &in = inputs();
    run_tool_case(state, {in("largest.img"), in("largest.tts"), "2MB"}, 0);
}

void BM_Tool_Medium_UsbFs(benchmark::State &state) {
    Inputs &in = inputs();
    run_tool_case(state, {"--sim-timing", "usb-fs", in("medium.img"), in("medium.tts"), "2MB"}, 0);
}

void BM_Tool_SilentDevice(benchmark::State &state) {
    // Every answer to the first check is lost: about 10 s of resends and waiting.
    Inputs &in = inputs();
    run_tool_case(
        state,
        {"--sim-fault", "drop:check:1", "--sim-fault", "drop:check:2", "--sim-fault",
         "drop:check:3", "--sim-fault", "drop:check:4", in("small.img"), in("small.tts"), "1MB"},
        1);
}

void BM_Tool_Largest_UsbFs(benchmark::State &state) {
    Inputs &in = inputs();
    run_tool_case(state, {"--sim-timing", "usb-fs", in("largest.img"), in("largest.tts"), "2MB"},
                  0);
}

// N devices at once (--all), each on its own link under the timing model.
void BM_Tool_Fleet_Medium_UsbFs(benchmark::State &state) {
    Inputs &in = inputs();
    run_tool_case(state,
                  {"--sim-devices", std::to_string(state.range(0)), "--all", "--sim-timing",
                   "usb-fs", in("medium.img"), in("medium.tts"), "2MB"},
                  0);
}

// The station under the timing model with the medium files: N boards plugged in at once (1, 4,
// 8), each verified, updated and recorded (JSON Lines, synced). Boards per hour from the tool's
// totals line; the station's own cost per board from its --timing-report lines.
void BM_Tool_Station_UsbFs(benchmark::State &state) {
    Inputs &in = inputs();
    const std::string boards = std::to_string(state.range(0));
    fs::remove(in.dir / "station.jsonl");
    run_tool_case(
        state,
        {"--station", "--count", boards, "--sim-arrivals", "0x" + boards, "--sim-timing", "usb-fs",
         "--record", in("station.jsonl"), in("medium.img"), in("medium.tts"), "2MB"},
        0);
}

// A fixture of N slots (8, 16, 32) under the timing model with the medium files, every slot
// plugged at once, each board recorded: boards per hour, and each board's time (seen to record
// durable) against the model's time of every frame the board gets, its verification and then its
// full update: the worst board's and the mean.
void BM_Tool_Slots_UsbFs(benchmark::State &state) {
    Inputs &in = inputs();
    const int slots = static_cast<int>(state.range(0));
    std::string map;
    std::string ports;
    for (int n = 1; n <= slots; n++) {
        const std::string port =
            "1-" + std::to_string((n - 1) / 8 + 1) + "." + std::to_string((n - 1) % 8 + 1);
        map += "slot" + std::to_string(n) + " " + port + "\n";
        ports += (n == 1 ? "" : ",") + port;
    }
    std::ofstream(in.dir / "fixture.slots") << map;
    fs::remove(in.dir / "slots.jsonl");
    // The model's time of a verification and of a full update on this link, as the timing
    // reports of a plain verify and update give them (the same for every case: computed once).
    const auto model_of = [&in](const char *what) {
        std::vector<std::string> args = {"--simulate",     "--no-wait", "--timing-report",
                                         "--sim-timing",   "usb-fs",    in("medium.img"),
                                         in("medium.tts"), "2MB"};
        if (what != nullptr) {
            args.insert(args.begin(), what);
        }
        return figure_after(run_child(tool_path(), args).errors, "on this link takes ");
    };
    static const double verify_model = model_of("--verify");
    static const double update_model = model_of(nullptr);
    const double model = verify_model + update_model;
    run_tool_case(state,
                  {"--station", "--count", std::to_string(slots), "--sim-arrivals",
                   "0x" + std::to_string(slots), "--sim-ports", ports, "--slots",
                   in("fixture.slots"), "--sim-timing", "usb-fs", "--record", in("slots.jsonl"),
                   in("medium.img"), in("medium.tts"), "2MB"},
                  0);
    const std::string &report = last_errors();
    double worst = 0;
    double sum = 0;
    int boards = 0;
    for (size_t at = report.find(" ms, board "); at != std::string::npos;
         at = report.find(" ms, board ", at + 1)) {
        const double board = std::atof(report.c_str() + at + std::strlen(" ms, board "));
        worst = std::max(worst, board);
        sum += board;
        boards++;
    }
    if (verify_model > 0 && update_model > 0 && boards > 0) {
        state.counters["model_s"] = model;
        state.counters["worst_vs_model_pct"] = 100 * (worst / model - 1);
        state.counters["mean_vs_model_pct"] = 100 * (sum / boards / model - 1);
    }
}

// No board for 10 s, then one that updates at once: the station's CPU while it waits.
void BM_Tool_Station_Idle(benchmark::State &state) {
    Inputs &in = inputs();
    run_tool_case(state,
                  {"--station", "--count", "1", "--sim-arrivals", "10000", in("small.img"),
                   in("small.tts"), "1MB"},
                  0);
}

void BM_Tool_Skip(benchmark::State &state, const char *start) {
    Inputs &in = inputs();
    in.make_start_flashes();
    std::vector<std::string> args = {"--sim-timing", "usb-fs"};
    if (std::strcmp(start, "full") != 0) {
        args.push_back("--skip-unchanged");
    }
    if (std::strcmp(start, "unchanged") == 0 || std::strcmp(start, "tenth") == 0) {
        args.insert(args.end(), {"--sim-flash-from", in(std::string(start) + ".flash")});
    }
    args.insert(args.end(), {in("skip.img"), in("skip.tts"), "2MB"});
    run_tool_case(state, args, 0);
}

}  // namespace

// The standard error of the last run_tool_case, for the figures a case reads itself.
std::string &last_errors() {
    static std::string errors;
    return errors;
}

void run_tool_case(benchmark::State &state, std::vector<std::string> args, int expected_status) {
    args.insert(args.begin(), {"--simulate", "--no-wait", "--timing-report"});
    ChildRun run;
    for (auto _ : state) {
        run = run_child(tool_path(), args);
        if (run.exit_status != expected_status) {
            state.SkipWithError(
                ("exit status " + std::to_string(run.exit_status) + ": " + run.errors).c_str());
            return;
        }
        state.SetIterationTime(run.wall_s);
    }
    last_errors() = run.errors;
    state.counters["wall_s"] = run.wall_s;
    state.counters["cpu_s"] = run.cpu_s;
    state.counters["cpu_pct"] = 100 * run.cpu_s / run.wall_s;
    state.counters["peak_MiB"] = run.peak_rss_mib;
    state.counters["update_s"] = figure_after(run.errors, "timing: update ");
    state.counters["tick_ms"] = figure_after(run.errors, "mean tick period ");
    if (run.errors.find("station timing: ") != std::string::npos) {
        state.counters["boards_per_hour"] = figure_after(run.errors, " failed, ");
        state.counters["seen_to_report_ms"] = figure_after(run.errors, "seen to first report ");
        state.counters["to_durable_ms"] = figure_after(run.errors, "record durable ");
        state.counters["board_s"] = figure_after(run.errors, " ms, board ");
    }
    const double theory = figure_after(run.errors, "on this link takes ");
    if (theory > 0) {
        state.counters["theory_s"] = theory;
        state.counters["vs_theory_pct"] = 100 * (state.counters["update_s"] / theory - 1);
    }
}

const std::string &tool_path() {
    static const std::string path = HIDIAP_TOOL_PATH;
    return path;
}

void register_tool_benchmarks(bool long_runs) {
    const auto per_run = [](benchmark::internal::Benchmark *b, int repetitions) {
        b->Iterations(1)
            ->Repetitions(repetitions)
            ->ReportAggregatesOnly(true)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    per_run(benchmark::RegisterBenchmark("BM_Tool_Largest_NoDelay", BM_Tool_Largest_NoDelay), 7);
    per_run(benchmark::RegisterBenchmark("BM_Tool_Medium_UsbFs", BM_Tool_Medium_UsbFs), 3);
    per_run(benchmark::RegisterBenchmark("BM_Tool_SilentDevice", BM_Tool_SilentDevice), 3);
    per_run(benchmark::RegisterBenchmark("BM_Tool_Station_Idle", BM_Tool_Station_Idle), 1);
    if (!long_runs) {
        return;
    }
    per_run(benchmark::RegisterBenchmark("BM_Tool_Largest_UsbFs", BM_Tool_Largest_UsbFs), 3);
    const std::pair<const char *, const char *> skip_cases[] = {
        {"BM_Tool_UsbFs_FullUpdate", "full"},
        {"BM_Tool_UsbFs_Skip_Unchanged", "unchanged"},
        {"BM_Tool_UsbFs_Skip_TenthChanged", "tenth"},
        {"BM_Tool_UsbFs_Skip_Erased", "erased"}};
    for (const auto &[name, start] : skip_cases) {
        per_run(benchmark::RegisterBenchmark(name, BM_Tool_Skip, start), 3);
    }
    auto *fleet =
        benchmark::RegisterBenchmark("BM_Tool_Fleet_Medium_UsbFs", BM_Tool_Fleet_Medium_UsbFs);
    per_run(fleet->Arg(1)->Arg(2)->Arg(4)->Arg(8), 1);
    auto *station = benchmark::RegisterBenchmark("BM_Tool_Station_UsbFs", BM_Tool_Station_UsbFs);
    per_run(station->Arg(1)->Arg(4)->Arg(8), 1);
    auto *slots = benchmark::RegisterBenchmark("BM_Tool_Slots_UsbFs", BM_Tool_Slots_UsbFs);
    per_run(slots->Arg(8)->Arg(16)->Arg(32), 1);
}

}  // namespace bench
