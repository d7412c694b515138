#include "core/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/ascii_text.h"

namespace vorn {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

enum class Kind { kOther, kSection, kEntry };

struct Parsed {
    Kind kind = Kind::kOther;
    std::string_view name;     // section name or key
    std::size_t valuePos = 0;  // entry: index just after '=' in the line
};

Parsed Classify(std::string_view line) {
    Parsed p;
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') return p;
    if (t.front() == '[') {
        // Every '[' line ends the section before it, even without ']', so
        // that a damaged header never lends its entries to that section.
        std::string_view rest = t.substr(1);
        std::size_t close = rest.find(']');
        p.kind = Kind::kSection;
        p.name = Trim(rest.substr(0, close));
        return p;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return p;
    p.kind = Kind::kEntry;
    p.name = Trim(line.substr(0, eq));
    p.valuePos = eq + 1;
    return p;
}

bool HasAny(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

const std::string_view kLineBreakers("\r\n\0", 3);

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool ValidName(std::string_view name) {
    return !name.empty() && !IsBlank(name.front()) && !IsBlank(name.back()) &&
           !HasAny(name, kLineBreakers);
}

}  // namespace

IniFile::LoadResult IniFile::Load(const std::string& path) {
    Parse({});
    loadError_.clear();
    auto fail = [this](LoadResult result, std::string reason) {
        loadError_ = std::move(reason);
        return result;
    };
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer; it is refused below as not a regular file. No effect on files.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) return LoadResult::kMissing;
        return fail(LoadResult::kUnreadable, std::strerror(err));
    }
    struct stat st{};
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return fail(LoadResult::kUnreadable, std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return fail(LoadResult::kUnreadable,
                    S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    }
    std::string bytes;
    char chunk[8192];
    // Bounded by kMaxFileBytes: one byte more than that ends the read.
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return fail(LoadResult::kUnreadable, std::strerror(err));
        }
        if (n == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxFileBytes) {
            close(fd);
            return fail(LoadResult::kTooLarge, "larger than " + std::to_string(kMaxFileBytes) + " bytes");
        }
    }
    close(fd);
    Parse(bytes);
    return LoadResult::kLoaded;
}

void IniFile::Parse(std::string_view bytes) {
    lines_.clear();
    eolStyle_ = "\n";
    byteOrderMark_ = bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark;
    if (byteOrderMark_) bytes.remove_prefix(kByteOrderMark.size());
    bool styleSeen = false;
    // One line per LF; the loop ends at the end of the bytes.
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t lf = bytes.find('\n', pos);
        Line line;
        if (lf == std::string_view::npos) {
            line.text = std::string(bytes.substr(pos));
            pos = bytes.size();
        } else {
            std::size_t end = lf;
            if (end > pos && bytes[end - 1] == '\r') --end;
            line.text = std::string(bytes.substr(pos, end - pos));
            line.eol = std::string(bytes.substr(end, lf + 1 - end));
            pos = lf + 1;
            if (!styleSeen) {
                eolStyle_ = line.eol;
                styleSeen = true;
            }
        }
        lines_.push_back(std::move(line));
    }
}

const std::string& IniFile::LineEnd() const { return eolStyle_; }

int IniFile::FindSection(std::string_view section, std::size_t* end) const {
    int start = -1;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Parsed p = Classify(lines_[i].text);
        if (p.kind != Kind::kSection) continue;
        if (start >= 0) {
            *end = i;
            return start;
        }
        if (EqualNoCase(p.name, section)) start = static_cast<int>(i);
    }
    *end = lines_.size();
    return start;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    std::size_t end = 0;
    int start = FindSection(section, &end);
    if (start < 0) return std::nullopt;
    for (std::size_t i = static_cast<std::size_t>(start) + 1; i < end; ++i) {
        std::string_view text = lines_[i].text;
        Parsed p = Classify(text);
        if (p.kind == Kind::kEntry && EqualNoCase(p.name, key)) {
            return std::string(Trim(text.substr(p.valuePos)));
        }
    }
    return std::nullopt;
}

