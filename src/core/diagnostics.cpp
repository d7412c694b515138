#include "core/diagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
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

}  // namespace vorn
