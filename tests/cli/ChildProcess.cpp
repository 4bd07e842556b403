#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace quillate::testing {

void TChildProcess::Signal(int sig) {
    if (FPid > 0)
        kill(FPid, sig);
}

TProcessResult TChildProcess::Run(const std::vector<std::string>& args, const TProcessOptions& options) {
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0)
        throw std::runtime_error("pipe failed");
    FPid = fork();
    if (FPid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]})
            close(fd);
        for (const auto& [name, value] : options.Env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    if (!options.Stdin.empty())
        (void)!write(in[1], options.Stdin.data(), options.Stdin.size());
    close(in[1]);

    TProcessResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.TimeoutSeconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(FPid, SIGKILL);
            result.Err += "\n[test: killed after time-out]";
            break;
        }
        if (poll(fds, 2, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.Out : result.Err).append(buffer, static_cast<std::size_t>(n));
            if (i == 0 && options.OnOutput)
                options.OnOutput(result.Out, *this);
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace quillate::testing
