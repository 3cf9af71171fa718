#include <cerrno>

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

using namespace pv;
using pvtest::ReadFile;
using pvtest::WriteFile;

namespace {

const std::string kSharing =
    "The process cannot access the file because it is being used by another process.";

} // namespace

TEST(Paths, PiecesAndProgramDirectory) {
    EXPECT_EQ(ExtractFilePath("/opt/pv/postvane"), "/opt/pv/");
    EXPECT_EQ(ExtractFileName("/opt/pv/postvane"), "postvane");
    EXPECT_EQ(ExtractFileExt("/a.b/file"), "");
    EXPECT_EQ(ExtractFileExt("/a/file.tar.GZ"), ".GZ");
    EXPECT_EQ(ChangeFileExt("/opt/pv.d/postvane", ".ini"), "/opt/pv.d/postvane.ini");
    EXPECT_EQ(ChangeFileExt("/opt/pv/postvane.exe", ".ini"), "/opt/pv/postvane.ini");
    EXPECT_EQ(ChangeFileExt("report.txt", ""), "report");
    std::string app = AppDir();
    ASSERT_FALSE(app.empty());
    EXPECT_EQ(app.back(), '/');
    EXPECT_EQ(ExtractFilePath(ExeName()), app);
    EXPECT_TRUE(FileExists(ExeName()));
    EXPECT_EQ(SysErrorMessage(ERROR_SHARING_VIOLATION), kSharing);
    EXPECT_EQ(SysErrorMessage(ENOSPC), "No space left on device");
}
