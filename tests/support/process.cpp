#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kelvatta::test {

std::vector<std::string> ProgramRun::outLines() const
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(out.substr(start, nl - start));
    return lines;
}

size_t ProgramRun::count(const std::string& prefix) const { return countStarting(outLines(), prefix); }

size_t countStarting(const std::vector<std::string>& lines, const std::string& prefix)
{
    return static_cast<size_t>(std::ranges::count_if(lines, [&](auto& line) { return line.starts_with(prefix); }));
}

bool canBeNobody() { return ::geteuid() == 0 && std::filesystem::exists("/usr/bin/setpriv"); }

std::vector<std::string> asNobody(std::vector<std::string> argv, const std::string& groups)
{
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", groups});
    return argv;
}

std::vector<std::string> with(std::vector<std::string> mode, const std::vector<std::string>& rest)
{
    mode.insert(mode.end(), rest.begin(), rest.end());
    return mode;
}

ProgramRun runProgram(const std::vector<std::string>& argv, const ProgramOptions& options)
{
    ProgramRun run;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return run;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        if (options.closedDescriptor >= 0) ::close(options.closedDescriptor);
        const rlimit addressSpace{options.addressSpace, options.addressSpace};
        if (options.addressSpace && ::setrlimit(RLIMIT_AS, &addressSpace) != 0) ::_exit(127);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    run.pid = pid;
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (options.closeOutput) {
        ::close(outPipe[0]);
        outPipe[0] = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    // Reads what is there, waiting up to timeoutMs for it; false once both pipes are closed.
    const auto readOutput = [&](int timeoutMs) {
        if (::poll(fds, 2, timeoutMs) <= 0) return fds[0].fd >= 0 || fds[1].fd >= 0;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        return true;
    };
    int status = 0;
    rusage usage{};
    bool reaped = false, stopped = false, interrupted = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
        readOutput(100);
        if (!options.interruptOn.empty() && !interrupted && run.out.find(options.interruptOn) != std::string::npos)
            interrupted = ::kill(pid, options.interruptSignal) == 0;
        if (!options.stopOn.empty() && !stopped && run.out.find(options.stopOn) != std::string::npos) {
            stopped = true;
            ::kill(pid, SIGSTOP);
            ::wait4(pid, &status, WUNTRACED, &usage);
            reaped = !WIFSTOPPED(status);
            while (readOutput(0) && (fds[0].revents | fds[1].revents) & POLLIN) {
            }
            if (options.whileStopped) options.whileStopped(run);
            ::kill(pid, SIGCONT);
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) ::close(fd.fd);
    if (!reaped) ::wait4(pid, &status, 0, &usage);
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    return run;
}

ProgramRun shell(const std::string& commandLine) { return runProgram({"/bin/sh", "-c", commandLine}); }

std::string shellQuote(const std::filesystem::path& path)
{
    std::string quoted = "'";
    for (char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace kelvatta::test
