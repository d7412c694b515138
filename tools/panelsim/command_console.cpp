#include "command_console.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace vorn::sim {

void CommandConsole::OnReadable() {
    if (atEnd_ || quit_) return;
    char buf[4096];
    const ssize_t n = read(in_, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    std::vector<InputLines::Line> lines;
    if (n > 0) {
        lines = lines_.Feed({buf, static_cast<std::size_t>(n)});
    } else {
        atEnd_ = true;
        lines = lines_.Finish();
    }
    for (const auto& line : lines) {
        if (quit_) break;  // nothing runs after quit
        Run(line);
    }
}

void CommandConsole::Run(const InputLines::Line& line) {
    if (line.overlong) {
        WriteLine("error line longer than " + std::to_string(InputLines::kMaxLine) + " characters");
        return;
    }
    const Simulator::Answer answer = sim_.Execute(line.text);
    for (const std::string& l : answer.lines) WriteLine(l);
    if (answer.quit) quit_ = true;
}

void CommandConsole::WriteLine(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::size_t done = 0;
    // Each turn writes at least one byte or leaves the loop.
    while (done < text.size()) {
        const ssize_t n = write(out_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // output closed or broken: nobody is listening
        }
    }
}

}  // namespace vorn::sim
