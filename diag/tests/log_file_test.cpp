// The ring log file against real files.
#include "diag/LogFile.h"
#include "diag/tests/diag_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using diag_test::read_all;

namespace {

std::string record(const std::string& text, std::size_t size)
{
    std::string r = text.substr(0, size);
    r.resize(size, ' ');
    return r + "\r\n";
}

}  // namespace

// Capacity from the size in KB and the record length, including the limits of Open.
TEST(LogFile, CapacityAndOpenLimits)
{
    diag_test::scratch_dir dir;
    CLogFile log;
    EXPECT_EQ(log.GetCapacity(), 0);
    const struct { int kb; int capacity; } sizes[] = {{1, 6}, {64, 404}, {1024, 6472}, {4096, 25890}};
    for (const auto& s : sizes) {
        ASSERT_TRUE(log.Open(dir.file("a.log").c_str(), s.kb, 160));
        EXPECT_EQ(log.GetCapacity(), s.capacity) << s.kb << " KB";
    }
    // A record length of exactly 1024 bytes fits once into 1 KB; one byte more does not.
    ASSERT_TRUE(log.Open(dir.file("b.log").c_str(), 1, 1022));
    EXPECT_EQ(log.GetCapacity(), 1);
    EXPECT_FALSE(log.Open(dir.file("c.log").c_str(), 1, 1023));
    EXPECT_FALSE(log.Open(dir.file("c.log").c_str(), 0, 160));
    EXPECT_FALSE(log.Open(dir.file("c.log").c_str(), 4, 0));
    // The refused opens left the open file open and created nothing.
    EXPECT_TRUE(log.IsOpen());
    EXPECT_EQ(log.WriteLine("still here"), 1);
    EXPECT_FALSE(std::ifstream(dir.file("c.log")).good());
}

// Cut, padded and empty texts; the record numbers returned; the wrap to byte 0.
TEST(LogFile, RecordsWrapAroundTheRing)
{
    diag_test::scratch_dir dir;
    const std::string path = dir.file("ring.log");
    CLogFile log;
    ASSERT_TRUE(log.Open(path.c_str(), 1, 160));
    const std::string long_text(300, 'x');
    const std::string texts[] = {"first", long_text, "", "four", "five", "six"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(log.WriteLine(texts[i].c_str()), i + 1);
    std::string expected;
    for (const auto& t : texts)
        expected += record(t, 160);
    EXPECT_EQ(read_all(path), expected);
    EXPECT_EQ(read_all(path).size(), 972u);

    // The seventh lands on record 1 at byte 0, the eighth on record 2; the file stays.
    EXPECT_EQ(log.WriteLine("seventh"), 1);
    EXPECT_EQ(log.WriteLine("eighth"), 2);
    std::string after = read_all(path);
    ASSERT_EQ(after.size(), 972u);
    EXPECT_EQ(after.substr(0, 162), record("seventh", 160));
    EXPECT_EQ(after.substr(162, 162), record("eighth", 160));
    EXPECT_EQ(after.substr(324), expected.substr(324));

    // SeekRecord moves within the capacity only.
    EXPECT_FALSE(log.SeekRecord(0));
    EXPECT_FALSE(log.SeekRecord(7));
    EXPECT_TRUE(log.SeekRecord(6));
    EXPECT_EQ(log.WriteLine("last"), 6);
    EXPECT_EQ(log.WriteLine("again first"), 1);
    EXPECT_EQ(read_all(path).substr(810), record("last", 160));
}

// Pause, resume, reopen, close twice, write after close.
TEST(LogFile, PauseReopenAndClose)
{
    diag_test::scratch_dir dir;
    const std::string path = dir.file("p.log");
    {
        std::ofstream old(path);
        old << "an older file's contents";
    }
    CLogFile log;
    EXPECT_EQ(log.WriteLine("closed"), -1);
    EXPECT_FALSE(log.IsPaused());
    ASSERT_TRUE(log.Open(path.c_str(), 1, 10));
    EXPECT_EQ(read_all(path), "") << "Open empties an existing file";
    EXPECT_EQ(log.WriteLine("one"), 1);
    log.SetPaused(TRUE);
    EXPECT_EQ(log.WriteLine("skipped"), 2);
    EXPECT_EQ(log.WriteLine("skipped"), 2);
    EXPECT_EQ(read_all(path), record("one", 10));
    log.SetPaused(FALSE);
    EXPECT_EQ(log.WriteLine("two"), 2);
    EXPECT_EQ(read_all(path), record("one", 10) + record("two", 10));

    ASSERT_TRUE(log.Open(path.c_str(), 1, 10));
    EXPECT_EQ(read_all(path), "");
    EXPECT_EQ(log.WriteLine("new"), 1);

    log.Close();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_TRUE(log.IsPaused());
    EXPECT_EQ(log.GetCapacity(), 0);
    log.Close();
    EXPECT_EQ(log.WriteLine("after"), -1);
    EXPECT_EQ(read_all(path), record("new", 10));
}

// A file that cannot be created leaves the object closed, with the error kept.
TEST(LogFile, UnusablePathsFailClosed)
{
    diag_test::scratch_dir dir;
    CLogFile log;
    ASSERT_TRUE(log.Open(dir.file("ok.log").c_str(), 1, 160));
    EXPECT_FALSE(log.Open(dir.file("missing/x.log").c_str(), 1, 160));
    EXPECT_EQ(log.GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(log.IsOpen()) << "the previous file was closed";
    EXPECT_EQ(log.WriteLine("x"), -1);
    EXPECT_FALSE(log.Open(dir.file("").c_str(), 1, 160));  // a directory
    EXPECT_EQ(log.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(log.Open(dir.file("ok.log").c_str(), 1, 160));
    EXPECT_EQ(log.GetLastError(), 0u);
}

// A write that fails keeps the record number; the next write tries it again.
TEST(LogFile, FailedWriteKeepsTheRecord)
{
    CLogFile log;
    ASSERT_TRUE(log.Open("/dev/full", 1, 160));
    EXPECT_EQ(log.WriteLine("no room"), -1);
    EXPECT_EQ(log.GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(log.WriteLine("no room"), -1);
    log.SetPaused(TRUE);
    EXPECT_EQ(log.WriteLine("paused"), 1);
}
