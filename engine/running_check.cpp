#include "engine/running_check.h"

#include "platform/double_byte.h"

namespace pkx {

namespace {

constexpr uint8_t kNotifyingWaitFlag = 1;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

class NameMatcher final : public ProcessVisitor {
  public:
    explicit NameMatcher(const char* name) : name_(name) {}

    bool Visit(const char* path) override {
        if (path == nullptr) return true;
        const uint32_t codePage = Os().InsideCodePage(systemCodePage);
        matched_ = SameFileName(FileNamePart(path, codePage), name_, codePage);
        return !matched_;
    }

    bool matched() const { return matched_; }

  private:
    const char* name_;
    bool matched_ = false;
};

// Whether the wait that began at `start` has run its course.
bool WaitIsOver(uint32_t start) { return Os().Milliseconds() - start >= kRunningWaitLimitMs; }

const char* NullWhenEmpty(const char* text) { return text[0] == '\0' ? nullptr : text; }

}  // namespace

const char* FileNamePart(const char* path, uint32_t codePage) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; at += CharLength(at, codePage)) {
        if (*at == '\\' || *at == '/') name = at + 1;
    }
    return name;
}

bool SameFileName(const char* a, const char* b, uint32_t codePage) {
    for (;;) {
        if (CharLength(a, codePage) == 2) {
            if (a[0] != b[0] || a[1] != b[1]) return false;
            a += 2;
            b += 2;
            continue;
        }
        if (AsciiLower(*a) != AsciiLower(*b)) return false;
        if (*a == '\0') return true;
        ++a;
        ++b;
    }
}

ResultCode CheckRunningProgram(const char* name, uint8_t waitFlag) {
    const uint32_t start = Os().Milliseconds();
    for (;;) {
        NameMatcher matcher(name);
        const uint32_t error = Os().EnumerateProcesses(matcher);
        if (!matcher.matched()) {
            return error == 0 ? result::kSuccess : result::kListProcesses;
        }
        if (waitFlag == 0 || WaitIsOver(start)) return result::kProgramRunning;
        Os().Sleep(kRunningPollPauseMs);
    }
}

ResultCode CheckRunningWindow(const char* title, const char* className, uint8_t waitFlag) {
    const char* titleOrAny = NullWhenEmpty(title);
    const char* classOrAny = NullWhenEmpty(className);
    if (titleOrAny == nullptr && classOrAny == nullptr) return result::kSuccess;
    const uint32_t start = Os().Milliseconds();
    for (;;) {
        if (!Os().FindTopWindow(titleOrAny, classOrAny)) return result::kSuccess;
        if (waitFlag == 0) return result::kProgramRunning;
        // A window that outlasts the wait does not stop the update.
        if (WaitIsOver(start)) return result::kSuccess;
        Os().Sleep(kRunningPollPauseMs);
    }
}

ResultCode RunRunningCheck(const RunningCheck& check, ApplyContext& context) {
    if (check.kind != kCheckWindow && check.kind != kCheckProcess) return result::kSuccess;
    if (check.waitFlag == kNotifyingWaitFlag) {
        context.events->Send(EV_CHECK_RUNNING, reinterpret_cast<intptr_t>(context.title));
    }
    if (check.kind == kCheckWindow) {
        return CheckRunningWindow(check.windowTitle, check.windowClass, check.waitFlag);
    }
    return CheckRunningProgram(check.processName, check.waitFlag);
}

}  // namespace pkx
