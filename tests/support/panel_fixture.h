#pragma once
// Fixture for tests of the panel logic: a recording seam, an Infodriver
// client of the test's own (bound for the panel layer) attached to a real
// reference Infodriver running in-process, an empty panel table, logs in a temporary directory, and helpers
// to configure panels on fake ports. Only tests named panels_*_test link the
// in-process server (see tests/CMakeLists.txt).

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "infodriver_server.h"
#include "panels/info_client.h"
#include "panels/panel_connections.h"
#include "panels/panel_table.h"
#include "support/fake_ports.h"
#include "support/fake_seam.h"
#include "support/temp_dir.h"
#include "transport/extinfo.h"

namespace vorn::test {

class PanelFixture : public ::testing::Test {
protected:
    static constexpr int kDevice = 1;

    void SetUp() override {
        ResetProcessState();
        ResetDiagnostics();
        SetSeam(&seam);
        ResetPanelTable();
        Settings.DebugMode = 1;
        Settings.LogMode = 1;  // keep test output quiet: lines go to a file
        LogDir = dir.path() + "/logs";
        DeviceNumber = kDevice;
        setenv("VORN_INFODRIVER_DIR", dir.path().c_str(), 1);
        InfodriverOptions options;
        options.devices = {kDevice};
        options.socketDir = dir.path();
        options.log = [](const std::string&) {};
        server = std::make_unique<InfodriverServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
        server->RunInThread();
        BindInfoClient(&info);
        info.setcounters(&InfodriverTxCount, &InfodriverRxCount);
        ASSERT_EQ(info.connect(kDevice, nullptr), 15);
    }

    void TearDown() override {
        info.disconnect();
        ResetPanelTable();
        BindInfoClient(nullptr);
        server.reset();
        ResetDiagnostics();
        SetSeam(nullptr);
        unsetenv("VORN_INFODRIVER_DIR");
    }

    // Slot text as the Infodriver holds it (server view, no client traffic).
    std::string Slot(int slot) const { return server->Slot(kDevice, slot); }
    // Slot text as the Infodriver answers the driver's client; readslot
    // always goes to the Infodriver, so every earlier write of ours has
    // arrived.
    std::string Read(int slot) {
        char buffer[kSlotTextMax + 1];
        info.readslot(slot, buffer);
        return buffer;
    }
    // The server's text once every earlier write of ours has reached it (a
    // read on the same link is answered after them).
    std::string SlotNow(int slot) {
        Read(slot);
        return Slot(slot);
    }

    // Configures panel n as a connected TCP panel of the given type on a fake
    // port, address 10.0.0.n; comPort only fills ComPort (the address wins).
    FakeNetPort* TcpPanel(int n, const std::string& type, int commsId, int comPort = 0) {
        PanelRecord& p = ConfiguredPanel(n, type, commsId, comPort, "10.0.0." + std::to_string(n));
        p.Port = 2001;
        auto port = std::make_unique<FakeNetPort>();
        FakeNetPort* raw = port.get();
        InstallPanelLink(n, std::make_unique<TcpPanelLink>(p.IpAddress, p.Port, std::move(port)));
        raw->sock = 99;  // connected
        return raw;
    }
    FakeSerialPort* SerialPanel(int n, const std::string& type, int commsId, int comPort) {
        PanelRecord& p = ConfiguredPanel(n, type, commsId, comPort, "0.0.0.0");
        auto port = std::make_unique<FakeSerialPort>();
        FakeSerialPort* raw = port.get();
        InstallPanelLink(n, std::make_unique<SerialPanelLink>(comPort, std::move(port)));
        p.Link->Open();
        return raw;
    }

    // Configures panel n as a TCP panel of the given type on a real link to
    // 127.0.0.1:port, not connected: the test connects it (ConnectToPanel).
    PanelRecord& LoopbackPanel(int n, const std::string& type, int commsId, int port) {
        PanelRecord& p = Panels[n];
        p.InUse = 1;
        p.IpAddress = "127.0.0.1";
        p.Port = port;
        p.ComPort = 0;
        p.CommsId = commsId;
        ApplyPanelType(p, type);
        InstallPanelLink(n, std::make_unique<TcpPanelLink>(p.IpAddress, p.Port));
        return p;
    }

    // Lines the driver logged so far (the debug list keeps them in order).
    bool Logged(const std::string& line) const { return seam.HasDebugLine(line); }

    FakeSeam seam;
    TempDir dir;
    std::unique_ptr<InfodriverServer> server;
    // The driver's Infodriver client, bound for the panel layer; a fresh one
    // for every test.
    extinfo info{kInfoInterfaceVersion};

private:
    // What TcpPanel and SerialPanel share: panel n in use, connected,
    // identity "panel<n>" / "desk <n>", the type applied and the next list
    // line; the caller adds the transport.
    PanelRecord& ConfiguredPanel(int n, const std::string& type, int commsId, int comPort,
                                 const std::string& address) {
        PanelRecord& p = Panels[n];
        p.InUse = 1;
        p.IpAddress = address;
        p.ComPort = comPort;
        p.CommsId = commsId;
        p.Connected = 1;
        p.PanelId = "panel" + std::to_string(n);
        p.Location = "desk " + std::to_string(n);
        ApplyPanelType(p, type);
        p.ListIndex = ++PanelCount;
        return p;
    }
};

}  // namespace vorn::test
