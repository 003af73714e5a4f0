// pkxbuild: builds self-extracting updaters from an old and a new folder and
// proves each on copies of the old folders; lists what an updater or a
// package holds, and proves an existing updater.
#ifdef _WIN32
#include <io.h>

#include "platform/win32/builder_system.h"
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "builder/checks.h"
#include "builder/execution_level.h"
#include "builder/listing.h"
#include "builder/plan.h"
#include "builder/proof.h"
#include "package/writer/package_writer.h"
#include "platform/platform.h"
#include "tools/pkxbuild/report.h"
#include "tools/pkxbuild/signing.h"

namespace {

using namespace pkx::builder;

// Whether standard error is a terminal, for the progress bar.
bool ErrorIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

constexpr int kBarWidth = 30;

// A one-line bar on standard error, redrawn when the percentage moves.
class TerminalProgress final : public Progress {
  public:
    void Start(const std::string& task, uint64_t total) override {
        task_ = task;
        total_ = total;
        done_ = 0;
        shown_ = -1;
        Draw();
    }
    void Advance(uint64_t amount) override {
        done_ += amount;
        Draw();
    }
    void Finish() override { std::fputs("\r\033[K", stderr); }

  private:
    void Draw() {
        const int percent =
            total_ == 0 ? 100 : static_cast<int>(std::min<uint64_t>(done_, total_) * 100 / total_);
        if (percent == shown_) return;
        shown_ = percent;
        const int filled = percent * kBarWidth / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%% %s", std::string(filled, '#').c_str(),
                     std::string(kBarWidth - filled, '.').c_str(), percent, task_.c_str());
        std::fflush(stderr);
    }

    std::string task_;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    int shown_ = -1;
};

// The versions the updater reads: the classic ones and the compressed one.
std::string FormatVersionCheck(const std::string& text) {
    char* end = nullptr;
    const unsigned long version = std::strtoul(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' &&
        (version <= pkx::kNewestFormatVersion || version == pkx::gate::kCompressedData)) {
        return std::string();
    }
    return "Value " + text + " is not a format version: 0 to " +
           std::to_string(pkx::kNewestFormatVersion) + " (classic) or " +
           std::to_string(pkx::gate::kCompressedData) + " (compressed)";
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "pkxbuild: %s\n", message.c_str());
    return 1;
}

struct CreateArguments {
    std::vector<std::string> oldFolders;
    std::string newFolder;
    std::string manifest;
    std::string stub;
    std::string output;
    // Absent: 200, or 150 for a signed updater (below).
    std::optional<unsigned> formatVersion;
    unsigned blockSize = 0;
    bool payloadOnly = false;
    bool noProof = false;
    SigningRequest signing;  // no certificate: not signed
};

struct VerifyArguments {
    std::string file;
    std::vector<std::string> oldFolders;
    std::string newFolder;
    std::optional<uint32_t> codePage;
    bool json = false;
};

// The path of this program, from the platform layer (backslashes there).
std::string BuilderPath() {
    char path[4096] = {};
    const uint32_t length = pkx::Os().ModulePath(path, sizeof path);
    std::string text(path, length < sizeof path ? length : 0);
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    return text;
}

