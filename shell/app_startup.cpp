#include "shell/app_startup.h"

#include <cstring>

#include "shell/progress_presenter.h"
#include "support/paths.h"
#include "texts/text_table.h"

namespace pkx {

bool IsAutoFinishSwitch(const char* firstArgument) {
    return firstArgument != nullptr && firstArgument[0] == '-' &&
           (firstArgument[1] == 'F' || firstArgument[1] == 'f');
}

void PrepareContext(ApplyContext& context, const char* firstArgument) {
    context.autoFinish = 0;
    context.failed = 0;
    char modulePath[kPathBufferSize] = {};
    if (Os().ModulePath(modulePath, sizeof modulePath) >= sizeof modulePath) modulePath[0] = '\0';
    char drive[kPathBufferSize];
    char folder[kPathBufferSize];
    SplitPath(modulePath, drive, folder, nullptr, nullptr);
    if (std::strlen(drive) + std::strlen(folder) < kPathBufferSize) {
        std::strcpy(context.programFolder, drive);
        std::strcat(context.programFolder, folder);
    }
    systemCodePage = Os().AnsiCodePage();
    context.autoFinish = IsAutoFinishSwitch(firstArgument) ? 1 : 0;
    std::strcpy(context.title, kProgramTitle);
    std::strcpy(context.programPath, modulePath);
    LoadDefaultTexts(context);
}

bool DocumentToOpen(const ApplyContext& context, char* path, uint32_t size) {
    if (context.result != 0 || context.openAfterName[0] == '\0') return false;
    size_t folderLength = std::strlen(context.targetFolder);
    bool needsSeparator = folderLength == 0 || context.targetFolder[folderLength - 1] != '\\';
    size_t total = folderLength + (needsSeparator ? 1 : 0) + std::strlen(context.openAfterName);
    if (total >= size) return false;
    std::strcpy(path, context.targetFolder);
    if (needsSeparator) std::strcat(path, "\\");
    std::strcat(path, context.openAfterName);
    return true;
}

int ExitCode(const ApplyContext& context) { return context.failed != 0 ? 255 : 0; }

}  // namespace pkx
