// The panel simulator: decoding the driver's frames (every kind, frames
// split across reads, junk), the panel model and its JSON, the command line
// and command parsing, alive timing with an injected clock, and the real
// `panelsim` executable over TCP and a pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_frame_decoder.h"
#include "input_lines.h"
#include "panel_model.h"
#include "panel_spec.h"
#include "protocol/panel_frames.h"
#include "simulator.h"
#include "support/loopback_listener.h"
#include "support/spawned_process.h"
#include "support/temp_dir.h"

extern char** environ;

namespace vorn::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes Of(const PanelFrame& f) { return {f.Bytes().begin(), f.Bytes().end()}; }

DecodeResult Decode(const Bytes& block, uint8_t id = 1) { return DecodeDriverFrames(DecodeCarry{}, block, id); }

// Decodes the blocks in turn with the carry threaded through; junk runs are
// merged, since a run may be reported in two pieces across a cut.
std::vector<DecodedFrame> DecodeChain(const std::vector<Bytes>& blocks, uint8_t id = 1) {
    std::vector<DecodedFrame> all;
    DecodeCarry carry;
    for (const Bytes& b : blocks) {
        const Bytes exact(b);
        DecodeResult r = DecodeDriverFrames(carry, exact, id);
        EXPECT_LE(r.carry.Size(), DecodeCarry::kMaxBytes);
        for (DecodedFrame& f : r.frames) {
            if (f.kind == FrameKind::Junk && !all.empty() && all.back().kind == FrameKind::Junk) {
                all.back().bytes.insert(all.back().bytes.end(), f.bytes.begin(), f.bytes.end());
            } else {
                all.push_back(std::move(f));
            }
        }
        carry = r.carry;
    }
    return all;
}

// One stream holding every kind of frame the driver sends, built by the
// driver's own frame builders, with its expected decoding.
struct Sample {
    Bytes bytes;
    std::vector<DecodedFrame> frames;
};

Sample EveryKind() {
    Sample s;
    auto add = [&s](const Bytes& b, FrameKind kind, uint8_t button, uint8_t value, std::string text) {
        s.bytes.insert(s.bytes.end(), b.begin(), b.end());
        s.frames.push_back({kind, b[1], b[1] != 1, button, value, std::move(text), b});
    };
    add(Of(BuildPollFrame(1)), FrameKind::Poll, 0, 0, "");
    add(Of(BuildClearFrame(1)), FrameKind::Clear, 0, 0, "");
    add(Of(BuildPanelCode6Frame(1)), FrameKind::Code6, 0, 0, "");
    add(Of(BuildLampOnFrame(1, 99)), FrameKind::LampOn, 99, 0, "");
    add(Of(BuildLampOffFrame(1, 4)), FrameKind::LampOff, 4, 0, "");
    add(Of(BuildColourFrame(1, 7, 3)), FrameKind::Colour, 7, 3, "");
    add(Of(BuildGraphicFrame(1, 7, 12)), FrameKind::Graphic, 7, 12, "");
    add(Of(BuildTextFrame(1, 3, "AB", TextForm::Long10)), FrameKind::Text10, 3, 0, "AB        ");
    add(Of(BuildTextFrame(1, 48, "TWELVE CHARS", TextForm::Short8)), FrameKind::Text8, 48, 0, "TWELVE C");
    add(Of(BuildColourFrame(2, 5, 1)), FrameKind::Colour, 5, 1, "");  // another panel's
    return s;
}

TEST(PanelsimDecoderTest, EveryFrameKindByteForByte) {
    // Hand-written bytes, independent of the builders.
    const DecodeResult r = Decode({132, 1, 64, 7, 3, 132, 1, 65, 3, 7, 142, 1, 32, 'a', 'b', 'c', 'd', 'e',
                                   'f', 'g', 'h', 'i', 'j', 0, 9});
    ASSERT_EQ(r.frames.size(), 3u);
    EXPECT_EQ(r.frames[0].kind, FrameKind::Colour);
    EXPECT_EQ(r.frames[0].button, 7);
    EXPECT_EQ(r.frames[0].value, 3);
    EXPECT_EQ(r.frames[1].kind, FrameKind::Graphic);
    EXPECT_EQ(r.frames[1].button, 7);
    EXPECT_EQ(r.frames[1].value, 3);
    EXPECT_EQ(r.frames[2].kind, FrameKind::Text10);
    EXPECT_EQ(r.frames[2].text, "abcdefghij");
    EXPECT_EQ(r.frames[2].button, 9);

    const Sample s = EveryKind();
    const DecodeResult all = Decode(s.bytes);
    EXPECT_EQ(all.frames, s.frames);
    EXPECT_TRUE(all.carry.Empty());
}

