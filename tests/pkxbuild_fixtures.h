// Shared by the builder's tests: folder pairs on disk, a build through the
// builder's library, and one unattended run of the updater's worker.
#pragma once

#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tests/worker_fixtures.h"
#include "tools/pkxbuild/builder_build.h"
#include "tools/pkxbuild/builder_manifest.h"

namespace pkx::test {

// A manifest whose only folder source is the fixed path `folder`, after `more`.
inline std::string FixedFolderManifest(const std::string& folder, const std::string& more = "") {
    return more + "\n[[folder_source]]\nkind = \"path\"\npath = '" + folder + "'\n";
}

inline builder::Manifest ParseOrFail(const std::string& text) {
    builder::Manifest manifest;
    std::string error;
    EXPECT_TRUE(builder::ParseManifest(text, "test.toml", &manifest, &error)) << error;
    return manifest;
}

inline builder::BuildRequest FolderRequest(const std::vector<const TempFolder*>& oldFolders,
                                           const TempFolder& newFolder,
                                           const builder::Manifest& manifest) {
    builder::BuildRequest request;
    for (const TempFolder* folder : oldFolders)
        request.oldFolders.push_back(NativePath(folder->path()));
    request.newFolder = NativePath(newFolder.path());
    request.manifest = manifest;
    return request;
}

inline builder::BuildResult BuildFolders(const builder::BuildRequest& request) {
    builder::BuildResult result;
    std::string error;
    EXPECT_TRUE(builder::BuildPayload(request, nullptr, &result, &error)) << error;
    return result;
}

// Applies `payload` unattended to the installation its folder source names;
// the backups are removed after a success.
inline ResultCode ApplyPayload(const Bytes& payload, WorkerRun& run) {
    run.context->autoFinish = 1;
    run.WriteProgram(payload);
    const ResultCode result = run.Run();
    if (result == result::kSuccess) run.RemoveBackups();
    return result;
}

}  // namespace pkx::test

#endif  // _WIN32
