// The executors and the tally: every seed comes back exactly once, and a run that crashes, exits
// badly, hangs or breaks an invariant is told apart from a sound one, with its transcript.
#include "run_executor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "run_in_process.h"
#include "run_verdict.h"
#include "soak_tally.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

std::map<uint64_t, RunEnd> run_children(const std::vector<uint64_t> &seeds, int jobs,
                                        std::chrono::milliseconds bound, const RunBody &body) {
    std::map<uint64_t, RunEnd> ends;
    run_in_children(seeds, jobs, bound, body, [&](const RunEnd &end) {
        EXPECT_EQ(ends.count(end.seed), 0u) << "seed reported twice";
        ends[end.seed] = end;
    });
    return ends;
}

TEST(RunInChildren, EverySeedReportsOnceFromItsOwnProcessAndDirectory) {
    const pid_t parent = getpid();
    const auto ends = run_children(
        {1, 2, 3, 4, 5, 6, 7}, 3, 10s, [parent](uint64_t seed, const std::string &dir) {
            std::printf("child of seed %llu speaking\n", static_cast<unsigned long long>(seed));
            const bool own_process = getpid() != parent;
            return std::to_string(seed * 10) + (own_process ? " child" : " parent") +
                   (std::filesystem::is_directory(dir) ? " dir" : " nodir");
        });
    ASSERT_EQ(ends.size(), 7u);
    for (const auto &[seed, end] : ends) {
        EXPECT_TRUE(end.clean());
        EXPECT_EQ(end.report, std::to_string(seed * 10) + " child dir");
        EXPECT_NE(end.transcript.find("child of seed " + std::to_string(seed) + " speaking"),
                  std::string::npos);
    }
}

TEST(RunInChildren, CrashesBadExitsAndHangsCostOnlyTheirOwnRun) {
    const auto ends = run_children({1, 2, 3, 4}, 2, 1500ms, [](uint64_t seed, const std::string &) {
        switch (seed) {
            case 1:
                std::fprintf(stderr, "about to abort\n");
                std::abort();
            case 2:
                std::fflush(stdout);
                _exit(23);
            case 3:
                std::this_thread::sleep_for(60s);
                break;
            default:
                break;
        }
        return std::string("fine");
    });
    ASSERT_EQ(ends.size(), 4u);
    EXPECT_EQ(ends.at(1).signal, SIGABRT);
    EXPECT_NE(ends.at(1).transcript.find("about to abort"), std::string::npos);
    EXPECT_TRUE(ends.at(2).exited);
    EXPECT_EQ(ends.at(2).exit_code, 23);
    EXPECT_TRUE(ends.at(3).hung);
    EXPECT_LT(ends.at(3).seconds, 5.0);
    EXPECT_TRUE(ends.at(4).clean());
    for (uint64_t seed : {1, 2, 3}) {
        EXPECT_FALSE(ends.at(seed).clean());
    }
}

#if defined(__SANITIZE_ADDRESS__)
// The soak's claim that a leak fails its run rests on the leak check at a child's exit.
TEST(RunInChildren, ALeakInARunFailsThatRun) {
    const auto ends = run_children({1}, 1, 20s, [](uint64_t, const std::string &) {
        volatile char *lost = new char[4096];
        lost[0] = 1;
        lost = nullptr;
        return std::string("leaked");
    });
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends.at(1).report, "leaked");
    EXPECT_FALSE(ends.at(1).clean());
    EXPECT_NE(ends.at(1).transcript.find("LeakSanitizer"), std::string::npos);
}
#endif

#if defined(__SANITIZE_THREAD__)
// Likewise a data race: ThreadSanitizer makes the child's exit status non-zero.
TEST(RunInChildren, ADataRaceInARunFailsThatRun) {
    const auto ends = run_children({1}, 1, 20s, [](uint64_t, const std::string &) {
        int shared = 0;
        std::thread other([&shared] { shared++; });
        shared++;
        other.join();
        return std::to_string(shared);
    });
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_FALSE(ends.at(1).clean());
    EXPECT_NE(ends.at(1).transcript.find("ThreadSanitizer: data race"), std::string::npos);
}
#endif

TEST(RunHere, RunsInThisProcessAndReportsAThrowingBody) {
    std::vector<RunEnd> ends;
    const pid_t self = getpid();
    run_here(
        {5, 6}, 10s,
        [self](uint64_t seed, const std::string &) -> std::string {
            if (seed == 6) {
                throw std::runtime_error("no inputs");
            }
            return getpid() == self ? "here" : "elsewhere";
        },
        [&](const RunEnd &end) { ends.push_back(end); });
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_TRUE(ends[0].clean());
    EXPECT_EQ(ends[0].report, "here");
    EXPECT_FALSE(ends[1].clean());
    EXPECT_NE(ends[1].transcript.find("no inputs"), std::string::npos);
}

TEST(RunHere, AHangEndsTheProcessNamingTheSeed) {
    // The watchdog can only end the whole process, so the hanging run_here goes in a child.
    const auto ends = run_children({1}, 1, 20s, [](uint64_t, const std::string &) {
        run_here(
            {42}, 200ms,
            [](uint64_t, const std::string &) -> std::string {
                std::this_thread::sleep_for(60s);
                return "";
            },
            [](const RunEnd &) {});
        return std::string("returned");
    });
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends.at(1).exit_code, 3);
    EXPECT_EQ(ends.at(1).report, "");
    EXPECT_NE(ends.at(1).transcript.find("HANG: seed 42"), std::string::npos);
}

