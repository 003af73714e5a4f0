#include "core/apply_context.h"

#include <cstring>

#include "support/paths.h"

namespace pkx {

void AddTouchedFolder(std::vector<TouchedFolder>& touched, const char* path) {
    TouchedFolder folder;
    ParentFolder(path, folder.path);
    uint32_t digest = 0x811C9DC5u;
    for (const char* c = folder.path; *c != '\0'; ++c) {
        digest = (digest ^ static_cast<uint8_t>(*c)) * 0x01000193u;
    }
    for (size_t i = touched.size(); i-- > 0;) {  // the latest first
        if (touched[i].digest == digest && std::strcmp(touched[i].path, folder.path) == 0) return;
    }
    folder.digest = digest;
    touched.push_back(folder);
}

uint32_t systemCodePage = 0;

}  // namespace pkx
