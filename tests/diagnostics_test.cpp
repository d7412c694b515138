// Debug list bound, line cut, channels, daily log files, repeat and rate limits.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "support/fake_seam.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using test::ReadFile;

class DiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        ResetDiagnostics();
        SetSeam(&seam);
        Settings.DebugMode = 1;
        Settings.LogMode = 1;
        LogDir = dir.path() + "/a/b/logs";  // two missing levels
        DeviceNumber = 5;
        // 2026-03-04 14:03:27 local time.
        std::tm t{};
        t.tm_year = 126;
        t.tm_mon = 2;
        t.tm_mday = 4;
        t.tm_hour = 14;
        t.tm_min = 3;
        t.tm_sec = 27;
        t.tm_isdst = -1;
        now = std::mktime(&t);
        SetDiagnosticsClock([this] { return now; });
    }
    void TearDown() override {
        ResetDiagnostics();
        SetSeam(nullptr);
    }
    std::string LogFile(const char* date) const {
        return ReadFile(LogDir + "/" + date + "_child2_5.log");
    }

    test::FakeSeam seam;
    test::TempDir dir;
    std::time_t now = 0;
};

TEST_F(DiagnosticsTest, logLine_hasTimeDashTextAndCrLf_inNestedMissingDirectory) {
    DebugMessage("LoadIni - serial params are %s", "38400,8,1,E");
    EXPECT_EQ(LogFile("20260304"), "14:03:27 - LoadIni - serial params are 38400,8,1,E\r\n");
    ASSERT_EQ(seam.debugLines.size(), 1u);
    EXPECT_EQ(seam.debugLines[0], "LoadIni - serial params are 38400,8,1,E");
}

TEST_F(DiagnosticsTest, linesEitherSideOfMidnight_goToTwoFiles) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 59;
    t.tm_isdst = -1;
    now = std::mktime(&t);
    DebugMessage("before");
    now += 2;
    DebugMessage("after");
    EXPECT_EQ(LogFile("20261231"), "23:59:59 - before\r\n");
    EXPECT_EQ(LogFile("20270101"), "00:00:01 - after\r\n");
}

TEST_F(DiagnosticsTest, debugModeZero_writesNothingAnywhere) {
    Settings.DebugMode = 0;
    DebugMessage("quiet");
    EXPECT_TRUE(seam.debugLines.empty());
    EXPECT_FALSE(test::FileExists(LogDir));
}

TEST_F(DiagnosticsTest, longMessage_isCutAt160InListAndLog) {
    std::string longText(200, 'x');
    DebugMessage("%s", longText.c_str());
    ASSERT_EQ(seam.debugLines.size(), 1u);
    EXPECT_EQ(seam.debugLines[0], std::string(160, 'x'));
    EXPECT_EQ(LogFile("20260304"), "14:03:27 - " + std::string(160, 'x') + "\r\n");
}

TEST_F(DiagnosticsTest, percentSignInText_isNotInterpretedAgain) {
    DebugMessage("label %s", "50%d off");
    EXPECT_EQ(seam.debugLines.back(), "label 50%d off");
    EXPECT_EQ(LogFile("20260304"), "14:03:27 - label 50%d off\r\n");
}

