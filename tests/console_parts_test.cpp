// The console updater's parts that the end-to-end runs reach only roughly:
// text conversion, line reading, and the hand-over of events and signals to
// the main thread.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/posix/code_pages.h"
#include "shell/console/console_events.h"
#include "shell/console/console_input.h"
#include "shell/console/console_prompter.h"
#include "shell/console/console_text.h"

namespace pkx::console {
namespace {

using posix::CodePageName;
using posix::TextConverter;

std::string Convert(const std::string& text, const std::string& from, const std::string& to) {
    TextConverter converter;
    converter.Select(from, to);
    std::string out;
    converter.Convert(text.data(), text.size(), &out);
    return out;
}

TEST(ConsoleTextTest, ShiftJisBecomesUtf8) {
    EXPECT_EQ(Convert("\x82\xA0 ok \x81\xA8", "CP932", "UTF-8"), "あ ok →");
    EXPECT_EQ(Convert("caf\xE9", CodePageName(1252), "UTF-8"), "café");
}

TEST(ConsoleTextTest, LongTextsConvertWhole) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "\x82\xA0";
    std::string expected;
    for (int i = 0; i < 1000; ++i) expected += "あ";
    EXPECT_EQ(Convert(text, "CP932", "UTF-8"), expected);
}

TEST(ConsoleTextTest, UnconvertibleBytesBecomeQuestionMarks) {
    // An undefined byte, then a lead byte without its trail byte at the end.
    EXPECT_EQ(Convert("a\xFF"
                      "b\x82",
                      "CP932", "UTF-8"),
              "a?b?");
    // A character the target cannot hold.
    EXPECT_EQ(Convert("x\x82\xA0y", "CP932", "ANSI_X3.4-1968"), "x?y");
}

TEST(ConsoleTextTest, UnknownCodePagePassesBytesUnchanged) {
    EXPECT_EQ(Convert("\x82\xA0", CodePageName(12345), "UTF-8"), "\x82\xA0");
}

TEST(ConsoleTextTest, ConverterFollowsTheSelectedCodePage) {
    TextConverter converter;
    std::string out;
    converter.Select("CP932", "UTF-8");
    converter.Convert("\x82\xA0", 2, &out);
    converter.Select("CP1252", "UTF-8");
    converter.Convert("\xE9", 1, &out);
    EXPECT_EQ(out, "あé");
}

TEST(ConsoleTextTest, NamesAndLineBreaks) {
    EXPECT_EQ(CodePageName(932), "CP932");
    EXPECT_EQ(CodePageName(65001), "UTF-8");
    EXPECT_EQ(WithPlainLineBreaks("a\r\nb\rc\n\r\n"), "a\nb\rc\n\n");
}

TEST(ConsoleTextTest, Utf8IsCutBetweenCharacters) {
    struct Case {
        std::string text;
        uint32_t size;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", 4, "abc"},
        {"abcd", 4, "abc"},
        {"a\u3042", 5, "a\u3042"},
        {"ab\u3042", 5, "ab"},
        {"\u3042\u3044", 6, "\u3042"},
        {"x\xC3\xA9", 3, "x"},
        {"\xF0\x9F\x98\x80z", 4, ""},
        {"abc", 1, ""},
    };
    for (const Case& c : cases) {
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        posix::CopyUtf8Cut(c.text, buffer, c.size);
        EXPECT_EQ(std::string(buffer), c.expected) << c.text << " in " << c.size;
    }
}

TEST(ConsoleYesNoTest, OnlyWholeWordsAnswer) {
    bool yes = false;
    EXPECT_TRUE(ParseYesNo("Y", &yes));
    EXPECT_TRUE(yes);
    EXPECT_TRUE(ParseYesNo("no", &yes));
    EXPECT_FALSE(yes);
    EXPECT_TRUE(ParseYesNo("YES", &yes));
    EXPECT_TRUE(yes);
    for (const char* other : {"", "ye", " y", "yes!", "nope", "0"}) {
        yes = true;
        EXPECT_FALSE(ParseYesNo(other, &yes)) << other;
        EXPECT_TRUE(yes) << "unchanged";
    }
}

// Standard input replaced by a pipe for the life of the object.
class PipedStandardInput {
  public:
    PipedStandardInput() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        saved_ = dup(STDIN_FILENO);
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        writer_ = fds[1];
    }
    ~PipedStandardInput() {
        Close();
        dup2(saved_, STDIN_FILENO);
        close(saved_);
    }
    void Write(const std::string& text) {
        EXPECT_EQ(write(writer_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void Close() {
        if (writer_ >= 0) close(writer_);
        writer_ = -1;
    }

  private:
    int saved_ = -1;
    int writer_ = -1;
};

TEST(ConsoleInputTest, ReadsLinesWithEitherLineEnd) {
    PipedStandardInput input;
    input.Write("one\r\n\ntwo\nlast");
    input.Close();
    LineReader reader;
    std::string line;
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kLine);
    EXPECT_EQ(line, "one");
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kLine);
    EXPECT_EQ(line, "");
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kLine);
    EXPECT_EQ(line, "two");
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kLine);
    EXPECT_EQ(line, "last");
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kEnd);
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kEnd);
}