IniFile::SetResult IniFile::Set(std::string_view section, std::string_view key,
                                std::string_view value) {
    // Names that would read back as something else are refused: a ']' in a
    // section name, a '=' in a key, a key that reads as a header or comment.
    if (!ValidName(section) || HasAny(section, "]")) return SetResult::kInvalid;
    if (!ValidName(key) || HasAny(key, "=") || key.front() == '[' || key.front() == ';' ||
        key.front() == '#') {
        return SetResult::kInvalid;
    }
    if (HasAny(value, kLineBreakers)) return SetResult::kInvalid;

    std::size_t end = 0;
    int start = FindSection(section, &end);
    if (start >= 0) {
        for (std::size_t i = static_cast<std::size_t>(start) + 1; i < end; ++i) {
            std::string& text = lines_[i].text;
            Parsed p = Classify(text);
            if (p.kind != Kind::kEntry || !EqualNoCase(p.name, key)) continue;
            if (Trim(std::string_view(text).substr(p.valuePos)) == value) {
                return SetResult::kUnchanged;
            }
            // Keep the key as written and the blanks after '='.
            std::size_t keep = p.valuePos;
            while (keep < text.size() && (text[keep] == ' ' || text[keep] == '\t')) ++keep;
            std::string updated = text.substr(0, keep) + std::string(value);
            // A value with blanks at its end can rebuild the very line.
            if (updated == text) return SetResult::kUnchanged;
            text = std::move(updated);
            return SetResult::kChanged;
        }
        std::size_t at = static_cast<std::size_t>(start) + 1;
        for (std::size_t i = at; i < end; ++i) {
            if (!Trim(lines_[i].text).empty()) at = i + 1;
        }
        if (lines_[at - 1].eol.empty()) lines_[at - 1].eol = LineEnd();
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                      Line{std::string(key) + "=" + std::string(value), LineEnd()});
        return SetResult::kChanged;
    }
    if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = LineEnd();
    lines_.push_back(Line{"[" + std::string(section) + "]", LineEnd()});
    lines_.push_back(Line{std::string(key) + "=" + std::string(value), LineEnd()});
    return SetResult::kChanged;
}

std::string IniFile::Serialize() const {
    std::string out(byteOrderMark_ ? kByteOrderMark : std::string_view());
    for (const Line& line : lines_) {
        out += line.text;
        out += line.eol;
    }
    return out;
}

std::vector<IniFile::LineInfo> IniFile::Outline() const {
    std::vector<LineInfo> out;
    out.reserve(lines_.size());
    int number = 0;
    for (const Line& line : lines_) {
        LineInfo info;
        info.number = ++number;
        const Parsed p = Classify(line.text);
        info.name = std::string(p.name);
        if (p.kind == Kind::kSection) {
            info.kind = LineInfo::Kind::kSection;
            info.closed = line.text.find(']') != std::string::npos;
        } else if (p.kind == Kind::kEntry) {
            info.kind = LineInfo::Kind::kEntry;
        } else {
            const std::string_view t = Trim(line.text);
            const bool nothing = t.empty() || t.front() == ';' || t.front() == '#';
            info.kind = nothing ? LineInfo::Kind::kNothing : LineInfo::Kind::kJunk;
        }
        out.push_back(std::move(info));
    }
    return out;
}

bool IniFile::Save(const std::string& path) const {
    std::string target = path;
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path.c_str(), nullptr);
        if (real == nullptr) return false;  // dangling link: nothing to replace
        target = real;
        std::free(real);
    }
    mode_t mode = 0644;
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return false;
        // A rename would replace a read-only file; honour its protection.
        if (access(target.c_str(), W_OK) != 0) return false;
        mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        return false;
    }

    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string tmp = dir + (slash == std::string::npos ? "/." : ".") + base + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;

    std::string bytes = Serialize();
    bool ok = true;
    std::size_t done = 0;
    // Each pass writes at least one byte or fails; bounded by the size.
    while (ok && done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<std::size_t>(n);
    }
    ok = ok && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok) ok = rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing already
    // visible, so it is not reported.
    int dirFd = open(slash == std::string::npos ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

}  // namespace vorn
