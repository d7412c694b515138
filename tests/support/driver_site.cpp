#include "support/driver_site.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "support/wait_until.h"

namespace vorn::test {

DriverSite::DriverSite(int device) : device(device) {
    for (const char* sub : {"/sock", "/com", "/sys", "/sys/config", "/sys/config/system", "/sys/logs"}) {
        if (mkdir((path() + sub).c_str(), 0700) != 0) {
            throw std::runtime_error(path() + sub + ": " + std::strerror(errno));
        }
    }
    env = {{"QX_ROOT", path()},
           {"QX_SYSTEM", "sys"},
           {"VORN_COM_DIR", path() + "/com"},
           {"VORN_INFODRIVER_DIR", path() + "/sock"},
           {"QT_QPA_PLATFORM", "offscreen"},
           {"NOTIFY_SOCKET", std::nullopt},
           {"WATCHDOG_USEC", std::nullopt},
           {"WATCHDOG_PID", std::nullopt}};
}

std::string DriverSite::SettingsPath() const {
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.ini", device);
    return path() + "/sys/config/system/" + name;
}

void DriverSite::WriteSettings(const std::string& text) const { WriteFile(SettingsPath(), text); }

bool DriverSite::StartDriver(SpawnedProcess& driver) const {
    return driver.Start(BinPath("pellax-panel"), {std::to_string(device)}, env, path());
}

std::vector<std::string> DriverSite::StartSimulator(PipedProcess& sim, const std::vector<std::string>& args) const {
    std::vector<std::string> panels;
    if (!sim.Start(BinPath("panelsim"), args, env, path())) return {};
    // "panel N tcp HOST PORT" or "panel N pty SLAVE LINK" a panel, then
    // "ready". No more panels than arguments: more lines are a failure.
    for (size_t i = 0; i <= args.size(); ++i) {
        const std::optional<std::string> line = sim.ReadLine(std::chrono::seconds(10));
        if (!line) return {};
        if (*line == "ready") return panels;
        std::istringstream words(*line);
        std::string panel, number, kind, first, second;
        words >> panel >> number >> kind >> first >> second;
        panels.push_back(kind == "tcp" ? second : first);
    }
    return {};
}

std::string DriverSite::Infoctl(const std::vector<std::string>& args, int* code) const {
    std::vector<std::string> all = {std::to_string(device)};
    all.insert(all.end(), args.begin(), args.end());
    std::string out;
    const int exit = SpawnedProcess::Run(BinPath("infoctl"), all, env, path(), &out);
    if (code != nullptr) *code = exit;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string DriverSite::Get(int slot) const { return Infoctl({"get", std::to_string(slot)}); }

void DriverSite::Set(int slot, const std::string& text) const {
    int code = 0;
    Infoctl({"set", std::to_string(slot), text}, &code);
    EXPECT_EQ(code, 0) << "infoctl set " << slot << " " << text;
}

bool DriverSite::WaitForSlot(int slot, const std::string& text, std::chrono::milliseconds deadline) const {
    return WaitUntil([&] { return Get(slot) == text; }, deadline);
}

std::string ButtonJson(const std::string& dump, int n) {
    const size_t at = dump.find("{\"n\":" + std::to_string(n) + ",");
    if (at == std::string::npos) return "";
    const size_t end = dump.find('}', at);
    return end == std::string::npos ? "" : dump.substr(at, end + 1 - at);
}

bool ButtonShows(const std::string& dump, int n, const std::string& part) {
    return ButtonJson(dump, n).find(part) != std::string::npos;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace vorn::test
