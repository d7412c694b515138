#include "device_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn {

bool DeviceSocket::EnsurePrivateDirectory(const std::string& dir, std::string* error) {
    // Create missing parents one by one (bounded by the path's length).
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create directory " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "socket directory " + dir + " is not a directory";
        return false;
    }
    if (st.st_uid != getuid()) {
        *error = "socket directory " + dir + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) {
        *error = "cannot restrict socket directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool DeviceSocket::Bind(const std::string& dir, int device, const ServerLog& log, std::string* error) {
    path_ = dir + "/infodriver-" + std::to_string(device) + ".sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) {
        *error = "socket path " + path_ + " is too long";
        return false;
    }
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    auto* sa = reinterpret_cast<sockaddr*>(&addr);

    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path_ + " exists and is not a socket";
            return false;
        }
        // A socket file: live if somebody accepts on it, stale otherwise.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            *error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        int rc = connect(probe, sa, sizeof addr);
        int err = errno;
        close(probe);
        if (rc == 0) {
            *error = "device " + std::to_string(device) + " already served";
            return false;
        }
        if (err != ECONNREFUSED) {
            *error = "cannot check existing socket " + path_ + ": " + std::strerror(err);
            return false;
        }
        if (unlink(path_.c_str()) != 0) {
            *error = "cannot remove stale socket " + path_ + ": " + std::strerror(errno);
            return false;
        }
        log("removed stale socket " + path_);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(fd, sa, sizeof addr) != 0) {
        int err = errno;
        close(fd);
        *error = err == EADDRINUSE ? "device " + std::to_string(device) + " already served"
                                   : "cannot bind " + path_ + ": " + std::strerror(err);
        return false;
    }
    // The directory is 0700 already; the socket itself is owner-only too.
    if (chmod(path_.c_str(), 0600) != 0 || listen(fd, 64) != 0 || stat(path_.c_str(), &st) != 0) {
        *error = "cannot set up " + path_ + ": " + std::strerror(errno);
        close(fd);
        unlink(path_.c_str());
        return false;
    }
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    bound_ = true;
    return true;
}

void DeviceSocket::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void DeviceSocket::Remove() {
    Close();
    struct stat st {};
    if (bound_ && lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) unlink(path_.c_str());
    bound_ = false;
}

}  // namespace vorn
