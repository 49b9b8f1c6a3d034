// The benchmarks' entry point. With --table, after the usual report it prints one table of the
// figures that matter for an update's speed, each the median of its repetitions, with its aim.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "fleet_bench.h"
#include "real_image_bench.h"
#include "tool_bench.h"

namespace {

// Keeps each benchmark's median (or its only run) while the console shows everything.
class FigureCollector : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            // Runs of one benchmark with arguments are told apart by them ("NAME/8").
            const std::string name =
                run.run_name.function_name +
                (run.run_name.args.empty() ? std::string() : "/" + run.run_name.args);
            if (run.aggregate_name == "median" ||
                (run.aggregate_name.empty() && figures_.count(name) == 0)) {
                figures_[name] = run;
            }
        }
    }
    const Run *find(const std::string &name) const {
        const auto it = figures_.find(name);
        return it == figures_.end() ? nullptr : &it->second;
    }

  private:
    std::map<std::string, Run> figures_;
};

double counter(const benchmark::BenchmarkReporter::Run *run, const char *name) {
    if (run == nullptr) {
        return NAN;
    }
    const auto it = run->counters.find(name);
    return it == run->counters.end() ? NAN : static_cast<double>(it->second.value);
}

void row(const char *figure, const std::string &value, const char *aim, bool have, bool met) {
    std::printf("| %-52s | %-40s | %-22s | %-8s |\n", figure, have ? value.c_str() : "-", aim,
                !have ? "not run"
                : met ? "met"
                      : "NOT met");
}

std::string format(const char *fmt, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

// Several devices at once under the timing model, the tool as a user runs it: each count's wall
// time, the ratio of 8 to 1, and the tool's CPU time for 8.
void fleet_rows(const FigureCollector &f) {
    const auto *one = f.find("BM_Tool_Fleet_Medium_UsbFs/1");
    const auto *eight = f.find("BM_Tool_Fleet_Medium_UsbFs/8");
    std::string walls;
    for (const char *n : {"1", "2", "4", "8"}) {
        const auto *run = f.find(std::string("BM_Tool_Fleet_Medium_UsbFs/") + n);
        walls += (walls.empty() ? "" : " / ") + format("%.3f", counter(run, "wall_s"));
    }
    const double ratio = counter(eight, "wall_s") / counter(one, "wall_s");
    row("1/2/4/8 devices at once (--all), medium, usb-fs", walls + format(" s, 8 = %.3fx 1", ratio),
        "8 <= 1.1x one", one != nullptr && eight != nullptr, ratio <= 1.1);
    row("CPU of 8 devices at once, medium, usb-fs",
        format("%.3f s in %.3f s (%.1f%% of a core)", counter(eight, "cpu_s"),
               counter(eight, "wall_s"), counter(eight, "cpu_pct")),
        "(reference)", eight != nullptr, true);
}

// Real images: what each option costs against a full update, and the aims: on an erased device a
// full update's time scaled by the share of pages that are not blank, plus the erases that remain
// (every sector's 47 ms with --skip-blank, none with --skip-unchanged); unchanged at most 1%.
void real_image_rows(const FigureCollector &f, const std::vector<bench::RealImage> &images) {
    if (images.empty()) {
        return;
    }
    std::printf("\nReal images (usb-fs model, TTS data one page at 0x180000, token 2MB):\n");
    for (const bench::RealImage &i : images) {
        std::printf("- %s: %s %s, %s, %s: %u bytes, %u of %u pages blank (%.1f%%)%s%s\n",
                    i.name.c_str(), i.package.c_str(), i.version.c_str(), i.file.c_str(),
                    i.how.c_str(), i.bytes, i.blank_pages, i.pages, 100.0 * i.blank_pages / i.pages,
                    i.previous == "-" ? "; no previous release that differs, 5% of sectors "
                                        "changed at random instead"
                                      : "; previous release ",
                    i.previous == "-" ? "" : i.previous.c_str());
    }
    std::printf("\n| %-10s | %-9s | %-18s | %-18s | %-18s | %-18s | %-18s |\n", "Image", "Full",
                "--skip-blank, erased", "--skip-unch., erased", "--skip-unch., prev.",
                "--skip-unch., same", "Aims (erased; same)");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(12, '-').c_str(),
                std::string(11, '-').c_str(), std::string(20, '-').c_str(),
                std::string(20, '-').c_str(), std::string(20, '-').c_str(),
                std::string(20, '-').c_str(), std::string(20, '-').c_str());
    for (const bench::RealImage &i : images) {
        double s[5];
        bool have = true;
        for (int c = 0; c < 5; c++) {
            const auto *run = f.find(std::string("BM_Real_") + bench::kRealCases[c] + "_" + i.name);
            have = have && run != nullptr;
            s[c] = counter(run, "update_s");
        }
        const double share = 1.0 - static_cast<double>(i.blank_pages) / i.pages;
        const double aim_blank = s[0] * share + i.sectors * 0.047;
        const double aim_skip = s[0] * share;
        std::string cells[5];
        for (int c = 0; c < 5; c++) {
            cells[c] = c == 0 ? format("%.3f s", s[0])
                              : format("%.3f s (%.2f%%)", s[c], 100 * s[c] / s[0]);
        }
        const bool met = s[1] <= aim_blank && s[2] <= aim_skip && s[4] <= 0.01 * s[0];
        std::printf("| %-10s | %-9s | %-18s | %-18s | %-18s | %-18s | %-18s |\n", i.name.c_str(),
                    cells[0].c_str(), cells[1].c_str(), cells[2].c_str(), cells[3].c_str(),
                    cells[4].c_str(),
                    !have
                        ? "not run"
                        : (format("%.2f/%.2f s; ", aim_blank, aim_skip) + (met ? "met" : "NOT met"))
                              .c_str());
    }
}