TEST(PanelsimDecoderTest, FramesSplitAtEveryPointAndByteByByte) {
    const Sample s = EveryKind();
    for (std::size_t cut = 0; cut <= s.bytes.size(); ++cut) {
        const Bytes a(s.bytes.begin(), s.bytes.begin() + static_cast<long>(cut));
        const Bytes b(s.bytes.begin() + static_cast<long>(cut), s.bytes.end());
        EXPECT_EQ(DecodeChain({a, b}), s.frames) << "cut at " << cut;
    }
    std::vector<Bytes> single;
    for (uint8_t byte : s.bytes) single.push_back({byte});
    EXPECT_EQ(DecodeChain(single), s.frames);

    // A pending long text keeps 14 bytes, no more.
    const Bytes text = Of(BuildTextFrame(1, 3, "0123456789", TextForm::Long10));
    const DecodeResult r = Decode(Bytes(text.begin(), text.end() - 1));
    EXPECT_TRUE(r.frames.empty());
    EXPECT_EQ(r.carry.Size(), 14u);
}

TEST(PanelsimDecoderTest, JunkIsReportedAndScanningResumesAtTheNextByte) {
    // Leading junk, then a poll.
    DecodeResult r = Decode({5, 9, 130, 1, 0});
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0].kind, FrameKind::Junk);
    EXPECT_EQ(r.frames[0].bytes, (Bytes{5, 9}));
    EXPECT_EQ(r.frames[1].kind, FrameKind::Poll);

    // What a panel sends (alive, press) is not a driver frame: junk.
    r = Decode({130, 1, 125, 131, 1, 1, 7});
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].kind, FrameKind::Junk);
    EXPECT_EQ(r.frames[0].bytes.size(), 7u);

    // A text frame with a wrong selector or a missing zero byte is junk, and
    // the frame hidden behind its first byte is still found.
    r = Decode({142, 130, 1, 4});
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0].bytes, (Bytes{142}));
    EXPECT_EQ(r.frames[1].kind, FrameKind::Clear);
    Bytes bad = Of(BuildTextFrame(1, 3, "ABCDEFGHIJ", TextForm::Long10));
    bad[13] = 'X';
    r = Decode(bad);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].kind, FrameKind::Junk);
    EXPECT_EQ(r.frames[0].bytes.size(), 15u);
    EXPECT_TRUE(r.carry.Empty());

    // A consistent prefix that turns out wrong in the next read is junk too.
    EXPECT_EQ(DecodeChain({{140, 1}, {33, 130, 1, 6}}).back().kind, FrameKind::Code6);

    // Long junk comes in bounded pieces.
    r = Decode(Bytes(150, 0x41));
    ASSERT_EQ(r.frames.size(), 3u);
    EXPECT_EQ(r.frames[0].bytes.size(), kMaxJunkRun);
    EXPECT_EQ(r.frames[2].bytes.size(), 150 - 2 * kMaxJunkRun);
}

TEST(PanelsimModelTest, FacesFollowTheFramesAndForeignOnesAreOnlyCounted) {
    PanelModel m(*FindPanelType("CP-1000E"), 1);
    for (const DecodedFrame& f : EveryKind().frames) m.Apply(f);
    const PanelCounts& c = m.counts();
    EXPECT_EQ(c.frames, 10u);
    EXPECT_EQ(c.polls, 1u);
    EXPECT_EQ(c.clears, 1u);
    EXPECT_EQ(c.code6, 1u);
    EXPECT_EQ(c.foreign, 1u);
    // Lamp 99 and text for button 48 on a 16-button panel.
    EXPECT_EQ(c.outOfRange, 2u);
    EXPECT_EQ(m.Button(3)->text, "AB        ");
    EXPECT_EQ(m.Button(7)->graphic, 12);
    EXPECT_EQ(m.Button(7)->colour, 3);
    EXPECT_EQ(m.Button(5)->colour, 0);  // the foreign colour frame changed nothing
    EXPECT_TRUE(m.Button(4) != nullptr && !m.Button(4)->lamp);

    // A label replaces a graphic; clear blanks every button.
    DecodedFrame text = Decode(Of(BuildTextFrame(1, 7, "X", TextForm::Short8))).frames.at(0);
    m.Apply(text);
    EXPECT_EQ(m.Button(7)->graphic, -1);
    EXPECT_EQ(m.Button(7)->text, "X       ");
    m.Apply(Decode(Of(BuildClearFrame(1))).frames.at(0));
    EXPECT_EQ(m.Button(7)->text, "");
    EXPECT_EQ(m.Button(7)->colour, 0);

    const std::string junkLine = m.Apply(Decode({7, 8}).frames.at(0));
    EXPECT_EQ(junkLine, "cannot decode 2 byte(s): 07 08");
    EXPECT_EQ(m.counts().junkBytes, 2u);
}

