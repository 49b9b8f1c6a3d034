// hidiap_soak: runs the whole tool against the simulated device many times, each run with its own
// seeded inputs and fault schedule, and checks that every run ends soundly. See --help.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "host/app/hidiap_tool.h"
#include "run_executor.h"
#include "run_in_process.h"
#include "run_plan.h"
#include "run_verdict.h"
#include "soak_tally.h"

namespace {

using namespace soak;

// Longest run that can still be sound: three faults, each costing at most a check's budget of
// 1,004 ticks or a held answer of 400, plus the run itself; the margin absorbs slow builds.
constexpr int kBoundTicks = 5000;
constexpr std::chrono::seconds kBoundMargin{10};
// The tool's own give-up: only a dead tick thread can leave a run without activity this long.
constexpr int kStallTicks = 2000;
constexpr int kProgressEvery = 100;
constexpr int kReruns = 2;
constexpr size_t kTranscriptTail = 3000;

struct Settings {
    int runs = 1000;
    uint64_t seed = 1;
    uint64_t replay = 0;
    bool replaying = false;
    int tick_us = 1000;
    int jobs = 2;
};

host::UpdateSettings tuning_for(const Settings &s) {
    host::UpdateSettings t;
    t.tick_period = std::chrono::microseconds(s.tick_us);
    t.stall_limit = std::max(
        std::chrono::milliseconds(1000),
        std::chrono::duration_cast<std::chrono::milliseconds>(t.tick_period * kStallTicks));
    return t;
}

std::chrono::milliseconds bound_for(const Settings &s) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::microseconds(s.tick_us) * kBoundTicks) +
           kBoundMargin;
}

std::string tail(const std::string &text) {
    return text.size() <= kTranscriptTail ? text
                                          : "[...]\n" + text.substr(text.size() - kTranscriptTail);
}

int replay(const Settings &s) {
    const RunPlan plan = make_plan(s.replay);
    std::printf("%s\n", describe(plan).c_str());
    Verdict verdict;
    const RunBody body = [&](uint64_t, const std::string &dir) {
        std::string command;
        for (const std::string &arg : tool_arguments(plan, dir)) {
            command += (command.empty() ? "" : " ") + arg;
        }
        std::printf("files kept in %s\nthe same run by hand: %s\n\n", dir.c_str(), command.c_str());
        std::fflush(stdout);
        verdict = judge_run(plan, run_in_process(plan, dir, tuning_for(s), true));
        return encode_verdict(verdict);
    };
    run_here(
        {s.replay}, bound_for(s), body, [](const RunEnd &) {}, true);
    std::printf("\noutcome: %s, exit status %d%s\n", outcome_column_name(verdict.outcome),
                verdict.exit_status,
                verdict.corruption_seen ? ", a flipped bit stayed in a verified page" : "");
    for (const std::string &v : verdict.violations) {
        std::printf("VIOLATION: %s\n", v.c_str());
    }
    std::printf("%s\n", verdict.ok() ? "all invariants hold" : "FAILED");
    return verdict.ok() ? 0 : 1;
}

int run_soak(const Settings &s) {
    std::vector<uint64_t> seeds(static_cast<size_t>(s.runs));
    std::iota(seeds.begin(), seeds.end(), s.seed);
    const host::UpdateSettings tuning = tuning_for(s);
    const RunBody body = [&tuning](uint64_t seed, const std::string &dir) {
        const RunPlan plan = make_plan(seed);
        return encode_verdict(judge_run(plan, run_in_process(plan, dir, tuning, false)));
    };
    SoakTally tally;
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const RunDone done = [&](const RunEnd &end) {
        tally.add(end, make_plan(end.seed).fault_class());
        if (tally.runs() % kProgressEvery == 0 || tally.runs() == s.runs) {
            std::printf("[soak] %d/%d runs, %zu failing, %.1f s\n", tally.runs(), s.runs,
                        tally.failures().size(), elapsed());
            std::fflush(stdout);
        }
    };
    std::printf("[soak] %d runs from seed %llu, tick %d us, %s\n", s.runs,
                static_cast<unsigned long long>(s.seed), s.tick_us,
                s.jobs == 0 ? "in this process"
                            : (std::to_string(s.jobs) + " child processes at a time").c_str());
    const auto execute = [&](const std::vector<uint64_t> &which, const RunDone &on_end) {
        if (s.jobs == 0) {
            run_here(which, bound_for(s), body, on_end);
        } else {
            run_in_children(which, s.jobs, bound_for(s), body, on_end);
        }
    };
    execute(seeds, done);

    if (!tally.suspects().empty()) {
        std::vector<uint64_t> again;
        std::map<uint64_t, int> failed;
        for (const Failure &f : tally.suspects()) {
            failed[f.seed] = 0;
            again.insert(again.end(), kReruns, f.seed);
        }
        std::printf(
            "[soak] %zu clean runs failed; running each %d times more, to tell a fault "
            "from a thread starved past a step's budget\n",
            tally.suspects().size(), kReruns);
        execute(again, [&failed](const RunEnd &end) {
            Verdict v;
            const bool passed =
                end.clean() && decode_verdict(end.report, v) && v.ok() && !v.clean_run_failed;
            failed[end.seed] += passed ? 0 : 1;
        });
        for (const auto &[seed, count] : failed) {
            tally.settle(seed, kReruns, count);
        }
    }

    std::printf("\n%s\n", tally.table().render().c_str());
    std::printf(
        "%d runs in %.1f s; %d ended with a flipped bit in a verified page; %d clean runs "
        "failed but passed when run again\n",
        tally.runs(), elapsed(), tally.corruption_seen(), tally.passed_on_rerun());
    if (tally.failures().empty()) {
        std::printf("all invariants held\n");
        return 0;
    }
    for (const Failure &f : tally.failures()) {
        std::printf("\nFAILED %s\n", describe(make_plan(f.seed)).c_str());
        for (const std::string &reason : f.reasons) {
            std::printf("  %s\n", reason.c_str());
        }
        std::printf("%s", tail(f.transcript).c_str());
    }
    std::printf("\n%zu of %d runs failed; replay one with:\n", tally.failures().size(),
                tally.runs());
    for (const Failure &f : tally.failures()) {
        std::printf("  hidiap_soak --replay %llu --tick-us %d\n",
                    static_cast<unsigned long long>(f.seed), s.tick_us);
    }
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    Settings s;
    CLI::App app{
        "Randomized fault soak of hidiap: runs the whole tool against the simulated device, each "
        "run with seeded input files, token and fault rules, and checks every run's outcome, "
        "exit status and flash.",
        "hidiap_soak"};
    app.add_option("--runs", s.runs, "number of seeded runs")->check(CLI::PositiveNumber);
    app.add_option("--seed", s.seed, "seed of the first run; run i uses seed + i");
    auto *replay_option =
        app.add_option("--replay", s.replay, "run this one seed verbosely and keep its files");
    app.add_option("--tick-us", s.tick_us, "tick period of the engine and the device, in us")
        ->check(CLI::Range(100, 10000));
    app.add_option("--jobs", s.jobs, "runs at once, each in a child process; 0 runs them here")
        ->check(CLI::Range(0, 16));
    CLI11_PARSE(app, argc, argv);
    s.replaying = replay_option->count() > 0;
    return s.replaying ? replay(s) : run_soak(s);
}
