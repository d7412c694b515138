// The install rules and the Debian package of this build tree: an install
// into a temporary prefix holds the programs, their manual pages, the units,
// the link document, the examples, the copyright file and the changelog;
// the units pass systemd-analyze verify where it exists; the package made by
// CPack lists the same files and lintian finds neither an error nor a
// warning in it (skipped without cpack or dpkg-deb; lintian where it exists).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/spawned_process.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::SpawnedProcess;

const std::string kBuildDir = VORN_BUILD_DIR;
const std::string kPrefix = VORN_INSTALL_PREFIX;

const std::vector<std::string> kPrograms = {"pellax-panel", "infodriver", "infoctl", "panelsim"};
const std::vector<std::string> kUnits = {"pellax-panel@.service", "vorn-infodriver@.service"};
const std::vector<std::string> kShared = {"infodriver-link.md", "connection-state.md", "DEV_001.ini.example",
                                          "70-vorn-com.rules"};
const std::vector<std::string> kDocs = {"doc/pellax-panel/copyright", "doc/pellax-panel/changelog.gz",
                                        "man/man1/pellax-panel.1.gz", "man/man1/infodriver.1.gz",
                                        "man/man1/infoctl.1.gz", "man/man1/panelsim.1.gz"};

// The path of a program on PATH, "" when there is none.
std::string Which(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Runs a program to its end within deadline; the exit code, -1000 on timeout.
int RunLong(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
            std::string* out, std::string* err, std::chrono::milliseconds deadline,
            const SpawnedProcess::EnvChanges& env = {}) {
    SpawnedProcess p;
    if (!p.Start(program, args, env, dir)) return -1001;
    std::optional<int> code = p.Wait(deadline);
    if (out != nullptr) *out = p.Stdout();
    if (err != nullptr) *err = p.Stderr();
    return code.value_or(-1000);
}

bool Executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0111;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(InstallPackageTest, InstallIntoATemporaryPrefixHoldsEveryFile) {
    test::TempDir dir;
    const std::string prefix = dir.path() + "/prefix";
    std::string out, err;
    ASSERT_EQ(RunLong(Which("cmake"), {"--install", kBuildDir, "--prefix", prefix}, dir.path(), &out, &err, 120s), 0)
        << out << err;
    for (const std::string& p : kPrograms) EXPECT_TRUE(Executable(prefix + "/bin/" + p)) << p;
    for (const std::string& f : kShared) EXPECT_TRUE(test::FileExists(prefix + "/share/pellax-panel/" + f)) << f;
    for (const std::string& f : kDocs) EXPECT_TRUE(test::FileExists(prefix + "/share/" + f)) << f;

    const std::string unitDir = prefix + "/lib/systemd/system/";
    const std::string driverUnit = test::ReadFile(unitDir + "pellax-panel@.service");
    const std::string infoUnit = test::ReadFile(unitDir + "vorn-infodriver@.service");
    for (const char* line : {"Type=notify\n", "WatchdogSec=", "Restart=always\n",
                             "Requires=vorn-infodriver@%i.service\n", "After=vorn-infodriver@%i.service",
                             "Environment=VORN_INFODRIVER_DIR=/run/vorn/%i\n"}) {
        EXPECT_TRUE(Contains(driverUnit, line)) << line;
    }
    EXPECT_TRUE(Contains(driverUnit, "ExecStart=" + kPrefix + "/bin/pellax-panel %i\n")) << driverUnit;
    EXPECT_TRUE(Contains(driverUnit, "ExecReload=" + kPrefix + "/bin/pellax-panel --check-config %i\n"));
    EXPECT_TRUE(Contains(infoUnit, "ExecStart=" + kPrefix + "/bin/infodriver --state ")) << infoUnit;
    EXPECT_TRUE(Contains(infoUnit, "Environment=VORN_INFODRIVER_DIR=/run/vorn/%i\n"));
    EXPECT_FALSE(Contains(driverUnit + infoUnit, "@VORN_")) << "every placeholder filled in";

    // The units as systemd reads them, with the programs where this install
    // put them (verify checks that ExecStart exists).
    const std::string analyze = Which("systemd-analyze");
    if (analyze.empty()) {
        std::printf("systemd-analyze not found: units not verified\n");
        return;
    }
    const std::string verifyDir = dir.path() + "/verify";
    mkdir(verifyDir.c_str(), 0700);
    std::vector<std::string> instances;
    for (const std::string& unit : kUnits) {
        std::string text = (unit == kUnits[0]) ? driverUnit : infoUnit;
        for (size_t at; (at = text.find(kPrefix + "/bin/")) != std::string::npos;) {
            text.replace(at, kPrefix.size(), prefix);
        }
        const std::string instance = verifyDir + "/" + unit.substr(0, unit.find('@') + 1) + "7.service";
        test::WriteFile(instance, text);
        instances.push_back(instance);
    }
    std::vector<std::string> args = {"verify"};
    args.insert(args.end(), instances.begin(), instances.end());
    const int code = RunLong(analyze, args, dir.path(), &out, &err, 120s, {{"SYSTEMD_UNIT_PATH", verifyDir + ":"}});
    EXPECT_EQ(code, 0) << out << err;
    EXPECT_EQ(out + err, "") << "no warnings about the units";
}

TEST(InstallPackageTest, DebianPackageListsEveryFile) {
    const std::string cpack = Which("cpack");
    const std::string dpkgDeb = Which("dpkg-deb");
    if (cpack.empty() || dpkgDeb.empty()) GTEST_SKIP() << "cpack or dpkg-deb missing";
    test::TempDir dir;
    std::string out, err;
    // Packaged under /usr, as scripts/package does, whatever this tree's
    // prefix: lintian judges a package by the paths Debian uses.
    ASSERT_EQ(RunLong(cpack,
                      {"-G", "DEB", "--config", kBuildDir + "/CPackConfig.cmake", "-B", dir.path(), "-D",
                       "CPACK_PACKAGING_INSTALL_PREFIX=/usr"},
                      dir.path(), &out, &err, 280s),
              0)
        << out << err;
    std::string deb;
    const size_t at = out.find(dir.path() + "/pellax-panel_");
    ASSERT_NE(at, std::string::npos) << out;
    deb = out.substr(at, out.find(".deb", at) + 4 - at);

    ASSERT_EQ(RunLong(dpkgDeb, {"-c", deb}, dir.path(), &out, &err, 60s), 0) << err;
    const std::string root = "./usr";
    for (const std::string& p : kPrograms) EXPECT_TRUE(Contains(out, root + "/bin/" + p + "\n")) << p << "\n" << out;
    for (const std::string& u : kUnits) EXPECT_TRUE(Contains(out, root + "/lib/systemd/system/" + u + "\n")) << u;
    for (const std::string& f : kShared) EXPECT_TRUE(Contains(out, root + "/share/pellax-panel/" + f + "\n")) << f;
    for (const std::string& f : kDocs) EXPECT_TRUE(Contains(out, root + "/share/" + f + "\n")) << f;

    ASSERT_EQ(RunLong(dpkgDeb, {"-I", deb}, dir.path(), &out, &err, 60s), 0) << err;
    EXPECT_TRUE(Contains(out, "Package: pellax-panel\n")) << out;
    EXPECT_TRUE(Contains(out, "libqt6httpserver6")) << "dependencies from the programs' libraries\n" << out;
    EXPECT_TRUE(Contains(out, "libsystemd0")) << out;
    EXPECT_TRUE(Contains(out, " postinst")) << out;

    const std::string lintian = Which("lintian");
    if (lintian.empty()) {
        std::printf("lintian not found: package not checked\n");
        return;
    }
    RunLong(lintian, {deb}, dir.path(), &out, &err, 240s);
    EXPECT_EQ(out, "") << "lintian: no error and no warning";
}

}  // namespace
}  // namespace vorn
