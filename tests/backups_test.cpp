// Backup names that must fit a path buffer.
#include "engine/backups.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/file_operations.h"

namespace pkx {
namespace {

std::string Backup(const std::string& path, const char* label) {
    char backup[kPathBufferSize];
    std::memset(backup, 'x', sizeof backup);
    if (!BuildBackupPath(path.c_str(), label, backup)) {
        EXPECT_EQ(backup[0], '\0');
        return "<refused>";
    }
    return backup;
}

TEST(BackupPathTest, NamesFollowTheBackupRuleAndFit) {
    const std::string fits = "C:\\App\\" + std::string(259 - 7 - 8, 'n');  // + ".1.0.old"
    const struct {
        std::string path;
        std::string label;
        std::string backup;
    } cases[] = {
        {"C:\\App\\tool.exe", "1.20", "C:\\App\\tool.exe.1.20.old"},
        {"C:\\App\\tool.exe", "1/20", "C:\\App\\tool.exe.1_20.old"},
        {"C:\\App\\tool.exe", "v1:2*3?", "C:\\App\\tool.exe.v1_2_3_.old"},
        {"C:\\App\\sub\\dir\\x.dll", "1.0", "C:\\App\\sub\\dir\\x.dll.1.0.old"},
        {"C:\\App\\dir.d\\README", "1.0", "C:\\App\\dir.d\\README.1.0.old"},
        {"C:\\App\\arc.tar.gz", "1.0", "C:\\App\\arc.tar.gz.1.0.old"},
        {"inst\\tool.exe", "1.0", "inst\\tool.exe.1.0.old"},
        // A slash in a record name separates folders: the backup lies beside
        // the file, in its own folder, for creation, rollback and clean-up.
        {"C:\\App\\sub/x.dll", "1.0", "C:\\App\\sub/x.dll.1.0.old"},
        {"C:\\App\\a/b/c", "2/0", "C:\\App\\a/b/c.2_0.old"},
        // The backup path of 259 bytes is the longest built.
        {fits, "1.0", fits + ".1.0.old"},
        {fits + "n", "1.0", "<refused>"},
        {std::string(300, 'n'), "1", "<refused>"},
        {"C:\\a.b", std::string(259, 'L'), "<refused>"},
    };
    for (const auto& c : cases) EXPECT_EQ(Backup(c.path, c.label.c_str()), c.backup);
}

}  // namespace
}  // namespace pkx
