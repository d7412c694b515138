// The level table against the sources: every format that src/ passes to
// DebugMessage (or that the message cutter formats for it) has its level in
// the table, and every entry of the table is still in use. A new message
// without a level fails here.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/message_levels.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

// The source without comments, with each string literal kept as its value
// (escapes resolved) between \x01 and \x02, and adjacent literals joined.
std::string Tokens(const std::string& src) {
    std::string out;
    for (std::size_t i = 0; i < src.size();) {
        if (src.compare(i, 2, "//") == 0) {
            i = src.find('\n', i);
            if (i == std::string::npos) break;
        } else if (src.compare(i, 2, "/*") == 0) {
            i = src.find("*/", i + 2);
            if (i == std::string::npos) break;
            i += 2;
        } else if (src[i] == '\'') {
            i = src.find('\'', i + (src[i + 1] == '\\' ? 3 : 2)) + 1;
        } else if (src[i] == '"') {
            std::string value;
            for (++i; i < src.size() && src[i] != '"'; ++i) {
                if (src[i] != '\\') {
                    value += src[i];
                    continue;
                }
                const char e = src[++i];
                value += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            }
            ++i;
            // "a" "b" is one literal.
            if (!out.empty() && out.back() == '\x02') {
                out.pop_back();
                out += value + '\x02';
            } else {
                out += '\x01' + value + '\x02';
            }
        } else if (std::isspace(static_cast<unsigned char>(src[i])) && !out.empty() && out.back() == '\x02') {
            ++i;  // keeps literals adjacent
        } else {
            out += src[i++];
        }
    }
    return out;
}

// The literals in argument `index` (0-based) of every call of `name`.
void FormatsOf(const std::string& tokens, const std::string& name, int index, std::set<std::string>* formats,
               std::vector<std::string>* withoutLiteral) {
    for (std::size_t at = tokens.find(name + "("); at != std::string::npos; at = tokens.find(name + "(", at + 1)) {
        if (at > 0 && (std::isalnum(static_cast<unsigned char>(tokens[at - 1])) || tokens[at - 1] == '_')) continue;
        int depth = 0;
        int arg = 0;
        std::string current;
        std::vector<std::string> literals;
        for (std::size_t i = at + name.size(); i < tokens.size(); ++i) {
            const char c = tokens[i];
            if (c == '\x01') {
                const std::size_t end = tokens.find('\x02', i);
                if (arg == index && depth == 1) literals.push_back(tokens.substr(i + 1, end - i - 1));
                current += "\"\"";
                i = end;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                if (--depth == 0) break;
            } else if (c == ',' && depth == 1) {
                ++arg;
            } else if (arg == index && depth == 1) {
                current += c;
            }
        }
        if (literals.empty() && current.find("const char*") == std::string::npos) {
            withoutLiteral->push_back(name + "(" + current);
        }
        formats->insert(literals.begin(), literals.end());
    }
}

TEST(MessageLevelsTest, everyFormatInSrc_hasALevel_andEveryEntryIsInUse) {
    std::set<std::string> formats;
    std::vector<std::string> withoutLiteral;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(VORN_SOURCE_DIR "/src")) {
        const std::string ext = entry.path().extension();
        if (ext != ".cpp" && ext != ".h") continue;
        const std::string tokens = Tokens(test::ReadFile(entry.path()));
        FormatsOf(tokens, "DebugMessage", 0, &formats, &withoutLiteral);
        FormatsOf(tokens, "DebugMessageAlways", 0, &formats, &withoutLiteral);
        FormatsOf(tokens, "AddLog", 1, &formats, &withoutLiteral);  // the message cutter's lines
    }
    EXPECT_GT(formats.size(), 100u) << "the scan finds the driver's messages";
    EXPECT_EQ(withoutLiteral, std::vector<std::string>{}) << "a format that is not a literal cannot be classified";

    std::set<std::string> table;
    for (const MessageLevelEntry& entry : MessageLevelTable()) {
        EXPECT_TRUE(table.insert(entry.format).second) << "twice in the table: " << entry.format;
    }
    for (const std::string& format : formats) EXPECT_EQ(table.count(format), 1u) << "no level for: \"" << format << '"';
    for (const std::string& format : table) EXPECT_EQ(formats.count(format), 1u) << "no longer logged: \"" << format << '"';
}

TEST(MessageLevelsTest, lineFormattedElsewhere_takesTheLevelOfTheFormatItMatches) {
    EXPECT_EQ(LevelOfLine("%s", "ERROR short alive message from panel 3 "), MessageLevel::kError);
    EXPECT_EQ(LevelOfLine("%s", "Warning-  unrecognised message type from panel 12 "), MessageLevel::kWarning);
    EXPECT_EQ(LevelOfLine("%s", "anything else"), MessageLevel::kInfo);
    EXPECT_EQ(LevelOfLine("Pressed Button %d from panel %d", "Pressed Button 1 from panel 1"), MessageLevel::kTrace);
    EXPECT_EQ(LevelOfLine("not a format of the driver", "x"), MessageLevel::kInfo);
    EXPECT_TRUE(MatchesFormat("a %5.2f%% b %-3s|%zu", "a 1.00% b xy |7"));
    EXPECT_FALSE(MatchesFormat("a %d b", "a 1 c"));
}

}  // namespace
}  // namespace vorn
