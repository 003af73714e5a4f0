#include "engine/folder_rights.h"

namespace pkx {

ResultCode CheckFolderRights(ApplyContext& context) {
    if (Os().RunsElevated()) return result::kSuccess;
    // A relative target folder is found from the program's folder.
    if (context.programFolder[0] != '\0') BestEffort(Os().SetCurrentFolder(context.programFolder));
    if (Os().ProbeFolderWrite(context.targetFolder) != win32err::kAccessDenied) {
        return result::kSuccess;
    }
    context.events->Send(EV_FOLDER_NEEDS_ADMINISTRATOR,
                         reinterpret_cast<intptr_t>(context.targetFolder));
    return result::kJournal;
}

}  // namespace pkx
