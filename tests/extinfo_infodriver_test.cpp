// Infodriver client against the reference Infodriver ($VORN_BIN_DIR/infodriver)
// run as a child process: two clients of one device see each other's slot
// writes, and both learn when the Infodriver goes away. Skipped when the
// executable has not been built.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/driver_state.h"
#include "support/fake_seam.h"
#include "support/temp_dir.h"
#include "transport/extinfo.h"
#include "transport/info_frame.h"

extern char** environ;

namespace vorn {
namespace {

using namespace std::chrono_literals;

constexpr int kDevice = 6;

struct Note {
    extinfo* client;
    int status;
    int index;
    std::string text;
};
std::vector<Note> g_notes;
// Runs after a notification is recorded: a test's stand-in for the driver's
// slot-change handler.
std::function<void(extinfo*, int, const char*)> g_onNotify;

void RecordNotify(extinfo* client, int index, const char* text) {
    g_notes.push_back(Note{client, client->iStatus, index, text});
    if (g_onNotify) g_onNotify(client, index, text);
}

int CountNotes(extinfo* client, int status, int index = -1, const std::string& text = "") {
    int n = 0;
    for (const auto& note : g_notes) {
        n += note.client == client && note.status == status && (index < 0 || note.index == index) &&
             (text.empty() || note.text == text);
    }
    return n;
}

class ExtinfoInfodriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        SetSeam(&seam);
        g_notes.clear();
        const char* bin = std::getenv("VORN_BIN_DIR");
        std::string exe = std::string(bin != nullptr ? bin : "") + "/infodriver";
        if (bin == nullptr || access(exe.c_str(), X_OK) != 0) GTEST_SKIP() << "no infodriver executable";
        setenv("VORN_INFODRIVER_DIR", dir.path().c_str(), 1);
        std::string device = std::to_string(kDevice);
        char* argv[] = {exe.data(), device.data(), nullptr};
        ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);
        // Ready once its socket accepts a connection (the file exists a
        // moment before the server listens on it).
        auto deadline = std::chrono::steady_clock::now() + 10s;
        auto accepts = [] {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, InfoSocketPath(kDevice).c_str(), sizeof addr.sun_path - 1);
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (fd >= 0) close(fd);
            return ok;
        };
        while (!accepts()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "infodriver did not start";
            seam.Pump(20ms);
        }
        for (extinfo* c : {&a, &b}) c->setnotify(RecordNotify);
    }
    void TearDown() override {
        g_onNotify = nullptr;
        a.disconnect();
        b.disconnect();
        StopServer();
        SetSeam(nullptr);
    }
    void StopServer() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        // It exits promptly on SIGTERM; one that does not is killed after 5 s.
        auto deadline = std::chrono::steady_clock::now() + 5s;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "infodriver ignored SIGTERM";
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            seam.Pump(20ms);
        }
        pid = -1;
    }

    test::TempDir dir;
    test::FakeSeam seam;
    extinfo a{kInfoInterfaceVersion};
    extinfo b{kInfoInterfaceVersion};
    pid_t pid = -1;
};

TEST_F(ExtinfoInfodriverTest, twoClientsShareSlotsAndBothSeeTheInfodriverLeave) {
    ASSERT_EQ(a.connect(kDevice, nullptr), 15);
    ASSERT_EQ(b.connect(kDevice, nullptr), 15);

    a.setslot(351, "%s", "Hello 100%");
    ASSERT_TRUE(seam.PumpUntil([&] { return CountNotes(&b, 15, 351, "Hello 100%") == 1; }));
    EXPECT_EQ(CountNotes(&a, 15), 0);  // a writer is not told about its own write

    char buffer[256];
    b.getslot(351, buffer);
    EXPECT_STREQ(buffer, "Hello 100%");
    EXPECT_FALSE(b.updateslot(351, "%s", "Hello 100%"));
    EXPECT_TRUE(b.updateslot(351, "%s", "Bye"));
    ASSERT_TRUE(seam.PumpUntil([&] { return CountNotes(&a, 15, 351, "Bye") == 1; }));
    EXPECT_EQ(CountNotes(&a, 15, 351), 1);  // the unchanged text was not written

    // Both drivers know a mode; exactly one of them is main.
    int ma = a.getmode();
    int mb = b.getmode();
    EXPECT_TRUE((ma == 2 && mb == 1) || (ma == 1 && mb == 2)) << ma << " " << mb;

    StopServer();
    ASSERT_TRUE(seam.PumpUntil([&] { return CountNotes(&a, 3) == 1 && CountNotes(&b, 3) == 1; }));
    seam.Pump(50ms);
    EXPECT_EQ(CountNotes(&a, 3, 0, "Infodriver has disconnected"), 1);
    EXPECT_EQ(CountNotes(&b, 3, 0, "Infodriver has disconnected"), 1);
    EXPECT_EQ(seam.WatchCount(), 0);
}

