// The console updater's parts that the end-to-end runs reach only roughly:
// text conversion, yes/no answers, the interruption of line reading, and the
// signal mask of the worker threads.
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

TEST(ConsoleTextTest, ConversionTable) {
    std::string longJapanese, longUtf8;
    for (int i = 0; i < 1000; ++i) {
        longJapanese += "\x82\xA0";
        longUtf8 += "あ";
    }
    const struct {
        std::string text, from, to, expected;
    } cases[] = {
        {"\x82\xA0 ok \x81\xA8", "CP932", "UTF-8", "あ ok →"},
        {"caf\xE9", CodePageName(1252), "UTF-8", "café"},
        {longJapanese, "CP932", "UTF-8", longUtf8},
        // An undefined byte, then a lead byte without its trail byte at the end.
        {"a\xFF"
         "b\x82",
         "CP932", "UTF-8", "a?b?"},
        {"x\x82\xA0y", "CP932", "ANSI_X3.4-1968", "x?y"},        // not in the target
        {"\x82\xA0", CodePageName(12345), "UTF-8", "\x82\xA0"},  // unknown: unchanged
        {"\x82\xA0", CodePageName(932), CodePageName(65001), "あ"},
    };
    TextConverter converter;
    for (const auto& c : cases) {
        converter.Select(c.from, c.to);
        std::string out = "kept:";
        converter.Convert(c.text.data(), c.text.size(), &out);
        EXPECT_EQ(out, "kept:" + c.expected) << c.from << " to " << c.to;
    }
    EXPECT_EQ(WithPlainLineBreaks("a\r\nb\rc\n\r\n"), "a\nb\rc\n\n");
}

TEST(ConsoleTextTest, Utf8IsCutBetweenCharacters) {
    const struct {
        std::string text;
        uint32_t size;
        std::string expected;
    } cases[] = {
        {"abc", 4, "abc"},
        {"abcd", 4, "abc"},
        {"a\u3042", 5, "a\u3042"},
        {"ab\u3042", 5, "ab"},
        {"\u3042\u3044", 6, "\u3042"},
        {"x\xC3\xA9", 3, "x"},
        {"\xF0\x9F\x98\x80z", 4, ""},
        {"abc", 1, ""},
    };
    for (const auto& c : cases) {
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        posix::CopyUtf8Cut(c.text, buffer, c.size);
        EXPECT_EQ(std::string(buffer), c.expected) << c.text << " in " << c.size;
    }
}

TEST(ConsoleYesNoTest, OnlyWholeWordsAnswer) {
    const std::pair<const char*, int> cases[] = {// 1 yes, 0 no, -1 no answer
                                                 {"Y", 1},     {"no", 0},  {"YES", 1}, {"n", 0},
                                                 {"", -1},     {"ye", -1}, {" y", -1}, {"yes!", -1},
                                                 {"nope", -1}, {"0", -1}};
    for (const auto& [word, answer] : cases) {
        bool yes = answer != 1;  // left alone without an answer
        EXPECT_EQ(ParseYesNo(word, &yes), answer >= 0) << word;
        EXPECT_EQ(yes, answer != 0) << word;
    }
}

TEST(ConsoleInputTest, SignalByteInterruptsTheWaitOfItsQuestionOnly) {
    // Standard input is a pipe for the test's length.
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const int saved = dup(STDIN_FILENO);
    dup2(input[0], STDIN_FILENO);
    WakePipe wake;
    ASSERT_TRUE(wake.IsOpen());
    // An event byte is no interruption; a signal's number is.
    wake.Write(kEventByte);
    wake.Write(static_cast<char>(SIGINT));
    LineReader reader;
    std::string line;
    EXPECT_EQ(reader.ReadLine(&line, wake.ReadFd()), LineReader::kInterrupted);
    // The reader still works afterwards, and an interruption left over from an
    // earlier question does not answer the next.
    ConsoleDisplay display;
    EventQueue nothingSent(wake);
    ConsolePrompter prompter(display, reader, nothingSent);
    prompter.LeaveInterruption();
    EXPECT_EQ(write(input[1], "y\n", 2), 2);
    EXPECT_TRUE(prompter.Confirm("Go on?", "Question"));
    dup2(saved, STDIN_FILENO);
    for (const int fd : {saved, input[0], input[1]}) close(fd);
}

// A file's name goes to the display without the worker waiting, as a copy;
// a question still comes after it.
TEST(ConsoleEventsTest, AQuestionWaitsForTheNamesSentBeforeIt) {
    WakePipe wake;
    EventQueue events(wake);
    char name[] = "a.txt";
    events.Send(EV_UPDATING_FILE, reinterpret_cast<intptr_t>(name));
    name[0] = 'b';
    std::atomic<bool> asked{false};
    std::thread question([&] {
        events.WaitUntilShown();
        asked = true;
    });
    usleep(20 * 1000);
    EXPECT_FALSE(asked);
    EventQueue::Event event;
    ASSERT_TRUE(events.Take(&event, true));
    EXPECT_STREQ(reinterpret_cast<const char*>(event.param), "a.txt");
    events.Handled(event);
    question.join();
    EXPECT_TRUE(asked);
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
