#include "process.h"

#include "test_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::string& input, int timeout_seconds) {
    ProcessResult result;
    // The child's environment, made here: between fork and exec a child of a
    // threaded test may only make async-signal-safe calls. A program that
    // keeps state (hexflash's default record store, its spool) keeps it in
    // the test's folder unless the test names another place.
    std::map<std::string, std::string> given = {{"XDG_STATE_HOME", test_path("state")}};
    for (const std::string& item : env) {
        const std::string::size_type eq = item.find('=');
        given[item.substr(0, eq)] = eq == std::string::npos ? "" : item.substr(eq + 1);
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (given.count(text.substr(0, text.find('='))) == 0) {
            environment.push_back(text);
        }
    }
    for (const auto& [name, value] : given) {
        if (!value.empty()) {  // "NAME=" alone removes NAME
            environment.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    // Close-on-exec: a child that another thread forks meanwhile must not
    // hold these pipes open (its reader would wait for an end that never comes).
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    // Feed the input up front; a program that does not read it gets EPIPE,
    // not a signal.
    signal(SIGPIPE, SIG_IGN);
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    std::size_t fed = 0;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    bool out_open = true, err_open = true, in_open = true;
    if (input.empty()) {
        close(in_pipe[1]);
        in_open = false;
    }
    char buffer[65536];
    while (out_open || err_open) {
        if (in_open) {
            ssize_t n = write(in_pipe[1], input.data() + fed, input.size() - fed);
            if (n > 0) {
                fed += static_cast<std::size_t>(n);
            }
            if (fed == input.size() || (n < 0 && errno != EAGAIN)) {
                close(in_pipe[1]);
                in_open = false;
            }
        }
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        poll(fds, 2, in_open ? 10 : static_cast<int>(left < 1000 ? left : 1000));
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? out_open : err_open;
            if (!open || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                open = false;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    if (in_open) {
        close(in_pipe[1]);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    }
    return result;
}
