// Standard error as the journal reads it. A service whose standard error is a journal stream
// (JOURNAL_STREAM names that very file) starts each line with its priority, "<3>" for an error,
// "<4>" for a warning and "<6>" for the rest, which the journal files the line under; elsewhere
// standard error is left as it is.
#pragma once

#include <string_view>

namespace host {

// Whether JOURNAL_STREAM ("DEVICE:INODE") names the file standard error is.
bool stderr_is_journal();

// The priority a line of the tool's standard error is logged at: an error for a failure, a
// warning for a warning, information otherwise.
int journal_priority(std::string_view line);

// From now on every line written to stderr starts with its priority; false where the C library
// cannot put a stream of its own in stderr's place (only glibc's can).
bool prefix_stderr_lines();

}  // namespace host
