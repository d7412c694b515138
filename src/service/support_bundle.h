#pragma once
// The support bundle: one gzip tar an operator sends when a panel
// misbehaves. It holds, under "pellax-support-<device>-<date>-<time>/":
//   settings/<settings file>   with the value of StatusHttpToken blanked
//   logs/<log files>           the daily log files of today and yesterday
//                              (each at most its last kLogBytesMax bytes)
//   status.json                the status page's JSON
//   traffic.txt                the traffic rings of every panel
//                              (protocol/traffic_text.h; panelsim --replay reads it)
//   version.txt                version, build, device, paths, origin
// The running driver makes it for GET /support.tar.gz from its state now;
// "pellax-panel --support-bundle N FILE" makes it from the files, with the
// status and traffic that the driver wrote beside its log files when it
// last stopped (SaveStopRecords).
//
// GUI thread (it reads the panel table and the rings); the command line
// form runs before the driver exists.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "service/tar_gz_stream.h"

namespace vorn {

constexpr std::uint64_t kLogBytesMax = 32ull * 1024 * 1024;

// The files written beside the log files at a stop (in LogDir).
std::string TrafficFilePath(int device);
std::string StatusFilePath(int device);

// The rings of every panel as text: a header naming the panels, then one
// line per record, each panel's oldest first.
std::string RenderTrafficText(int device);

// At a stop: the traffic text and statusJson ("" : none) written, each
// replacing its file at once, beside the log files. False when one could
// not be written.
bool SaveStopRecords(const std::string& statusJson);

// The settings file's bytes with every StatusHttpToken value (any section,
// any case of the key) emptied.
std::string SettingsWithoutToken(std::string_view bytes);

struct SupportBundleParts {
    int device = 0;
    bool live = false;        // the running driver (status and traffic of now)
    std::string statusJson;   // live: the status now
    std::string trafficText;  // live: the rings now
    std::time_t now = 0;
};

// The bundle, ready to be produced piece by piece. ResolvePaths must have
// run for the device (ConfigDir, LogDir).
std::unique_ptr<TarGzStream> MakeSupportBundle(const SupportBundleParts& parts);
// "pellax-support-1-20261208-212503.tar.gz"
std::string SupportBundleName(int device, std::time_t now);

// pellax-panel --support-bundle N FILE: writes the bundle of device N from
// its files; the exit code (0 done, 1 failed, 2 bad arguments), messages on
// standard error.
int SupportBundleCommand(int argc, char** argv);

}  // namespace vorn
