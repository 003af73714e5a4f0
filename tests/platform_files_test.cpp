// The native platform's file and name operations on real files, with the
// results Windows gives. Built for both targets.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "support/paths.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::ReadFile;
using test::WriteFile;
using namespace win32err;

// One handle of the native platform, closed at the end of the scope.
class Handle {
  public:
    ~Handle() { Close(); }
    FileHandle* out() { return &file_; }
    FileHandle get() const { return file_; }
    void Close() {
        if (file_ != kInvalidFile) NativePlatform().Close(file_);
        file_ = kInvalidFile;
    }

  private:
    FileHandle file_ = kInvalidFile;
};

// A folder holding "a.txt" ("a"), "README" ("r") and the folder "sub".
class PlatformFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WriteFile(temp / "a.txt", "a"));
        ASSERT_TRUE(WriteFile(temp / "README", "r"));
        ASSERT_TRUE(test::MakeFolders(temp / "sub"));
    }
    uint32_t Open(const std::string& path, uint32_t access, uint32_t share, Handle* handle,
                  uint32_t disposition = kOpenExisting) {
        return os.Open(path.c_str(), access, share, disposition, kAttributeNormal, handle->out());
    }

    Platform& os = NativePlatform();
    test::TempFolder temp;
};

TEST_F(PlatformFilesTest, ExistsSeesWhatFindFirstFileSeesAndNameExistsTheNameAsItStands) {
    const struct {
        const char* name;
        int found, named;  // Exists and FileExists; NameExists (-1: not asked)
    } rows[] = {
        {"a.txt", 1, 1},   {"sub", 1, 1},         {"sub\\", 0, -1}, {"a.txt\\", 0, -1},
        {"b.txt", 0, 0},   {"none\\a.txt", 0, 0}, {"*.TXT", 1, 0},  {"?.txt", 1, 0},
        {"S*", 1, 0},      {"READ*.*", 1, 0},     {"??.txt", 0, 0}, {"*.doc", 0, 0},
        {"none\\*", 0, 0}, {"*", 1, 0},  // ".*" above also matches no extension
    };
    for (const auto& row : rows) {
        const std::string path = temp / row.name;
        EXPECT_EQ(os.Exists(path.c_str()), row.found == 1) << row.name;
        EXPECT_EQ(FileExists(path.c_str()), row.found) << row.name;
        EXPECT_TRUE(row.named < 0 || os.NameExists(path.c_str()) == (row.named == 1)) << row.name;
    }
    EXPECT_FALSE(os.Exists(""));
    EXPECT_EQ(FileExists(nullptr), 0);
}

// Each refusal, by a relative and by a full name, gives the Windows code and
// changes nothing.
TEST_F(PlatformFilesTest, RefusalsGiveTheWindowsCodes) {
    const struct {
        char op;  // o: open, w: create always, n: create new, m: move, d: delete,
                  // c: create folder, s: set the current folder
        const char *name, *to;
        uint32_t code;
    } rows[] = {
        {'o', "missing.txt", "", kFileNotFound},   {'o', "no\\such\\file", "", kPathNotFound},
        {'o', "sub", "", kAccessDenied},           {'w', "no\\file.txt", "", kPathNotFound},
        {'n', "a.txt", "", kFileExists},           {'m', "a.txt", "README", kAlreadyExists},
        {'m', "a.txt", "sub", kAlreadyExists},     {'m', "missing", "x", kFileNotFound},
        {'m', "a.txt", "none\\x", kPathNotFound},  {'d', "missing", "", kFileNotFound},
        {'d', "none\\missing", "", kPathNotFound}, {'d', "sub", "", kAccessDenied},
        {'c', "sub", "", kAlreadyExists},          {'c', "x\\y", "", kPathNotFound},
        {'s', "missing", "", kFileNotFound},
    };
    test::ScopedCurrentFolder inside(temp.path());
    for (const auto& row : rows) {
        for (const std::string& at : {std::string(), temp.path() + "\\"}) {
            const std::string name = at + row.name, to = at + row.to;
            Handle handle;
            const uint32_t code =
                row.op == 'o'   ? Open(name, kGenericRead, kShareRead, &handle)
                : row.op == 'w' ? Open(name, kGenericWrite, kShareNone, &handle, kCreateAlways)
                : row.op == 'n' ? Open(name, kGenericWrite, kShareNone, &handle, kCreateNew)
                : row.op == 'm' ? os.Move(name.c_str(), to.c_str())
                : row.op == 'd' ? os.Delete(name.c_str())
                : row.op == 'c' ? os.CreateFolder(name.c_str())
                                : os.SetCurrentFolder(name.c_str());
            EXPECT_EQ(code, row.code) << row.op << " " << name;
            EXPECT_EQ(handle.get(), kInvalidFile);
        }
    }
    EXPECT_EQ(test::ListTree(temp.path()),
              (test::Tree{{"README", "r"}, {"a.txt", "a"}, {"sub\\", ""}}));
}