TEST_F(DiagnosticsTest, list_keepsTheNewest1000Lines) {
    Settings.LogMode = 0;
    // The second channel is standard error here; keep the test output clean.
    std::fflush(stderr);
    int saved = dup(2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    for (int i = 1; i <= 1001; ++i) {
        if (i % 100 == 0) ++now;  // within the per-second budget
        DebugMessage("line %d", i);
    }
    std::fflush(stderr);
    dup2(saved, 2);
    close(null);
    close(saved);
    ASSERT_EQ(seam.debugLines.size(), 1000u);
    EXPECT_EQ(seam.debugLines.front(), "line 2");
    EXPECT_EQ(seam.debugLines.back(), "line 1001");
}

TEST_F(DiagnosticsTest, ensureLogDirectory_triesOncePerProcess) {
    EXPECT_EQ(EnsureLogDirectory(), 1);
    EXPECT_EQ(EnsureLogDirectory(), 0);
    EXPECT_TRUE(test::FileExists(LogDir));
}

TEST_F(DiagnosticsTest, unwritableLogDirectory_losesLineSilently) {
    LogDir = "/proc/no-such-place/logs";
    DebugMessage("lost");
    EXPECT_EQ(seam.debugLines.size(), 1u);
}

// The day's file is kept open between lines (one descriptor, not one open
// per line), and a file removed meanwhile (rotated away) is started afresh
// within a second.
TEST_F(DiagnosticsTest, logFileStaysOpenAndARemovedFileIsStartedAgain) {
    auto openLogs = [&] {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd) {
            char link[64];
            char target[512];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t len = readlink(link, target, sizeof target - 1);
            if (len <= 0) continue;
            target[len] = '\0';
            n += std::string(target).find("_child2_5.log") != std::string::npos;
        }
        return n;
    };
    DebugMessage("one");
    DebugMessage("two");
    EXPECT_EQ(openLogs(), 1);
    EXPECT_EQ(LogFile("20260304"), "14:03:27 - one\r\n14:03:27 - two\r\n");
    ASSERT_EQ(unlink((LogDir + "/20260304_child2_5.log").c_str()), 0);
    now += 1;
    DebugMessage("three");
    EXPECT_EQ(LogFile("20260304"), "14:03:28 - three\r\n");
    ResetDiagnostics();
    EXPECT_EQ(openLogs(), 0);
}

// A symbolic link planted under the day's name is not followed: neither an
// existing target nor a dangling one gets our line; the list still does.
TEST_F(DiagnosticsTest, symlinkAsTheDaysLogFile_isNotFollowed) {
    std::filesystem::create_directories(LogDir);
    const std::string victim = dir.file("victim");
    test::WriteFile(victim, "keep\n");
    const std::string logName = LogDir + "/20260304_child2_5.log";
    ASSERT_EQ(symlink(victim.c_str(), logName.c_str()), 0);
    DebugMessage("one");
    EXPECT_EQ(ReadFile(victim), "keep\n");

    ASSERT_EQ(unlink(logName.c_str()), 0);
    const std::string absent = dir.file("absent");
    ASSERT_EQ(symlink(absent.c_str(), logName.c_str()), 0);
    DebugMessage("two");
    EXPECT_FALSE(test::FileExists(absent));
    EXPECT_EQ(seam.debugLines, (std::vector<std::string>{"one", "two"}));
}

TEST_F(DiagnosticsTest, sameLineWithinASecond_isCountedAndSummedUpBeforeTheNextLine) {
    for (int i = 0; i < 5; ++i) DebugMessage("junk from panel %d", 3);
    EXPECT_EQ(seam.debugLines, (std::vector<std::string>{"junk from panel 3"}));
    DebugMessage("other");
    EXPECT_EQ(seam.debugLines, (std::vector<std::string>{"junk from panel 3",
                                                         "last message repeated 4 times", "other"}));
    EXPECT_EQ(LogFile("20260304"),
              "14:03:27 - junk from panel 3\r\n14:03:27 - last message repeated 4 times\r\n"
              "14:03:27 - other\r\n");
}

TEST_F(DiagnosticsTest, sameLineAfterTheSecond_isWrittenAgainAfterTheSummary) {
    DebugMessage("same");
    DebugMessage("same");
    DebugMessage("same");
    now += 1;
    DebugMessage("same");
    DebugMessage("same");
    EXPECT_EQ(seam.debugLines,
              (std::vector<std::string>{"same", "last message repeated 2 times", "same"}));
    // A single copy in its second leaves no summary behind.
    now += 1;
    DebugMessage("same");
    DebugMessage("end");
    EXPECT_EQ(seam.debugLines,
              (std::vector<std::string>{"same", "last message repeated 2 times", "same",
                                        "last message repeated 1 times", "same", "end"}));
}

