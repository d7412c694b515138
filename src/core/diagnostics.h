#pragma once
// The driver's one diagnostic channel. A line goes to the debug list (through
// the seam) and to either the daily log file (LogMode on) or standard error;
// nothing at all happens while Settings.DebugMode is 0. GUI thread only.

#include <ctime>
#include <functional>
#include <string_view>

namespace vorn {

// Longest line after formatting; longer text is cut in every channel.
constexpr int kDebugLineMax = 160;
// Lines kept by the debug list; the oldest goes first.
constexpr int kDebugListMax = 1000;

// printf-style; the result is cut to kDebugLineMax characters. Formatting is
// bounded, so no argument can overflow anything. Never pass received text as
// the format: use DebugMessage("%s", text).
void DebugMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends one line to today's log file in LogDir; the text is written as it
// is. A file or directory that cannot be written loses the line silently, and
// so does a symbolic link under the day's name (it is never followed).
void LogToFile(std::string_view text);

// Creates LogDir (with its missing parents) the first time it is called in
// the process; returns 1 when it tried in this call, 0 when done before.
int EnsureLogDirectory();

// The clock used for log file names and time stamps (local time of the
// returned instant). Tests install their own to cross midnight.
void SetDiagnosticsClock(std::function<std::time_t()> clock);

// Back to the process-start state: real clock, log directory not yet created.
void ResetDiagnostics();

}  // namespace vorn
