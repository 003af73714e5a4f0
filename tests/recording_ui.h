// Stand-ins around the engine: a recording event sink, a scripted prompter, and
// a platform that scripts all but files, names and texts.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/apply_context.h"
#include "core/worker_events.h"
#include "platform/platform.h"
#include "tests/platforms/platform_wrapper.h"

namespace pkx::test {

struct RecordedEvent {
    uint32_t code = 0;
    intptr_t param = 0;  // for EV_JOURNAL_REFUSED the reason
    std::string text;    // a copy of the parameter's text, for the codes that carry one
    bool posted = false;
};

class RecordingEvents final : public EventSink {
  public:
    void Send(uint32_t code, intptr_t param) override { Record(code, param, false); }
    void Post(uint32_t code, intptr_t param) override { Record(code, param, true); }

    std::vector<uint32_t> Codes() const;
    size_t Count(uint32_t code) const;
    const RecordedEvent* Find(uint32_t code) const;  // the first with `code`, or null

    std::vector<RecordedEvent> events;
    // Called after each event is recorded (to press Cancel at a chosen point, say).
    std::function<void(const RecordedEvent&)> onEvent;

  private:
    void Record(uint32_t code, intptr_t param, bool posted);
};

// Answers from queues; when one is empty: yes, `passwordDefault`, and a
// cancelled folder prompt.
class ScriptedPrompter final : public Prompter {
  public:
    struct FolderAnswer {
        int result = 1;
        std::optional<std::string> folder;  // put in targetFolder, as the dialog's OK does
    };

    bool Confirm(const char* text, const char* caption) override;
    int AskPassword(ApplyContext& context) override;
    int AskTargetFolder(ApplyContext& context) override;
    void ShowNotice(ApplyContext& context, const char* text) override;
    void CreateUiFont(ApplyContext&, bool) override {}

    void AcceptFolder(const std::string& folder) { folderAnswers.push_back({0, folder}); }

    std::deque<bool> confirmAnswers;
    std::vector<std::pair<std::string, std::string>> confirmCalls;  // text, caption
    std::deque<int> passwordAnswers;
    int passwordDefault = 0;
    std::deque<FolderAnswer> folderAnswers;
    std::vector<std::string> folderPromptInitialTexts;  // targetFolder at each prompt
    std::vector<std::string> notices;
    std::function<void(ApplyContext&)> onNotice;  // called while a notice is shown
};

// Forwards files, names and texts to `base`; scripts everything else.
class ScriptedPlatform final : public PlatformWrapper {
  public:
    struct WindowLookup {
        std::optional<std::string> title;
        std::optional<std::string> className;
    };
    struct IniLookup {
        std::string file, section, key;
        uint32_t size = 0;
    };

    explicit ScriptedPlatform(Platform& base = NativePlatform()) : PlatformWrapper(base) {}

    // Registry values as stored (no terminator is added).
    void SetRegistryValue(RegistryRoot root, const std::string& key, const std::string& name,
                          const std::string& bytes);
    void SetIniValue(const std::string& file, const std::string& section, const std::string& key,
                     const std::string& value);

    // Milliseconds() reads `now`; Sleep() advances it, and so does each
    // process or window lookup by `lookupCost` (a loop that forgets to pause
    // still ends).
    uint32_t now = 0;
    uint32_t lookupCost = 1;
    uint32_t sleepCalls = 0;
    // The executable paths running at time `now`; null: none.
    std::function<std::vector<std::string>(uint32_t now)> processes;
    uint32_t enumerateError = 0;  // non-zero: EnumerateProcesses fails with it
    // Process or window lookups that followed the previous one without a Sleep.
    uint32_t lookupsWithoutPause = 0;
    // Whether a window matches at time `now`; null: none.
    std::function<bool(const char* title, const char* className, uint32_t now)> window;
    std::vector<WindowLookup> windowLookups;
    std::vector<std::string> registryLookups;
    std::vector<uint32_t> registrySizes;
    std::vector<IniLookup> iniLookups;
    std::array<std::optional<std::string>, 6> specialFolders;
    uint32_t specialFolderCalls = 0;

    uint32_t Milliseconds() override { return now; }
    void Sleep(uint32_t milliseconds) override;
    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override;
    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override;
    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override;
    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override;
    bool FindTopWindow(const char* title, const char* className) override;

  private:
    void NoteLookup();

    std::map<std::string, std::string> registry_;
    std::map<std::string, std::string> ini_;
    bool pausedSinceLookup_ = true;
};

// Holds names and texts in the code page they come in, as Windows does, also
// on POSIX (where they are UTF-8): for the rules of double-byte code pages.
class WindowsCodePages final : public PlatformWrapper {
  public:
    explicit WindowsCodePages(Platform& inner) : PlatformWrapper(inner) {}
    uint32_t InsideCodePage(uint32_t codePage) override { return codePage; }
};

// Sets systemCodePage for the life of the scope.
class CodePageScope {
  public:
    explicit CodePageScope(uint32_t codePage) : previous_(systemCodePage) {
        systemCodePage = codePage;
    }
    ~CodePageScope() { systemCodePage = previous_; }
    CodePageScope(const CodePageScope&) = delete;
    CodePageScope& operator=(const CodePageScope&) = delete;

  private:
    uint32_t previous_;
};

}  // namespace pkx::test
