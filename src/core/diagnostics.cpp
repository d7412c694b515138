#include "core/diagnostics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "core/driver_state.h"
#include "core/message_levels.h"
#include "core/seam.h"

namespace vorn {

namespace {

bool LogDirCreated = false;
std::function<std::time_t()> g_clock;

// The day's log file, kept open between lines: opening it per line cost a
// path lookup and two system calls for every message. It is reopened when
// the name changes (a new day, another log directory), after a failed or
// short write, and when the file has been removed (checked once a second),
// so a rotated or deleted log is started afresh.
struct OpenLog {
    int fd = -1;
    std::string path;
    std::time_t checked = 0;  // last time the file's link count was looked at
    long long size = 0;       // bytes in the file: its size at opening plus what we wrote
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
        path.clear();
    }
};
OpenLog g_log;

// The day the log files are kept for, and the lines that today's file had no
// room for (LogMaxDayBytes). The count goes into the day's file once: when
// the day ends, when the limit is raised, when the file is started afresh,
// or when the driver stops.
struct LogDay {
    int date = 0;           // yyyymmdd of the day last seen, 0 before the first
    std::string heldPath;   // the file the held-back lines belong to
    long long heldBack = 0; // lines not written into it
    long long heldAt = 0;   // the limit that held the first of them back
};
LogDay g_day;

// Whether standard error is the journal, decided at the first line.
std::optional<bool> g_journal;

// Repeat and rate state of DebugMessage. `last` is the last line actually
// written (a dropped line never becomes it), so "repeated" always refers to a
// line the reader has seen.
struct Limiter {
    char last[kDebugLineMax + 1] = {};
    MessageLevel lastLevel = MessageLevel::kInfo;  // level of `last` (journal only)
    bool haveLast = false;
    std::time_t lastAt = 0;     // second in which `last` was written
    long repeats = 0;           // copies of `last` counted since it was written
    std::time_t second = 0;     // second the budget below belongs to
    bool haveSecond = false;
    int written = 0;            // lines written in `second`
    long suppressed = 0;        // lines dropped over the budget, not yet reported
};
Limiter g_limit;

std::time_t Now() { return g_clock ? g_clock() : std::time(nullptr); }

// A log directory holds a few files per device and day kept; a scan that
// meets more entries than this stops there (the rest waits for the next day).
constexpr int kMaxLogDirEntries = 100000;

// Days since 1970-01-01 of a proleptic Gregorian date (no time zone).
long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<long>(era) * 146097 + doe - 719468;
}

long DaysOfDate(int yyyymmdd) { return DaysFromCivil(yyyymmdd / 10000, yyyymmdd / 100 % 100, yyyymmdd % 100); }

// Local date of t as yyyymmdd, and its "%04d%02d%02d" text in dateText.
int LocalDate(std::time_t t, std::tm* local, char (&dateText)[16]) {
    localtime_r(&t, local);
    std::snprintf(dateText, sizeof dateText, "%04d%02d%02d", (local->tm_year + 1900) % 10000,
                  (local->tm_mon + 1) % 100, local->tm_mday % 100);
    return ((local->tm_year + 1900) % 10000) * 10000 + (local->tm_mon + 1) % 100 * 100 + local->tm_mday % 100;
}

std::string DayFileSuffix() { return "_child2_" + std::to_string(DeviceNumber) + ".log"; }

std::string LogFilePath(const char* dateText) { return LogDir + "/" + dateText + DayFileSuffix(); }

std::string TimeOfDay(const std::tm& local) {
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", local.tm_hour % 100, local.tm_min % 100,
                  local.tm_sec % 100);
    return clock;
}

// Removes this device's daily files dated more than LogKeepDays days before
// today (by the date in the name); other devices' files and other names are
// left alone, and so is anything that is not a plain file.
void RemoveOldLogFiles(int today) {
    if (LogDir.empty() || Settings.LogKeepDays <= 0) return;
    DIR* dir = opendir(LogDir.c_str());
    if (dir == nullptr) return;
    const std::string suffix = DayFileSuffix();
    const long todayDays = DaysOfDate(today);
    int seen = 0;
    while (dirent* entry = readdir(dir)) {
        if (++seen > kMaxLogDirEntries) break;
        const std::string name = entry->d_name;
        if (name.size() != 8 + suffix.size() || name.compare(8, std::string::npos, suffix) != 0) continue;
        if (name.find_first_not_of("0123456789") < 8) continue;
        const int date = std::atoi(name.substr(0, 8).c_str());
        const int month = date / 100 % 100;
        const int day = date % 100;
        if (month < 1 || month > 12 || day < 1 || day > 31) continue;
        if (todayDays - DaysOfDate(date) <= Settings.LogKeepDays) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        unlinkat(dirfd(dir), name.c_str(), 0);  // a file that cannot go stays; nothing to report it to
    }
    closedir(dir);
}

