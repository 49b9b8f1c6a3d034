// Carries out seeded runs and reports how each one ended, guarding every run with a time bound.
// Two ways: each run in a child process of its own (forked, so it starts from pristine tool
// globals; a crash, a sanitizer report or a hang then costs only that run, and several children
// can run at once), or one run after another in this process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace soak {

struct RunEnd {
    uint64_t seed = 0;
    std::string report;  // what the run's body returned (empty when it never returned)
    bool exited = false;
    int exit_code = -1;  // when exited
    int signal = 0;      // when killed by a signal (other than the watchdog's)
    bool hung = false;   // the run outlived its bound and was killed
    double seconds = 0;
    std::string transcript;  // the run's console, standard error and child output files

    // The body returned and its process ended normally.
    bool clean() const { return !hung && exited && exit_code == 0 && !report.empty(); }
};

// The body of one run: gets the seed and a fresh scratch directory, returns its report.
using RunBody = std::function<std::string(uint64_t seed, const std::string &dir)>;
using RunDone = std::function<void(const RunEnd &)>;

// Runs every seed in a forked child, at most jobs at once; done is called in this process as
// each one ends, in the order they end.
void run_in_children(const std::vector<uint64_t> &seeds, int jobs, std::chrono::milliseconds bound,
                     const RunBody &body, const RunDone &done);

// Runs the seeds one after another here. A run that outlives its bound cannot be stopped inside
// the process: the watchdog prints the seed and its transcript and ends the process (status 3).
void run_here(const std::vector<uint64_t> &seeds, std::chrono::milliseconds bound,
              const RunBody &body, const RunDone &done, bool keep_dirs = false);

}  // namespace soak
