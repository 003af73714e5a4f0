// Answers typed on standard input, one line each.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

namespace pkx::console {

class LineReader {
  public:
    enum Result { kLine, kEnd, kInterrupted };

    // Reads one line without its line end (LF or CR LF). Lines are cut to
    // kMaximumLine bytes; the rest of a longer line is read and dropped. A
    // last line without a line end still counts. With `interruptFd`, a
    // non-zero byte arriving there ends the wait with kInterrupted.
    Result ReadLine(std::string* line, int interruptFd = -1);

    static constexpr size_t kMaximumLine = 4096;

  private:
    bool Fill(int interruptFd, bool* interrupted);

    char buffer_[512];
    size_t start_ = 0;
    size_t end_ = 0;
    bool ended_ = false;
};

// Turns the terminal's echo off for the life of the object (password entry);
// does nothing when standard input is not a terminal.
class EchoOff {
  public:
    EchoOff();
    ~EchoOff();
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    struct termios saved_;
    bool active_ = false;
};

}  // namespace pkx::console
