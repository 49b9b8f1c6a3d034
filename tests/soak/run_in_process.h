// Runs the whole tool for one plan inside this process, through host::run_tool, exactly as a user
// would call it with --simulate: the input files and the flash it writes live in a scratch
// directory. The tool uses process globals, so only one run may be under way in a process.
#pragma once

#include <string>
#include <vector>

#include "host/app/hidiap_tool.h"
#include "run_plan.h"
#include "run_verdict.h"

namespace soak {

// The tool's command line for the plan, with its files in dir (argv[0] first).
std::vector<std::string> tool_arguments(const RunPlan &plan, const std::string &dir);

// Writes the inputs to dir, runs the tool and gathers what it left. The console is captured
// (and copied to dir/console.txt as it comes, so a run that dies leaves its transcript), standard
// error goes to dir/errors.txt. With echo the console and standard error are also shown.
RunObservation run_in_process(const RunPlan &plan, const std::string &dir,
                              const host::UpdateSettings &tuning, bool echo);

}  // namespace soak
