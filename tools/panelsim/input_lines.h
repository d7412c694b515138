#pragma once
// Splits a byte stream (the command input) into lines. Pure; one thread.
//
// A line ends at '\n'; a '\r' before it is dropped. A line longer than
// kMaxLine is not kept: it comes out as one overlong marker so that its
// sender still gets exactly one answer, and the rest up to its '\n' is
// skipped.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::sim {

class InputLines {
public:
    static constexpr std::size_t kMaxLine = 8192;

    struct Line {
        std::string text;
        bool overlong = false;  // text is empty then
    };

    // Appends data; returns the lines it completed, in order.
    std::vector<Line> Feed(std::string_view data);
    // End of input: the unterminated rest as a last line, if any.
    std::vector<Line> Finish();

private:
    std::string pending_;
    bool overlong_ = false;
};

}  // namespace vorn::sim
