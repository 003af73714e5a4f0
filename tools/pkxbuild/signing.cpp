#include "tools/pkxbuild/signing.h"

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#ifndef _WIN32
extern char** environ;
#endif

namespace pkx::builder {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSigningTool = "osslsigncode";
constexpr uint32_t kSignedFileAlignment = 8;

// How a run of the signing tool went: `started` false when it is not installed.
struct ToolRun {
    bool started = false;
    int status = -1;
    std::string output;  // standard output and error together
};

#ifdef _WIN32
// On Windows the updater is signed with signtool after it is built.
ToolRun RunSigningTool(const std::vector<std::string>&) { return ToolRun(); }

bool Succeeded(const ToolRun&) { return false; }

std::string NotInstalled() {
    return "the signer is not read on Windows: signtool verify /pa /v shows it";
}
#else
ToolRun RunSigningTool(std::vector<std::string> arguments) {
    ToolRun run;
    arguments.insert(arguments.begin(), kSigningTool);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    pid_t pid = 0;
    run.started = posix_spawnp(&pid, kSigningTool, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) run.output.append(buffer, static_cast<size_t>(got));
    }
    close(pipeEnds[0]);
    if (run.started) {
        while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
        }
    }
    return run;
}

bool Succeeded(const ToolRun& run) {
    return run.started && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
}

std::string NotInstalled() {
    return std::string(kSigningTool) +
           " is not installed; on Debian or Ubuntu: apt-get install osslsigncode (or sign on "
           "Windows with signtool, as the README shows)";
}
#endif

// The tool's own words, on one line, for a message.
std::string LastLine(const std::string& output) {
    std::string text = output;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t start = text.find_last_of('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

}  // namespace

const char kSignOnWindows[] =
    "pkxbuild.exe does not sign: build the updater without --sign-cert and --sign-key, sign it "
    "with signtool (signtool sign /fd SHA256 /f vendor.pfx ... app-update.exe), then run "
    "pkxbuild verify on the signed file";

bool PadForSigning(const packwriter::Bytes& stub, bool container, packwriter::Bytes* payload) {
    const bool programImage = stub.size() >= 2 && stub[0] == 'M' && stub[1] == 'Z';
    if (container || !programImage) return true;
    return packwriter::PadPackage(*payload, kSignedFileAlignment);
}

bool SignUpdater(const std::string& unsignedPath, const std::string& signedPath,
                 const SigningRequest& request, std::string* error) {
    std::vector<std::string> arguments = {"sign",       "-certs",    request.certificate,
                                          "-key",       request.key, "-in",
                                          unsignedPath, "-out",      signedPath};
    if (!request.timestamp.empty()) arguments.insert(arguments.end(), {"-ts", request.timestamp});
    const ToolRun run = RunSigningTool(arguments);
    if (Succeeded(run)) return true;
    std::error_code code;
    fs::remove(signedPath, code);
    *error = !run.started ? NotInstalled()
                          : "signing " + unsignedPath + " failed: " + LastLine(run.output);
    return false;
}

bool SignerOf(const std::string& path, std::string* subject, std::string* error) {
    // Without the signer's CA the chain does not verify, but the signer is listed.
    const ToolRun run = RunSigningTool({"verify", "-in", path});
    if (!run.started) {
        *error = NotInstalled();
        return false;
    }
    const size_t signer = run.output.find("Signer's certificate:");
    const size_t line = run.output.find("Subject:", signer == std::string::npos ? 0 : signer);
    if (signer == std::string::npos || line == std::string::npos) {
        *error = LastLine(run.output);
        return false;
    }
    const size_t start = line + std::string("Subject:").size();
    *subject = Trimmed(run.output.substr(start, run.output.find('\n', start) - start));
    return true;
}

}  // namespace pkx::builder
