// The start every tool's main shares: the verdict on its command line, and the stop signals.
#pragma once

#include <signal.h>

#include <initializer_list>
#include <string>

namespace zeltool {

// A command line refused for `why` ends the tool with status 2 and a hint at --help; a request
// for help prints usage() and ends it with status 0. Returns that status, or -1 to go on.
int settle_command_line(const char *program, const std::string &why, bool help,
                        std::string (*usage)());

// Blocks SIGINT, SIGTERM and `also` in the calling thread, so that threads started later inherit
// the mask. Returns the set of SIGINT and SIGTERM alone, for the tool's own wait.
sigset_t block_stop_signals(std::initializer_list<int> also = {});

}  // namespace zeltool
