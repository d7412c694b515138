#include "core/diagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/driver_state.h"
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
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
        path.clear();
    }
};
OpenLog g_log;

// Repeat and rate state of DebugMessage. `last` is the last line actually
// written (a dropped line never becomes it), so "repeated" always refers to a
// line the reader has seen.
struct Limiter {
    char last[kDebugLineMax + 1] = {};
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
    localtime_r(&t, &local);
    char date[16];
    char clock[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", (local.tm_year + 1900) % 10000,
                  (local.tm_mon + 1) % 100, local.tm_mday % 100);
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", local.tm_hour % 100, local.tm_min % 100,
                  local.tm_sec % 100);
    if (LogDir.empty()) return;
    std::string path = LogDir + "/" + date + "_child2_" + std::to_string(DeviceNumber) + ".log";
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
        g_log.path = path;
        g_log.checked = t;
    }
    std::string line = std::string(clock) + " - " + std::string(text) + "\r\n";
    // One write per line so that concurrent readers never see half a line
    // from us; a failed or short write (full disk) loses the rest of the
    // line and makes the next line open the file again.
    ssize_t written = write(g_log.fd, line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) g_log.Close();
}

namespace {

// One line into the debug list and the second channel; no limits here.
void WriteLine(const char* text) {
    if (HasSeam()) {
        Seam& seam = GetSeam();
        seam.DebugListAppend(text);
        // Bounded: at most one line over the limit exists at any time.
        while (seam.DebugListCount() > kDebugListMax) seam.DebugListRemoveFirst();
    }
    if (Settings.LogMode != 0) {
        LogToFile(text);
    } else {
        std::fprintf(stderr, "Pellax_Panel - %s \n", text);
    }
}

// Whether the current second's budget has room for one more line.
bool BudgetLeft() { return g_limit.written < kDebugLinesPerSecond; }

}  // namespace

void DebugMessage(const char* format, ...) {
    if (Settings.DebugMode == 0) return;
    // Formatting into a buffer of the line limit cuts the text at 160
    // characters and cannot overflow, whatever the arguments.
    char text[kDebugLineMax + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) text[0] = '\0';

    const std::time_t now = Now();
    if (g_limit.haveLast && g_limit.lastAt == now && std::strcmp(text, g_limit.last) == 0) {
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
            WriteLine(summary);
        }
    }
    if (g_limit.repeats > 0) {
        const long repeats = g_limit.repeats;
        g_limit.repeats = 0;
        if (BudgetLeft()) {
            char summary[kDebugLineMax + 1];
            std::snprintf(summary, sizeof summary, "last message repeated %ld times", repeats);
            ++g_limit.written;
            WriteLine(summary);
        } else {
            g_limit.suppressed += repeats;  // reported with the dropped lines instead
        }
    }
    if (!BudgetLeft()) {
        ++g_limit.suppressed;
        return;
    }
    ++g_limit.written;
    WriteLine(text);
    std::memcpy(g_limit.last, text, std::strlen(text) + 1);
    g_limit.haveLast = true;
    g_limit.lastAt = now;
}

}  // namespace vorn
