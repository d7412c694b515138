// Output to panels that do not keep up, on real lines: a TCP panel on
// loopback with a tiny receive buffer that stops reading and resumes, and a
// serial line on a pseudo-terminal that is paced, then not read at all.
// Time is the recording seam's: pacing and the silence rule run on its
// hand-moved clock, never on sleeps.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "core/driver_state.h"
#include "panels/panel_connections.h"
#include "panels/panel_senders.h"
#include "panels/panel_table.h"
#include "support/loopback_listener.h"
#include "support/panel_fixture.h"
#include "support/unique_fd.h"
#include "transport/serial_panel_link.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

// What a panel shows: the last text frame per button, from whole frames.
struct Screen {
    std::vector<uint8_t> carry;
    std::map<int, std::string> labels;
    size_t frames = 0;
    size_t junk = 0;  // bytes that start no frame: a frame cut or mixed

    void Take(const uint8_t* data, size_t n) {
        carry.insert(carry.end(), data, data + n);
        size_t at = 0;
        // Whole frames only: an unfinished last one waits for the next read.
        while (at < carry.size()) {
            const uint8_t type = carry[at];
            const size_t len = type == 142 ? 15 : type == 140 ? 13 : type == 130 ? 3 : 1;
            if (at + len > carry.size()) break;
            if (len == 1) {
                ++junk;
            } else {
                ++frames;
                if (type != 130) labels[carry[at + len - 1]] = std::string(&carry[at + 3], &carry[at + len - 2]);
            }
            at += len;
        }
        carry.erase(carry.begin(), carry.begin() + static_cast<long>(at));
    }
    // Reads what the descriptor holds now (non-blocking); the bytes read.
    size_t Drain(int fd) {
        size_t total = 0;
        uint8_t buf[8192];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
            Take(buf, static_cast<size_t>(n));
            total += static_cast<size_t>(n);
        }
        return total;
    }
};

std::string Label(const char* tag, int i) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%07d", tag, i);
    return text;
}

class PanelOutputTest : public PanelFixture {};

// A paused TCP panel gets the states thinned, never cut, and ends showing
// the last ones; the queue stays within one frame per button.
TEST_F(PanelOutputTest, PausedTcpPanelConvergesOnTheLastLabels) {
    LoopbackListener listener(SOCK_NONBLOCK);
    ASSERT_GT(listener.port(), 0);
    const int tiny = 2048;  // inherited by the accepted socket
    ASSERT_EQ(setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny), 0);

    PanelRecord& p = LoopbackPanel(2, "2048", 5, listener.port());
    ConnectToPanel(2);
    UniqueFd peer;
    ASSERT_TRUE(seam.PumpUntil([&] {
        if (peer.get() < 0) peer.Reset(listener.Accept(SOCK_NONBLOCK));
        return peer.get() >= 0 && Slot(599) == "1";
    }, 5000ms));

    // 48 buttons, 400 rounds of labels, one loop turn per round; the
    // panel reads nothing meanwhile.
    constexpr int kRounds = 400;
    for (int round = 0; round < kRounds; ++round) {
        for (int b = 1; b <= 48; ++b) SendButtonText(2, b, Label("R", round * 48 + b));
        seam.Pump();
        ASSERT_LE(p.Link->WaitingFrames(), 49u) << "one per button and a started one";
    }
    EXPECT_GT(p.Link->WaitingFrames(), 0u) << "the kernel's buffers should be full by now";

    Screen screen;
    ASSERT_TRUE(seam.PumpUntil([&] {
        screen.Drain(peer.get());
        for (int b = 1; b <= 48; ++b) {
            if (screen.labels[b] != PadLabel10(Label("R", (kRounds - 1) * 48 + b))) return false;
        }
        return p.Link->WaitingFrames() == 0;
    }, 5000ms));
    EXPECT_EQ(screen.junk, 0u) << "no frame cut";
    EXPECT_LT(screen.frames, static_cast<size_t>(kRounds * 48)) << "thinned while paused";
    EXPECT_EQ(static_cast<size_t>(p.TxCount), screen.frames) << "TxCount counts what went, nothing else";

    // Paused for good: once the socket has taken nothing for
    // PanelSilenceTimeout while frames wait, the connection is closed (the
    // poll reconnects it).
    Settings.PanelSilenceTimeout = 2;
    for (int round = 0; round < kRounds; ++round) {
        for (int b = 1; b <= 48; ++b) SendButtonText(2, b, Label("S", round * 48 + b));
        seam.Pump();
    }
    CheckPanelSilence();
    EXPECT_EQ(p.Connected, 1) << "no time has passed";
    seam.Advance(2500ms);
    CheckPanelSilence();
    EXPECT_EQ(p.Connected, 0);
    EXPECT_TRUE(Logged("Panel 2 took no output for 2 s - connection closed "));
    EXPECT_EQ(SlotNow(599), "0");
}