// The station: boards per hour alone and in bursts, its own cost per board against the board's
// time, and its CPU while no board is there.
void station_rows(const FigureCollector &f) {
    std::string rates;
    for (const char *n : {"1", "4", "8"}) {
        const auto *run = f.find(std::string("BM_Tool_Station_UsbFs/") + n);
        rates += (rates.empty() ? "" : " / ") + format("%.0f", counter(run, "boards_per_hour"));
    }
    const auto *one = f.find("BM_Tool_Station_UsbFs/1");
    row("Station boards/h: 1 alone / bursts of 4, 8 (usb-fs)", rates, "(reference)", one != nullptr,
        true);
    const double own_ms = counter(one, "seen_to_report_ms") + counter(one, "to_durable_ms");
    const double pct = 100 * own_ms / (1000 * counter(one, "board_s"));
    row("Station's own cost per board, of its time",
        format("%.2f + %.2f ms of %.2f s", counter(one, "seen_to_report_ms"),
               counter(one, "to_durable_ms"), counter(one, "board_s")) +
            format(" (%.3f%%)", pct),
        "< 1% together", one != nullptr, pct < 1.0);
    std::string slot_rates;
    std::string worst;
    bool within = true;
    bool have = true;
    for (const char *n : {"8", "16", "32"}) {
        const auto *run = f.find(std::string("BM_Tool_Slots_UsbFs/") + n);
        have = have && run != nullptr;
        slot_rates +=
            (slot_rates.empty() ? "" : " / ") + format("%.0f", counter(run, "boards_per_hour"));
        worst += (worst.empty() ? "" : " / ") + format("%+.2f%% (mean %+.2f%%)",
                                                       counter(run, "worst_vs_model_pct"),
                                                       counter(run, "mean_vs_model_pct"));
    }
    const auto *thirty_two = f.find("BM_Tool_Slots_UsbFs/32");
    within = counter(thirty_two, "worst_vs_model_pct") < 1.0;
    row("Slots boards/h: 8 / 16 / 32 slots, medium, usb-fs", slot_rates, "(reference)", have, true);
    row("Slots: worst board against the model, 8 / 16 / 32", worst, "< 1% per board at 32", have,
        within);
    const auto *idle = f.find("BM_Tool_Station_Idle");
    row("Station CPU while no board is present",
        format("%.3f%% of a core (%.3f s CPU in %.1f s)", counter(idle, "cpu_pct"),
               counter(idle, "cpu_s"), counter(idle, "wall_s")),
        "< 1% of a core", idle != nullptr, counter(idle, "cpu_pct") < 1.0);
}