TEST(SoakTally, CountsOutcomesAndKeepsEveryFailureWithItsReasons) {
    SoakTally tally;
    Verdict sound;
    sound.outcome = OutcomeColumn::kSuccess;
    sound.exit_status = 0;
    RunEnd end;
    end.seed = 1;
    end.exited = true;
    end.exit_code = 0;
    end.report = encode_verdict(sound);
    tally.add(end, FaultClass::kNone);

    Verdict broken = sound;
    broken.corruption_seen = true;
    broken.violations = {"success, yet a corrupted byte stayed"};
    end.seed = 2;
    end.report = encode_verdict(broken);
    tally.add(end, FaultClass::kCorrupt);

    RunEnd hung;
    hung.seed = 3;
    hung.hung = true;
    hung.transcript = "[IAP]: flash unlock\r\n";
    tally.add(hung, FaultClass::kDelay);

    RunEnd leaked = end;
    leaked.seed = 4;
    leaked.exit_code = 23;
    leaked.report = encode_verdict(sound);
    tally.add(leaked, FaultClass::kMixed);

    EXPECT_EQ(tally.runs(), 4);
    EXPECT_EQ(tally.table().count(FaultClass::kNone, OutcomeColumn::kSuccess), 1);
    EXPECT_EQ(tally.table().count(FaultClass::kCorrupt, OutcomeColumn::kSuccess), 1);
    EXPECT_EQ(tally.table().count(FaultClass::kDelay, OutcomeColumn::kOther), 1);
    EXPECT_EQ(tally.table().count(FaultClass::kMixed, OutcomeColumn::kSuccess), 1);
    EXPECT_EQ(tally.corruption_seen(), 1);
    ASSERT_EQ(tally.failures().size(), 3u);
    EXPECT_EQ(tally.failures()[0].seed, 2u);
    EXPECT_EQ(tally.failures()[0].reasons.front(), "success, yet a corrupted byte stayed");
    EXPECT_NE(tally.failures()[1].reasons.front().find("hang"), std::string::npos);
    EXPECT_EQ(tally.failures()[1].transcript, hung.transcript);
    EXPECT_NE(tally.failures()[2].reasons.front().find("status 23"), std::string::npos);
    const std::string table = tally.table().render();
    EXPECT_NE(table.find("mixed"), std::string::npos);
    EXPECT_NE(table.find("all                 3        0        0        1        4"),
              std::string::npos)
        << table;
}

TEST(SoakTally, ACleanRunThatFailedIsAFailureOnlyIfItFailsAgain) {
    SoakTally tally;
    Verdict v;
    v.outcome = OutcomeColumn::kError;
    v.exit_status = 1;
    v.clean_run_failed = true;
    RunEnd end;
    end.exited = true;
    end.exit_code = 0;
    end.report = encode_verdict(v);
    for (uint64_t seed : {7, 8}) {
        end.seed = seed;
        tally.add(end, FaultClass::kNone);
    }
    EXPECT_TRUE(tally.failures().empty());
    ASSERT_EQ(tally.suspects().size(), 2u);
    tally.settle(7, 2, 1);
    tally.settle(8, 2, 2);
    EXPECT_TRUE(tally.suspects().empty());
    EXPECT_EQ(tally.passed_on_rerun(), 1);
    ASSERT_EQ(tally.failures().size(), 1u);
    EXPECT_EQ(tally.failures()[0].seed, 8u);
    EXPECT_NE(tally.failures()[0].reasons.front().find("again in 2 of 2"), std::string::npos);
    // Beside another violation it is a failure at once.
    v.violations = {"exit status 1 but the last event line is success"};
    end.seed = 9;
    end.report = encode_verdict(v);
    tally.add(end, FaultClass::kNone);
    EXPECT_EQ(tally.failures().size(), 2u);
    EXPECT_TRUE(tally.suspects().empty());
}

// The whole tool, once clean and once with a page answer dropped, through the soak's seam.
TEST(RunInProcess, RunsTheWholeToolAndGathersWhatItLeft) {
    host::UpdateSettings tuning;
    tuning.tick_period = 1ms;
    RunPlan plan;
    plan.image.assign(0x8000 + 0x1100, 0x11);
    plan.tts.assign(300, 0x22);
    plan.token = "1MBx";
    run_here(
        {1, 2}, 20s,
        [&](uint64_t seed, const std::string &dir) {
            plan.faults.clear();
            if (seed == 2) {
                plan.faults.push_back({sim::FaultKind::kDrop, "page", 5, {}});
            }
            const RunObservation seen = run_in_process(plan, dir, tuning, false);
            const Verdict v = judge_run(plan, seen);
            EXPECT_TRUE(v.ok()) << v.violations.front();
            EXPECT_EQ(seen.flash.size(), 0x200000u);
            EXPECT_NE(seen.console.find("TTS file size is 300"), std::string::npos);
            if (seed == 1) {
                EXPECT_EQ(seen.exit_status, 0);
                EXPECT_EQ(seen.flash[0x80000], 0x22);
                EXPECT_EQ(seen.flash[0x80000 + 300], 0xFF);
            } else {
                EXPECT_EQ(v.outcome, OutcomeColumn::kTimeout);
                EXPECT_NE(seen.errors.find("update failed (timeout)"), std::string::npos);
            }
            return encode_verdict(v);
        },
        [](const RunEnd &end) { EXPECT_TRUE(end.clean()); });
}

}  // namespace
}  // namespace soak
