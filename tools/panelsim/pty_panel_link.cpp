#include "pty_panel_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vorn::sim {

namespace {

std::string DefaultComDir() {
    const char* dir = std::getenv("VORN_COM_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/dev/vorn";
}

std::string ReadLink(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Makes path -> target, replacing an existing symlink atomically (a new link
// under a temporary name, then rename). False with the reason otherwise.
bool MakeLink(const std::string& target, const std::string& path, std::string& error) {
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = path + " exists and is not a symlink; left alone";
        return false;
    }
    const std::string temp = path + ".panelsim." + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) {
        error = "cannot make symlink " + path + ": " + std::strerror(errno);
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot make symlink " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// A new pseudo-terminal, its line set raw: the master's descriptor (and the
// slave's path in name), or -1 with the reason in error.
int MakePty(std::string& name, std::string& error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return -1;
    }
    char path[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof path) != 0) {
        error = std::string("pseudo-terminal setup: ") + std::strerror(errno);
        close(master);
        return -1;
    }
    // Open the slave once: the line is set raw there, so that bytes of 130
    // and above pass unchanged and nothing is echoed back to the driver
    // before it sets the line itself; and after this first close the master
    // reports a hang-up until the driver opens the line (a master whose
    // slave was never opened does not).
    const int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = std::string("cannot open ") + path + ": " + std::strerror(errno);
        close(master);
        return -1;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    close(slave);
    name = path;
    return master;
}

}  // namespace

std::unique_ptr<PtyPanelLink> PtyPanelLink::Open(const std::string& linkName, const std::string& linkDir,
                                                 std::string& error) {
    std::string name;
    const int master = MakePty(name, error);
    if (master < 0) return nullptr;
    std::unique_ptr<PtyPanelLink> link(new PtyPanelLink(master, name));
    if (!linkName.empty()) {
        const std::string dir = linkDir.empty() ? DefaultComDir() : linkDir;
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot make directory " + dir + ": " + std::strerror(errno);
            return nullptr;
        }
        const std::string path = dir + "/" + linkName;
        if (!MakeLink(link->slavePath_, path, error)) return nullptr;
        link->linkPath_ = path;
    }
    link->Probe(Clock::now());
    return link;
}

PtyPanelLink::~PtyPanelLink() { Close(); }

std::string PtyPanelLink::Where() const { return slavePath_ + " " + (linkPath_.empty() ? "-" : linkPath_); }

void PtyPanelLink::AddPollFds(std::vector<pollfd>& fds) const {
    if (master_ >= 0 && connected_ && !paused_) fds.push_back({master_, POLLIN, 0});
}

void PtyPanelLink::OnReady(int fd, short revents) {
    if (fd < 0 || fd != master_ || revents == 0 || !connected_) return;
    uint8_t buf[kReadChunk];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
        if (callbacks_.bytes) callbacks_.bytes({buf, static_cast<std::size_t>(n)});
    } else if (n == 0 || errno == EIO) {
        // EIO: the last slave descriptor was closed (data written before the
        // close has been read by the turns before this one).
        SetConnected(false, "line closed by the driver");
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        SetConnected(false, std::string("read error: ") + std::strerror(errno));
    }
}

PanelLink::Clock::time_point PtyPanelLink::NextTimer() const {
    if (master_ < 0 || connected_) return Clock::time_point::max();
    return lastProbe_ + kProbePeriod;
}

void PtyPanelLink::OnTimer(Clock::time_point now) {
    if (master_ >= 0 && !connected_ && now >= lastProbe_ + kProbePeriod) Probe(now);
}

void PtyPanelLink::Probe(Clock::time_point now) {
    lastProbe_ = now;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 0) < 0) return;
    const bool open = (p.revents & POLLHUP) == 0;
    if (open != connected_) SetConnected(open, open ? "line opened by the driver" : "line closed");
}

void PtyPanelLink::SetConnected(bool connected, std::string_view why) {
    connected_ = connected;
    if (callbacks_.state) callbacks_.state(connected, why);
}

bool PtyPanelLink::Send(std::span<const uint8_t> bytes, std::string& error) {
    if (master_ < 0 || !connected_) {
        error = "not connected (line not open)";
        return false;
    }
    return WriteAll(master_, false, bytes, error) == WriteEnd::kAll;
}

bool PtyPanelLink::Drop(std::string& error) {
    if (master_ < 0 || !connected_) {
        error = "not connected (line not open)";
        return false;
    }
    // The new line first, so that a failure leaves the old one as it was;
    // then the COM link moves to it, and only then the old line hangs up.
    std::string name;
    const int master = MakePty(name, error);
    if (master < 0) return false;
    if (!linkPath_.empty() && !MakeLink(name, linkPath_, error)) {
        close(master);
        return false;
    }
    close(master_);
    master_ = master;
    slavePath_ = name;
    lastProbe_ = Clock::now();
    SetConnected(false, "dropped by command; the line is now " + name);
    return true;
}

void PtyPanelLink::Close() {
    if (!linkPath_.empty() && ReadLink(linkPath_) == slavePath_) unlink(linkPath_.c_str());
    linkPath_.clear();
    if (master_ >= 0) close(master_);
    master_ = -1;
    connected_ = false;
}

}  // namespace vorn::sim
