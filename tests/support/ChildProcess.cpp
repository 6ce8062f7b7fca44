#include "ChildProcess.h"

#include "tablewright/model/UniqueFd.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tw::test {

namespace {

using data::UniqueFd;

class Control final : public ChildControl {
public:
    Control(pid_t pid, int input, std::string& output)
        : pid_(pid), input_(input), output_(output) {}
    const std::string& Output() const override { return output_; }
    void Type(std::string_view text) override {
        if (input_ >= 0)
            (void)!::write(input_, text.data(), text.size());
    }
    void Signal(int signal_number) override { ::kill(pid_, signal_number); }

private:
    pid_t pid_;
    int input_;
    std::string& output_;
};

[[noreturn]] void Exec(const ChildRun& run) {
    for (const auto& name : run.unset_environment)
        ::unsetenv(name.c_str());
    for (const auto& [key, value] : run.environment)
        ::setenv(key.c_str(), value.c_str(), 1);
    if (run.file_size_limit > 0) {
        const rlimit limit{run.file_size_limit, run.file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (const auto& arg : run.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

ChildResult RunChild(const ChildRun& run) {
    ChildResult result;
    // The child's ends of the output, by where each goes.
    std::vector<std::pair<UniqueFd, std::string*>> outputs;
    UniqueFd input;
    pid_t pid = -1;
    // A child that ends early must not end the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    if (run.terminal) {
        int terminal = -1;
        pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid == 0)
            Exec(run);
        if (pid < 0)
            return result;
        input.Reset(::dup(terminal));
        outputs.emplace_back(UniqueFd(terminal), &result.out);
    } else {
        int in[2], out[2], err[2];
        if (::pipe(in) != 0)
            return result;
        UniqueFd in_read(in[0]), in_write(in[1]);
        if (::pipe(out) != 0)
            return result;
        UniqueFd out_read(out[0]), out_write(out[1]);
        if (::pipe(err) != 0)
            return result;
        UniqueFd err_read(err[0]), err_write(err[1]);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in_read.Get(), 0);
            ::dup2(out_write.Get(), 1);
            ::dup2(run.merge_error ? out_write.Get() : err_write.Get(), 2);
            for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
                ::close(fd);
            Exec(run);
        }
        if (pid < 0)
            return result;
        in_read.Reset();
        out_write.Reset();
        err_write.Reset();
        if (!run.input.empty())
            (void)!::write(in_write.Get(), run.input.data(), run.input.size());
        in_write.Reset(); // marks the input's end
        outputs.emplace_back(std::move(out_read), &result.out);
        if (run.merge_error)
            err_read.Reset();
        else
            outputs.emplace_back(std::move(err_read), &result.err);
    }
    Control control(pid, input.Get(), result.out);
    const auto deadline = std::chrono::steady_clock::now() + run.limit;
    while (!outputs.empty() && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> waits;
        for (const auto& output : outputs)
            waits.push_back({output.first.Get(), POLLIN, 0});
        if (::poll(waits.data(), waits.size(), 200) <= 0)
            continue;
        for (std::size_t i = waits.size(); i-- > 0;) {
            if (waits[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(waits[i].fd, buffer, sizeof buffer);
            if (n <= 0) { // the end of a pipe, or EIO once the terminal's program has ended
                outputs.erase(outputs.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            outputs[i].second->append(buffer, static_cast<std::size_t>(n));
        }
        if (run.watch)
            run.watch(control);
    }
    if (!outputs.empty()) {
        result.timed_out = true;
        ::kill(pid, SIGKILL);
    }
    outputs.clear();
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ShellResult RunShell(const std::string& command) {
    ShellResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace tw::test
