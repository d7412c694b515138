// The receive path on a configured panel: blocks of bytes reach panel n
// (through ParsePanelData, or through its link's data events on a fake TCP
// or serial port, with line closes and reconnections in between); every
// slot the driver writes lies in panel n's own block, is a button,
// joystick or connection state, and holds "0" or "1"; the other eleven panels (same address byte, so the
// bytes would be valid for them too) keep their state and are sent nothing.
//
// The driver's Infodriver client talks to a stub on a Unix socket: a thread
// answers the attach once at start-up; after that the target itself reads
// what the client wrote after each input, so a run needs no other thread.
// Every slot of the twelve blocks is written once at start-up, so the
// client's mirror knows them all and no call ever waits for an answer.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "fuzz_support.h"
#include "panels/info_client.h"
#include "panels/panel_connections.h"
#include "panels/panel_table.h"
#include "panels/receive_path.h"
#include "support/fake_ports.h"
#include "support/fake_seam.h"
#include "transport/extinfo.h"
#include "transport/info_frame.h"

namespace {

using namespace vorn;
using vorn::test::FakeNetPort;
using vorn::test::FakeSerialPort;

constexpr int kDevice = 1;
const char* const kTypes[] = {"CP-1000E", "CP-2032E", "CP-2048E", "CP-3201E", "CP-6401E", "CP-1604"};

void Fail(const char* what) {
    std::fprintf(stderr, "receive_path_fuzz: set-up failed: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

// Reads one frame from a blocking descriptor (set-up only).
bool ReadFrame(int fd, InfoFrameReader& reader, InfoFrame& frame) {
    for (;;) {
        if (reader.Next(frame) == InfoFrameReader::Result::kFrame) return true;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        reader.Append(buf, static_cast<size_t>(n));
    }
}

void SendFrame(int fd, const InfoFrame& frame) {
    const std::string bytes = EncodeInfoFrame(frame);
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) Fail("stub write");
}

struct World {
    test::FakeSeam seam;
    extinfo info{kInfoInterfaceVersion};  // the driver's client, bound for the panel layer
    int stub = -1;             // the stub's end of the client's connection
    InfoFrameReader reader;    // what the client wrote, cut into frames
    FakeNetPort* tcp[kMaxPanels + 1] = {};
    FakeSerialPort* serial[kMaxPanels + 1] = {};

    World() {
        char dirTemplate[] = "/tmp/receive-path-fuzz-XXXXXX";
        const char* dir = mkdtemp(dirTemplate);
        if (dir == nullptr) Fail("mkdtemp");
        static std::string removeAtExit;
        removeAtExit = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        setenv("VORN_INFODRIVER_DIR", dir, 1);
        ResetProcessState();
        ResetDiagnostics();
        SetSeam(&seam);
        BindInfoClient(&info);
        Settings.DebugMode = 1;
        Settings.LogMode = 1;  // log lines to a file in the temporary directory
        LogDir = std::string(dir) + "/logs";
        DeviceNumber = kDevice;

        const std::string path = InfoSocketPath(kDevice);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener, 1) != 0) {
            Fail("stub listen");
        }
        // The attach: XOV_INFOWINDOW, then the reply to XOV_DEVFIND.
        std::thread attach([&] {
            stub = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (stub < 0) Fail("stub accept");
            InfoFrame f;
            if (!ReadFrame(stub, reader, f) || f.message != XOV_DEVFIND) Fail("stub handshake");
            SendFrame(stub, InfoFrame{XOV_INFOWINDOW, 0, 0, 1, 0, ""});
            SendFrame(stub, InfoFrame{XOV_DEVFIND, f.id, kInfoFlagReply, 1, 0, ""});
        });
        const int connected = info.connect(kDevice, nullptr);
        attach.join();
        close(listener);
        if (connected != kInfoSlotChanged) Fail("client attach");
        if (fcntl(stub, F_SETFL, O_NONBLOCK) != 0) Fail("fcntl");
        for (int slot = 1; slot <= kMaxPanels * kSlotsPerPanel; ++slot) {
            info.setslot(slot, "0");
            if (slot % 500 == 0) Drain(nullptr);
        }
        Drain(nullptr);
    }

