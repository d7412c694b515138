#pragma once
// The Infodriver's slot texts on disk, so that they survive a restart.
//
// Text format, one record per line ('\n' ends every line):
//   vorn-infodriver-state 1
//   <device> <slot> <text>        text escaped: '\\' -> "\\\\", bytes below
//                                 0x20 and 0x7F -> "\\xHH"; every other byte,
//                                 blanks included, as it is
//   end <number of records>
// The end line catches a cut-off file. Anything that does not parse is
// damage: the file is renamed aside and reported, never read as empty.
// Saving writes a temporary file in the same directory, syncs it and renames
// it over the old one, so a crash leaves either the old or the new file.
//
// Not thread-safe; the server calls it from its loop thread only.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vorn {

// device -> slot -> text. Empty texts are not kept (a slot reads "" anyway).
using SlotTable = std::map<int, std::map<int32_t, std::string>>;

class SlotStateFile {
public:
    // A text is at most this long; the server cuts longer writes.
    static constexpr size_t kMaxText = 511;
    // Bound on the file read at start-up; a bigger file counts as damaged.
    static constexpr uintmax_t kMaxFileBytes = 256u << 20;

    enum class LoadResult {
        kLoaded,    // table filled from the file
        kMissing,   // no file yet: start empty
        kDamaged,   // the file was renamed aside (message says where); start empty
        kFailed,    // unreadable, or damaged and could not be renamed aside: do not start
    };

    explicit SlotStateFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // Reads the file into `table` (cleared first). `message` explains every
    // result other than kLoaded/kMissing.
    LoadResult Load(SlotTable& table, std::string& message);

    // Writes the table atomically. On failure the old file is untouched and
    // `error` says why.
    bool Save(const SlotTable& table, std::string& error) const;

    static std::string Escape(std::string_view text);
    // False when `escaped` holds a bad escape sequence or a raw control byte.
    static bool Unescape(std::string_view escaped, std::string& out);

private:
    // Renames the file to "<path>.damaged-YYYYMMDD-HHMMSS" (plus "-N" when
    // taken). Returns the new name, "" on failure (errno text in `error`).
    std::string SetAside(std::string& error) const;

    std::string path_;
};

}  // namespace vorn
