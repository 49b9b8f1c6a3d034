// Benchmarks of several simulated devices updated at once through the tool's multi-device run.
#pragma once

namespace bench {

// Registers them; the runs under the USB timing model (about 35 s) only when long_runs is set.
void register_fleet_benchmarks(bool long_runs);

}  // namespace bench