TEST_F(PlatformFilesTest, SharingRulesAndCreateAlwaysTruncation) {
    const uint32_t r = kGenericRead, w = kGenericWrite, both = kShareRead | kShareWrite;
    const struct {
        uint32_t access, share, secondAccess, secondShare, disposition, code;
    } rows[] = {
        {r, kShareNone, r, both, kOpenExisting, kSharingViolation},
        {r, kShareNone, w, kShareNone, kCreateAlways, kSharingViolation},  // no truncation
        {r, kShareRead, r, kShareRead, kOpenExisting, 0},
        {r, kShareRead, r, kShareNone, kOpenExisting, kSharingViolation},
        {w, kShareRead, r, kShareNone, kOpenExisting, kSharingViolation},
    };
    const std::string path = temp / "a.txt";
    for (const auto& row : rows) {
        Handle first, second;
        ASSERT_EQ(Open(path, row.access, row.share, &first), 0u);
        EXPECT_EQ(Open(path, row.secondAccess, row.secondShare, &second, row.disposition),
                  row.code);
        EXPECT_EQ(second.get() == kInvalidFile, row.code != 0);
    }
    EXPECT_EQ(ReadFile(path), "a");

    // A file held open can be neither moved nor deleted; one opened for
    // writing only cannot be read.
    Handle writer;
    ASSERT_EQ(Open(path, kGenericWrite, kShareRead, &writer, kCreateAlways), 0u);
    EXPECT_EQ(os.Move(path.c_str(), (temp / "moved").c_str()), kSharingViolation);
    EXPECT_EQ(os.Delete(path.c_str()), kSharingViolation);
    char c;
    uint32_t done = 7;
    EXPECT_EQ(os.Read(writer.get(), &c, 1, &done), kAccessDenied);
    EXPECT_EQ(done, 0u);
    ASSERT_EQ(os.Write(writer.get(), "new", 3, &done), 0u);
    writer.Close();
    EXPECT_EQ(ReadFile(path), "new");
    EXPECT_EQ(os.Move(path.c_str(), (temp / "moved").c_str()), 0u);
}

TEST_F(PlatformFilesTest, SeekAndSizeWorkInThirtyTwoBitPositions) {
    ASSERT_TRUE(WriteFile(temp / "ten.bin", "0123456789"));
    Handle in;
    ASSERT_EQ(Open(temp / "ten.bin", kGenericRead, kShareRead, &in), 0u);
    uint32_t value = 0;
    ASSERT_EQ(os.Size(in.get(), &value), 0u);
    EXPECT_EQ(value, 10u);
    ASSERT_EQ(os.Seek(in.get(), 4, kFileBegin, &value), 0u);
    EXPECT_EQ(value, 4u);
    ASSERT_EQ(os.Seek(in.get(), -1, kFileCurrent, &value), 0u);
    EXPECT_EQ(value, 3u);
    ASSERT_EQ(os.Seek(in.get(), -2, kFileEnd, &value), 0u);
    EXPECT_EQ(value, 8u);
    char c = 0;
    uint32_t done = 0;
    ASSERT_EQ(os.Read(in.get(), &c, 1, &done), 0u);
    EXPECT_EQ(c, '8');

    value = 77;
    EXPECT_EQ(os.Seek(in.get(), -1, kFileBegin, &value), 131u);  // a negative position
    EXPECT_EQ(value, 77u);
    ASSERT_EQ(os.Seek(in.get(), 0, kFileCurrent, &value), 0u);
    EXPECT_EQ(value, 9u);  // a failed seek leaves the position alone
    ASSERT_EQ(os.Seek(in.get(), 100, kFileBegin, &value), 0u);
    EXPECT_EQ(value, 100u);  // past the end is allowed, as on Windows
}

