// Real packages built with the writer, installations in temporary folders,
// and one run of the worker with a recording sink and a scripted prompter.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/apply_context.h"
#include "core/cancellation.h"
#include "engine/backups.h"
#include "engine/journal.h"
#include "engine/rollback.h"
#include "engine/worker.h"
#include "package/writer/delta_encoder.h"
#include "package/writer/package_writer.h"
#include "tests/recording_ui.h"
#include "tests/test_support.h"

namespace pkx::test {

inline CheckValue Md5Of(const std::string& content) {
    return packwriter::Md5CheckValue(content.data(), content.size());
}

inline constexpr FileTime kNewWriteTime{0x5A5A0000u, 0x01D20000u};

// An update record whose difference stream turns `oldContent` into
// `newContent`, in a classic package or (its compact streams) a compressed one.
inline packwriter::UpdateRecordModel UpdateRecord(const std::string& name,
                                                  const std::string& oldContent,
                                                  const std::string& newContent,
                                                  uint32_t blockSize = 64) {
    packwriter::UpdateRecordModel record;
    record.name = name;
    record.oldCheckValue = Md5Of(oldContent);
    record.newCheckValue = Md5Of(newContent);
    record.writeTime = kNewWriteTime;
    record.data =
        packwriter::EncodeDeltaStream(ToBytes(oldContent), ToBytes(newContent), {blockSize});
    packwriter::SetCompactData(ToBytes(oldContent), ToBytes(newContent), &record);
    return record;
}

inline packwriter::AddRecordModel AddRecord(const std::string& name, const std::string& content) {
    packwriter::AddRecordModel record;
    record.name = name;
    record.newCheckValue = Md5Of(content);
    record.writeTime = kNewWriteTime;
    record.data = ToBytes(content);
    return record;
}

inline packwriter::DeleteRecordModel DeleteRecord(const std::string& name,
                                                  const std::string& content) {
    return {name, Md5Of(content)};
}

// A version 150 package that finds its folder as a fixed path and asks nothing
// but the confirmation.
inline packwriter::PackageModel FixedFolderModel(const std::string& folder,
                                                 const std::string& oldLabel,
                                                 const std::string& newLabel) {
    packwriter::PackageModel model;
    model.title = "Test Product";
    model.oldVersionLabel = oldLabel;
    model.newVersionLabel = newLabel;
    model.rightsText = "(c) Test";
    model.deleteBackupsDefault = 0;
    model.folderSources.push_back({3, 0xFF, folder, "", "", {}});
    model.hasNewCheckValues = 1;
    return model;
}

inline Bytes BuildOrFail(const packwriter::PackageModel& model,
                         packwriter::PackageLayout* layout = nullptr) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(packwriter::BuildPackage(model, &bytes, layout, &error)) << error;
    return bytes;
}

inline Bytes ContainerOf(const std::vector<Bytes>& packages) {
    Bytes payload;
    std::string error;
    EXPECT_TRUE(packwriter::BuildContainer(packages, &payload, {}, &error)) << error;
    return payload;
}

inline void Install(const std::string& folder, const Files& files) {
    ASSERT_TRUE(PutFiles(folder, files)) << folder;
}

// Counts the polls of the Cancel flag and sets it at the `at`-th (0: never).
struct CancelAtPoll {
    uint64_t at = 0;
    uint64_t polls = 0;
};

class CancelHookScope {
  public:
    explicit CancelHookScope(CancelAtPoll* state) { SetCancelPollHook(&Hook, state); }
    ~CancelHookScope() { SetCancelPollHook(nullptr, nullptr); }
    CancelHookScope(const CancelHookScope&) = delete;
    CancelHookScope& operator=(const CancelHookScope&) = delete;

  private:
    static void Hook(ApplyContext& context, void* data) {
        auto* self = static_cast<CancelAtPoll*>(data);
        if (++self->polls == self->at) context.cancelRequested = 1;
    }
};

// Event codes and prompts in the order they happened: "28", "confirm",
// "notice:<text>", "post:0", ... Runs of EV_FILE_PROGRESS collapse to "12+".
class TracingPrompter final : public Prompter {
  public:
    TracingPrompter(ScriptedPrompter& inner, std::vector<std::string>& trace)
        : inner_(inner), trace_(trace) {}

