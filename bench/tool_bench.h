// Benchmarks that run the built tool as a child process.
#pragma once

#include <string>

namespace bench {

const std::string &tool_path();
// Registers the tool's benchmarks; the runs that take minutes only when long_runs is set.
void register_tool_benchmarks(bool long_runs);

}  // namespace bench
