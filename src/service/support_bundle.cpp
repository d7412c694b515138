#include "service/support_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver_app.h"
#include "core/ascii_text.h"
#include "core/diagnostics.h"
#include "core/driver_state.h"
#include "core/settings.h"
#include "core/traffic_ring.h"
#include "core/version_info.h"
#include "panels/panel_table.h"
#include "protocol/traffic_text.h"

namespace vorn {

namespace {

constexpr std::size_t kSmallFileMax = 4 * 1024 * 1024;  // settings, status and traffic files

std::string LocalStamp(std::time_t t, const char* format) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

// A whole small file; false when it cannot be read or is too large.
bool ReadSmallFile(const std::string& path, std::string* out, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > kSmallFileMax) {
        *why = "not a regular file of at most 4 MiB";
        ::close(fd);
        return false;
    }
    out->clear();
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && out->size() <= kSmallFileMax) {
        out->append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// Writes bytes to path through a temporary file renamed over it.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = ::close(fd) == 0 && done == bytes.size();
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string PanelLine(int n, const PanelRecord& p) {
    char id[8];
    std::snprintf(id, sizeof id, "%02X", static_cast<unsigned>(p.CommsId) & 0xFF);
    std::string line = "# P" + std::string(n < 10 ? "0" : "") + std::to_string(n) + " " + p.PanelId + " " + p.TypeName;
    if (IsRealIpAddress(p.IpAddress)) {
        line += " tcp " + p.IpAddress + ":" + std::to_string(p.Port);
    } else if (p.ComPort >= 1) {
        line += " serial COM" + std::to_string(p.ComPort);
    }
    return line + " id " + id + "\n";
}

}  // namespace

std::string TrafficFilePath(int device) { return LogDir + "/pellax_traffic_" + std::to_string(device) + ".txt"; }
std::string StatusFilePath(int device) { return LogDir + "/pellax_status_" + std::to_string(device) + ".json"; }

std::string RenderTrafficText(int device) {
    std::string out = "# pellax-panel traffic of device " + std::to_string(device) + ", " + TrafficTime(TrafficClockUs()) +
                      "\n# The last frames sent to (TX) and blocks received from (RX) each panel, at most " +
                      std::to_string(TrafficRing::kEntries) +
                      " of each; times in UTC.\n"
                      "# Replay what a panel sent: panelsim --replay THIS-FILE --replay-panel N PANELSPEC\n";
    for (int n = 1; n <= kMaxPanels; ++n) {
        if (Panels[n].InUse != 0 || PanelTraffic(n).size() > 0) out += PanelLine(n, Panels[n]);
    }
    for (int n = 1; n <= kMaxPanels; ++n) {
        for (TrafficRecord& r : PanelTraffic(n).Records()) {
            out += FormatTrafficLine({n, r.timeUs, r.direction == TrafficDirection::kSent, std::move(r.bytes)});
            out += '\n';
        }
    }
    return out;
}

bool SaveStopRecords(const std::string& statusJson) {
    if (LogDir.empty()) return false;
    EnsureLogDirectory();
    bool ok = ReplaceFile(TrafficFilePath(DeviceNumber), RenderTrafficText(DeviceNumber));
    if (!statusJson.empty()) ok = ReplaceFile(StatusFilePath(DeviceNumber), statusJson) && ok;
    if (!ok) DebugMessage("Support - cannot write the traffic or status file in %s", LogDir.c_str());
    return ok;
}

std::string SettingsWithoutToken(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end == std::string_view::npos ? bytes.size() : end + 1);
        bytes.remove_prefix(line.size());
        const std::size_t eq = line.find('=');
        std::string_view key = eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
        while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
        if (EqualNoCase(key, "StatusHttpToken")) {
            out.append(line.substr(0, eq + 1));
            if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n") {
                out += "\r\n";
            } else if (line.back() == '\n') {
                out += '\n';
            }
        } else {
            out.append(line);
        }
    }
    return out;
}

std::string SupportBundleName(int device, std::time_t now) {
    return "pellax-support-" + std::to_string(device) + "-" + LocalStamp(now, "%Y%m%d-%H%M%S") + ".tar.gz";
}