    // Reads what the client has written; each slot write goes to check.
    template <typename Check>
    void Drain(Check check) {
        char buf[65536];
        // Bounded: the client wrote a finite amount before this call.
        for (;;) {
            const ssize_t n = read(stub, buf, sizeof buf);
            if (n <= 0) break;
            reader.Append(buf, static_cast<size_t>(n));
        }
        InfoFrame f;
        while (reader.Next(f) == InfoFrameReader::Result::kFrame) {
            // A request would wait for an answer that never comes.
            FUZZ_CHECK(f.id == 0);
            if constexpr (!std::is_same_v<Check, std::nullptr_t>) check(f);
        }
        FUZZ_CHECK(!reader.Failed());
    }
};

World& TheWorld() {
    static World* world = new World();
    return *world;
}

// Every panel in use with the same type and address byte; TCP or serial on
// fake ports, connected or not. The driver-wide values are reset once; each
// input starts from fresh records, so that none depends on an earlier one.
void Configure(World& w, int type, int commsId, bool connected, uint32_t serialMask) {
    static bool reset = false;
    if (!reset) ResetPanelTable();
    reset = true;
    PanelCount = 0;
    for (int n = 1; n <= kMaxPanels; ++n) {
        PanelRecord& p = Panels[n];
        ResetPanelRecord(n);
        p.InUse = 1;
        p.CommsId = commsId;
        p.PanelId = "panel" + std::to_string(n);
        ApplyPanelType(p, kTypes[type]);
        p.ListIndex = ++PanelCount;
        w.tcp[n] = nullptr;
        w.serial[n] = nullptr;
        if ((serialMask >> n) & 1) {
            p.IpAddress = "0.0.0.0";
            p.ComPort = n;
            auto port = std::make_unique<FakeSerialPort>();
            w.serial[n] = port.get();
            InstallPanelLink(n, std::make_unique<SerialPanelLink>(n, std::move(port)));
            p.Link->Open();
        } else {
            p.IpAddress = "10.0.0." + std::to_string(n);
            p.Port = 2001;
            auto port = std::make_unique<FakeNetPort>();
            w.tcp[n] = port.get();
            InstallPanelLink(n, std::make_unique<TcpPanelLink>(p.IpAddress, p.Port, std::move(port)));
            w.tcp[n]->sock = 99;  // connected
        }
        p.Connected = connected ? 1 : 0;
    }
}

// What must not move on a panel that receives nothing.
struct Snapshot {
    int connected, refresh, lastButton, rxCount, aliveSeen, flash;
    size_t carry;
    bool operator==(const Snapshot&) const = default;
};
Snapshot Snap(const PanelRecord& p) {
    return {p.Connected, p.RefreshPending, p.LastButton, p.RxCount, p.AliveSeen, p.FlashButton, p.RxTail.Size()};
}

// The line of the panel goes, or comes back as after a reconnection.
void LineEvent(World& w, int n) {
    if (FakeSerialPort* port = w.serial[n]) {
        if (port->isOpen != 0) {
            port->HangUp();
        } else {
            Panels[n].Link->Open();
        }
    } else if (w.tcp[n]->sock != NetPort::kNoSocket) {
        w.tcp[n]->Raise(NetPort::kFdClose);
    } else {
        w.tcp[n]->sock = 99;
        w.tcp[n]->Raise(NetPort::kFdConnect);
    }
}

