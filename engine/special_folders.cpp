#include "engine/special_folders.h"

namespace pkx {

namespace {

// Written by the worker before it reads any package, only read afterwards.
SpecialFolders runFolders;

}  // namespace

void FillSpecialFolders(SpecialFolders& folders) {
    for (uint32_t i = 0; i < kSpecialFolderCount; ++i) {
        char* path = folders.paths[i];
        if (!Os().SpecialFolderPath(static_cast<SpecialFolder>(i), path, kPathBufferSize)) {
            path[0] = '\0';
        }
        path[kPathBufferSize - 1] = '\0';
    }
}

void FillSpecialFolders(ApplyContext& /*context*/) { FillSpecialFolders(runFolders); }

const SpecialFolders& RunSpecialFolders() { return runFolders; }

}  // namespace pkx
