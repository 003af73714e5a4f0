#ifndef _WIN32

#include "tests/console_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace pkx::test {
namespace {

using namespace std::chrono;

// Milliseconds left until `deadline`.
int Left(steady_clock::time_point deadline) {
    return static_cast<int>(duration_cast<milliseconds>(deadline - steady_clock::now()).count());
}

void CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
    for (int* fd : {&input_, &output_, &error_}) CloseFd(fd);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& folder, const std::vector<std::string>& environment) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    if (terminalColumns_ != 0) {
        struct winsize size = {};
        size.ws_row = 24;
        size.ws_col = terminalColumns_;
        // err[0] is the terminal's master side, err[1] the child's terminal.
        if (openpty(&err[0], &err[1], nullptr, nullptr, &size) != 0) return false;
        fcntl(err[0], F_SETFD, FD_CLOEXEC);
        fcntl(err[1], F_SETFD, FD_CLOEXEC);
    } else if (pipe2(err, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (chdir(folder.c_str()) != 0) _exit(126);
        for (const std::string& variable : environment) putenv(const_cast<char*>(variable.c_str()));
        // The test runner's own signal setup must not leak into the child.
        signal(SIGPIPE, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
    // A child that has stopped reading must not stop the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    return pid_ > 0;
}

void ChildProcess::Write(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t written = write(input_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
}

bool ChildProcess::LimitOutputPipe() {
    return output_ >= 0 && fcntl(output_, F_SETPIPE_SZ, 4096) >= 0;
}

void ChildProcess::CloseInput() { CloseFd(&input_); }

bool ChildProcess::Collect(int milliseconds) {
    struct pollfd fds[2] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
    if (output_ < 0 && error_ < 0) return false;
    if (poll(fds, 2, milliseconds) <= 0) return true;
    int* owned[2] = {&output_, &error_};
    std::string* targets[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t count = read(*owned[i], buffer, sizeof buffer);
        if (count > 0) {
            targets[i]->append(buffer, static_cast<size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            CloseFd(owned[i]);  // a terminal's master side reports the end with EIO
        }
    }
    return true;
}

bool ChildProcess::WaitForOutput(const std::string& text, int milliseconds) {
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (out_.find(text) == std::string::npos) {
        if (Left(deadline) <= 0 || !Collect(Left(deadline))) return false;
    }
    return true;
}

void ChildProcess::Signal(int number) {
    if (pid_ > 0) kill(pid_, number);
}

int ChildProcess::Finish(int milliseconds) {
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(milliseconds);
    bool killed = false;
    while ((output_ >= 0 || error_ >= 0) && !killed) {
        killed = Left(deadline) <= 0 && kill(pid_, SIGKILL) == 0;
        Collect(std::max(Left(deadline), 0));
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return killed || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

}  // namespace pkx::test

#endif  // _WIN32