// Over 100 lines in a second are dropped in every channel (standard error
// here) and counted; the count comes first in the next second.
TEST_F(DiagnosticsTest, over100LinesASecond_areDroppedAndCountedInTheNextSecond) {
    Settings.LogMode = 0;
    const std::string errFile = dir.file("stderr");
    std::fflush(stderr);
    int saved = dup(2);
    int out = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 2);
    for (int i = 1; i <= 250; ++i) DebugMessage("slot %d outside the panel blocks", 5000 + i);
    const size_t inFirstSecond = seam.debugLines.size();
    now += 1;
    DebugMessage("next");
    std::fflush(stderr);
    dup2(saved, 2);
    close(out);
    close(saved);

    EXPECT_EQ(inFirstSecond, 100u);
    EXPECT_EQ(seam.debugLines[99], "slot 5100 outside the panel blocks");
    ASSERT_EQ(seam.debugLines.size(), 102u);
    EXPECT_EQ(seam.debugLines[100], "DebugMessage - 150 lines suppressed (over 100 a second)");
    EXPECT_EQ(seam.debugLines[101], "next");
    const std::string err = ReadFile(errFile);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 102);
    EXPECT_NE(err.find("Pellax_Panel - DebugMessage - 150 lines suppressed (over 100 a second) \n"
                       "Pellax_Panel - next \n"),
              std::string::npos);
}

// Repeats that can no longer be summed up within the budget are counted
// with the dropped lines, so every line is accounted for exactly once.
TEST_F(DiagnosticsTest, repeatsOverTheBudget_joinTheSuppressedCount) {
    for (int i = 1; i < 100; ++i) DebugMessage("line %d", i);
    for (int i = 0; i < 4; ++i) DebugMessage("babble");  // 100th line and 3 repeats
    DebugMessage("dropped");
    now += 1;
    DebugMessage("later");
    ASSERT_EQ(seam.debugLines.size(), 102u);
    EXPECT_EQ(seam.debugLines[99], "babble");
    EXPECT_EQ(seam.debugLines[100], "DebugMessage - 4 lines suppressed (over 100 a second)");
    EXPECT_EQ(seam.debugLines[101], "later");
}

// The answer to an operator's action is written past the budget, as a
// repeat and with the debug lines off.
TEST_F(DiagnosticsTest, alwaysLines_passTheBudgetRepeatsAndDebugModeZero) {
    for (int i = 0; i < 120; ++i) DebugMessage("line %d", i);
    DebugMessageAlways("Reload - %d", 1);
    DebugMessageAlways("Reload - %d", 1);
    Settings.DebugMode = 0;
    DebugMessageAlways("Reload - %d", 2);
    DebugMessage("silent");
    ASSERT_EQ(seam.debugLines.size(), 103u);
    EXPECT_EQ(seam.debugLines[101], "Reload - 1");
    EXPECT_EQ(seam.debugLines[102], "Reload - 2");
    EXPECT_NE(LogFile("20260304").find("Reload - 2"), std::string::npos);
}

TEST_F(DiagnosticsTest, resetDiagnostics_clearsTheRepeatAndRateCounters) {
    for (int i = 0; i < 150; ++i) DebugMessage("line %d", i);
    DebugMessage("line 0");
    ResetDiagnostics();
    SetDiagnosticsClock([this] { return now; });
    DebugMessage("line 99");
    DebugMessage("line 99");
    DebugMessage("fresh");
    ASSERT_EQ(seam.debugLines.size(), 103u);
    EXPECT_EQ(seam.debugLines[100], "line 99");  // not taken as a repeat of the old last line
    EXPECT_EQ(seam.debugLines[101], "last message repeated 1 times");
    EXPECT_EQ(seam.debugLines[102], "fresh");  // budget and suppressed count start over
}