TEST_F(PlatformFilesTest, MovesDeletesAndNewFolders) {
    ASSERT_TRUE(WriteFile(temp / "sub\\inner.txt", "inner"));
    EXPECT_EQ(os.Delete((temp / "README").c_str()), 0u);
    EXPECT_EQ(os.Move((temp / "a.txt").c_str(), (temp / "file.txt.1.old").c_str()), 0u);
    EXPECT_EQ(os.Move((temp / "sub").c_str(), (temp / "renamed").c_str()), 0u);
    EXPECT_EQ(os.CreateFolder((temp / "new").c_str()), 0u);
    EXPECT_EQ(test::ListTree(temp.path()), (test::Tree{{"file.txt.1.old", "a"},
                                                       {"new\\", ""},
                                                       {"renamed\\", ""},
                                                       {"renamed\\inner.txt", "inner"}}));

    test::ScopedCurrentFolder restore(temp.path());
    ASSERT_EQ(os.SetCurrentFolder((temp / "renamed").c_str()), 0u);
    Handle relative;
    EXPECT_EQ(Open("inner.txt", kGenericRead, kShareRead, &relative), 0u);
    EXPECT_TRUE(os.Exists("inner.txt"));
}

// The refusals of an opened folder (its links: the planted journals' tests).
TEST_F(PlatformFilesTest, ChangesInAnOpenedFolderStayThere) {
    const uint32_t trusted = static_cast<uint32_t>(temp.path().size() + 1);
    FolderHandle sub = kInvalidFolder;
    ASSERT_EQ(os.OpenFolder((temp / "sub\\").c_str(), trusted, &sub), 0u);
    Handle made;
    Handle refused;
    EXPECT_EQ(os.CreateIn(sub, "new.txt", kGenericWrite, kAttributeNormal, made.out()), 0u);
    EXPECT_EQ(os.CreateIn(sub, "new.txt", kGenericWrite, kAttributeNormal, refused.out()),
              kFileExists);
    EXPECT_EQ(os.MoveIn(sub, "new.txt", "..\\a.txt", nullptr), kInvalidName);
    os.CloseFolder(sub);
    EXPECT_EQ(os.OpenFolder((temp / "sub\\..\\sub").c_str(), trusted, &sub), kInvalidName);
    EXPECT_EQ(os.OpenFolder((temp / "README\\sub").c_str(), trusted, &sub), kPathNotFound);
    ASSERT_EQ(os.OpenFolder((temp.path() + "\\").c_str(), trusted, &sub), 0u);
    EXPECT_EQ(os.RemoveFolderIn(sub, "sub"), kDirNotEmpty);
    os.CloseFolder(sub);
}

// POSIX hands over the file a move took, held alone for reading; a file held
// open is neither moved nor handed over.
TEST_F(PlatformFilesTest, AMoveHandsOverTheFileItMovedHeldAloneForReading) {
    FolderHandle folder = kInvalidFolder;
    ASSERT_EQ(os.OpenFolder((temp.path() + "\\").c_str(), temp.path().size() + 1, &folder), 0u);
    Handle moved;
    Handle other;
    ASSERT_EQ(os.MoveIn(folder, "a.txt", "a.old", moved.out()), 0u);
#ifndef _WIN32
    char c = 0;
    uint32_t done = 0;
    ASSERT_EQ(os.Read(moved.get(), &c, 1, &done), 0u);
    EXPECT_EQ(c, 'a');
    EXPECT_EQ(Open(temp / "a.old", kGenericRead, kShareRead, &other), kSharingViolation);
#endif
    moved.Close();
    ASSERT_EQ(Open(temp / "a.old", kGenericRead, kShareRead, &other), 0u);
    EXPECT_EQ(os.MoveIn(folder, "a.old", "b.old", moved.out()), kSharingViolation);
    EXPECT_EQ(moved.get(), kInvalidFile);
    os.CloseFolder(folder);
}

