#pragma once
// The text form of recorded panel traffic: one line per frame sent to a
// panel or block received from it, readable by a person and read back by
// the simulator's replay. Pure functions; any thread.
//
//   P01 2026-12-08T21:25:03.123456Z TX 8E 01 20 43 41 4D 20 31 ... 00 01 | text "CAM 1" button 1
//   P01 2026-12-08T21:25:03.180002Z RX 82 01 7D 83 01 01 05 | alive; press 5
//
// Panel number (two digits), the time in UTC with microseconds, TX (to the
// panel) or RX (from it), the bytes in hexadecimal, and after " | " what the
// bytes mean (ignored when read back). Lines starting with '#' and blank
// lines are comments.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

struct TrafficLine {
    int panel = 0;
    std::int64_t timeUs = 0;  // microseconds since the Unix epoch
    bool sent = false;        // TX: to the panel; RX: from it
    std::vector<std::uint8_t> bytes;
};

// The line without a line end.
std::string FormatTrafficLine(const TrafficLine& line);

// Reads one line (with or without its line end). False for comments, blank
// lines and lines that are not traffic (*error then says why, "" for a
// comment or a blank line).
bool ParseTrafficLine(std::string_view text, TrafficLine* line, std::string* error);

// What a frame to a panel, or a block from one, means in words:
// 'text "CAM 1" button 1', 'colour 3 button 7', 'alive; press 5'.
std::string DescribeSentFrame(std::span<const std::uint8_t> frame);
std::string DescribeReceivedBlock(std::span<const std::uint8_t> block);

// "2026-12-08T21:25:03.123456Z"; and back (false when it is not that form).
std::string TrafficTime(std::int64_t timeUs);
bool ParseTrafficTime(std::string_view text, std::int64_t* timeUs);

}  // namespace vorn