// A handler that writes another slot from an older change (a derived
// write) while a newer client write of that slot is already on its way:
// handling the newer change confirms it, so the client's text wins in the
// end, whether the slot was known or not.
TEST_F(ExtinfoInfodriverTest, derivedWriteNeverWinsOverANewerClientWrite) {
    b.followslots(1, 2000);
    ASSERT_EQ(a.connect(kDevice, nullptr), 15);
    ASSERT_EQ(b.connect(kDevice, nullptr), 15);
    char buffer[256];
    ASSERT_EQ(b.readslot(1352, buffer), 1);  // known before; 1351 is not
    g_onNotify = [&](extinfo* c, int index, const char* text) {
        if (c != &b) return;
        b.updateslot(index, "%s", text);  // the confirmation
        if (std::string(text).rfind("old", 0) != 0) return;
        (void)b.getmode();  // the newer changes arrive in here and wait
        b.updateslot(index + 1000, "%s", text);  // derived from the older change
    };
    for (int round = 0; round < 2; ++round) {
        const int slot = 351 + round;
        a.setslot(slot, "old%d", round);
        a.setslot(slot + 1000, "new%d", round);
        a.setslot(slot, "new%d", round);
        ASSERT_TRUE(seam.PumpUntil([&] { return CountNotes(&b, 15, slot, "new" + std::to_string(round)) == 1; }));
    }
    for (int slot : {351, 352, 1351, 1352}) {
        ASSERT_TRUE(seam.PumpUntil([&] {
            return a.readslot(slot, buffer) == 1 && std::string(buffer).substr(0, 3) == "new";
        })) << slot << " holds " << buffer;
    }
}

// The mirror follows the writes of other clients and of the client itself
// to the slots it follows: known slots are answered without a read and
// compared on their whole text, so a 300-character label is not written
// back, cut or whole. Other slots are not kept.
TEST_F(ExtinfoInfodriverTest, mirrorFollowsItsSlotsAndComparesWholeTexts) {
    b.followslots(1, 100);
    ASSERT_EQ(a.connect(kDevice, nullptr), 15);
    ASSERT_EQ(b.connect(kDevice, nullptr), 15);
    const std::string longLabel(300, 'L');
    a.setslot(51, "%s", longLabel.c_str());
    a.setslot(52, "%s", "other");
    a.setslot(500, "%s", "not followed");
    ASSERT_TRUE(seam.PumpUntil([&] { return CountNotes(&b, 15, 500) == 1; }));
    EXPECT_FALSE(b.mirrored(500, nullptr));
    b.setslot(53, "%s", "own");
    std::string text;
    ASSERT_TRUE(b.mirrored(51, &text));
    EXPECT_EQ(text, longLabel);
    ASSERT_TRUE(b.mirrored(53, &text));
    EXPECT_EQ(text, "own");
    EXPECT_FALSE(b.updateslot(51, "%s", longLabel.c_str()));
    EXPECT_FALSE(b.updateslot(52, "%s", "other"));
    EXPECT_FALSE(b.updateslot(53, "%s", "own"));
    char buffer[256];
    EXPECT_EQ(b.getslot(51, buffer), 1);
    EXPECT_EQ(std::string(buffer), longLabel.substr(0, 255));
    // Never seen: read once, then known.
    EXPECT_FALSE(b.mirrored(54, nullptr));
    EXPECT_EQ(b.getslot(54, buffer), 1);
    EXPECT_TRUE(b.mirrored(54, nullptr));
    ASSERT_EQ(a.readslot(51, buffer), 1);  // a sync point: every write of b has arrived
    seam.Pump(50ms);
    EXPECT_EQ(CountNotes(&a, 15, 51), 0);
    EXPECT_EQ(CountNotes(&a, 15, 53), 1);
    // A new link starts with an empty mirror.
    b.disconnect();
    ASSERT_EQ(b.connect(kDevice, nullptr), 15);
    EXPECT_EQ(b.mirrorSize(), 0u);
}

}  // namespace
}  // namespace vorn
