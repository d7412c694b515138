#include "slot_state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

namespace vorn {

namespace {

constexpr std::string_view kHeader = "vorn-infodriver-state 1";

template <typename T>
bool ParseInt(std::string_view s, T& out) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::string SlotStateFile::Escape(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += ch;
        }
    }
    return out;
}

bool SlotStateFile::Unescape(std::string_view escaped, std::string& out) {
    out.clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
        auto c = static_cast<unsigned char>(escaped[i]);
        if (c < 0x20 || c == 0x7F) return false;  // raw control bytes never come from Escape
        if (c != '\\') {
            out += escaped[i];
            continue;
        }
        if (i + 1 < escaped.size() && escaped[i + 1] == '\\') {
            out += '\\';
            i += 1;
        } else if (i + 3 < escaped.size() && escaped[i + 1] == 'x' && HexValue(escaped[i + 2]) >= 0 &&
                   HexValue(escaped[i + 3]) >= 0) {
            out += static_cast<char>(HexValue(escaped[i + 2]) * 16 + HexValue(escaped[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

SlotStateFile::LoadResult SlotStateFile::Load(SlotTable& table, std::string& message) {
    table.clear();
    message.clear();
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return LoadResult::kMissing;
        message = "cannot open state file " + path_ + ": " + std::strerror(errno);
        return LoadResult::kFailed;
    }
    std::string content;
    std::string problem;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        message = "state file " + path_ + " is not a regular file";
        return LoadResult::kFailed;
    }
    if (static_cast<uintmax_t>(st.st_size) > kMaxFileBytes) {
        problem = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
    } else {
        char buf[65536];
        // Bounded by the size check above plus whatever grew meanwhile, cut at the limit.
        while (content.size() <= kMaxFileBytes) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                message = "cannot read state file " + path_ + ": " + std::strerror(errno);
                close(fd);
                return LoadResult::kFailed;
            }
            if (n == 0) break;
            content.append(buf, static_cast<size_t>(n));
        }
        if (content.size() > kMaxFileBytes) problem = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
    }
    close(fd);

    // Parse line by line; the first fault names the line.
    size_t records = 0;
    size_t lineNo = 0;
    bool ended = false;
    size_t pos = 0;
    while (problem.empty() && pos < content.size()) {
        size_t nl = content.find('\n', pos);
        ++lineNo;
        if (nl == std::string::npos) {
            problem = "line " + std::to_string(lineNo) + " is cut off";
            break;
        }
        std::string_view line(content.data() + pos, nl - pos);
        pos = nl + 1;
        if (ended) {
            problem = "data after the end line (line " + std::to_string(lineNo) + ")";
        } else if (lineNo == 1) {
            if (line != kHeader) problem = "unknown header";
        } else if (line.substr(0, 4) == "end ") {
            size_t count = 0;
            if (!ParseInt(line.substr(4), count) || count != records) {
                problem = "end line does not match the " + std::to_string(records) + " records";
            }
            ended = true;
        } else {
            size_t sp1 = line.find(' ');
            size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
            int device = 0;
            int32_t slot = 0;
            std::string text;
            if (sp2 == std::string_view::npos || !ParseInt(line.substr(0, sp1), device) || device <= 0 ||
                !ParseInt(line.substr(sp1 + 1, sp2 - sp1 - 1), slot) || !Unescape(line.substr(sp2 + 1), text) ||
                text.empty() || text.size() > kMaxText) {
                problem = "bad record on line " + std::to_string(lineNo);
            } else if (!table[device].emplace(slot, std::move(text)).second) {
                problem = "slot " + std::to_string(slot) + " of device " + std::to_string(device) +
                          " twice (line " + std::to_string(lineNo) + ")";
            } else {
                ++records;
            }
        }
    }
    if (problem.empty() && lineNo == 0) problem = "empty file";
    if (problem.empty() && !ended) problem = "no end line (file cut off)";
    if (problem.empty()) return LoadResult::kLoaded;

    table.clear();
    std::string error;
    std::string aside = SetAside(error);
    if (aside.empty()) {
        message = "state file " + path_ + " is damaged (" + problem + ") and could not be moved aside: " + error;
        return LoadResult::kFailed;
    }
    message = "state file " + path_ + " is damaged (" + problem + "); moved to " + aside + ", starting with no slots";
    return LoadResult::kDamaged;
}

std::string SlotStateFile::SetAside(std::string& error) const {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tmNow {};
    localtime_r(&now, &tmNow);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmNow);
    std::string base = path_ + ".damaged-" + stamp;
    // At most 100 tries for a free name; beyond that the directory is full of them.
    for (int n = 0; n < 100; ++n) {
        std::string name = n == 0 ? base : base + "-" + std::to_string(n);
        struct stat st {};
        if (lstat(name.c_str(), &st) == 0) continue;
        if (rename(path_.c_str(), name.c_str()) == 0) return name;
        error = std::strerror(errno);
        return "";
    }
    error = "no free name for " + base;
    return "";
}

bool SlotStateFile::Save(const SlotTable& table, std::string& error) const {
    std::string content(kHeader);
    content += '\n';
    size_t records = 0;
    for (const auto& [device, slots] : table) {
        for (const auto& [slot, text] : slots) {
            if (text.empty()) continue;
            content += std::to_string(device) + ' ' + std::to_string(slot) + ' ' + Escape(text) + '\n';
            ++records;
        }
    }
    content += "end " + std::to_string(records) + '\n';

    std::string temp = path_ + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    if (!WriteAll(fd, content) || fsync(fd) != 0) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    close(fd);
    if (rename(temp.c_str(), path_.c_str()) != 0) {
        error = "cannot rename " + temp + " to " + path_ + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    int dirFd = open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

}  // namespace vorn