TEST(PanelsimModelTest, JsonIsOneValidLineWhateverTheLabelHolds) {
    PanelModel m(*FindPanelType("1604"), 2);
    EXPECT_EQ(m.type().buttons, 20);
    m.Apply(Decode(Of(BuildLampOnFrame(2, 20)), 2).frames.at(0));
    m.Apply(Decode(Of(BuildTextFrame(2, 1, std::string("a\"\\\n\xE9") + "\x01", TextForm::Long10)), 2).frames.at(0));
    const std::string json = m.ToJson(3, "pty", true);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_NE(json.find("{\"panel\":3,\"type\":\"CP-1604\",\"kind\":\"lamp\",\"id\":2,\"transport\":\"pty\","
                        "\"connected\":true,"),
              std::string::npos);
    EXPECT_NE(json.find(R"({"n":1,"text":"a\"\\\u000a\u00e9\u0001    ","graphic":null,"colour":0,"lamp":false})"),
              std::string::npos);
    EXPECT_NE(json.find(R"({"n":20,"text":"","graphic":null,"colour":0,"lamp":true}]})"), std::string::npos);
    for (char c : json) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);
}

TEST(PanelsimSpecTest, ValidAndInvalidPanelSpecs) {
    PanelSpec s;
    std::string error;
    ASSERT_TRUE(ParsePanelSpec("tcp:127.0.0.1:2001:type=CP-2048E:id=01", s, error)) << error;
    EXPECT_EQ(s.transport, PanelSpec::Transport::Tcp);
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 2001);
    EXPECT_EQ(s.type.buttons, 48);
    EXPECT_EQ(s.commsId, 1);
    ASSERT_TRUE(ParsePanelSpec("tcp:[::1]:0:id=0x40:type=cp-6401e", s, error)) << error;
    EXPECT_EQ(s.host, "::1");
    EXPECT_EQ(s.commsId, 64);
    EXPECT_EQ(s.type.buttons, 80);
    ASSERT_TRUE(ParsePanelSpec("pty:COM3:dir=/tmp/x:type=CP-3201E:id=0A", s, error)) << error;
    EXPECT_EQ(s.linkName, "COM3");
    EXPECT_EQ(s.linkDir, "/tmp/x");
    EXPECT_EQ(s.commsId, 10);
    ASSERT_TRUE(ParsePanelSpec("pty:type=1000:id=ff", s, error)) << error;
    EXPECT_EQ(s.linkName, "");
    EXPECT_EQ(s.commsId, 255);

    for (const char* bad : {"", "udp:1:2:type=1000:id=1", "tcp:127.0.0.1:type=1000:id=1",
                            "tcp:127.0.0.1:65536:type=1000:id=1", "tcp::2001:type=1000:id=1",
                            "tcp:h:1:type=CP-9999:id=1", "tcp:h:1:type=1000:id=100", "tcp:h:1:type=1000",
                            "tcp:h:1:id=01", "pty:TTY3:type=1000:id=1", "pty:dir=/tmp:type=1000:id=1",
                            "tcp:h:1:type=1000:id=1:colour=red", "tcp:h:1:type=1000:id=1:junk"}) {
        error.clear();
        EXPECT_FALSE(ParsePanelSpec(bad, s, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(PanelsimInputTest, LinesCrLfAndOverlongLines) {
    InputLines in;
    EXPECT_TRUE(in.Feed("pre").empty());
    auto lines = in.Feed("ss 1\r\ndump\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "press 1");
    EXPECT_EQ(lines[1].text, "dump");
    lines = in.Feed(std::string(InputLines::kMaxLine + 10, 'x') + "\nquit");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].overlong);
    lines = in.Finish();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "quit");
}

int PortOf(const std::string& startLine) {
    return std::stoi(startLine.substr(startLine.rfind(' ') + 1));
}

// Reads from fd until want.size() bytes have arrived or the deadline.
Bytes ReadBytes(int fd, std::size_t want, std::chrono::milliseconds deadline = 5s) {
    Bytes got;
    const auto end = Clock::now() + deadline;
    while (got.size() < want && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) break;
        uint8_t buf[256];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

// Runs the in-process simulator's loop (real poll, injected time) until
// pred holds or the deadline passes.
template <typename Pred>
bool Pump(Simulator& sim, Clock::time_point now, Pred pred, std::chrono::milliseconds deadline = 5s) {
    const auto end = Clock::now() + deadline;
    while (!pred() && Clock::now() < end) {
        std::vector<pollfd> fds = sim.PollSet();
        if (poll(fds.data(), fds.size(), 50) < 0) return false;
        sim.Dispatch(fds, now);
    }
    return pred();
}

TEST(PanelsimSimulatorTest, AliveEveryPeriodOnConnectedPanelsOnly) {
    const auto t0 = Clock::now();
    Simulator sim({1000, false}, nullptr, t0);
    PanelSpec spec;
    std::string error;
    ASSERT_TRUE(ParsePanelSpec("tcp:127.0.0.1:0:type=CP-2032E:id=05", spec, error));
    ASSERT_TRUE(sim.AddPanel(spec, error)) << error;
    EXPECT_EQ(sim.TimeoutMs(t0), 1000);

    // Not connected: the alive is due but not sent.
    sim.Dispatch({}, t0 + 1000ms);
    EXPECT_EQ(sim.Model(1).counts().sentMessages, 0u);

    const int client = test::ConnectLoopback(PortOf(sim.StartLines()[0]));
    ASSERT_GE(client, 0);
    ASSERT_TRUE(Pump(sim, t0 + 1000ms, [&] { return sim.Connected(1); }));
    EXPECT_EQ(sim.TimeoutMs(t0 + 1500ms), 500);
    sim.Dispatch({}, t0 + 1999ms);
    EXPECT_EQ(sim.Model(1).counts().sentMessages, 0u);
    sim.Dispatch({}, t0 + 2000ms);
    EXPECT_EQ(sim.Model(1).counts().sentMessages, 1u);
    EXPECT_EQ(ReadBytes(client, 3), (Bytes{130, 5, 125}));

    // After a stall one alive goes out, not the missed ones, and the
    // schedule restarts from then.
    sim.Dispatch({}, t0 + 9500ms);
    EXPECT_EQ(sim.Model(1).counts().sentMessages, 2u);
    EXPECT_EQ(sim.TimeoutMs(t0 + 9500ms), 1000);
    close(client);
}

TEST(PanelsimSimulatorTest, CommandsAnswerOkOrErrorAndNewConnectionReplacesOld) {
    const auto t0 = Clock::now();
    std::vector<std::string> log;
    Simulator sim({0, false}, [&log](std::string_view l) { log.emplace_back(l); }, t0);
    PanelSpec spec;
    std::string error;
    ASSERT_TRUE(ParsePanelSpec("tcp:127.0.0.1:0:type=CP-1000E:id=01", spec, error));
    ASSERT_TRUE(sim.AddPanel(spec, error)) << error;
    EXPECT_EQ(sim.TimeoutMs(t0), -1);  // --alive 0: no timer at all

    for (const char* bad : {"", "press", "press 256", "press -1", "press 1 2", "9 press 1", "0 dump", "raw",
                            "raw 8", "raw zz", "fly", "2", "press 1"}) {
        const Simulator::Answer a = sim.Execute(bad);
        ASSERT_FALSE(a.lines.empty()) << bad;
        EXPECT_EQ(a.lines.back().rfind("error ", 0), 0u) << bad << " -> " << a.lines.back();
        EXPECT_FALSE(a.quit);
    }
    EXPECT_EQ(sim.Execute("press 1").lines.back(), "error not connected");

    const int first = test::ConnectLoopback(PortOf(sim.StartLines()[0]));
    ASSERT_TRUE(Pump(sim, t0, [&] { return sim.Connected(1); }));
    EXPECT_EQ(sim.Execute("1 joy 3").lines, std::vector<std::string>{"ok"});
    EXPECT_EQ(sim.Execute("joyrelease 3").lines.back(), "ok");
    EXPECT_EQ(sim.Execute("release 200").lines.back(), "ok");
    EXPECT_EQ(sim.Execute("raw 0x82 01 7d 8301").lines.back(), "ok");
    EXPECT_EQ(ReadBytes(first, 17), (Bytes{131, 65, 1, 3, 131, 65, 5, 3, 131, 1, 0, 200, 130, 1, 125, 131, 1}));

    // A second connection replaces the first, which is closed.
    const int second = test::ConnectLoopback(PortOf(sim.StartLines()[0]));
    uint8_t byte = 0;
    ASSERT_TRUE(Pump(sim, t0, [&] {
        pollfd p{first, POLLIN, 0};
        return poll(&p, 1, 0) == 1 && recv(first, &byte, 1, MSG_DONTWAIT) == 0;
    }));
    const Bytes poll0 = Of(BuildPollFrame(1));
    ASSERT_EQ(write(second, poll0.data(), poll0.size()), 3);
    ASSERT_TRUE(Pump(sim, t0, [&] { return sim.Model(1).counts().polls == 1; }));

    // Paused, the panel reads nothing (its sending goes on); resumed, it
    // reads what waited.
    const size_t watched = sim.PollSet().size();
    EXPECT_EQ(sim.Execute("pause").lines.back(), "ok");
    EXPECT_EQ(sim.PollSet().size(), watched - 1) << "the connection is not read";
    ASSERT_EQ(write(second, poll0.data(), poll0.size()), 3);
    EXPECT_EQ(sim.Execute("alive").lines.back(), "ok");
    EXPECT_EQ(ReadBytes(second, 3), (Bytes{130, 1, 125}));
    EXPECT_EQ(sim.Execute("resume pause").lines.back(), "error resume takes no argument");
    EXPECT_EQ(sim.Execute("resume").lines.back(), "ok");
    ASSERT_TRUE(Pump(sim, t0, [&] { return sim.Model(1).counts().polls == 2; }));

    EXPECT_EQ(sim.Execute("drop").lines.back(), "ok");
    EXPECT_FALSE(sim.Connected(1));
    EXPECT_EQ(sim.Execute("drop").lines.back(), "error not connected");
    EXPECT_TRUE(sim.Execute("quit").quit);
    close(first);
    close(second);
}

// panelsim as a child process with its standard input and output on pipes
// and its standard error in a file.
class SimProcess {
public:
    SimProcess(const std::vector<std::string>& args, const std::string& errPath) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all{test::BinPath("panelsim")};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0 && !exitCode_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
    }
    bool started() const { return pid_ > 0; }

    // The next line of standard output; nullopt at the deadline or the end.
    std::optional<std::string> Line(std::chrono::milliseconds deadline = 10s) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd p{out_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
            char buf[65536];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            buffer_.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Sends a command and returns its output lines up to and including the
    // closing ok / error line.
    std::vector<std::string> Command(const std::string& command) {
        const std::string text = command + "\n";
        EXPECT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        std::vector<std::string> lines;
        while (auto line = Line()) {
            lines.push_back(*line);
            if (*line == "ok" || line->rfind("error", 0) == 0) break;
        }
        return lines;
    }

    // Repeats dump until its JSON holds every text in want (5 s deadline,
    // 20 ms between tries); the last JSON line.
    std::string DumpUntil(const std::string& prefix, const std::vector<std::string>& want) {
        const auto end = Clock::now() + 5s;
        std::string json;
        for (;;) {
            const auto lines = Command(prefix + "dump");
            json = lines.size() == 2 ? lines[0] : "";
            bool all = true;
            for (const auto& w : want) all = all && json.find(w) != std::string::npos;
            if (all || Clock::now() >= end) return json;
            std::this_thread::sleep_for(20ms);
        }
    }

    void Signal(int sig) { kill(pid_, sig); }
    std::optional<int> Wait(std::chrono::milliseconds deadline = 10s) {
        const auto end = Clock::now() + deadline;
        // Reads standard output to its end (the child closing it on exit)
        // before reaping, so the wait needs no sleeping.
        while (Line(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()))) {
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (Clock::now() >= end) return std::nullopt;
            waitpid(pid_, &status, 0);
        }
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::optional<int> exitCode_;
};

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

TEST(PanelsimProcessTest, TcpPanelDecodesFramesAnswersCommandsAndSendsAlive) {
    ASSERT_FALSE(test::BinPath("panelsim").empty()) << "VORN_BIN_DIR is not set";
    test::TempDir dir;
    SimProcess sim({"--alive", "50", "tcp:127.0.0.1:0:type=CP-2048E:id=01"}, dir.file("err"));
    ASSERT_TRUE(sim.started());
    const auto start = Words(sim.Line().value_or(""));
    ASSERT_EQ(start.size(), 5u);
    EXPECT_EQ(start[0] + start[1] + start[2] + start[3], "panel1tcp127.0.0.1");
    EXPECT_EQ(sim.Line(), "ready");

    const int fd = test::ConnectLoopback(std::stoi(start[4]));
    ASSERT_GE(fd, 0);
    Bytes frames = Of(BuildTextFrame(1, 3, "HELLO", TextForm::Long10));
    for (const Bytes& b : {Of(BuildColourFrame(1, 3, 2)), Of(BuildPollFrame(1)), Of(BuildGraphicFrame(1, 4, 7)),
                           Bytes{0xEE}, Of(BuildClearFrame(9))}) {
        frames.insert(frames.end(), b.begin(), b.end());
    }
    // In two writes, split inside the text frame.
    ASSERT_EQ(write(fd, frames.data(), 6), 6);
    ASSERT_EQ(write(fd, frames.data() + 6, frames.size() - 6), static_cast<ssize_t>(frames.size() - 6));
    const std::string json = sim.DumpUntil("", {"\"foreign\":1"});
    EXPECT_NE(json.find("\"connected\":true"), std::string::npos) << json;
    EXPECT_NE(json.find(R"({"n":3,"text":"HELLO     ","graphic":null,"colour":2,"lamp":false})"), std::string::npos)
        << json;
    EXPECT_NE(json.find(R"({"n":4,"text":"","graphic":7,)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("frames":5,"polls":1,"clears":0)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("junk_bytes":1)"), std::string::npos) << json;

    // Alives arrive on their own; press 7 arrives among them.
    EXPECT_EQ(ReadBytes(fd, 3), (Bytes{130, 1, 125}));
    EXPECT_EQ(sim.Command("press 7"), std::vector<std::string>{"ok"});
    bool pressSeen = false;
    Bytes window;
    const auto end = Clock::now() + 5s;
    while (!pressSeen && Clock::now() < end) {
        const Bytes got = ReadBytes(fd, 1, 1s);
        if (got.empty()) break;
        window.push_back(got[0]);
        pressSeen = window.size() >= 4 && Bytes(window.end() - 4, window.end()) == Bytes{131, 1, 1, 7};
    }
    EXPECT_TRUE(pressSeen);

    EXPECT_EQ(sim.Command("2 dump"), std::vector<std::string>{"error no panel 2 (1..1)"});
    EXPECT_EQ(sim.Command("quit"), std::vector<std::string>{"ok"});
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_NE(test::ReadFile(dir.file("err")).find("cannot decode 1 byte(s): EE"), std::string::npos);
    close(fd);
}

TEST(PanelsimProcessTest, PtyPanelWithComLinkAndCleanExitOnSigterm) {
    ASSERT_FALSE(test::BinPath("panelsim").empty()) << "VORN_BIN_DIR is not set";
    test::TempDir dir;
    const std::string comDir = dir.file("com");
    SimProcess sim({"--alive", "50", "tcp:127.0.0.1:0:type=CP-1000E:id=03",
                    "pty:COM3:dir=" + comDir + ":type=CP-3201E:id=02"},
                   dir.file("err"));
    ASSERT_TRUE(sim.started());
    sim.Line();
    const auto start = Words(sim.Line().value_or(""));
    ASSERT_EQ(start.size(), 5u);
    EXPECT_EQ(start[0] + start[1] + start[2], "panel2pty");
    EXPECT_EQ(start[4], comDir + "/COM3");
    EXPECT_EQ(sim.Line(), "ready");
    char target[256] = {};
    ASSERT_GT(readlink(start[4].c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), start[3]);

    EXPECT_NE(sim.DumpUntil("2 ", {"\"connected\":false"}).find("\"connected\":false"), std::string::npos);
    EXPECT_EQ(sim.Command("2 press 1"), std::vector<std::string>{"error not connected (line not open)"});

    // Opened through the link, as the driver opens COM3.
    const int fd = open(start[4].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    cfmakeraw(&tio);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
    Bytes frames = Of(BuildTextFrame(2, 40, "SERIAL", TextForm::Short8));
    for (const Bytes& b : {Of(BuildLampOnFrame(2, 5)), Of(BuildPanelCode6Frame(2))})
        frames.insert(frames.end(), b.begin(), b.end());
    ASSERT_EQ(write(fd, frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
    const std::string json = sim.DumpUntil("2 ", {"\"code6\":1"});
    EXPECT_NE(json.find("\"connected\":true"), std::string::npos) << json;
    EXPECT_NE(json.find(R"({"n":5,"text":"","graphic":null,"colour":0,"lamp":true})"), std::string::npos) << json;
    EXPECT_NE(json.find(R"({"n":40,"text":"SERIAL  ",)"), std::string::npos) << json;
    EXPECT_EQ(ReadBytes(fd, 3), (Bytes{130, 2, 125}));

    // A drop hangs the open line up and puts a new one under COM3, which
    // comes up as the panel once it is opened.
    EXPECT_EQ(sim.Command("2 drop"), std::vector<std::string>{"ok"});
    pollfd hup{fd, POLLIN, 0};
    ASSERT_EQ(poll(&hup, 1, 5000), 1);
    EXPECT_NE(hup.revents & POLLHUP, 0);
    close(fd);
    EXPECT_NE(sim.DumpUntil("2 ", {"\"connected\":false"}).find("\"connected\":false"), std::string::npos);
    char moved[256] = {};
    ASSERT_GT(readlink(start[4].c_str(), moved, sizeof moved - 1), 0);
    EXPECT_NE(std::string(moved), start[3]);
    const int again = open(start[4].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(again, 0);
    EXPECT_NE(sim.DumpUntil("2 ", {"\"connected\":true"}).find("\"connected\":true"), std::string::npos);
    EXPECT_EQ(ReadBytes(again, 3), (Bytes{130, 2, 125}));
    EXPECT_EQ(sim.Command("2 drop"), std::vector<std::string>{"ok"});
    EXPECT_EQ(sim.Command("2 drop"), std::vector<std::string>{"error not connected (line not open)"});

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    struct stat st{};
    EXPECT_NE(lstat(start[4].c_str(), &st), 0) << "the COM link is left behind";
    close(again);
}

TEST(PanelsimProcessTest, BadArgumentsAndBusyPortsEndWithAClearMessage) {
    ASSERT_FALSE(test::BinPath("panelsim").empty()) << "VORN_BIN_DIR is not set";
    test::TempDir dir;
    std::string out;
    std::string err;
    EXPECT_EQ(test::SpawnedProcess::Run(test::BinPath("panelsim"), {}, {}, dir.path(), &out, &err), 2);
    EXPECT_NE(err.find("no PANELSPEC"), std::string::npos) << err;
    EXPECT_EQ(test::SpawnedProcess::Run(test::BinPath("panelsim"), {"tcp:127.0.0.1:1:type=CP-1234:id=01"}, {},
                                        dir.path(), &out, &err),
              2);
    EXPECT_NE(err.find("unknown panel type 'CP-1234'"), std::string::npos) << err;
    EXPECT_EQ(test::SpawnedProcess::Run(test::BinPath("panelsim"), {"--help"}, {}, dir.path(), &out, &err), 0);
    EXPECT_NE(out.find("tcp:HOST:PORT:type=MODEL:id=HEX"), std::string::npos);

    // A port already listened on.
    test::LoopbackListener taken;
    ASSERT_GT(taken.port(), 0);
    const std::string spec = "tcp:127.0.0.1:" + std::to_string(taken.port()) + ":type=1000:id=1";
    EXPECT_EQ(test::SpawnedProcess::Run(test::BinPath("panelsim"), {spec}, {}, dir.path(), &out, &err), 1);
    EXPECT_NE(err.find("cannot listen"), std::string::npos) << err;
}

}  // namespace
}  // namespace vorn::sim
