// Runs the tool as a child process, as a user's shell would, and measures it: wall time, the CPU
// time it used and its peak resident memory.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct ChildRun {
    int exit_status = -1;
    double wall_s = 0;
    double cpu_s = 0;         // user + system
    double peak_rss_mib = 0;  // largest resident set
    std::string errors;       // its standard error
    std::string output;       // its standard output, when kept
};

// Standard input is closed; standard output goes to /dev/null unless keep_output is set.
ChildRun run_child(const std::string &program, const std::vector<std::string> &args,
                   bool keep_output = false);

}  // namespace bench
