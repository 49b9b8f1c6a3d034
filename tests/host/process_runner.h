// Runs the built tool as a child process and collects what a user or a script would see.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct ProcessResult {
    int exit_status = -1;  // -1 when killed by a signal or by the time limit
    bool timed_out = false;
    std::string out;
    std::string err;
    std::string screen;  // Terminal mode: everything the pseudo-terminal showed
};

enum class Stdin {
    Closed,    // the child's standard input is closed at once (end of file)
    Newline,   // a newline is waiting before the child starts
    HeldOpen,  // open and empty until while_running writes to it
};

struct ProcessOptions {
    Stdin stdin_mode = Stdin::Closed;
    std::chrono::milliseconds limit{60000};
    // For HeldOpen: called once the child's standard output contains `wait_for`; returns the
    // text to write to the child's standard input (which is then closed).
    std::string wait_for;
    std::function<std::string()> then_write;
    // Terminal mode: standard input, output and error are one pseudo-terminal, as at a user's
    // console; wait_for is then looked for on the screen, then_write is typed ("\x03" is Ctrl-C)
    // and then_signal, when not 0, is sent to the child instead.
    bool terminal = false;
    bool stdout_to_pipe = false;  // Terminal mode: standard output goes into a pipe (`out`)
    int then_signal = 0;
    std::vector<std::string> env;  // NAME=value added to the child's environment
    // Pipe mode: each signal is sent once standard output or error shows its text, in order.
    std::vector<std::pair<std::string, int>> signals;
};

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const ProcessOptions &options = {});

}  // namespace test_support