// Appends one raw log line to path (the open day's file when it is that one).
void AppendLogLine(const std::string& path, const std::string& line) {
    if (g_log.fd >= 0 && g_log.path == path) {
        if (write(g_log.fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            g_log.size += static_cast<long long>(line.size());
        } else {
            g_log.Close();
        }
        return;
    }
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;  // the file is gone: so is the count
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}

// The count of held-back lines into their day's file, once.
void WriteHeldBackCount(const std::tm& local) {
    if (g_day.heldBack == 0) return;
    char text[kDebugLineMax + 1];
    std::snprintf(text, sizeof text, "LogToFile - %lld line(s) not written: the day's file reached LogMaxDayBytes (%lld) ",
                  g_day.heldBack, g_day.heldAt);
    AppendLogLine(g_day.heldPath, TimeOfDay(local) + " - " + text + "\r\n");
    g_day.heldBack = 0;
    g_day.heldPath.clear();
}

// A new local date: the ended day's count, then the files now too old.
void NoteDate(int date, const std::tm& local) {
    if (date == g_day.date) return;
    const bool first = g_day.date == 0;
    g_day.date = date;
    WriteHeldBackCount(local);
    if (!first) RemoveOldLogFiles(date);
}

// mkdir -p; outcome not examined by the caller (a failure loses lines only).
void MakeDirectories(const std::string& path) {
    if (path.empty()) return;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty()) mkdir(partial.c_str(), 0755);
    }
}

}  // namespace

void SetDiagnosticsClock(std::function<std::time_t()> clock) { g_clock = std::move(clock); }

void ResetDiagnostics() {
    LogDirCreated = false;
    g_clock = nullptr;
    g_log.Close();
    g_limit = Limiter{};
    g_day = LogDay{};
    g_journal.reset();
}

bool StderrIsJournal() {
    if (!g_journal) {
        // JOURNAL_STREAM is "<device>:<inode>" of the stream systemd connected
        // to standard output and error; a descriptor redirected since (a
        // child of the unit, a shell's 2>file) does not match it.
        const char* stream = std::getenv("JOURNAL_STREAM");
        unsigned long long device = 0;
        unsigned long long inode = 0;
        struct stat st {};
        g_journal = stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
                    fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
                    static_cast<unsigned long long>(st.st_ino) == inode;
    }
    return *g_journal;
}

int EnsureLogDirectory() {
    if (LogDirCreated) return 0;
    MakeDirectories(LogDir);
    LogDirCreated = true;
    return 1;
}

