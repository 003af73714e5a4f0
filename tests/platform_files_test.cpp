// The native platform's file and name operations on real files, with the
// results Windows gives. Built for both targets.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace pkx {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

constexpr uint32_t kNegativeSeek = 131;

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

class PlatformFilesTest : public ::testing::Test {
  protected:
    uint32_t OpenRead(const std::string& path, uint32_t share, Handle* handle) {
        return os.Open(path.c_str(), kGenericRead, share, kOpenExisting, kAttributeNormal,
                       handle->out());
    }
    uint32_t OpenWrite(const std::string& path, uint32_t share, Handle* handle) {
        return os.Open(path.c_str(), kGenericWrite, share, kCreateAlways, kAttributeArchive,
                       handle->out());
    }

    Platform& os = NativePlatform();
    TempFolder temp;
};

TEST_F(PlatformFilesTest, OpenFailuresGiveTheWindowsCodes) {
    Handle handle;
    EXPECT_EQ(OpenRead(temp / "missing.txt", kShareRead, &handle), win32err::kFileNotFound);
    EXPECT_EQ(handle.get(), kInvalidFile);
    EXPECT_EQ(OpenRead(temp / "no\\such\\file.txt", kShareRead, &handle), win32err::kPathNotFound);
    EXPECT_EQ(OpenWrite(temp / "no\\file.txt", kShareNone, &handle), win32err::kPathNotFound);

    ASSERT_TRUE(test::MakeFolders(temp / "folder"));
    EXPECT_EQ(OpenRead(temp / "folder", kShareRead, &handle), win32err::kAccessDenied);
    EXPECT_EQ(handle.get(), kInvalidFile);

    ASSERT_TRUE(WriteFile(temp / "there.txt", "x"));
    EXPECT_EQ(os.Open((temp / "there.txt").c_str(), kGenericWrite, kShareNone, kCreateNew,
                      kAttributeNormal, handle.out()),
              win32err::kFileExists);
    EXPECT_EQ(ReadFile(temp / "there.txt"), "x");
}

TEST_F(PlatformFilesTest, SharingRulesAndCreateAlwaysTruncation) {
    ASSERT_TRUE(WriteFile(temp / "locked.txt", "keep me"));
    Handle owner, other;
    ASSERT_EQ(OpenRead(temp / "locked.txt", kShareNone, &owner), 0u);
    EXPECT_EQ(OpenRead(temp / "locked.txt", kShareRead | kShareWrite, &other),
              win32err::kSharingViolation);
    // The refused writer must not have truncated the file on its way.
    EXPECT_EQ(OpenWrite(temp / "locked.txt", kShareNone, &other), win32err::kSharingViolation);
    EXPECT_EQ(other.get(), kInvalidFile);
    owner.Close();
    EXPECT_EQ(ReadFile(temp / "locked.txt"), "keep me");

    // Readers sharing reading overlap, but not with an exclusive one.
    Handle second;
    ASSERT_EQ(OpenRead(temp / "locked.txt", kShareRead, &owner), 0u);
    EXPECT_EQ(OpenRead(temp / "locked.txt", kShareRead, &second), 0u);
    EXPECT_EQ(OpenRead(temp / "locked.txt", kShareNone, &other), win32err::kSharingViolation);
    owner.Close();
    second.Close();

    ASSERT_EQ(OpenWrite(temp / "locked.txt", kShareNone, &owner), 0u);
    uint32_t done = 0;
    ASSERT_EQ(os.Write(owner.get(), "new", 3, &done), 0u);
    owner.Close();
    EXPECT_EQ(ReadFile(temp / "locked.txt"), "new");
}

TEST_F(PlatformFilesTest, SeekAndSizeWorkInThirtyTwoBitPositions) {
    ASSERT_TRUE(WriteFile(temp / "ten.bin", "0123456789"));
    Handle in;
    ASSERT_EQ(OpenRead(temp / "ten.bin", kShareRead, &in), 0u);
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
    EXPECT_EQ(os.Seek(in.get(), -1, kFileBegin, &value), kNegativeSeek);
    EXPECT_EQ(value, 77u);
    ASSERT_EQ(os.Seek(in.get(), 0, kFileCurrent, &value), 0u);
    EXPECT_EQ(value, 9u);  // a failed seek leaves the position alone
    ASSERT_EQ(os.Seek(in.get(), 100, kFileBegin, &value), 0u);
    EXPECT_EQ(value, 100u);  // past the end is allowed, as on Windows
}