std::string Plural(size_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// One line per old folder that the proof passed.
void PrintProof(const ProofReport& report, const std::string& newFolder) {
    for (const FolderProof& folder : report.folders) {
        std::printf("proof: a copy of %s becomes %s, and a second run changes nothing (%.2f s)\n",
                    folder.oldFolder.c_str(), newFolder.c_str(), folder.seconds);
    }
}

void PrintSummary(const CreateArguments& arguments, const BuildResult& result, size_t written) {
    for (const std::string& warning : result.warnings) {
        std::fprintf(stderr, "pkxbuild: warning: %s\n", warning.c_str());
    }
    for (const PackageSummary& package : result.packages) {
        std::printf("%s -> %s: %s, %s, %s, %zu unchanged; %zu bytes\n", package.oldLabel.c_str(),
                    package.newLabel.c_str(), Plural(package.updates, "update").c_str(),
                    Plural(package.adds, "add").c_str(), Plural(package.deletes, "delete").c_str(),
                    package.unchanged, package.size);
    }
    std::printf("wrote %s: %s%s, %zu bytes\n", arguments.output.c_str(),
                arguments.payloadOnly ? "payload, " : "self-extracting updater, ",
                result.container
                    ? ("container of " + Plural(result.packages.size(), "package")).c_str()
                    : "one package",
                written);
}

// Reads the updater at `path`; a signed one is also asked who signed it.
bool ReadReport(const std::string& path, InspectReport* report) {
    std::error_code code;
    FileSource source;
    if (!std::filesystem::is_regular_file(path, code) || !source.Open(path)) return false;
    *report = Inspect(source);
    if (report->certificateSize != 0) SignerOf(path, &report->signer, &report->signerProblem);
    return true;
}

// Signs `file` into the output, checked as it will be shipped: it reads back
// signed with good digests, and the proof passes on it. The output is
// replaced only by a signed updater that passed.
bool WriteSigned(const CreateArguments& arguments, const pkx::packwriter::Bytes& file,
                 const ProofRequest& check, Progress* progress, InspectReport* report,
                 ProofReport* proof, std::string* error) {
    const std::string unsignedPath = arguments.output + ".unsigned";
    const std::string signedPath = arguments.output + ".signed";
    std::error_code code;
    const bool made = WriteOutput(unsignedPath, file, true, error) &&
                      SignUpdater(unsignedPath, signedPath, arguments.signing, error);
    std::filesystem::remove(unsignedPath, code);
    if (!made) return false;
    bool passed =
        ReadReport(signedPath, report) && report->AllGood() && report->certificateSize != 0;
    if (!passed) *error = "the signed updater does not read back as signed and intact";
    if (passed && !arguments.noProof && !ProveUpdaterFile(signedPath, check, progress, proof)) {
        *error = "the proof of the signed updater fails: " + proof->problem;
        passed = false;
    }
    if (passed) {
        namespace fs = std::filesystem;
        fs::permissions(signedPath,
                        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                        fs::perm_options::add, code);
        fs::rename(signedPath, arguments.output, code);
        if (!code) return true;
        *error = "cannot write " + arguments.output;
    }
    std::filesystem::remove(signedPath, code);
    return false;
}

int Create(const CreateArguments& arguments) {
    std::string error;
    std::vector<std::string> inputs = arguments.oldFolders;
    inputs.push_back(arguments.newFolder);
    if (!CheckOutputPlace(arguments.output, inputs, &error)) return Fail(error);
#ifdef _WIN32
    if (!arguments.signing.certificate.empty()) return Fail(kSignOnWindows);
#endif
    BuildRequest request;
    request.oldFolders = arguments.oldFolders;
    request.newFolder = arguments.newFolder;
    const unsigned version = arguments.formatVersion.value_or(pkx::gate::kCompressedData);
    request.formatVersion = static_cast<uint16_t>(version);
    request.blockSize = arguments.blockSize;
    if (!arguments.manifest.empty() &&
        !LoadManifest(arguments.manifest, &request.manifest, &error)) {
        return Fail(error);
    }
    pkx::packwriter::Bytes stub;
    if (!arguments.payloadOnly) {
        std::string stubPath = arguments.stub;
        if (stubPath.empty() && !FindDefaultStub(BuilderPath(), &stubPath, &error)) {
            return Fail(error);
        }
        if (!LoadStub(stubPath, &stub, &error) ||
            !PutExecutionLevel(request.manifest.executionLevel, stubPath, &stub, &error)) {
            return Fail(error);
        }
    }
    TerminalProgress bar;
    BuildResult result;
    if (!BuildPayload(request, ErrorIsTerminal() ? &bar : nullptr, &result, &error)) {
        return Fail(error);
    }
    if (!arguments.payloadOnly && !PadForSigning(stub, result.container, &result.payload)) {
        return Fail("the package cannot be padded for signing: it would reach 4 GiB");
    }
    if (!result.container && !result.packages.empty()) {
        result.packages.front().size = result.payload.size();
    }
    pkx::packwriter::Bytes file;
    if (arguments.payloadOnly) {
        file = std::move(result.payload);
    } else if (!pkx::packwriter::BuildSelfExtracting(stub, result.payload, &file, &error)) {
        return Fail(error);
    }
    ProofRequest check{arguments.oldFolders, arguments.newFolder, request.manifest.codePage};
    Progress* progress = ErrorIsTerminal() ? &bar : nullptr;
    ProofReport proof;
    // A signed updater is proved as it is shipped: after signing.
    const bool signing = !arguments.signing.certificate.empty();
    if (!arguments.noProof && !signing && !ProveUpdater(file, check, progress, &proof)) {
        return Fail("the proof fails, nothing was written: " + proof.problem);
    }
    size_t written = file.size();
    std::string signer;
    if (signing) {
        InspectReport report;
        if (!WriteSigned(arguments, file, check, progress, &report, &proof, &error)) {
            return Fail(error + "; nothing was written");
        }
        written = report.fileSize;
        signer = report.signer.empty() ? "an unknown signer" : report.signer;
    } else if (!WriteOutput(arguments.output, file, !arguments.payloadOnly, &error)) {
        return Fail(error);
    }
    PrintSummary(arguments, result, written);
    if (signing) std::printf("signed by %s\n", signer.c_str());
    PrintProof(proof, arguments.newFolder);
    return 0;
}

int InspectFile(const std::string& path, std::optional<uint32_t> codePage, bool json) {
    InspectReport report;
    if (!ReadReport(path, &report)) return Fail("cannot read " + path);
    const std::string text =
        json ? Json(InspectTable(report, path, codePage)) : FormatReport(report, path, codePage);
    std::fputs(text.c_str(), stdout);
    return report.AllGood() ? 0 : 1;
}

// The digests and the proof of an existing updater; 0 only when both pass.
int Verify(const VerifyArguments& arguments) {
    InspectReport report;
    if (!ReadReport(arguments.file, &report)) return Fail("cannot read " + arguments.file);
    ProofReport proof;
    const bool intact = report.AllGood();
    TerminalProgress bar;
    const bool proved =
        intact && ProveUpdaterFile(arguments.file,
                                   {arguments.oldFolders, arguments.newFolder, arguments.codePage},
                                   ErrorIsTerminal() && !arguments.json ? &bar : nullptr, &proof);
    if (arguments.json) {
        toml::table table{{"inspect", InspectTable(report, arguments.file, arguments.codePage)},
                          {"ok", intact && proved}};
        if (intact) table.insert("proof", ProofTable(proof));
        std::fputs(Json(table).c_str(), stdout);
        return intact && proved ? 0 : 1;
    }
    if (!intact) {
        std::fputs(FormatReport(report, arguments.file, arguments.codePage).c_str(), stdout);
        return Fail(arguments.file + " is damaged; nothing was proved");
    }
    if (!proved) return Fail(proof.problem);
    PrintProof(proof, arguments.newFolder);
    std::printf("%s: verified\n", arguments.file.c_str());
    return 0;
}

void AddCreateOptions(CLI::App& create, CreateArguments& arguments) {
    create
        .add_option("--old", arguments.oldFolders,
                    "folder of an old version; several make a container, applied in this order")
        ->required();
    create.add_option("--new", arguments.newFolder, "folder of the new version")->required();
    create.add_option("--manifest", arguments.manifest, "TOML file with the package header fields");
    auto* stub = create.add_option("--stub", arguments.stub,
                                   "updater program to put in front (default: pkxupdate next to "
                                   "pkxbuild)");
    create.add_option("-o,--output", arguments.output, "file to write")->required();
    create
        .add_option("--format-version", arguments.formatVersion,
                    "package format version: 200 (compressed; the default) or 0 to 150 (classic; "
                    "the default of a signed updater)")
        ->check(FormatVersionCheck);
    create.add_option("--block-size", arguments.blockSize,
                      "the most one instruction of a difference stream moves (default: fitted "
                      "to each stream, up to 1 MiB). Smaller blocks cut longer pieces into "
                      "more instructions: larger streams and slower updates, for updaters "
                      "that must hold a whole block in memory");
    create
        .add_flag("--payload-only", arguments.payloadOnly,
                  "write the package or container alone, without the updater program")
        ->excludes(stub);
    create.add_flag("--no-proof", arguments.noProof,
                    "skip running the update on copies of the old folders before writing");
    auto* certificate =
        create.add_option("--sign-cert", arguments.signing.certificate,
                          "sign the updater with this PEM certificate (osslsigncode)");
    auto* key = create.add_option("--sign-key", arguments.signing.key,
                                  "the PEM private key of the signing certificate");
    auto* timestamp = create.add_option("--timestamp", arguments.signing.timestamp,
                                        "RFC 3161 time-stamping server for the signature");
    certificate->needs(key)->excludes("--payload-only");
    key->needs(certificate);
    timestamp->needs(certificate);
}

void AddVerifyOptions(CLI::App& verify, VerifyArguments& arguments) {
    verify.add_option("FILE", arguments.file, "updater or payload")->required();
    verify.add_option("--old", arguments.oldFolders, "folder of an old version it must update")
        ->required();
    verify.add_option("--new", arguments.newFolder, "folder of the new version")->required();
    verify.add_option("--code-page", arguments.codePage,
                      "code page of the package's names and strings");
    verify.add_flag("--json", arguments.json, "write the findings as JSON");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pkxbuild: builds self-extracting updaters and lists what they hold"};
    app.require_subcommand(1);
    CreateArguments createArguments;
    CLI::App* create = app.add_subcommand("create", "build an updater from old and new folders");
    AddCreateOptions(*create, createArguments);
    std::string inspectPath;
    std::optional<uint32_t> codePage;
    bool json = false;
    CLI::App* inspect = app.add_subcommand("inspect", "list what an updater or a package holds");
    inspect->add_option("FILE", inspectPath, "updater or payload")->required();
    inspect->add_option("--code-page", codePage, "show strings converted from this code page");
    inspect->add_flag("--json", json, "write the listing as JSON");
    VerifyArguments verifyArguments;
    CLI::App* verify = app.add_subcommand(
        "verify", "check the digests of an updater and prove it on copies of old folders");
    AddVerifyOptions(*verify, verifyArguments);
#ifdef _WIN32
    // Names of any language: the arguments in UTF-8, paths through the wide API.
    pkx::SetPlatform(&pkx::win32::Utf8PathPlatform());
    pkx::win32::UseUtf8Console();
    std::vector<std::string> utf8Arguments = pkx::win32::Utf8Arguments();
    std::vector<char*> utf8Argv;
    for (std::string& argument : utf8Arguments) utf8Argv.push_back(argument.data());
    argc = static_cast<int>(utf8Argv.size());
    argv = utf8Argv.data();
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& failure) {
        if (failure.get_exit_code() == 0) return app.exit(failure);
        return Fail(failure.what());
    }
    if (create->parsed()) return Create(createArguments);
    if (verify->parsed()) return Verify(verifyArguments);
    return InspectFile(inspectPath, codePage, json);
}
