#include "tests/recording_ui.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace pkx::test {
namespace {

bool CarriesText(uint32_t code) {
    static const uint32_t kCodes[] = {
        EV_HEADLINE,        EV_HASHING_FILE,           EV_READING_FILE_DATE, EV_UPDATING_FILE,
        EV_ADDING_FILE,     EV_DELETING_FILE,          EV_CHECK_RUNNING,     EV_SOURCE_MISSING,
        EV_OVERWRITING_NEW, EV_DELETE_TARGET_MISSING,  EV_ALREADY_UPDATED,   EV_ALREADY_ADDED,
        EV_RECOVERY_FOUND,  EV_RECOVERY_RESTORED,      EV_RECOVERY_REMOVED,  EV_SET_TITLE,
        EV_LINK_REFUSED,    EV_RECOVERY_BACKUP_DELETED};
    return code == EV_FOLDER_NEEDS_ADMINISTRATOR ||
           std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
}

template <typename T>
T Next(std::deque<T>& answers, T fallback) {
    if (answers.empty()) return fallback;
    T answer = answers.front();
    answers.pop_front();
    return answer;
}

std::string RegistryKey(RegistryRoot root, const std::string& key, const std::string& name) {
    return std::to_string(static_cast<int>(root)) + ":" + key + "|" + name;
}

std::string IniKey(const std::string& file, const std::string& section, const std::string& key) {
    return file + "|" + section + "|" + key;
}

}  // namespace

void RecordingEvents::Record(uint32_t code, intptr_t param, bool posted) {
    RecordedEvent event{code, param, "", posted};
    if (CarriesText(code) && param != 0) event.text = reinterpret_cast<const char*>(param);
    if (code == EV_NOT_RESTORED && param != 0) {
        event.text = reinterpret_cast<const UnrestoredFile*>(param)->path;
    }
    if (code == EV_JOURNAL_REFUSED && param != 0) {
        const auto* refused = reinterpret_cast<const RefusedJournal*>(param);
        event.text = refused->path;
        event.param = static_cast<intptr_t>(refused->reason);
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

bool ScriptedPrompter::Confirm(const char* text, const char* caption) {
    confirmCalls.emplace_back(text, caption);
    return Next(confirmAnswers, true);
}

int ScriptedPrompter::AskPassword(ApplyContext&) { return Next(passwordAnswers, passwordDefault); }

int ScriptedPrompter::AskTargetFolder(ApplyContext& context) {
    folderPromptInitialTexts.emplace_back(context.targetFolder);
    const FolderAnswer answer = Next(folderAnswers, FolderAnswer{1, std::nullopt});
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

void ScriptedPlatform::SetRegistryValue(RegistryRoot root, const std::string& key,
                                        const std::string& name, const std::string& bytes) {
    registry_[RegistryKey(root, key, name)] = bytes;
}

void ScriptedPlatform::SetIniValue(const std::string& file, const std::string& section,
                                   const std::string& key, const std::string& value) {
    ini_[IniKey(file, section, key)] = value;
}

void ScriptedPlatform::Sleep(uint32_t milliseconds) {
    ++sleepCalls;
    now += milliseconds;
    pausedSinceLookup_ = true;
}

uint32_t ScriptedPlatform::RegistryValue(RegistryRoot root, const char* key, const char* name,
                                         char* buffer, uint32_t size) {
    const std::string id = RegistryKey(root, key, name);
    registryLookups.push_back(id);
    registrySizes.push_back(size);
    const auto value = registry_.find(id);
    if (value == registry_.end()) return win32err::kFileNotFound;
    if (value->second.size() > size) return 234;  // ERROR_MORE_DATA
    std::memcpy(buffer, value->second.data(), value->second.size());
    return win32err::kSuccess;
}

uint32_t ScriptedPlatform::IniValue(const char* file, const char* section, const char* key,
                                    char* buffer, uint32_t size) {
    iniLookups.push_back({file, section, key, size});
    if (size == 0) return 0;
    const auto value = ini_.find(IniKey(file, section, key));
    const std::string text = value == ini_.end() ? std::string() : value->second;
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