void LogToFile(std::string_view text) {
    std::time_t t = Now();
    std::tm local{};
    char date[16];
    const int dateNumber = LocalDate(t, &local, date);
    if (LogDir.empty()) return;
    NoteDate(dateNumber, local);
    std::string path = LogFilePath(date);
    if (g_log.fd >= 0 && g_log.path == path && t != g_log.checked) {
        g_log.checked = t;
        struct stat st {};
        if (fstat(g_log.fd, &st) != 0 || st.st_nlink == 0) g_log.Close();
    }
    if (g_log.fd < 0 || g_log.path != path) {
        g_log.Close();
        EnsureLogDirectory();
        // O_NOFOLLOW: a symbolic link planted under the day's name (the log
        // directory may be writable by others) must not send our lines into
        // a file of its choosing; the open fails and the line is lost.
        g_log.fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (g_log.fd < 0) return;  // lost silently: a message about a lost message would recurse
        struct stat st {};
        g_log.size = fstat(g_log.fd, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
        g_log.path = path;
        g_log.checked = t;
        // Started afresh (removed by someone): the count of what the old
        // file had no room for opens the new one.
        if (g_log.size == 0 && g_day.heldPath == path) WriteHeldBackCount(local);
    }
    std::string line = TimeOfDay(local) + " - " + std::string(text) + "\r\n";
    // A day's file that reached the limit takes no more lines until the day
    // ends or the limit is raised: they are counted instead, and the count
    // is written once (WriteHeldBackCount), one line past the limit.
    const long long cap = Settings.LogMaxDayBytes;
    const bool full = cap > 0 && g_log.size + static_cast<long long>(line.size()) > cap;
    if (full || (g_day.heldBack > 0 && g_day.heldPath == path)) {
        if (g_day.heldBack == 0) {
            g_day.heldPath = path;
            g_day.heldAt = cap;
        }
        ++g_day.heldBack;
        return;
    }
    // One write per line so that concurrent readers never see half a line
    // from us; a failed or short write (full disk) loses the rest of the
    // line and makes the next line open the file again.
    ssize_t written = write(g_log.fd, line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) {
        g_log.Close();
    } else {
        g_log.size += static_cast<long long>(line.size());
    }
}

void ApplyLogSettings() {
    std::tm local{};
    char date[16];
    const int today = LocalDate(Now(), &local, date);
    if (LogDir.empty()) return;
    NoteDate(today, local);
    RemoveOldLogFiles(today);
    if (g_day.heldBack == 0) return;
    // The held-back lines are today's; their count goes in once the file has
    // room under the (new) limit.
    struct stat st {};
    const long long size = stat(g_day.heldPath.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    if (Settings.LogMaxDayBytes == 0 || size < Settings.LogMaxDayBytes) WriteHeldBackCount(local);
}

void LogDayTick() {
    std::tm local{};
    char date[16];
    const int today = LocalDate(Now(), &local, date);
    if (!LogDir.empty()) NoteDate(today, local);
}

void EndLogFile() {
    std::tm local{};
    char date[16];
    LocalDate(Now(), &local, date);
    WriteHeldBackCount(local);
    g_log.Close();
}

namespace {

// One line into the debug list and the second channel; no limits here. The
// level only shows on standard error when that is the journal.
void WriteLine(const char* text, MessageLevel level) {
    if (HasSeam()) {
        Seam& seam = GetSeam();
        seam.DebugListAppend(text);
        // Bounded: at most one line over the limit exists at any time.
        while (seam.DebugListCount() > kDebugListMax) seam.DebugListRemoveFirst();
    }
    if (Settings.LogMode != 0) {
        LogToFile(text);
    } else if (StderrIsJournal()) {
        std::fprintf(stderr, "<%d>Pellax_Panel - %s \n", static_cast<int>(level), text);
    } else {
        std::fprintf(stderr, "Pellax_Panel - %s \n", text);
    }
}

// Whether the current second's budget has room for one more line.
bool BudgetLeft() { return g_limit.written < kDebugLinesPerSecond; }

// DebugMessage and DebugMessageAlways; `budgeted` false skips DebugMode,
// the repeat count and the per-second budget (the line still counts
// towards it).
void DebugLine(bool budgeted, const char* format, va_list args) {
    if (budgeted && Settings.DebugMode == 0) return;
    // Formatting into a buffer of the line limit cuts the text at 160
    // characters and cannot overflow, whatever the arguments.
    char text[kDebugLineMax + 1];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0) text[0] = '\0';

    const std::time_t now = Now();
    if (budgeted && g_limit.haveLast && g_limit.lastAt == now && std::strcmp(text, g_limit.last) == 0) {
        ++g_limit.repeats;
        return;
    }
    if (!g_limit.haveSecond || g_limit.second != now) {
        // A new second: the budget starts again, and the count of what the
        // last one dropped goes first (outside the budget, once a second).
        g_limit.haveSecond = true;
        g_limit.second = now;
        g_limit.written = 0;
        if (g_limit.suppressed > 0) {
            char summary[kDebugLineMax + 1];
            std::snprintf(summary, sizeof summary,
                          "DebugMessage - %ld lines suppressed (over %d a second)",
                          g_limit.suppressed, kDebugLinesPerSecond);
            g_limit.suppressed = 0;
            WriteLine(summary, MessageLevel::kWarning);
        }
    }
    if (g_limit.repeats > 0) {
        const long repeats = g_limit.repeats;
        g_limit.repeats = 0;
        if (BudgetLeft()) {
            char summary[kDebugLineMax + 1];
            std::snprintf(summary, sizeof summary, "last message repeated %ld times", repeats);
            ++g_limit.written;
            WriteLine(summary, g_limit.lastLevel);
        } else {
            g_limit.suppressed += repeats;  // reported with the dropped lines instead
        }
    }
    if (budgeted && !BudgetLeft()) {
        ++g_limit.suppressed;
        return;
    }
    ++g_limit.written;
    // The level is looked up only where it shows.
    const MessageLevel level =
        Settings.LogMode == 0 && StderrIsJournal() ? LevelOfLine(format, text) : MessageLevel::kInfo;
    WriteLine(text, level);
    g_limit.lastLevel = level;
    std::memcpy(g_limit.last, text, std::strlen(text) + 1);
    g_limit.haveLast = true;
    g_limit.lastAt = now;
}

}  // namespace

void DebugMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DebugLine(true, format, args);
    va_end(args);
}

void DebugMessageAlways(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DebugLine(false, format, args);
    va_end(args);
}

}  // namespace vorn
