#pragma once
// A gzip-compressed tar archive made a piece at a time, so that a large
// one (log files of two days) is sent over a socket or written to a file
// without being held whole and without keeping the event loop for long.
// Entries are texts given now or files read when their turn comes (ustar
// format, regular files only, names below 100 bytes). Plain C++ and zlib;
// one thread.

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>

namespace vorn {

class TarGzStream {
public:
    TarGzStream();
    ~TarGzStream();
    TarGzStream(const TarGzStream&) = delete;
    TarGzStream& operator=(const TarGzStream&) = delete;

    void AddText(const std::string& name, std::string content, std::time_t mtime);
    // The file's content when its turn comes: the whole file, or its last
    // maxBytes when it is longer then. A file that cannot be read becomes
    // the text entry "<name>.unreadable" saying why; one that shrinks while
    // it is read is filled up with zero bytes to the size it had.
    void AddFile(const std::string& name, const std::string& path, std::uint64_t maxBytes);

    // Appends the compressed form of about the next inputBytes of the
    // archive to *out. Returns false once the archive is complete (the
    // gzip trailer has been appended).
    bool Produce(std::string* out, std::size_t inputBytes);
    bool finished() const { return finished_; }

private:
    struct Entry;
    class Deflater;
    // The next raw archive bytes, at most n, appended to *raw.
    void NextRaw(std::string* raw, std::size_t n);
    void StartEntry();

    std::deque<Entry> entries_;
    std::unique_ptr<Entry> current_;
    std::unique_ptr<Deflater> deflater_;
    bool finished_ = false;
};

}  // namespace vorn
