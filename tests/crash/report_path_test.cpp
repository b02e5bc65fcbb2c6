#include "crash/report_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vexa::crash {
namespace {

TEST(ReportPath, ExecutablePathToReportPath) {
    struct Case {
        const char* executable;
        const char* report;
    };
    const Case cases[] = {
        // An extension of three bytes or more is replaced.
        {"D:\\App\\host.exe", "D:\\App\\host.RPT"},
        {"D:\\App\\host.EXE", "D:\\App\\host.RPT"},
        {"D:\\App\\host.html", "D:\\App\\host.RPT"},
        {"D:\\App\\a.b.exe", "D:\\App\\a.b.RPT"},
        {"Z:\\work\\build\\crash_child.exe", "Z:\\work\\build\\crash_child.RPT"},
        {"/opt/app/host.exe", "/opt/app/host.RPT"},
        // Without such an extension the name is kept whole and ".RPT" added.
        {"D:\\App\\host", "D:\\App\\host.RPT"},
        {"D:\\App\\host.ex", "D:\\App\\host.ex.RPT"},
        {"D:\\App\\host.e", "D:\\App\\host.e.RPT"},
        {"D:\\App\\host.", "D:\\App\\host..RPT"},
        {"host", "host.RPT"},
        // A "." in a directory is no extension of the file.
        {"D:\\v1.2\\host", "D:\\v1.2\\host.RPT"},
        {"D:\\App.dir\\host", "D:\\App.dir\\host.RPT"},
        {"/opt/app.d/host", "/opt/app.d/host.RPT"},
        {"D:\\App.dir\\", "D:\\App.dir\\.RPT"},
        // An executable called *.RPT must not become its own report.
        {"D:\\App\\host.RPT", "D:\\App\\host.RPT.RPT"},
        {"D:\\App\\host.rpt", "D:\\App\\host.rpt.RPT"},
        {"D:\\App\\host.RPTX", "D:\\App\\host.RPT"},
        // GBK names: the second byte of \x95\x5C is a trail byte, not a
        // backslash, so "a.b\x95\x5Cxy" is one file name with extension
        // "b\x95\x5Cxy".
        {"D:\\\xD6\xD0\xCE\xC4.exe", "D:\\\xD6\xD0\xCE\xC4.RPT"},
        {"D:\\a.b\x95\x5Cxy", "D:\\a.RPT"},
        {"D:\\\x95\x5C.x\\host", "D:\\\x95\x5C.x\\host.RPT"},
        // A lone lead byte at the end is a character of its own.
        {"D:\\host.ex\x95", "D:\\host.RPT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executable);
        char out[kPathCapacity];
        std::memset(out, 'X', sizeof out);
        ASSERT_TRUE(MakeReportPath(c.executable, out, sizeof out));
        EXPECT_EQ(std::string(out), c.report);
        EXPECT_NE(std::string(out), c.executable);
    }
}

TEST(ReportPath, PathsThatGiveNoReport) {
    char out[kPathCapacity];
    std::strcpy(out, "stale");
    EXPECT_FALSE(MakeReportPath(nullptr, out, sizeof out));
    EXPECT_STREQ(out, "");
    std::strcpy(out, "stale");
    EXPECT_FALSE(MakeReportPath("", out, sizeof out));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(MakeReportPath("D:\\host.exe", nullptr, 260));
    EXPECT_FALSE(MakeReportPath("D:\\host.exe", out, 0));
}

TEST(ReportPath, LongPathsFitOrGiveNoReport) {
    // name of n bytes in "D:\" + name; returns the report path or "" for none.
    auto report = [](std::size_t nameLength, const char* extension) {
        std::string path = "D:\\" + std::string(nameLength, 'n') + extension;
        char out[kPathCapacity];
        std::strcpy(out, "stale");
        const bool made = MakeReportPath(path.c_str(), out, sizeof out);
        EXPECT_EQ(made, out[0] != '\0');
        return std::string(out);
    };
    // 259 bytes with ".exe": the report path has the same length and fits.
    EXPECT_EQ(report(252, ".exe").size(), 259u);
    // A full 259-byte path without an extension has no room for ".RPT".
    EXPECT_EQ(report(256, ""), "");
    EXPECT_EQ(report(252, ""), "D:\\" + std::string(252, 'n') + ".RPT");
    EXPECT_EQ(report(253, ""), "");
    // A path as long as the buffer is not a terminated path at all.
    char full[kPathCapacity];
    std::memset(full, 'p', sizeof full);
    char out[kPathCapacity];
    EXPECT_FALSE(MakeReportPath(full, out, sizeof out));
    // A 255-byte "*.rpt" executable cannot take the extra ".RPT".
    EXPECT_EQ(report(252, ".rpt"), "");
}

}  // namespace
}  // namespace vexa::crash