std::unique_ptr<TarGzStream> MakeSupportBundle(const SupportBundleParts& parts) {
    auto tar = std::make_unique<TarGzStream>();
    std::string dir = SupportBundleName(parts.device, parts.now);
    dir = dir.substr(0, dir.size() - 7) + "/";  // without ".tar.gz"
    const std::string settingsName = SettingsFileName(parts.device);
    const std::string settingsPath = SettingsFilePath(settingsName);
    std::string bytes, why;
    if (ReadSmallFile(settingsPath, &bytes, &why)) {
        tar->AddText(dir + "settings/" + settingsName, SettingsWithoutToken(bytes), parts.now);
    } else {
        tar->AddText(dir + "settings/" + settingsName + ".unreadable", settingsPath + ": " + why + "\n", parts.now);
    }
    // Today's and yesterday's log (local dates, as the log files are named).
    std::string logNames;
    for (std::time_t day : {parts.now - 86400, parts.now}) {
        const std::string name = LocalStamp(day, "%Y%m%d") + "_child2_" + std::to_string(parts.device) + ".log";
        struct stat st{};
        if (::stat((LogDir + "/" + name).c_str(), &st) != 0) continue;
        tar->AddFile(dir + "logs/" + name, LogDir + "/" + name, kLogBytesMax);
        logNames += " " + name;
    }
    if (logNames.empty()) logNames = " none of today or yesterday (with LogMode=0 the lines go to standard error)";
    std::string origin;
    if (parts.live) {
        origin = "the running driver's status page";
        tar->AddText(dir + "status.json", parts.statusJson, parts.now);
        tar->AddText(dir + "traffic.txt", parts.trafficText, parts.now);
    } else {
        origin = "pellax-panel --support-bundle, from the files of the driver's last stop";
        for (const auto& [name, path] : {std::pair<std::string, std::string>{"status.json", StatusFilePath(parts.device)},
                                         {"traffic.txt", TrafficFilePath(parts.device)}}) {
            if (ReadSmallFile(path, &bytes, &why)) {
                tar->AddText(dir + name, bytes, parts.now);
            } else {
                tar->AddText(dir + name + ".missing", path + ": " + why + " (written when the driver stops)\n", parts.now);
            }
        }
    }
    char hostname[256] = "?";
    gethostname(hostname, sizeof hostname - 1);
    const std::string version = "pellax-panel " + DottedProductVersion() + "\nFile version " + FileVersionText() +
                                ", product version " + ProductVersionText() + "\nBuild " + BuildStampText() + "\n" +
                                CommentsText() + "\nDevice " + std::to_string(parts.device) + " on " + hostname +
                                "\nMade " + LocalStamp(parts.now, "%Y-%m-%d %H:%M:%S %z") + " by " + origin +
                                "\nSettings " + settingsPath + "\nLogs " + LogDir + ":" + logNames + "\n";
    tar->AddText(dir + "version.txt", version, parts.now);
    return tar;
}

int SupportBundleCommand(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("Usage: pellax-panel --support-bundle DEVICE FILE\n", stderr);
        return 2;
    }
    const int device = ParseDeviceNumber(argv[2]);
    if (device <= 0) {
        std::fprintf(stderr, "pellax-panel: '%s' is not a device number\n", argv[2]);
        return 2;
    }
    DeviceNumber = device;
    ResolvePaths();
    SupportBundleParts parts;
    parts.device = device;
    parts.now = std::time(nullptr);
    std::unique_ptr<TarGzStream> tar = MakeSupportBundle(parts);
    const std::string file = argv[3];
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "pellax-panel: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
        return 1;
    }
    std::uint64_t total = 0;
    bool ok = true;
    std::string chunk;
    for (bool more = true; more && ok;) {
        chunk.clear();
        more = tar->Produce(&chunk, 256 * 1024);
        for (std::size_t done = 0; done < chunk.size() && ok;) {
            const ssize_t n = ::write(fd, chunk.data() + done, chunk.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        total += chunk.size();
    }
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "pellax-panel: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "pellax-panel: support bundle of device %d in %s (%llu bytes)\n", device, file.c_str(),
                 static_cast<unsigned long long>(total));
    return 0;
}

}  // namespace vorn
