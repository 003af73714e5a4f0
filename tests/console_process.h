// A child process with its standard streams on pipes, to drive the console updater.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <string>
#include <vector>

namespace pkx::test {

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next Start gives the child a terminal of `columns` as its standard error.
    void UseTerminalForErrors(unsigned short columns) { terminalColumns_ = columns; }
    // Starts `program` in `folder` with the variables of `environment`
    // ("NAME=value") set on top of the test's own.
    bool Start(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& folder, const std::vector<std::string>& environment);
    // One page of output pipe: a child whose output is not read soon blocks.
    bool LimitOutputPipe();
    void Write(const std::string& text);
    void CloseInput();
    // Collects output until standard output holds `text` (true), or the
    // process ends or `milliseconds` pass (false).
    bool WaitForOutput(const std::string& text, int milliseconds);
    void Signal(int number);
    // Collects output until the process ends: its exit code, or -1 if killed.
    int Finish(int milliseconds);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

  private:
    // Reads what comes within `milliseconds`; false when both pipes are closed.
    bool Collect(int milliseconds);

    unsigned short terminalColumns_ = 0;  // 0: a pipe
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::string out_;
    std::string err_;
};

}  // namespace pkx::test

#endif  // _WIN32