// A folder kept from one opening to the next, as a run keeps them, serves
// only openings below the same installation folder; an opening that failed
// keeps nothing it found on the way, and a kept folder replaced by a file
// since is not taken for a folder.
TEST_F(PlatformFilesTest, KeptFoldersServeOnlyTheirOwnInstallation) {
    ASSERT_TRUE(test::MakeFolders(temp / "sub\\deep"));
    const std::string second = temp / "sub";
    os.KeepFolders(true);
    FolderHandle folder = kInvalidFolder;
    // Below the installation "sub": the file lands where the path leads.
    const auto CreateInDeepAndEndKeeping = [&](const std::string& name) {
        Handle made;
        ASSERT_EQ(os.OpenFolder((second + "\\deep\\").c_str(), second.size() + 1, &folder), 0u);
        EXPECT_EQ(os.CreateIn(folder, name.c_str(), kGenericWrite, kAttributeNormal, made.out()),
                  0u);
        os.CloseFolder(folder);
        os.KeepFolders(false);
        made.Close();
        EXPECT_TRUE(os.NameExists((temp / "sub\\deep\\" + name).c_str()));
    };
    ASSERT_EQ(os.OpenFolder((temp / "sub\\").c_str(), temp.path().size() + 1, &folder), 0u);
    os.CloseFolder(folder);
    EXPECT_EQ(os.OpenFolder((temp / "README\\sub").c_str(), temp.path().size() + 1, &folder),
              kPathNotFound);
    EXPECT_EQ(os.OpenFolder((temp / "README\\").c_str(), temp.path().size() + 1, &folder),
              kPathNotFound);
    ASSERT_EQ(os.OpenFolder((temp / "sub\\deep\\").c_str(), temp.path().size() + 1, &folder), 0u);
    os.CloseFolder(folder);
    ASSERT_EQ(std::rename(test::NativePath(temp / "sub\\deep").c_str(),
                          test::NativePath(temp / "sub\\moved").c_str()),
              0);
    ASSERT_TRUE(WriteFile(temp / "sub\\deep", "file"));
    EXPECT_EQ(os.OpenFolder((temp / "sub\\deep\\").c_str(), temp.path().size() + 1, &folder),
              kPathNotFound);
    ASSERT_EQ(os.Delete((temp / "sub\\deep").c_str()), 0u);
    ASSERT_EQ(os.Move((temp / "sub\\moved").c_str(), (temp / "sub\\deep").c_str()), 0u);
    CreateInDeepAndEndKeeping("new.txt");

    // The next keeping takes nothing of this one whose path leads elsewhere
    // now, the installation folder included.
    ASSERT_EQ(std::rename(test::NativePath(second).c_str(),
                          test::NativePath(temp / "sub-before").c_str()),
              0);
    ASSERT_TRUE(test::MakeFolders(temp / "sub\\deep"));
    os.KeepFolders(true);
    CreateInDeepAndEndKeeping("later.txt");
}

// A folder taken again serves each opening, and one still held when keeping
// ends stays open until its holder closes it.
TEST_F(PlatformFilesTest, KeptFoldersServeEveryHolderUntilItLetsGo) {
    const size_t trusted = temp.path().size() + 1;
    os.KeepFolders(true);
    FolderHandle first = kInvalidFolder;
    FolderHandle second = kInvalidFolder;
    ASSERT_EQ(os.OpenFolder((temp / "sub\\").c_str(), trusted, &first), 0u);
    os.CloseFolder(first);
    ASSERT_EQ(os.OpenFolder((temp / "sub\\").c_str(), trusted, &first), 0u);
    ASSERT_EQ(os.OpenFolder((temp / "sub\\").c_str(), trusted, &second), 0u);
    os.CloseFolder(first);
    os.KeepFolders(false);
    Handle made;
    EXPECT_EQ(os.CreateIn(second, "held.txt", kGenericWrite, kAttributeNormal, made.out()), 0u);
    os.CloseFolder(second);
    made.Close();
    EXPECT_TRUE(os.NameExists((temp / "sub\\held.txt").c_str()));
}

}  // namespace
}  // namespace pkx