TEST(ConsoleInputTest, OverlongLinesAreCutAndTheRestDropped) {
    PipedStandardInput input;
    std::thread writer([&] {
        input.Write(std::string(3 * LineReader::kMaximumLine, 'x') + "\nnext\n");
        input.Close();
    });
    LineReader reader;
    std::string line;
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kLine);
    EXPECT_EQ(line, std::string(LineReader::kMaximumLine, 'x'));
    EXPECT_EQ(reader.ReadLine(&line), LineReader::kLine);
    EXPECT_EQ(line, "next");
    writer.join();
}

TEST(ConsoleInputTest, SignalByteInterruptsTheWait) {
    PipedStandardInput input;
    WakePipe wake;
    ASSERT_TRUE(wake.IsOpen());
    // An event byte is no interruption; a signal's number is.
    wake.Write(kEventByte);
    wake.Write(static_cast<char>(SIGINT));
    LineReader reader;
    std::string line;
    EXPECT_EQ(reader.ReadLine(&line, wake.ReadFd()), LineReader::kInterrupted);
    // The reader still works afterwards.
    input.Write("y\n");
    EXPECT_EQ(reader.ReadLine(&line, wake.ReadFd()), LineReader::kLine);
    EXPECT_EQ(line, "y");
}

char ReadByte(const WakePipe& pipe) {
    char byte = 'x';
    EXPECT_EQ(read(pipe.ReadFd(), &byte, 1), 1);
    return byte;
}

TEST(ConsoleEventsTest, SendWaitsUntilTheEventIsHandled) {
    WakePipe pipe;
    EventQueue queue(pipe);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        static char path[] = "C:\\App\\app.exe";
        queue.Send(EV_UPDATING_FILE, reinterpret_cast<intptr_t>(path));
        returned = true;
        queue.Post(EV_FINISHED, 0);
    });
    EXPECT_EQ(ReadByte(pipe), kEventByte);
    EventQueue::Event event;
    ASSERT_TRUE(queue.Take(&event));
    EXPECT_EQ(event.code, static_cast<uint32_t>(EV_UPDATING_FILE));
    EXPECT_TRUE(event.sent);
    // While the event is being handled its text is still the sender's.
    EXPECT_STREQ(reinterpret_cast<const char*>(event.param), "C:\\App\\app.exe");
    EXPECT_FALSE(returned.load());
    EXPECT_FALSE(queue.Take(&event)) << "the sender is blocked";
    queue.Handled(event);

    EXPECT_EQ(ReadByte(pipe), kEventByte);
    ASSERT_TRUE(queue.Take(&event));
    EXPECT_EQ(event.code, static_cast<uint32_t>(EV_FINISHED));
    EXPECT_FALSE(event.sent);
    EXPECT_TRUE(returned.load());
    worker.join();
}

// Installs the handlers for one test and puts the previous ones back.
class CaughtSignals {
  public:
    explicit CaughtSignals(const WakePipe& pipe) {
        for (int i = 0; i < 4; ++i) sigaction(kSignals[i], nullptr, &saved_[i]);
        installed_ = CatchTerminationSignals(pipe);
    }
    ~CaughtSignals() {
        for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    }
    bool installed() const { return installed_; }

  private:
    static constexpr int kSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    struct sigaction saved_[4];
    bool installed_ = false;
};

TEST(ConsoleEventsTest, SignalsAndEventsArriveInTheirOrder) {
    WakePipe pipe;
    CaughtSignals caught(pipe);
    ASSERT_TRUE(caught.installed());
    EventQueue queue(pipe);
    queue.Post(EV_CANCELLED, 0);
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_EQ(raise(SIGINT), 0);
    ASSERT_EQ(raise(SIGPIPE), 0) << "ignored, not fatal";
    EXPECT_EQ(ReadByte(pipe), kEventByte);
    EXPECT_EQ(ReadByte(pipe), static_cast<char>(SIGTERM));
    EXPECT_EQ(ReadByte(pipe), static_cast<char>(SIGINT));
}

TEST(ConsoleEventsTest, BlockedThreadsLeaveSignalsToTheMainThread) {
    sigset_t previous;
    BlockTerminationSignals(&previous);
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGINT), 1);
    EXPECT_EQ(sigismember(&now, SIGTERM), 1);
    EXPECT_EQ(sigismember(&now, SIGHUP), 1);
    RestoreSignalMask(previous);
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGINT), sigismember(&previous, SIGINT));
}

}  // namespace
}  // namespace pkx::console

#endif  // _WIN32
