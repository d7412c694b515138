// The relay is the yardstick of every ratio the bench prints: it must carry
// every change and press, in order, without writing anything back, and its
// reserve must take over. Runs the relay and the reference Infodriver as
// processes through the bench's own harness.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "scenarios.h"
#include "world.h"

namespace vorn::bench {
namespace {

using namespace std::chrono_literals;

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("VORN_BIN_DIR");
        ASSERT_NE(bin, nullptr) << "VORN_BIN_DIR is not set";
        bins_ = {std::string(bin) + "/pellax-panel", std::string(bin) + "/bench-relay", std::string(bin) + "/infodriver"};
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench-relay-test.XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    EventLoop loop_;
    Binaries bins_;
    std::string dir_;
};

TEST_F(RelayTest, CarriesChangesAndPressesWithoutWritingBack) {
    World w(loop_, bins_, dir_ + "/world", 3);
    w.Start(0s);
    ChildProcess& relay = w.Launch(System::Relay);
    w.WaitPanelsReady(10s, 100ms);

    RoundFigures f;
    MeasureLatencyOut(w, 6, &f);
    MeasureLatencyIn(w, 6, &f);
    for (const LatencySamples* s : {&f.outLabel, &f.outColour, &f.inPress, &f.inRelease}) {
        EXPECT_EQ(s->ms.size(), 6u);
        EXPECT_EQ(s->missed, 0u);
    }
    RunPressBurst(w, 200, 5s, &f.presses);
    EXPECT_EQ(f.presses.lost + f.presses.reordered + f.presses.extra, 0u);

    BurstFigures b;
    RunChangeBurst(w, relay, 3000, 1, 5s, &b);
    EXPECT_TRUE(b.complete);
    EXPECT_EQ(b.lost, 0u);
    EXPECT_EQ(b.reordered, 0u);
    EXPECT_EQ(b.extra, 0u);
    EXPECT_EQ(b.stale, 0u);
    EXPECT_EQ(b.writeBacks, 0u);
}

TEST_F(RelayTest, ReserveTakesOverWhenTheMainIsKilled) {
    World w(loop_, bins_, dir_ + "/world", 2);
    w.Start(0s);
    const FailoverSample s = MeasureFailover(w, System::Relay, SIGKILL);
    EXPECT_GE(s.connectSeconds, 0);
    EXPECT_GE(s.frameSeconds, s.connectSeconds);
    EXPECT_LT(s.frameSeconds, 2.0);
}

}  // namespace
}  // namespace vorn::bench
