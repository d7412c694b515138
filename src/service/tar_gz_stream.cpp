#include "service/tar_gz_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn {

namespace {

constexpr std::size_t kBlock = 512;

// width - 1 octal digits and a NUL, as ustar readers expect (entries stay
// far below the 8 GiB that 11 digits hold).
void Octal(char* field, std::size_t width, std::uint64_t value) {
    char digits[32];
    const int n = std::snprintf(digits, sizeof digits, "%0*llo", static_cast<int>(width - 1),
                                static_cast<unsigned long long>(value));
    std::memcpy(field, digits + (n - static_cast<int>(width - 1)), width - 1);
    field[width - 1] = '\0';
}

std::string Header(const std::string& name, std::uint64_t size, std::time_t mtime) {
    std::string block(kBlock, '\0');
    char* h = block.data();
    std::memcpy(h, name.data(), std::min<std::size_t>(name.size(), 99));
    Octal(h + 100, 8, 0644);
    Octal(h + 108, 8, 0);
    Octal(h + 116, 8, 0);
    Octal(h + 124, 12, size);
    Octal(h + 136, 12, static_cast<std::uint64_t>(mtime > 0 ? mtime : 0));
    std::memset(h + 148, ' ', 8);
    h[156] = '0';
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    std::memcpy(h + 265, "root", 4);
    std::memcpy(h + 297, "root", 4);
    unsigned sum = 0;
    for (std::size_t i = 0; i < kBlock; ++i) sum += static_cast<unsigned char>(h[i]);
    std::snprintf(h + 148, 8, "%06o", sum);  // six digits, NUL, and the blank left from above
    h[155] = ' ';
    return block;
}

}  // namespace

struct TarGzStream::Entry {
    std::string name;
    std::string text;       // a text entry's content
    std::string path;       // a file entry's path ("" for a text entry)
    std::uint64_t maxBytes = 0;
    std::time_t mtime = 0;
    // While the entry is being written:
    std::string head;       // its header, then nothing
    int fd = -1;
    std::uint64_t left = 0; // content bytes still to come
    std::size_t textAt = 0;
    std::size_t padding = 0;
    ~Entry() {
        if (fd >= 0) ::close(fd);
    }
};

class TarGzStream::Deflater {
public:
    Deflater() {
        // 15 window bits + 16: a gzip header and trailer around the stream.
        ok_ = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ok_) deflateEnd(&z_);
    }
    // Compresses in; with finish, ends the stream.
    void Run(const std::string& in, bool finish, std::string* out) {
        if (!ok_) return;
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z_.avail_in = static_cast<uInt>(in.size());
        unsigned char buffer[16384];
        int rc;
        do {
            z_.next_out = buffer;
            z_.avail_out = sizeof buffer;
            rc = deflate(&z_, finish ? Z_FINISH : Z_NO_FLUSH);
            out->append(reinterpret_cast<char*>(buffer), sizeof buffer - z_.avail_out);
        } while (z_.avail_out == 0 || (finish && rc != Z_STREAM_END && rc != Z_STREAM_ERROR));
    }

private:
    z_stream z_{};
    bool ok_ = false;
};

TarGzStream::TarGzStream() : deflater_(std::make_unique<Deflater>()) {}
TarGzStream::~TarGzStream() = default;

void TarGzStream::AddText(const std::string& name, std::string content, std::time_t mtime) {
    Entry e;
    e.name = name;
    e.text = std::move(content);
    e.mtime = mtime;
    entries_.push_back(std::move(e));
}

void TarGzStream::AddFile(const std::string& name, const std::string& path, std::uint64_t maxBytes) {
    Entry e;
    e.name = name;
    e.path = path;
    e.maxBytes = maxBytes;
    entries_.push_back(std::move(e));
}

void TarGzStream::StartEntry() {
    current_ = std::make_unique<Entry>(std::move(entries_.front()));
    entries_.pop_front();
    Entry& e = *current_;
    std::uint64_t size = e.text.size();
    if (!e.path.empty()) {
        const int fd = ::open(e.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st{};
        std::string why;
        if (fd < 0) {
            why = std::strerror(errno);
        } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            why = "not a regular file";
            ::close(fd);
        } else {
            e.fd = fd;
            size = std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), e.maxBytes);
            if (size < static_cast<std::uint64_t>(st.st_size)) ::lseek(fd, static_cast<off_t>(st.st_size - size), SEEK_SET);
            e.mtime = st.st_mtime;
        }
        if (e.fd < 0) {
            e.name += ".unreadable";
            e.text = e.path + ": " + why + "\n";
            e.path.clear();
            size = e.text.size();
        }
    }
    e.head = Header(e.name, size, e.mtime);
    e.left = size;
    e.padding = (kBlock - size % kBlock) % kBlock;
}

void TarGzStream::NextRaw(std::string* raw, std::size_t n) {
    while (raw->size() < n) {
        if (!current_) {
            if (entries_.empty()) return;
            StartEntry();
        }
        Entry& e = *current_;
        const std::size_t room = n - raw->size();
        if (!e.head.empty()) {
            raw->append(e.head);
            e.head.clear();
        } else if (e.left > 0) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(e.left, room));
            const std::size_t at = raw->size();
            if (e.fd >= 0) {
                raw->resize(at + take, '\0');
                ssize_t got;
                do {
                    got = ::read(e.fd, raw->data() + at, take);
                } while (got < 0 && errno == EINTR);
                if (got <= 0) {  // shrunk or failed: zeros for the rest
                    ::close(e.fd);
                    e.fd = -1;
                } else {
                    raw->resize(at + static_cast<std::size_t>(got));
                }
                if (e.fd < 0) raw->resize(at + take, '\0');
            } else if (!e.path.empty()) {
                raw->append(take, '\0');
            } else {
                raw->append(e.text, e.textAt, take);
                e.textAt += take;
            }
            e.left -= raw->size() - at;
        } else {
            raw->append(e.padding, '\0');
            current_.reset();
        }
    }
}

bool TarGzStream::Produce(std::string* out, std::size_t inputBytes) {
    if (finished_) return false;
    std::string raw;
    raw.reserve(inputBytes + kBlock);
    NextRaw(&raw, std::max<std::size_t>(inputBytes, 1));
    const bool last = !current_ && entries_.empty() && raw.size() < std::max<std::size_t>(inputBytes, 1);
    if (last) raw.append(2 * kBlock, '\0');  // the end of the archive
    deflater_->Run(raw, last, out);
    finished_ = last;
    return !finished_;
}

}  // namespace vorn
