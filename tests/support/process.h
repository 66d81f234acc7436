// Runs a program as a user would, and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exit_status = -1;  // -1 when it did not exit normally (signal, time-out)
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] a path) with `env` added to the environment ("NAME=value";
// "NAME=" alone removes NAME), feeding `input` to standard input. The process is
// killed after `timeout_seconds` of real time.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::vector<std::string>& env = {}, const std::string& input = "",
                          int timeout_seconds = 60);
