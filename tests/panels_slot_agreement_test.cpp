// Slots and panels agree whatever order another client's writes arrive in,
// against the reference Infodriver (in-process): a command whose effect
// writes a slot, followed by the client's own write of that slot, ends with
// the client's text in both; notifications never run inside a synchronous
// call; and another client's writes elsewhere cannot fill the slot mirror.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "panels/slot_mapping.h"
#include "support/panel_fixture.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

// A control client of the Infodriver that sends raw frames, so that two
// slot writes can go in one send() or in two.
class ControlClient {
public:
    explicit ControlClient(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << "connect";
    }
    ~ControlClient() { close(fd_); }
    static std::string Write(int slot, const std::string& text) {
        return EncodeInfoFrame(InfoFrame{XOV_SLOTWRITE, 0, 0, slot, 0, text});
    }
    void Send(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                ADD_FAILURE() << "send";
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

private:
    int fd_ = -1;
};

class SlotAgreementTest : public test::PanelFixture {
protected:
    void SetUp() override {
        PanelFixture::SetUp();
        info.setnotify(InfoNotify);
        port = TcpPanel(1, "CP-2048E", 1);
        DriverMode = IFMODE_TXRX;
        LoadAllInfodriverData();  // as at start-up: the client knows the block's slots
        control = std::make_unique<ControlClient>(server->SocketPath(kDevice));
    }
    // What the panel was last sent for button b: its label, its colour.
    std::string PanelLabel(int b) const {
        const std::vector<Bytes>& sent = test::Frames(*port);  // runs the queue's posted flush first
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if ((*it)[0] == 142 && it->back() == b) return std::string(it->begin() + 3, it->begin() + 13);
        }
        return "?";
    }
    int PanelColour(int b) const {
        const std::vector<Bytes>& sent = test::Frames(*port);
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if ((*it)[0] == 132 && (*it)[2] == 64 && (*it)[3] == b) return (*it)[4];
        }
        return -1;
    }

    test::FakeNetPort* port = nullptr;
    std::unique_ptr<ControlClient> control;
};

// The rows: a command of the panel's block, then the client's write of a
// slot that the command's effect writes too (each case on a button of its
// own). Both reach the Infodriver before the driver handles the command, in
// one send or in two.
TEST_F(SlotAgreementTest, ClientWriteAfterACommandWinsInSlotAndPanel) {
    const int rows[] = {254, 257, 258};
    int b = 0;
    for (int command : rows) {
        for (bool oneSend : {true, false}) {
            SCOPED_TRACE("command " + std::to_string(command) + (oneSend ? ", one send" : ", two sends"));
            ++b;
            const bool label = command == 254;
            const int slot = (label ? 50 : 100) + b;
            // 254 labels all buttons; 258 selects b (colour 2).
            const std::string commandText = label ? "ALL" + std::to_string(b) : command == 257 ? "1" : std::to_string(b);
            const std::string text = label ? "X" + std::to_string(b) : std::to_string(4 + b % 3);
            // The slot first holds a text the command's effect changes (257: 5 -> 2).
            control->Send(ControlClient::Write(slot, label ? "before" : "5"));
            ASSERT_TRUE(seam.PumpUntil([&, n = InfodriverRxCount + 1] { return InfodriverRxCount == n; }));
            const int received = InfodriverRxCount;
            const std::string first = ControlClient::Write(command, commandText);
            const std::string second = ControlClient::Write(slot, text);
            if (oneSend) {
                control->Send(first + second);
            } else {
                control->Send(first);
                ASSERT_TRUE(server->WaitUntil([&] { return Slot(command) == commandText; }, 5000ms));
                control->Send(second);
            }
            ASSERT_TRUE(server->WaitUntil([&] { return Slot(slot) == text; }, 5000ms));
            ASSERT_TRUE(seam.PumpUntil([&] { return InfodriverRxCount == received + 2; }));

            EXPECT_EQ(SlotNow(slot), text);
            if (label) {
                EXPECT_EQ(PanelLabel(b), PadLabel10(text));
                EXPECT_EQ(SlotNow(slot + 1), commandText);  // the command's other effects stand
                EXPECT_EQ(PanelLabel(b + 1), PadLabel10(commandText));
            } else {
                EXPECT_EQ(PanelColour(b), std::stoi(text));
            }
        }
    }
}

// The driver's own synchronous call does not run handlers: changes that
// arrive while it waits are handled after it returns, from the event loop,
// in the order they were written.
TEST_F(SlotAgreementTest, ChangesArrivingDuringACallAreHandledAfterItInOrder) {
    control->Send(ControlClient::Write(51, "first") + ControlClient::Write(51, "second") +
                 ControlClient::Write(52, "third"));
    ASSERT_TRUE(server->WaitUntil([&] { return Slot(52) == "third"; }, 5000ms));
    EXPECT_EQ(info.getmode(), IFMODE_TXRX);  // the three changes are ahead of its reply
    EXPECT_TRUE(port->sent.empty());
    EXPECT_EQ(InfodriverRxCount, 0);

    ASSERT_TRUE(seam.PumpUntil([&] { return port->sent.size() == 3; }));
    EXPECT_EQ(port->sent[0], (Bytes{142, 1, 32, 'f', 'i', 'r', 's', 't', ' ', ' ', ' ', ' ', ' ', 0, 1}));
    EXPECT_EQ(port->sent[1], (Bytes{142, 1, 32, 's', 'e', 'c', 'o', 'n', 'd', ' ', ' ', ' ', ' ', 0, 1}));
    EXPECT_EQ(port->sent[2], (Bytes{142, 1, 32, 't', 'h', 'i', 'r', 'd', ' ', ' ', ' ', ' ', ' ', 0, 2}));
    EXPECT_EQ(SlotNow(51), "second");
}

// Another client writing 100,000 slots outside the driver's blocks leaves
// the mirror within its bound, and the driver's own slots are still followed.
TEST_F(SlotAgreementTest, OtherClientsSlotsCannotFillTheMirror) {
    constexpr int kOther = 100000;
    Settings.DebugMode = 0;  // each of those changes would log "invalid panel"
    const int received = InfodriverRxCount;
    std::thread writer([this] {
        std::string burst;
        for (int i = 0; i < kOther; ++i) {
            burst += ControlClient::Write(10000 + i, "");
            if (burst.size() >= 64 * 1024 || i == kOther - 1) {
                control->Send(burst);
                burst.clear();
            }
        }
        control->Send(ControlClient::Write(51, "mine"));
    });
    const bool handled = seam.PumpUntil([&] { return InfodriverRxCount == received + kOther + 1; }, 60000ms);
    writer.join();
    ASSERT_TRUE(handled);
    EXPECT_LE(info.mirrorSize(), static_cast<size_t>(kMaxPanels * kSlotsPerPanel + 1));
    std::string text;
    EXPECT_TRUE(info.mirrored(51, &text));
    EXPECT_EQ(text, "mine");
    EXPECT_EQ(PanelLabel(1), PadLabel10("mine"));
}

}  // namespace
}  // namespace vorn