// A quiet line gets a lone frame at once and no posted flush (no extra turn
// of the loop per change); frames right behind it in the same turn wait
// for one posted flush and go together.
TEST_F(PanelOutputTest, LoneFrameGoesAtOnceWithoutAFlushAndABurstWaitsForOne) {
    LoopbackListener listener(SOCK_NONBLOCK);
    ASSERT_GT(listener.port(), 0);
    PanelRecord& p = LoopbackPanel(2, "2048", 5, listener.port());
    ConnectToPanel(2);
    UniqueFd peer;
    ASSERT_TRUE(seam.PumpUntil([&] {
        if (peer.get() < 0) peer.Reset(listener.Accept(SOCK_NONBLOCK));
        return peer.get() >= 0 && Slot(599) == "1";
    }, 5000ms));
    seam.Advance(10ms);
    seam.RunPosted();  // what the connection itself left to do
    Screen screen;
    screen.Drain(peer.get());
    const size_t before = screen.frames;

    SendButtonText(2, 1, "LONE");
    EXPECT_EQ(seam.RunPosted(), 0) << "a lone frame posts nothing";
    ASSERT_TRUE(seam.PumpUntil([&] { screen.Drain(peer.get()); return screen.frames == before + 1; }, 5000ms));

    seam.Advance(10ms);
    SendButtonText(2, 1, "FIRST");
    SendButtonText(2, 2, "SECOND");
    SendButtonText(2, 3, "THIRD");
    EXPECT_EQ(p.Link->WaitingFrames(), 2u) << "the first went at once, the others wait for the flush";
    EXPECT_EQ(seam.RunPosted(), 1);
    EXPECT_EQ(p.Link->WaitingFrames(), 0u);
    ASSERT_TRUE(seam.PumpUntil([&] { screen.Drain(peer.get()); return screen.frames == before + 4; }, 5000ms));
    EXPECT_EQ(screen.labels[3], PadLabel10("THIRD"));
}

// A pseudo-terminal at 38400 baud 8E1 (3490 characters a second): the link
// runs at most 0.1 s ahead of the line, a burst of ten pages comes down to
// little more than the last page, and a line that takes nothing for
// PanelSilenceTimeout loses what waits and counts as not connected until
// the panel is heard from, which refreshes it. The loop never waits.
TEST_F(PanelOutputTest, PtyIsPacedAndOneThatIsNotReadNeverStallsTheLoop) {
    setenv("VORN_COM_DIR", dir.path().c_str(), 1);
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    ASSERT_GE(master.get(), 0);
    ASSERT_EQ(grantpt(master.get()), 0);
    ASSERT_EQ(unlockpt(master.get()), 0);
    ASSERT_EQ(symlink(ptsname(master.get()), (dir.path() + "/COM5").c_str()), 0);
    PanelRecord& p = Panels[3];
    p.InUse = 1;
    p.IpAddress = "0.0.0.0";
    p.ComPort = 5;
    p.CommsId = 3;
    ApplyPanelType(p, "2048");
    auto port = std::make_unique<SerialPort>();
    port->baud = 38400;
    port->parity = 2;
    InstallPanelLink(3, std::make_unique<SerialPanelLink>(5, std::move(port)));
    ConnectToPanel(3);
    ASSERT_EQ(p.Connected, 1);
    p.RefreshPending = 0;

    constexpr size_t kPage = 48 * 13;
    constexpr size_t kAhead = 349;  // 0.1 s of the line
    Screen screen;
    for (int page = 0; page < 10; ++page) {
        for (int b = 1; b <= 48; ++b) SendButtonText(3, b, Label("P", page * 48 + b));
        seam.Pump();
    }
    size_t sent = screen.Drain(master.get());
    EXPECT_LE(sent, kAhead) << "nothing beyond 0.1 s of the line in the kernel";
    EXPECT_LE(p.Link->WaitingFrames(), 49u);
    for (int step = 0; step < 20; ++step) {  // one second of the line
        seam.Advance(50ms);
        sent += screen.Drain(master.get());
    }
    for (int b = 1; b <= 48; ++b) ASSERT_EQ(screen.labels[b], Label("P", 9 * 48 + b).substr(0, 8)) << b;
    EXPECT_LE(sent, kPage * 3 / 2 + kAhead) << "ten pages, little more than one sent";
    EXPECT_EQ(screen.junk, 0u);

    // Nobody reads now: labels keep coming, the line fills and then takes
    // nothing; after PanelSilenceTimeout the output is given up.
    Settings.PanelSilenceTimeout = 3;
    int i = 0;
    for (int tick = 0; tick < 200 && p.Connected == 1; ++tick) {
        for (int b = 1; b <= 48; ++b) SendButtonText(3, b, Label("Q", i++));
        seam.Pump();
        seam.Advance(500ms);
        if (tick % 2 == 1) CheckPanelSilence();
    }
    ASSERT_EQ(p.Connected, 0);
    EXPECT_TRUE(Logged("Panel 3 took no output for 3 s - waiting output discarded "));
    EXPECT_EQ(SlotNow(899), "0");
    EXPECT_EQ(p.Link->WaitingFrames(), 0u);
    PollPanel(3);
    EXPECT_FALSE(Logged("Poll - attempting to reconnect to panel 3 ")) << "the open port waits to be heard from";
    EXPECT_EQ(SendButtonText(3, 1, "x"), SendResult::kRefused);

    // Heard from again: connected, and refreshed from the alive message.
    screen.Drain(master.get());
    const uint8_t alive[] = {130, 3, 125};
    ASSERT_EQ(write(master.get(), alive, sizeof alive), 3);
    ASSERT_TRUE(seam.PumpUntil([&] { return p.Connected == 1 && p.RefreshPending == 0; }, 5000ms));
    EXPECT_TRUE(Logged("Reconnected - refreshing panel 3 "));
    EXPECT_EQ(SlotNow(899), "1");
    unsetenv("VORN_COM_DIR");
}

}  // namespace
}  // namespace vorn::test
