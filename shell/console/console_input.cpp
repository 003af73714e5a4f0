#include "shell/console/console_input.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace pkx::console {

LineReader::Result LineReader::ReadLine(std::string* line, int interruptFd) {
    line->clear();
    bool any = false;
    for (;;) {
        const char* begin = buffer_ + start_;
        const void* newline = std::memchr(begin, '\n', end_ - start_);
        const size_t take = newline != nullptr
                                ? static_cast<size_t>(static_cast<const char*>(newline) - begin)
                                : end_ - start_;
        if (line->size() < kMaximumLine) {
            line->append(begin, std::min(take, kMaximumLine - line->size()));
        }
        any = any || take > 0 || newline != nullptr;
        start_ += take;
        if (newline != nullptr) {
            ++start_;
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return kLine;
        }
        if (ended_) return any ? kLine : kEnd;
        bool interrupted = false;
        if (!Fill(interruptFd, &interrupted)) return interrupted ? kInterrupted : kEnd;
    }
}

// Refills the empty buffer from standard input; false at its end (or on an
// error, which ends input the same way), or when interrupted.
bool LineReader::Fill(int interruptFd, bool* interrupted) {
    start_ = end_ = 0;
    for (;;) {
        if (interruptFd >= 0) {
            struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {interruptFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                ended_ = true;
                return false;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                char byte = 0;
                if (read(interruptFd, &byte, 1) == 1 && byte != 0) {
                    *interrupted = true;
                    return false;
                }
                continue;
            }
        }
        const ssize_t count = read(STDIN_FILENO, buffer_, sizeof buffer_);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            ended_ = true;
            return true;
        }
        end_ = static_cast<size_t>(count);
        return true;
    }
}

EchoOff::EchoOff() {
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    struct termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
}

EchoOff::~EchoOff() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

}  // namespace pkx::console
