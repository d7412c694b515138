#pragma once
// The driver's one diagnostic channel. A line goes to the debug list (through
// the seam) and to either the daily log file (LogMode on) or standard error;
// nothing at all happens while Settings.DebugMode is 0 (DebugMessageAlways
// aside). GUI thread only.
//
// The channel cannot flood: a line identical to the last one written, in the
// same second of the diagnostics clock, is only counted, and at most
// kDebugLinesPerSecond lines are written in any one second (besides the few
// of DebugMessageAlways); the rest are dropped and counted. The counts come
// out as summary lines (see DebugMessage), so nothing is lost without a trace.

#include <ctime>
#include <functional>
#include <string_view>

namespace vorn {

// Longest line after formatting; longer text is cut in every channel.
constexpr int kDebugLineMax = 160;
// Lines kept by the debug list; the oldest goes first.
constexpr int kDebugListMax = 1000;
// Lines written in one second of the diagnostics clock; summary lines of
// dropped lines come on top (at most one per second).
constexpr int kDebugLinesPerSecond = 100;

// printf-style; the result is cut to kDebugLineMax characters. Formatting is
// bounded, so no argument can overflow anything. Never pass received text as
// the format: use DebugMessage("%s", text).
//
// After formatting, a line equal to the last line written, in the same
// second as that one, is counted and not written. The next line that is
// written anyway (a different one, or the same after the second has passed)
// is preceded by "last message repeated N times". A line beyond the
// kDebugLinesPerSecond written in its second is dropped and counted; the
// first line of a later second is preceded by
// "DebugMessage - N lines suppressed (over 100 a second)". A dropped or
// counted line costs its formatting and one comparison, nothing else.
void DebugMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// As DebugMessage, but written whatever DebugMode says, also when the
// second's budget is spent or the line repeats (it still counts towards the
// budget): the answer to an operator's own action, at most a few lines per
// action (the outcome of a settings reload), never for what a peer sends.
void DebugMessageAlways(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends one line to today's log file in LogDir; the text is written as it
// is. A file or directory that cannot be written loses the line silently, and
// so does a symbolic link under the day's name (it is never followed). A
// line that would take the day's file past Settings.LogMaxDayBytes (0: no
// limit) is not written but counted; the count goes into that file once, as
// "LogToFile - N line(s) not written: the day's file reached LogMaxDayBytes (M) ",
// when the day ends, when the file has room again (a raised limit, the file
// removed) or at EndLogFile.
void LogToFile(std::string_view text);

// The daily files of this device dated more than Settings.LogKeepDays days
// before today (0 keeps all) are removed at start (this call) and at each
// change of the local date (the next line or LogDayTick). Call at start once
// the settings are loaded, and again after a reload changed LogKeepDays or
// LogMaxDayBytes: a raised limit writes the count of the lines held back.
void ApplyLogSettings();

// Once a second (the housekeeping tick): notices a new local date even when
// no line is written, to end the day's file and remove old ones.
void LogDayTick();

// At shutdown: the count of held-back lines, if any, and the file closed.
void EndLogFile();

// True when standard error is the journal (JOURNAL_STREAM names its device
// and inode). Lines on standard error then start with their priority,
// "<3>" to "<7>", chosen by core/message_levels. Decided at the first call
// after ResetDiagnostics.
bool StderrIsJournal();

// Creates LogDir (with its missing parents) the first time it is called in
// the process; returns 1 when it tried in this call, 0 when done before.
int EnsureLogDirectory();

// The clock used for log file names and time stamps (local time of the
// returned instant). Tests install their own to cross midnight.
void SetDiagnosticsClock(std::function<std::time_t()> clock);

// Back to the process-start state: real clock, log directory not yet created,
// no log file open, the repeat and rate counters and the held-back count
// cleared, the journal looked for again.
void ResetDiagnostics();

}  // namespace vorn
