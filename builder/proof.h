// The release-time proof: the updater's own engine applies an updater to a
// scratch copy of each old folder, headless and answering every question as
// the unattended switch -F does; the copy must then equal the new folder
// byte for byte, and a second run on it must change nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builder/plan.h"
#include "core/result_code.h"
#include "package/writer/package_writer.h"

namespace pkx::builder {

struct ProofRequest {
    std::vector<std::string> oldFolders;
    std::string newFolder;
    // The code page of the package's names; without one they are the bytes
    // of this system's names.
    std::optional<uint32_t> namesCodePage;
};

struct FolderProof {
    std::string oldFolder;
    ResultCode firstRun = result::kSuccess;
    ResultCode secondRun = result::kSuccess;  // may refuse, as long as it changes nothing
    bool secondRunDone = false;
    std::string problem;  // empty when this folder passed
    double seconds = 0;
};

struct ProofReport {
    // Execute permissions count, except for a Windows updater.
    bool comparedModes = false;
    std::vector<FolderProof> folders;
    std::string problem;  // the first problem, one line; empty when all passed
    double seconds = 0;

    bool ok() const { return problem.empty(); }
};

// Proves `file`, a self-extracting updater or a bare payload, on copies of
// the request's old folders. `progress` may be null. False, with
// `report->problem`, when any folder fails or the proof cannot be made.
bool ProveUpdater(const packwriter::Bytes& file, const ProofRequest& request, Progress* progress,
                  ProofReport* report);

// The same for the file at `path`.
bool ProveUpdaterFile(const std::string& path, const ProofRequest& request, Progress* progress,
                      ProofReport* report);

// A result of the updater as its English texts tell it, with its code.
std::string ResultText(ResultCode code);

}  // namespace pkx::builder
