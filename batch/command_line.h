// gainscan-batch's command line: options into BatchOptions, or the text to
// print and the exit status when the run ends there (help, version, usage error).
#pragma once

#include <string>

#include "batch/batch_options.h"

struct CommandLine {
    BatchOptions options;
    bool run = false;      // false: print `message` and exit with `status`
    int status = 0;
    std::string message;   // on stdout when status is 0, else on stderr
};

CommandLine parse_command_line(int argc, const char* const* argv);
