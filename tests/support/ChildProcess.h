#pragma once

// Runs a program as the tests' child: without a shell, so that its arguments arrive exactly,
// with pipes or on a pseudo-terminal, killed when it does not end in time.

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tw::test {

/// What a running child can be told while its output comes in.
class ChildControl {
public:
    /// Everything the child wrote so far (standard output, or the terminal's text).
    virtual const std::string& Output() const = 0;
    /// Writes `text` to the child's input (on a terminal: types it).
    virtual void Type(std::string_view text) = 0;
    /// Sends the child `signal_number`.
    virtual void Signal(int signal_number) = 0;

protected:
    ~ChildControl() = default;
};

/// How to run a child.
struct ChildRun {
    /// The program's path, then its arguments.
    std::vector<std::string> argv;
    /// Removed from the child's environment, before `environment` is set.
    std::vector<std::string> unset_environment;
    /// Set in the child's environment.
    std::map<std::string, std::string> environment;
    /// With pipes: written to standard input whole, which is then closed.
    std::string input;
    /// Runs the child on a pseudo-terminal (forkpty): `Output` is all the terminal shows, and
    /// input comes only from `watch`.
    bool terminal = false;
    /// With pipes: standard error goes where standard output goes.
    bool merge_error = false;
    /// A file-size limit in bytes (RLIMIT_FSIZE) for the child, as a nearly full disk; 0: none.
    rlim_t file_size_limit = 0;
    /// How long the child may run before it is killed.
    std::chrono::milliseconds limit = std::chrono::minutes(2);
    /// Called after each piece of output with the child at hand.
    std::function<void(ChildControl&)> watch;
};

/// How a child ended and what it wrote.
struct ChildResult {
    /// The exit status; -1 when the child did not exit (killed by a signal).
    int status = -1;
    /// Standard output (and standard error when merged), or the terminal's text.
    std::string out;
    /// Standard error, unless merged or on a terminal.
    std::string err;
    /// True when the child was killed for running out of time.
    bool timed_out = false;
};

/// Runs the child to its end (or its time limit).
ChildResult RunChild(const ChildRun& run);

/// What a shell command ended with.
struct ShellResult {
    /// Its exit status; -1 when it did not exit normally or could not be started.
    int status = -1;
    /// Its standard output and standard error, together.
    std::string output;
};

/// Runs a command line through /bin/sh and collects both output streams.
ShellResult RunShell(const std::string& command);

/// `text` as one word for /bin/sh, between apostrophes.
std::string ShellQuoted(const std::string& text);

} // namespace tw::test
