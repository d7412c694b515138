// The INI file: parsing and serialising gives back the very bytes; a value
// that Set accepts reads back (also after serialising and parsing again);
// every other section and key keeps its value, and every other line its
// text; a refused or unchanged Set leaves the bytes alone. A UTF-8
// byte-order mark in front reads as the bytes without it and stays in front.

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ini_file.h"
#include "fuzz_support.h"

namespace {

using vorn::IniFile;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trimmed(std::string_view s) {
    while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// The line texts, without their ends and without trailing '\r's. (A last
// line without '\n' gets a line end when a line is added behind it; a '\r'
// it ended in then reads as part of that line end. Trailing '\r's are
// blanks to every reader of the line, so they are left out here.)
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t pos = bytes.compare(0, kBom.size(), kBom) == 0 ? kBom.size() : 0;
    while (pos < bytes.size()) {
        std::size_t lf = bytes.find('\n', pos);
        std::size_t end = lf == std::string::npos ? bytes.size() : lf;
        std::size_t textEnd = end;
        while (textEnd > pos && bytes[textEnd - 1] == '\r') --textEnd;
        lines.push_back(bytes.substr(pos, textEnd - pos));
        pos = lf == std::string::npos ? bytes.size() : lf + 1;
    }
    return lines;
}

// Names that look like sections and keys in the bytes, found without the
// reader's code, a bounded number of each: the probes for "unchanged".
void Candidates(const std::vector<std::string>& lines, std::vector<std::string>* sections,
                std::vector<std::string>* keys) {
    for (const std::string& line : lines) {
        const std::string t = Trimmed(line);
        if (!t.empty() && t[0] == '[') {
            if (sections->size() < 8) sections->push_back(Trimmed(t.substr(1, t.find(']') - 1)));
        } else if (std::size_t eq = line.find('='); eq != std::string::npos) {
            if (keys->size() < 12) keys->push_back(Trimmed(line.substr(0, eq)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(24);
    const std::string key = in.ConsumeRandomLengthString(24);
    const std::string value = in.ConsumeRandomLengthString(64);
    const std::string bytes = in.ConsumeRemainingBytesAsString();

    IniFile ini;
    ini.Parse(bytes);
    FUZZ_CHECK(ini.Serialize() == bytes);

    const std::vector<std::string> before = Lines(bytes);
    std::vector<std::string> sections{section};
    std::vector<std::string> keys{key};
    Candidates(before, &sections, &keys);
    std::vector<std::optional<std::string>> probes;
    for (const std::string& s : sections) {
        for (const std::string& k : keys) probes.push_back(ini.Get(s, k));
    }
    const bool existed = ini.Get(section, key).has_value();
    const bool bom = bytes.compare(0, kBom.size(), kBom) == 0;
    // Only one mark is skipped: a second one is text of the first line, so
    // the bytes without the first mark are not the same file when another
    // follows it.
    if (bom && bytes.compare(kBom.size(), kBom.size(), kBom) != 0) {
        IniFile bare;
        bare.Parse(std::string_view(bytes).substr(kBom.size()));
        std::size_t i = 0;
        for (const std::string& s : sections) {
            for (const std::string& k : keys) FUZZ_CHECK(bare.Get(s, k) == probes[i++]);
        }
    }

    const IniFile::SetResult result = ini.Set(section, key, value);
    const std::string after = ini.Serialize();
    if (result != IniFile::SetResult::kChanged) FUZZ_CHECK(after == bytes);
    if (result == IniFile::SetResult::kInvalid) return 0;
    FUZZ_CHECK(after.compare(0, kBom.size(), kBom) == 0 || !bom);

    // The value reads back, before and after a round through the bytes.
    FUZZ_CHECK(ini.Get(section, key) == Trimmed(value));
    IniFile again;
    again.Parse(after);
    FUZZ_CHECK(again.Serialize() == after);
    FUZZ_CHECK(again.Get(section, key) == Trimmed(value));

    // Every other (section, key) reads as before.
    std::size_t i = 0;
    for (const std::string& s : sections) {
        for (const std::string& k : keys) {
            const bool target = SameNoCase(s, section) && SameNoCase(k, key);
            if (!target) FUZZ_CHECK(again.Get(s, k) == probes[i]);
            ++i;
        }
    }

    // Line by line: an update changes one line; an addition only inserts
    // (the line texts before are the others, in order).
    const std::vector<std::string> lines = Lines(after);
    if (result == IniFile::SetResult::kChanged && existed) {
        FUZZ_CHECK(lines.size() == before.size());
        std::size_t changed = 0;
        for (std::size_t n = 0; n < lines.size(); ++n) changed += lines[n] != before[n] ? 1 : 0;
        FUZZ_CHECK(changed == 1);
    } else if (result == IniFile::SetResult::kChanged) {
        FUZZ_CHECK(lines.size() == before.size() + 1 || lines.size() == before.size() + 2);
        std::size_t n = 0;
        for (const std::string& line : lines) {
            if (n < before.size() && line == before[n]) ++n;
        }
        FUZZ_CHECK(n == before.size());
    }
    return 0;
}
