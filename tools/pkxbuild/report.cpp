#include "tools/pkxbuild/report.h"

#include <cstdio>
#include <iterator>
#include <sstream>

#include "builder/text.h"

namespace pkx::builder {

namespace {

std::string Text(const std::string& bytes, std::optional<uint32_t> codePage) {
    std::string text;
    if (codePage.has_value() && ToUtf8(bytes, *codePage, &text)) return text;
    if (IsUtf8(bytes)) return bytes;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        text += escaped;
    }
    return text;
}

int64_t Number(uint64_t value) { return static_cast<int64_t>(value); }

int64_t Milliseconds(double seconds) { return static_cast<int64_t>(seconds * 1000 + 0.5); }

toml::array Strings(const std::vector<std::string>& texts, std::optional<uint32_t> codePage) {
    toml::array array;
    for (const std::string& text : texts) array.push_back(Text(text, codePage));
    return array;
}

const char* DigestState(const PackageInfo& info) {
    if (!info.digestChecked) return "not checked";
    return info.digestOk ? "ok" : "bad";
}

toml::table PackageTable(const PackageInfo& info, std::optional<uint32_t> codePage) {
    static const char* const kKinds[] = {"update", "add", "delete"};
    toml::array records;
    for (const RecordInfo& record : info.records) {
        records.push_back(toml::table{{"kind", kKinds[record.kind]},
                                      {"name", Text(record.name, codePage)},
                                      {"data_size", Number(record.dataSize)}});
    }
    toml::table table{{"file_offset", Number(info.fileOffset)},
                      {"size", Number(info.size)},
                      {"digest", DigestState(info)},
                      {"problems", Strings(info.problems, codePage)},
                      {"ok", info.digestOk && info.problems.empty()}};
    if (!info.streams.empty()) {
        static const char* const kStreams[] = {"instructions", "differences", "literals",
                                               "records"};
        toml::array streams;
        for (size_t i = 0; i < info.streams.size() && i < std::size(kStreams); ++i) {
            const StreamInfo& stream = info.streams[i];
            streams.push_back(
                toml::table{{"stream", kStreams[i]},
                            {"method", stream.method == kStreamLzma       ? "lzma"
                                       : stream.method == kStreamZeroRuns ? "zero-runs-lzma"
                                                                          : "stored"},
                            {"compressed_size", Number(stream.compressedSize)},
                            {"uncompressed_size", Number(stream.uncompressedSize)}});
        }
        table.insert("streams", std::move(streams));
    }
    if (info.headerRead) {
        table.insert("format_version", Number(info.version));
        table.insert("title", Text(info.title, codePage));
        table.insert("old_version", Text(info.oldVersionLabel, codePage));
        table.insert("new_version", Text(info.newVersionLabel, codePage));
        table.insert("password", info.passwordFlag == 1);
    }
    if (info.optionsRead) {
        table.insert("check_mode", info.checkMode == 0 ? "md5" : "date-size");
        table.insert("updates", Number(info.counts[0]));
        table.insert("adds", Number(info.counts[1]));
        table.insert("deletes", Number(info.counts[2]));
    }
    if (info.recordsRead) table.insert("records", std::move(records));
    return table;
}

}  // namespace

toml::table InspectTable(const InspectReport& report, const std::string& fileName,
                         std::optional<uint32_t> codePage) {
    toml::array packages;
    for (const PackageInfo& info : report.packages)
        packages.push_back(PackageTable(info, codePage));
    toml::table table{{"file", Text(fileName, std::nullopt)},     {"size", Number(report.fileSize)},
                      {"self_extracting", report.selfExtracting}, {"container", report.container},
                      {"packages", std::move(packages)},          {"ok", report.AllGood()}};
    if (!report.problem.empty()) table.insert("problem", report.problem);
    if (report.selfExtracting) table.insert("signed", report.certificateSize != 0);
    if (!report.signer.empty()) table.insert("signer", Text(report.signer, std::nullopt));
    if (!report.executionLevel.empty()) table.insert("execution_level", report.executionLevel);
    return table;
}

toml::table ProofTable(const ProofReport& report) {
    toml::array folders;
    for (const FolderProof& folder : report.folders) {
        toml::table entry{{"old", Text(folder.oldFolder, std::nullopt)},
                          {"first_run", ResultText(folder.firstRun)},
                          {"milliseconds", Milliseconds(folder.seconds)},
                          {"ok", folder.problem.empty()}};
        if (folder.secondRunDone) entry.insert("second_run", ResultText(folder.secondRun));
        if (!folder.problem.empty()) entry.insert("problem", Text(folder.problem, std::nullopt));
        folders.push_back(std::move(entry));
    }
    toml::table table{{"compared_modes", report.comparedModes},
                      {"folders", std::move(folders)},
                      {"milliseconds", Milliseconds(report.seconds)},
                      {"ok", report.ok()}};
    if (!report.problem.empty()) table.insert("problem", Text(report.problem, std::nullopt));
    return table;
}

std::string Json(const toml::table& table) {
    std::ostringstream out;
    out << toml::json_formatter{table} << "\n";
    return out.str();
}

}  // namespace pkx::builder
