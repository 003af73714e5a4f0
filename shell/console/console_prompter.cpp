#include "shell/console/console_prompter.h"

#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "core/apply_context.h"
#include "engine/password_check.h"
#include "platform/platform.h"
#include "support/paths.h"
#include "texts/text_ids.h"

namespace pkx::console {
namespace {

constexpr uint32_t kPasswordLimit = kPathBufferSize - 1;

std::string Lowered(const std::string& text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

// Copies at most 259 bytes of `text` into the 260-byte `buffer`, as the
// dialog's edit field is read.
void StoreField(const std::string& text, char* buffer) {
    const size_t length = text.size() < kPathBufferSize - 1 ? text.size() : kPathBufferSize - 1;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

// The dialog's OK rule: one trailing backslash goes (here a slash as well),
// but a lone separator stays the root it names.
void DropTrailingSeparator(char* folder) {
    const size_t length = std::strlen(folder);
    if (length > 1 && (folder[length - 1] == '\\' || folder[length - 1] == '/')) {
        folder[length - 1] = '\0';
    }
}

// Reads an answer and ends its line: on a terminal the user's Enter does
// that, otherwise (input from a pipe or file, or none left) a line feed does.
LineReader::Result ReadAnswer(ConsoleDisplay& display, LineReader& input, std::string* answer,
                              int interruptFd = -1) {
    display.FlushOutput();
    const LineReader::Result read = input.ReadLine(answer, interruptFd);
    if (read != LineReader::kLine || isatty(STDIN_FILENO) != 1) display.PrintConverted("\n");
    return read;
}

}  // namespace

// Marks a question open for its lifetime and keeps the progress line out of
// its way. An interruption meant for an earlier question is dropped.
class ConsolePrompter::Question {
  public:
    explicit Question(ConsolePrompter& owner, bool notice = false) : owner_(owner) {
        // Outside the lock: the main thread takes it at a signal while it shows them.
        owner_.events_.WaitUntilShown();
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        struct pollfd pending = {owner_.interrupt_.ReadFd(), POLLIN, 0};
        char byte = 0;
        while (poll(&pending, 1, 0) == 1 && read(pending.fd, &byte, 1) == 1) {
        }
        owner_.open_ = true;
        owner_.noticeOpen_ = notice;
        owner_.interrupted_ = false;
        owner_.display_.HideProgress();
    }
    ~Question() {
        owner_.display_.ShowProgress();
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        owner_.open_ = false;
    }
    Question(const Question&) = delete;
    Question& operator=(const Question&) = delete;

    int InterruptFd() const { return owner_.interrupt_.ReadFd(); }

  private:
    ConsolePrompter& owner_;
};

bool ConsolePrompter::QuestionOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

ConsolePrompter::Interruption ConsolePrompter::Interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return Interruption::kNoQuestion;
    // One byte ends the wait; more could only fill the pipe.
    if (!interrupted_) interrupt_.Write(1);
    interrupted_ = true;
    return noticeOpen_ ? Interruption::kPassedOn : Interruption::kAnswered;
}

bool ParseYesNo(const std::string& answer, bool* yes) {
    const std::string word = Lowered(answer);
    if (word == "y" || word == "yes") {
        *yes = true;
        return true;
    }
    if (word == "n" || word == "no") {
        *yes = false;
        return true;
    }
    return false;
}

LineReader::Result AskYesNo(ConsoleDisplay& display, LineReader& input, const std::string& question,
                            int emptyAnswer, bool* yes, int interruptFd) {
    const char* choices = emptyAnswer == 1 ? " [Y/n] " : emptyAnswer == 0 ? " [y/N] " : " [y/n] ";
    std::string answer;
    for (;;) {
        display.PrintConverted(question + choices);
        const LineReader::Result read = ReadAnswer(display, input, &answer, interruptFd);
        if (read != LineReader::kLine) return read;
        if (answer.empty() && emptyAnswer >= 0) {
            *yes = emptyAnswer == 1;
            return read;
        }
        if (ParseYesNo(answer, yes)) return read;
    }
}

bool ConsolePrompter::Confirm(const char* text, const char* caption) {
    Question open(*this);
    display_.PrintLine(caption);
    bool yes = false;
    // The end of input and Ctrl-C answer no: nothing is changed without a yes.
    return AskYesNo(display_, input_, display_.FromTable(text), -1, &yes, open.InterruptFd()) ==
               LineReader::kLine &&
           yes;
}

int ConsolePrompter::AskPassword(ApplyContext& context) {
    Question open(*this);
    std::string typed;
    for (;;) {
        display_.PrintConverted(display_.FromTable(context.texts[text::kPasswordPrompt]) + " ");
        LineReader::Result read;
        {
            EchoOff quiet;
            read = ReadAnswer(display_, input_, &typed, open.InterruptFd());
        }
        if (read != LineReader::kLine) return 1;
        if (TypedPasswordMatches(context, typed)) return 0;
        display_.PrintLine(context.texts[text::kPasswordMismatch]);
    }
}

// The package's digest is of the password's bytes in the code page its
// maker used: the system's, or UTF-8 where the package was made for it.
bool ConsolePrompter::TypedPasswordMatches(const ApplyContext& context, const std::string& typed) {
    for (std::string password : {display_.TypedAsUtf8(typed), display_.ToSystemCodePage(typed)}) {
        if (password.size() > kPasswordLimit) password.resize(kPasswordLimit);
        if (PasswordMatches(context, password.data(), static_cast<uint32_t>(password.size()))) {
            return true;
        }
    }
    return false;
}

// Folder names are used as typed: the file system takes the bytes the
// terminal sends, so they are not converted to the ANSI code page.
int ConsolePrompter::AskTargetFolder(ApplyContext& context) {
    Question open(*this);
    std::string typed;
    for (;;) {
        char shown[kPathBufferSize];
        Os().PathForDisplay(context.targetFolder, shown, sizeof shown);
        display_.PrintConverted(display_.FromTable(context.texts[text::kFolderPrompt]) + " [" +
                                display_.FromTable(shown) + "] ");
        if (ReadAnswer(display_, input_, &typed, open.InterruptFd()) != LineReader::kLine) {
            return 1;
        }
        if (!typed.empty()) StoreField(typed, context.targetFolder);
        if (context.targetFolder[0] == '\0') {
            display_.PrintLine(context.texts[text::kFolderEmpty]);
            continue;
        }
        DropTrailingSeparator(context.targetFolder);
        // A relative name is taken below the updater's own folder; the change
        // of folder is not examined, the existence test tells.
        BestEffort(Os().SetCurrentFolder(context.programFolder));
        if (FileExists(context.targetFolder) != 0) return 0;
        display_.PrintLine(context.texts[text::kFolderMissing]);
    }
}

void ConsolePrompter::ShowNotice(ApplyContext& context, const char* noticeText) {
    Question open(*this, true);
    display_.PrintConverted("--- " + display_.FromTable(context.texts[text::kNoticeTitle]) +
                            " ---\n");
    std::string notice = display_.FromTable(noticeText);
    if (!notice.empty() && notice.back() != '\n') notice.push_back('\n');
    display_.PrintConverted(notice + "--- [Enter] ---");
    std::string ignored;
    ReadAnswer(display_, input_, &ignored, open.InterruptFd());
}

}  // namespace pkx::console