// Frames sent to panel n, its link's pending output included.
size_t SentFrames(const World& w, int n) {
    return w.tcp[n] != nullptr ? test::Frames(*w.tcp[n]).size() : test::Frames(*w.serial[n]).size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = TheWorld();
    FuzzedDataProvider in(data, size);
    const int panel = in.ConsumeIntegralInRange<int>(1, kMaxPanels);
    const int type = in.ConsumeIntegralInRange<int>(0, 5);
    const int commsId = in.ConsumeIntegralInRange<int>(0, 64);
    const bool connected = in.ConsumeBool();
    const uint32_t serialMask = in.ConsumeIntegral<uint32_t>();
    const bool throughLink = in.ConsumeBool();
    Settings.RefreshOnConnection = in.ConsumeBool() ? 1 : 0;
    ShowAllMessages = in.ConsumeBool() ? 1 : 0;
    ChosenPanel = in.ConsumeIntegralInRange<int>(0, kMaxPanels);
    const uint32_t lineErrors = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : 0;
    // Through the link: bit i set puts a line event in front of block i (a
    // close, or a new connection or opening when the line is closed).
    const uint32_t events = in.ConsumeIntegral<uint32_t>();

    Configure(w, type, commsId, connected, serialMask);
    // The status slot starts at "0" on every input, so that what the
    // client's mirror holds does not depend on earlier inputs.
    Info().setslot(PanelStatusSlot(Panels[panel]), "0");
    w.Drain(nullptr);
    // The recording seam keeps everything; only this input's part is needed.
    w.seam.fieldHistory.clear();
    w.seam.debugLines.clear();
    w.seam.timerStarts.clear();
    w.seam.timerStops.clear();

    Snapshot before[kMaxPanels + 1];
    for (int n = 1; n <= kMaxPanels; ++n) before[n] = Snap(Panels[n]);

    const bool serial = w.serial[panel] != nullptr;
    const vorn::fuzz::SplitStream s = vorn::fuzz::TakeSplitStream(in, throughLink ? 600 : (serial ? 256 : 64));
    for (size_t i = 0; i < s.blocks.size(); ++i) {
        const vorn::fuzz::Bytes& block = s.blocks[i];
        if (throughLink && i < 32 && ((events >> i) & 1) != 0) LineEvent(w, panel);
        if (!throughLink) {
            ParsePanelData(block.data(), block.size(), panel);
        } else if (serial) {
            w.serial[panel]->Feed(block);
            w.serial[panel]->errorFlags = lineErrors;
            w.serial[panel]->Notify();
        } else if (w.tcp[panel]->sock != NetPort::kNoSocket) {
            w.tcp[panel]->Feed(block);
            w.tcp[panel]->Raise(NetPort::kFdRead);
        }
    }

    const int first = Panels[panel].SlotOffset + 1;
    const int last = Panels[panel].SlotOffset + kPanelStatusOffset;
    size_t presses = 0;
    w.Drain([&](const InfoFrame& f) {
        if (f.message != XOV_SLOTWRITE && f.message != XOV_SLOTWRITENEG) return;
        // Only the panel's own block, and only states.
        FUZZ_CHECK(f.wParam >= first && f.wParam <= last);
        FUZZ_CHECK(f.text == "0" || f.text == "1");
        // Button states (above 50 only on a panel with that many buttons),
        // joysticks and the connection state: nothing else.
        const int offset = f.wParam - Panels[panel].SlotOffset;
        FUZZ_CHECK(offset <= std::max(kLabelOffset, Panels[panel].ButtonCount) ||
                   (offset >= kJoystickOffset && offset <= kJoystickLastOffset) || offset == kPanelStatusOffset);
        if (offset == kPanelStatusOffset || f.text != "1") return;
        ++presses;
    });
    // A press or joystick action takes four bytes of the stream.
    FUZZ_CHECK(presses <= s.stream.size() / 4);

    for (int n = 1; n <= kMaxPanels; ++n) {
        if (n == panel) continue;
        FUZZ_CHECK(Snap(Panels[n]) == before[n]);
        FUZZ_CHECK(SentFrames(w, n) == 0);
    }
    return 0;
}