    bool Confirm(const char* text, const char* caption) override {
        trace_.push_back("confirm");
        return inner_.Confirm(text, caption);
    }
    int AskPassword(ApplyContext& context) override {
        trace_.push_back("password");
        return inner_.AskPassword(context);
    }
    int AskTargetFolder(ApplyContext& context) override {
        trace_.push_back("folder");
        return inner_.AskTargetFolder(context);
    }
    void ShowNotice(ApplyContext& context, const char* text) override {
        trace_.push_back(std::string("notice:") + text);
        inner_.ShowNotice(context, text);
    }
    void CreateUiFont(ApplyContext& context, bool fallback) override {
        trace_.push_back(fallback ? "fallback-font" : "font");
        inner_.CreateUiFont(context, fallback);
    }

  private:
    ScriptedPrompter& inner_;
    std::vector<std::string>& trace_;
};

// One run of the worker on the calling thread, against a program file of its
// own (written with WriteProgram) or a shared one.
class WorkerRun {
  public:
    WorkerRun() : WorkerRun(std::make_unique<TempFolder>()) {}
    // `path` is an existing program file in `folder`.
    WorkerRun(const std::string& folder, const std::string& path) : WorkerRun(nullptr) {
        UseProgram(folder, path);
    }

  private:
    explicit WorkerRun(std::unique_ptr<TempFolder> ownFolder)
        : ownFolder_(std::move(ownFolder)),
          context(std::make_unique<ApplyContext>()),
          tracer(prompts, trace) {
        context->events = &events;
        context->prompts = &tracer;
        if (ownFolder_) UseProgram(ownFolder_->path(), *ownFolder_ / "update.exe");
        events.onEvent = [this](const RecordedEvent& event) {
            if (event.posted) {
                trace.push_back("post:" + std::to_string(event.code));
            } else if (event.code == EV_FILE_PROGRESS) {
                if (trace.empty() || trace.back() != "12+") trace.push_back("12+");
            } else {
                trace.push_back(std::to_string(event.code));
            }
            if (afterEvent) afterEvent(event);
        };
    }

    void UseProgram(const std::string& folder, const std::string& path) {
        home = folder;
        programPath = path;
        SetText(context->programPath, programPath);
        SetText(context->programFolder, home + "\\");
    }

  public:
    // Writes the self-extracting program file with `payload` at the payload offset.
    void WriteProgram(const Bytes& payload) {
        const Bytes stub = {'M', 'Z', 0x90, 0x00};
        Bytes file;
        std::string error;
        ASSERT_TRUE(packwriter::BuildSelfExtracting(stub, payload, &file, &error)) << error;
        ASSERT_EQ(packwriter::WriteFileBytes(programPath.c_str(), file), 0u);
    }

    // Runs the worker; the current folder it changes is put back.
    ResultCode Run() {
        ScopedCurrentFolder keep(currentFolder.empty() ? home : currentFolder);
        EXPECT_EQ(RunWorker(context.get()), 0u);
        return context->result;
    }

    // The posted event, which must be the last one and the only one posted.
    const RecordedEvent* Final() const {
        if (events.events.empty() || !events.events.back().posted) return nullptr;
        return &events.events.back();
    }

    // The dialog's rollback, and its closing with the backups deleted.
    bool Restore() {
        ScopedCurrentFolder keep(home);
        return RestoreBackups(*context);
    }
    void RemoveBackups() {
        ScopedCurrentFolder keep(home);
        DeleteBackups(*context);
        EndJournal(*context);
    }

    // The final event's parameter, -1 when there is none.
    intptr_t FinalParam() const { return Final() != nullptr ? Final()->param : -1; }

    // The text of the first event `code`, empty when there is none.
    std::string TextOf(uint32_t code) const {
        const RecordedEvent* event = events.Find(code);
        return event != nullptr ? event->text : std::string();
    }

    size_t PostedCount() const {
        size_t count = 0;
        for (const RecordedEvent& event : events.events) count += event.posted ? 1 : 0;
        return count;
    }

    std::vector<intptr_t> ParamsOf(uint32_t code) const {
        std::vector<intptr_t> params;
        for (const RecordedEvent& event : events.events) {
            if (event.code == code && !event.posted) params.push_back(event.param);
        }
        return params;
    }

    static void SetText(char* buffer, const std::string& text) {
        ASSERT_LT(text.size(), kPathBufferSize);
        text.copy(buffer, text.size());
        buffer[text.size()] = '\0';
    }

  private:
    std::unique_ptr<TempFolder> ownFolder_;

  public:
    std::string home;  // the program's folder
    std::string programPath;
    std::unique_ptr<ApplyContext> context;
    RecordingEvents events;
    ScriptedPrompter prompts;
    std::vector<std::string> trace;
    TracingPrompter tracer;
    std::function<void(const RecordedEvent&)> afterEvent;
    // The process's current folder during the run; the program's folder when empty.
    std::string currentFolder;
};

}  // namespace pkx::test
