#include "tests/recording_ui.h"

#include <algorithm>
#include <cstring>

namespace pkx::test {

bool CarriesText(uint32_t code) {
    switch (code) {
        case EV_HEADLINE:
        case EV_HASHING_FILE:
        case EV_READING_FILE_DATE:
        case EV_UPDATING_FILE:
        case EV_ADDING_FILE:
        case EV_DELETING_FILE:
        case EV_CHECK_RUNNING:
        case EV_SOURCE_MISSING:
        case EV_OVERWRITING_NEW:
        case EV_DELETE_TARGET_MISSING:
        case EV_ALREADY_UPDATED:
        case EV_ALREADY_ADDED:
        case EV_RECOVERY_FOUND:
        case EV_RECOVERY_RESTORED:
        case EV_RECOVERY_REMOVED:
        case EV_SET_TITLE:
            return true;
        default:
            return false;
    }
}

void RecordingEvents::Send(uint32_t code, intptr_t param) { Record(code, param, false); }

void RecordingEvents::Post(uint32_t code, intptr_t param) { Record(code, param, true); }

void RecordingEvents::Record(uint32_t code, intptr_t param, bool posted) {
    RecordedEvent event;
    event.code = code;
    event.param = param;
    event.posted = posted;
    if (CarriesText(code) && param != 0) event.text = reinterpret_cast<const char*>(param);
    if (code == EV_NOT_RESTORED && param != 0) {
        event.text = reinterpret_cast<const UnrestoredFile*>(param)->path;
    }
    events.push_back(event);
    if (onEvent) onEvent(events.back());
}

std::vector<uint32_t> RecordingEvents::Codes() const {
    std::vector<uint32_t> codes;
    for (const RecordedEvent& event : events) codes.push_back(event.code);
    return codes;
}

size_t RecordingEvents::Count(uint32_t code) const {
    return std::count_if(events.begin(), events.end(),
                         [code](const RecordedEvent& event) { return event.code == code; });
}

const RecordedEvent* RecordingEvents::Find(uint32_t code) const {
    for (const RecordedEvent& event : events) {
        if (event.code == code) return &event;
    }
    return nullptr;
}

namespace {

template <typename T>
T Next(std::deque<T>& answers, T fallback) {
    if (answers.empty()) return fallback;
    T answer = answers.front();
    answers.pop_front();
    return answer;
}

}  // namespace

bool ScriptedPrompter::Confirm(const char* text, const char* caption) {
    confirmCalls.emplace_back(text, caption);
    return Next(confirmAnswers, confirmDefault);
}

int ScriptedPrompter::AskPassword(ApplyContext& /*context*/) {
    ++passwordCalls;
    return Next(passwordAnswers, passwordDefault);
}

int ScriptedPrompter::AskTargetFolder(ApplyContext& context) {
    folderPromptInitialTexts.emplace_back(context.targetFolder);
    const FolderAnswer answer = Next(folderAnswers, FolderAnswer{folderDefault, std::nullopt});
    if (answer.folder) {
        const size_t length = std::min<size_t>(answer.folder->size(), kPathBufferSize - 1);
        std::memcpy(context.targetFolder, answer.folder->data(), length);
        context.targetFolder[length] = '\0';
    }
    return answer.result;
}

void ScriptedPrompter::ShowNotice(ApplyContext& context, const char* text) {
    notices.emplace_back(text);
    if (onNotice) onNotice(context);
}

void ScriptedPrompter::CreateUiFont(ApplyContext& context, bool fallback) {
    fontCalls.push_back({fallback, context.fontFace, context.fontHeight});
}

std::string ScriptedPlatform::RegistryKey(RegistryRoot root, const std::string& key,
                                          const std::string& name) {
    return std::to_string(static_cast<int>(root)) + ":" + key + "|" + name;
}

std::string ScriptedPlatform::IniKey(const std::string& file, const std::string& section,
                                     const std::string& key) {
    return file + "|" + section + "|" + key;
}

void ScriptedPlatform::SetRegistryValue(RegistryRoot root, const std::string& key,
                                        const std::string& name, const std::string& bytes) {
    registry[RegistryKey(root, key, name)] = bytes;
}

void ScriptedPlatform::SetIniValue(const std::string& file, const std::string& section,
                                   const std::string& key, const std::string& value) {
    ini[IniKey(file, section, key)] = value;
}

uint32_t ScriptedPlatform::Milliseconds() { return now; }

void ScriptedPlatform::Sleep(uint32_t milliseconds) {
    ++sleepCalls;
    sleptTotal += milliseconds;
    now += milliseconds;
    pausedSinceLookup_ = true;
}

uint32_t ScriptedPlatform::RegistryValue(RegistryRoot root, const char* key, const char* name,
                                         char* buffer, uint32_t size) {
    const std::string id = RegistryKey(root, key, name);
    registryLookups.push_back(id);
    registrySizes.push_back(size);
    const auto value = registry.find(id);
    if (value == registry.end()) return win32err::kFileNotFound;
    if (value->second.size() > size) return 234;  // ERROR_MORE_DATA
    std::memcpy(buffer, value->second.data(), value->second.size());
    return win32err::kSuccess;
}

uint32_t ScriptedPlatform::IniValue(const char* file, const char* section, const char* key,
                                    char* buffer, uint32_t size) {
    iniLookups.push_back({file, section, key, size});
    if (size == 0) return 0;
    const auto value = ini.find(IniKey(file, section, key));
    const std::string text = value == ini.end() ? std::string() : value->second;
    const size_t length = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
}

bool ScriptedPlatform::SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) {
    ++specialFolderCalls;
    const auto& path = specialFolders.at(static_cast<size_t>(folder));
    if (!path || path->size() >= size) return false;
    std::memcpy(buffer, path->c_str(), path->size() + 1);
    return true;
}

void ScriptedPlatform::NoteLookup() {
    if (!pausedSinceLookup_) ++lookupsWithoutPause;
    pausedSinceLookup_ = false;
    now += lookupCost;
}

uint32_t ScriptedPlatform::EnumerateProcesses(ProcessVisitor& visitor) {
    ++enumerateCalls;
    NoteLookup();
    if (enumerateError != 0) return enumerateError;
    if (!processes) return win32err::kSuccess;
    for (const std::string& path : processes(now)) {
        if (!visitor.Visit(path.c_str())) break;
    }
    return win32err::kSuccess;
}

bool ScriptedPlatform::FindTopWindow(const char* title, const char* className) {
    WindowLookup lookup;
    if (title != nullptr) lookup.title = title;
    if (className != nullptr) lookup.className = className;
    windowLookups.push_back(lookup);
    NoteLookup();
    return window && window(title, className, now);
}

}  // namespace pkx::test