void print_table(const FigureCollector &f) {
    std::printf("\n| %-52s | %-40s | %-22s | %-8s |\n", "Figure (median)", "Measured", "Aim", "");
    std::printf("|%s|%s|%s|%s|\n", std::string(54, '-').c_str(), std::string(42, '-').c_str(),
                std::string(24, '-').c_str(), std::string(10, '-').c_str());

    const auto *fast = f.find("BM_Tool_Largest_NoDelay");
    const double wall = counter(fast, "wall_s");
    row("Largest update, simulated device, no delays",
        format("%.3f s wall, %.3f s CPU, %.1f MiB peak", wall, counter(fast, "cpu_s"),
               counter(fast, "peak_MiB")),
        "< 0.2 s wall", fast != nullptr, wall < 0.2);

    for (const auto &[name, label] :
         {std::pair<const char *, const char *>{"BM_Tool_Largest_UsbFs",
                                                "Largest update, usb-fs model"},
          {"BM_Tool_Medium_UsbFs", "Medium update (256 KiB image), usb-fs model"}}) {
        const auto *run = f.find(name);
        const double off = counter(run, "vs_theory_pct");
        row(label,
            format("%.3f s vs %.3f s theoretical (%+.2f%%)", counter(run, "update_s"),
                   counter(run, "theory_s"), off),
            "within 1% of theory", run != nullptr, std::fabs(off) <= 1.0);
    }

    const auto *full = f.find("BM_Tool_UsbFs_FullUpdate");
    const double full_s = counter(full, "update_s");
    for (const auto &[name, label, aim, limit] :
         {std::tuple<const char *, const char *, const char *, double>{
              "BM_Tool_UsbFs_Skip_Unchanged", "--skip-unchanged, unchanged flash", "<= 3% of full",
              3.0},
          {"BM_Tool_UsbFs_Skip_TenthChanged", "--skip-unchanged, 10% of sectors changed",
           "<= 15% of full", 15.0},
          {"BM_Tool_UsbFs_Skip_Erased", "--skip-unchanged, erased flash", "<= 101% of full",
           101.0}}) {
        const auto *run = f.find(name);
        const double pct = 100 * counter(run, "update_s") / full_s;
        row(label,
            format("%.3f s = %.2f%% of a full update (%.3f s)", counter(run, "update_s"), pct,
                   full_s),
            aim, run != nullptr && full != nullptr, pct <= limit);
    }

    const auto *silent = f.find("BM_Tool_SilentDevice");
    const double pct = counter(silent, "cpu_pct");
    row("CPU while the device does not answer",
        format("%.3f%% of a core (%.3f s CPU in %.1f s)", pct, counter(silent, "cpu_s"),
               counter(silent, "wall_s")),
        "< 1% of a core", silent != nullptr, pct < 1.0);

    const auto *largest = f.find("BM_Tool_Largest_UsbFs");
    const double tick = counter(largest, "tick_ms");
    row("Tick period over the largest usb-fs update",
        format("%.4f ms (%+.3f%%)", tick, 100 * (tick / 10 - 1)), "within 0.5% of 10 ms",
        largest != nullptr, std::fabs(tick / 10 - 1) <= 0.005);

    fleet_rows(f);
    station_rows(f);

    const auto *zlib = f.find("BM_Crc32_Zlib");
    const auto *table = f.find("BM_Crc32_Table");
    const double z = zlib ? zlib->GetAdjustedRealTime() : NAN;
    const double t = table ? table->GetAdjustedRealTime() : NAN;
    row("CRC-32 of 2,048,000 bytes: zlib vs byte-wise table",
        format("%.3f ms vs %.3f ms (%.1fx)", z, t, t / z), "(kept for reference)",
        zlib != nullptr && table != nullptr, true);
}

}  // namespace

int main(int argc, char **argv) {
    bool table = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--table") == 0) {
            table = true;
            argv[i--] = argv[--argc];  // not a flag the library knows
        }
    }
    const char *long_runs = std::getenv("HIDIAP_BENCH_LONG");
    const bool long_set = long_runs != nullptr && std::strcmp(long_runs, "1") == 0;
    bench::register_tool_benchmarks(long_set);
    bench::register_fleet_benchmarks(long_set);
    const char *real_dir = std::getenv("HIDIAP_BENCH_REAL_IMAGES");
    const std::vector<bench::RealImage> real =
        bench::register_real_image_benchmarks(real_dir != nullptr ? real_dir : "");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    FigureCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (table) {
        print_table(collector);
        real_image_rows(collector, real);
    }
    benchmark::Shutdown();
    return 0;
}