TEST_F(PlatformFilesTest, ExistsSeesWhatFindFirstFileSees) {
    ASSERT_TRUE(WriteFile(temp / "a.txt", "a"));
    ASSERT_TRUE(WriteFile(temp / "README", "r"));
    ASSERT_TRUE(test::MakeFolders(temp / "sub"));

    EXPECT_TRUE(os.Exists((temp / "a.txt").c_str()));
    EXPECT_TRUE(os.Exists((temp / "sub").c_str()));
    EXPECT_FALSE(os.Exists((temp / "sub\\").c_str()));
    EXPECT_FALSE(os.Exists((temp / "a.txt\\").c_str()));
    EXPECT_FALSE(os.Exists((temp / "b.txt").c_str()));
    EXPECT_FALSE(os.Exists((temp / "none\\a.txt").c_str()));
    EXPECT_FALSE(os.Exists(""));

    EXPECT_TRUE(os.Exists((temp / "*.TXT").c_str()));
    EXPECT_TRUE(os.Exists((temp / "?.txt").c_str()));
    EXPECT_TRUE(os.Exists((temp / "S*").c_str()));
    EXPECT_TRUE(os.Exists((temp / "READ*.*").c_str()));  // ".*" also matches no extension
    EXPECT_FALSE(os.Exists((temp / "??.txt").c_str()));
    EXPECT_FALSE(os.Exists((temp / "*.doc").c_str()));
    EXPECT_FALSE(os.Exists((temp / "none\\*").c_str()));
}

TEST_F(PlatformFilesTest, NameExistsTakesTheNameAsItStands) {
    ASSERT_TRUE(WriteFile(temp / "a.txt", "a"));
    ASSERT_TRUE(test::MakeFolders(temp / "sub"));
    EXPECT_TRUE(os.NameExists((temp / "a.txt").c_str()));
    EXPECT_TRUE(os.NameExists((temp / "sub").c_str()));
    EXPECT_FALSE(os.NameExists((temp / "b.txt").c_str()));
    EXPECT_FALSE(os.NameExists((temp / "?.txt").c_str()));
    EXPECT_FALSE(os.NameExists((temp / "*").c_str()));
}

TEST_F(PlatformFilesTest, MoveAndDeleteKeepWindowsRules) {
    ASSERT_TRUE(WriteFile(temp / "from.txt", "from"));
    ASSERT_TRUE(WriteFile(temp / "to.txt", "to"));
    ASSERT_TRUE(test::MakeFolders(temp / "folder"));
    const auto move = [&](const char* from, const char* to) {
        return os.Move((temp / from).c_str(), (temp / to).c_str());
    };
    // Never onto an existing name, file or folder.
    EXPECT_EQ(move("from.txt", "to.txt"), win32err::kAlreadyExists);
    EXPECT_EQ(move("from.txt", "folder"), win32err::kAlreadyExists);
    EXPECT_EQ(move("missing", "x"), win32err::kFileNotFound);
    EXPECT_EQ(move("from.txt", "none\\x"), win32err::kPathNotFound);
    EXPECT_EQ(os.Delete((temp / "missing").c_str()), win32err::kFileNotFound);
    EXPECT_EQ(os.Delete((temp / "none\\missing").c_str()), win32err::kPathNotFound);
    EXPECT_EQ(os.Delete((temp / "folder").c_str()), win32err::kAccessDenied);
    EXPECT_EQ(os.Delete((temp / "to.txt").c_str()), 0u);

    ASSERT_EQ(move("from.txt", "file.txt.1.old"), 0u);
    ASSERT_TRUE(WriteFile(temp / "folder\\inner.txt", "inner"));
    ASSERT_EQ(move("folder", "renamed"), 0u);
    EXPECT_EQ(test::ListTree(temp.path()),
              (test::Tree{
                  {"file.txt.1.old", "from"}, {"renamed\\", ""}, {"renamed\\inner.txt", "inner"}}));
}

TEST_F(PlatformFilesTest, AFileHeldOpenCanBeNeitherMovedNorDeleted) {
    ASSERT_TRUE(WriteFile(temp / "busy.txt", "busy"));
    Handle holder;
    ASSERT_EQ(OpenRead(temp / "busy.txt", kShareRead, &holder), 0u);
    EXPECT_EQ(os.Move((temp / "busy.txt").c_str(), (temp / "moved.txt").c_str()),
              win32err::kSharingViolation);
    EXPECT_EQ(os.Delete((temp / "busy.txt").c_str()), win32err::kSharingViolation);
    holder.Close();
    EXPECT_EQ(os.Move((temp / "busy.txt").c_str(), (temp / "moved.txt").c_str()), 0u);
}

TEST_F(PlatformFilesTest, CreateFolderAndSetCurrentFolder) {
    EXPECT_EQ(os.CreateFolder((temp / "new").c_str()), 0u);
    EXPECT_TRUE(test::IsFolder(temp / "new"));
    EXPECT_EQ(os.CreateFolder((temp / "new").c_str()), win32err::kAlreadyExists);
    EXPECT_EQ(os.CreateFolder((temp / "a\\b").c_str()), win32err::kPathNotFound);
    EXPECT_FALSE(test::PathExists(temp / "a"));

    ASSERT_TRUE(WriteFile(temp / "new\\here.txt", "here"));
    test::ScopedCurrentFolder restore(temp.path());
    ASSERT_EQ(os.SetCurrentFolder((temp / "new").c_str()), 0u);
    Handle relative;
    EXPECT_EQ(OpenRead("here.txt", kShareRead, &relative), 0u);
    EXPECT_TRUE(os.Exists("here.txt"));
    EXPECT_EQ(os.SetCurrentFolder((temp / "missing").c_str()), win32err::kFileNotFound);
}

}  // namespace
}  // namespace pkx
