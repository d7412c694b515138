#pragma once
// A driver's site in a fresh directory, for tests that run the executables
// as processes: the directories they look in (sock/ for the Infodriver's
// socket, com/ for COM links, sys/config/system/ for the settings files,
// sys/logs/), the environment that names them, the settings file of one
// device, and its slots through infoctl. Children started here run in the
// directory and leave their output files there. Declare a site before the
// children that use it: it is removed at scope end, with everything in it.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "support/piped_process.h"
#include "support/spawned_process.h"
#include "support/temp_dir.h"

namespace vorn::test {

class DriverSite {
public:
    // Throws std::runtime_error when a directory cannot be made.
    explicit DriverSite(int device = 1);

    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

    // The device of the settings file, of StartDriver and of infoctl.
    int device;
    // For every child: QX_ROOT, QX_SYSTEM, VORN_COM_DIR, VORN_INFODRIVER_DIR
    // naming the site, QT_QPA_PLATFORM=offscreen, and no NOTIFY_SOCKET or
    // WATCHDOG_* of the test run's own (a driver must never notify the
    // service manager that runs the tests). A test may change it before it
    // starts children.
    SpawnedProcess::EnvChanges env;

    // sys/config/system/DEV_nnn.ini of the device.
    std::string SettingsPath() const;
    void WriteSettings(const std::string& text) const;

    // pellax-panel DEVICE; false (the reason in driver.error()) when the
    // spawn failed.
    bool StartDriver(SpawnedProcess& driver) const;
    // panelsim with args, read up to its "ready": for each panel in order,
    // the TCP port or the pty's slave path it announced. Empty when the
    // simulator did not start or a line of it took more than 10 s.
    std::vector<std::string> StartSimulator(PipedProcess& sim, const std::vector<std::string>& args) const;

    // infoctl DEVICE args: its standard output without the last newline;
    // code receives the exit code.
    std::string Infoctl(const std::vector<std::string>& args, int* code = nullptr) const;
    std::string Get(int slot) const;
    // A write infoctl reports as failed is a test failure.
    void Set(int slot, const std::string& text) const;
    // Reads the slot (through infoctl) until it holds text or the deadline passes.
    bool WaitForSlot(int slot, const std::string& text,
                     std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;

private:
    TempDir dir_;
};

// The JSON object of button n in a simulator dump, "" when missing (the
// labels of these tests hold no braces).
std::string ButtonJson(const std::string& dump, int n);
// Whether that object contains part.
bool ButtonShows(const std::string& dump, int n, const std::string& part);
// Times part occurs in text (a log, a dump).
size_t Occurrences(const std::string& text, const std::string& part);

}  // namespace vorn::test
