// Benchmarks that run the built tool as a child process.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace bench {

const std::string &tool_path();
// One run of the tool (against the simulated device, with --timing-report) per iteration; its
// wall time is the benchmark's, the update's time and the model's theory become counters.
void run_tool_case(benchmark::State &state, std::vector<std::string> args, int expected_status);
// The standard error of the last run_tool_case.
std::string &last_errors();
// Registers the tool's benchmarks; the runs that take minutes only when long_runs is set.
void register_tool_benchmarks(bool long_runs);

}  // namespace bench