// Under systemd standard error is the journal (JOURNAL_STREAM names it):
// each line starts with its priority from the level table, also a line
// formatted elsewhere; a redirected standard error gets plain lines.
TEST_F(DiagnosticsTest, journalAsStandardError_linesCarryTheirPriority) {
    Settings.LogMode = 0;
    const std::string captured = dir.file("journal");
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    struct stat st {};
    fstat(fd, &st);
    const auto log = [&](const std::string& stream) {
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        ResetDiagnostics();
        SetDiagnosticsClock([this] { return now; });
        DebugMessage("ERROR  - Connect failed to infodriver %d", 4);
        DebugMessage("Pressed Button %d from panel %d", 1, 2);
        DebugMessage("%s", "Warning-  unrecognised message type from panel 3 ");
        std::fflush(stderr);
    };
    log(std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    log(std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1));
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);
    unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(ReadFile(captured),
              "<3>Pellax_Panel - ERROR  - Connect failed to infodriver 4 \n"
              "<7>Pellax_Panel - Pressed Button 1 from panel 2 \n"
              "<4>Pellax_Panel - Warning-  unrecognised message type from panel 3  \n"
              "Pellax_Panel - ERROR  - Connect failed to infodriver 4 \n"
              "Pellax_Panel - Pressed Button 1 from panel 2 \n"
              "Pellax_Panel - Warning-  unrecognised message type from panel 3  \n");
}

// Daily files of this device older than LogKeepDays days go at start and at
// the next date; today's, other devices' and other names stay; 0 keeps all.
TEST_F(DiagnosticsTest, oldDailyFiles_goAtStartAndAtEachNewDate) {
    std::filesystem::create_directories(LogDir);
    const std::vector<std::string> names = {"20260304_child2_5.log", "20260202_child2_5.log",
                                            "20260201_child2_5.log", "20250101_child2_5.log",
                                            "20250101_child2_6.log", "20250101_child2_5.log.gz", "notes.txt"};
    for (const std::string& name : names) test::WriteFile(LogDir + "/" + name, "x");
    const auto present = [&] {
        std::vector<std::string> out;
        for (const std::string& name : names) {
            if (test::FileExists(LogDir + "/" + name)) out.push_back(name.substr(0, 14));
        }
        return out;
    };
    Settings.LogKeepDays = 30;
    ApplyLogSettings();
    EXPECT_EQ(present(), (std::vector<std::string>{"20260304_child", "20260202_child", "20250101_child",
                                                   "20250101_child", "notes.txt"}));
    now += 24 * 3600;
    LogDayTick();  // no line written: the tick notices the date
    EXPECT_EQ(present(), (std::vector<std::string>{"20260304_child", "20250101_child", "20250101_child",
                                                   "notes.txt"}));
    Settings.LogKeepDays = 0;
    now += 400 * 24 * 3600;
    LogDayTick();
    EXPECT_EQ(present().size(), 4u);
}

// A day's file stops at LogMaxDayBytes; the lines after it are counted and
// the count is written once when the limit is raised, and at the day's end.
TEST_F(DiagnosticsTest, daysFile_stopsAtTheLimit_countWrittenWhenRaisedAndAtTheDaysEnd) {
    Settings.LogMaxDayBytes = 60;  // three lines of 19 bytes
    for (int i = 1; i <= 6; ++i) DebugMessage("line %d", i);
    const std::string three = "14:03:27 - line 1\r\n14:03:27 - line 2\r\n14:03:27 - line 3\r\n";
    EXPECT_EQ(LogFile("20260304"), three);
    EXPECT_EQ(seam.debugLines.size(), 6u) << "the list is not limited";

    Settings.LogMaxDayBytes = 1000;
    ApplyLogSettings();
    ApplyLogSettings();
    DebugMessage("line 7");
    const std::string raised = three +
                               "14:03:27 - LogToFile - 3 line(s) not written: the day's file reached "
                               "LogMaxDayBytes (60) \r\n14:03:27 - line 7\r\n";
    EXPECT_EQ(LogFile("20260304"), raised);

    Settings.LogMaxDayBytes = 100;
    DebugMessage("line 8");
    now += 24 * 3600;
    LogDayTick();
    DebugMessage("line 9");
    EXPECT_EQ(LogFile("20260304"), raised +
                                       "14:03:27 - LogToFile - 1 line(s) not written: the day's file reached "
                                       "LogMaxDayBytes (100) \r\n");
    EXPECT_EQ(LogFile("20260305"), "14:03:27 - line 9\r\n");
}

}  // namespace
}  // namespace vorn
