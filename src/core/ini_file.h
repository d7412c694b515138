#pragma once
// One INI profile file held in memory as its lines, so that an update
// changes only the line it is about and keeps every other byte.
//
// Format: a section line is "[name]" (blanks around the name ignored); an
// entry line is "key=value" (blanks around key and value ignored); lines
// starting with ';' or '#', lines without '=' and entries before the first
// section are ignored. Section and key names compare without regard to ASCII
// case. With duplicate sections only the first is used; with duplicate keys
// in it the first wins. Lines end in LF or CR LF; new lines take the style of
// the file's first line end (LF for a new file). A UTF-8 byte-order mark at
// the very start (as Windows editors write it) is not part of the first
// line: it is skipped on reading and written back in front of the content.
//
// Not thread-safe; the settings layer uses it on the GUI thread only.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

class IniFile {
public:
    // A settings file is a few kilobytes. A larger file than this is not
    // loaded at all (reads give defaults, writes are refused) rather than
    // being read in part and then written back cut short.
    static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

    enum class LoadResult { kLoaded, kMissing, kUnreadable, kTooLarge };
    enum class SetResult { kUnchanged, kChanged, kInvalid };

    // Reads the file at path. kMissing leaves an empty file (a later Save
    // creates it); kUnreadable and kTooLarge leave an empty file too, and the
    // caller must not Save over the real one. Never waits for a writer (a
    // FIFO under the name is refused, not opened for reading).
    LoadResult Load(const std::string& path);

    // Why the last Load gave kUnreadable or kTooLarge, for a log line: the
    // system's text for the errno ("Permission denied", "Is a directory"),
    // "not a regular file" or "larger than 1048576 bytes". Empty after
    // kLoaded and kMissing.
    const std::string& LoadError() const { return loadError_; }

    // Replaces the content with the given bytes (any bytes are accepted).
    void Parse(std::string_view bytes);

    // Value of the first key of the first section of that name, trimmed of
    // blanks; nullopt when the section or the key is absent.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;

    // Sets a value: updates the key's line in place (the text up to the value
    // is kept), or adds the key after the last non-blank line of the section,
    // or adds the section and the key at the end. kInvalid (nothing changed)
    // when the section or key is empty, has blanks at either end or holds a
    // character that would break the line structure, or the value holds a
    // line end or NUL.
    SetResult Set(std::string_view section, std::string_view key, std::string_view value);

    // The whole file as bytes.
    std::string Serialize() const;

    // The file line by line as the reader sees it, for a reader that
    // explains a file (the configuration check). Numbers count from 1; the
    // byte-order mark belongs to no line.
    struct LineInfo {
        enum class Kind {
            kNothing,  // blank or a comment
            kSection,  // "[name]"; also a header without its ']'
            kEntry,    // "key=value"
            kJunk,     // anything else: ignored by the reader
        };
        Kind kind = Kind::kNothing;
        int number = 0;
        std::string name;     // section name or key, trimmed
        bool closed = true;   // a section header with its ']'
    };
    std::vector<LineInfo> Outline() const;

    // Writes the content to path atomically: a temporary file in the same
    // directory, flushed to disk, then renamed over the target, so a crash
    // leaves either the old or the new file. The mode of an existing file is
    // kept; a new file gets 0644. A symbolic link is followed and its target
    // replaced. Returns false (the target untouched) on any failure,
    // including a target that exists but is not writable.
    bool Save(const std::string& path) const;

private:
    struct Line {
        std::string text;  // without its line end
        std::string eol;   // "\n", "\r\n", or "" for a last line without one
    };

    // Index of the first header line of the section, or -1; *end gets the
    // index one past the section's last line.
    int FindSection(std::string_view section, std::size_t* end) const;
    const std::string& LineEnd() const;

    std::vector<Line> lines_;
    bool byteOrderMark_ = false;  // the bytes began with EF BB BF
    std::string eolStyle_ = "\n";
    std::string loadError_;
};

}  // namespace vorn
