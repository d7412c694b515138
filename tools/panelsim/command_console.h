#pragma once
// The command input of panelsim: reads lines from a descriptor (standard
// input), runs each through the Simulator and writes the answer lines to
// another descriptor (standard output), whole and in order. Used by both
// the plain loop and the window's loop. One thread.

#include <string_view>

#include "input_lines.h"
#include "simulator.h"

namespace vorn::sim {

class CommandConsole {
public:
    CommandConsole(Simulator& simulator, int inFd, int outFd) : sim_(simulator), in_(inFd), out_(outFd) {}

    // The descriptor to watch for input; -1 after the end of the input.
    int fd() const { return atEnd_ ? -1 : in_; }
    // Set once quit has been answered.
    bool quit() const { return quit_; }

    // Reads what is waiting (one read of at most 4096 bytes) and runs the
    // complete lines. At the end of the input a last unterminated line is
    // run and fd() becomes -1.
    void OnReadable();

    // Writes one line and a newline to the output, whole (a full pipe makes
    // it wait: the reader is the one who asked). A closed output is ignored.
    void WriteLine(std::string_view line);

private:
    void Run(const InputLines::Line& line);

    Simulator& sim_;
    int in_;
    int out_;
    InputLines lines_;
    bool atEnd_ = false;
    bool quit_ = false;
};

}  // namespace vorn::sim
