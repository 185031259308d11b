// Runs a program (a test tool, a copy of the installer) in a process of its
// own and collects what it printed on stdout (its stderr is this process's,
// so its diagnostics show in the test log as they happen), without ever waiting past a deadline: a
// child that hangs, or a grandchild that keeps the output pipe open, costs
// the test its timeout, not the whole run.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace kavri_test {

struct ProcessOptions {
    std::wstring commandLine;  // the program quoted as needed, then its arguments
    DWORD timeoutMs = 30000;   // the child is killed when it has not ended by then
    std::wstring workDir;      // "" : this process's current directory
    // Environment: this process's, without the variables in unset, with set
    // added (replacing a variable of the same name). Both empty: inherited.
    std::vector<std::pair<std::wstring, std::wstring>> set;
    std::vector<std::wstring> unset;
};

struct ProcessOutput {
    bool started = false;
    bool timedOut = false;  // killed at the deadline; exitCode is then the kill code
    DWORD exitCode = 0;
    std::string out;
    bool Finished() const { return started && !timedOut; }
};

// Starts the child, reads stdout while it runs, and returns when
// it has ended and its output is read, or when the deadline has passed (the
// child is then terminated). Never blocks longer than timeoutMs plus a few
// seconds for the kill to take effect.
ProcessOutput RunChildProcess(const ProcessOptions& options);

// The directory of the running executable, with a trailing backslash: the
// test tools are built beside the tests.
std::wstring OwnBinDir();

// Splits output into its non-empty lines, without line ends.
std::vector<std::string> OutputLines(const std::string& out);

}  // namespace kavri_test
