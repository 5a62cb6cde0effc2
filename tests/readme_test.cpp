// The README's failure table against the sources: every text the program and
// its GPIO back ends can print must be in one of the table's messages, and
// every message in the table must still hold a text the sources print.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The string literals of C++ code, adjacent ones joined and escapes
// resolved; comments, character literals and static_assert's texts skipped.
std::vector<std::string> literals(const std::string& code) {
    std::vector<std::string> found;
    bool adjacent = false;  // only white space since the last literal
    for (std::size_t i = 0; i < code.size();) {
        if (code.compare(i, 2, "//") == 0) {
            i = code.find('\n', i);
        } else if (code.compare(i, 2, "/*") == 0) {
            i = code.find("*/", i) + 2;
        } else if (code[i] == '\'') {
            i += code[i + 1] == '\\' ? 4 : 3;
            adjacent = false;
        } else if (code[i] == '"') {
            std::string text;
            for (++i; code[i] != '"'; ++i) {
                if (code[i] == '\\') {
                    ++i;
                    text += code[i] == 'n' ? '\n' : code[i];
                } else {
                    text += code[i];
                }
            }
            ++i;
            const std::size_t assertAt = code.rfind("static_assert", i);
            const std::size_t statementAt = code.rfind(';', i);
            if (assertAt != std::string::npos &&
                (statementAt == std::string::npos || assertAt > statementAt)) {
                continue;
            }
            if (adjacent) {
                found.back() += text;
            } else {
                found.push_back(text);
            }
            adjacent = true;
        } else {
            adjacent = adjacent && std::isspace(static_cast<unsigned char>(code[i])) != 0;
            ++i;
        }
        if (i == std::string::npos) {
            break;
        }
    }
    return found;
}

// The parts of a literal that a message shows as they are: split at printf
// conversions and trimmed, those of two words or more (a word holds a
// letter); a lone word, a path or a line name is not a message of its own.
// The metrics file's text goes to that file, not to a user.
std::vector<std::string> messageParts(const std::string& literal) {
    static const std::regex conversion("%%|%[-+ #0]*[0-9]*(\\.[0-9]+)?[a-z]");
    std::vector<std::string> parts;
    for (std::sregex_token_iterator part(literal.begin(), literal.end(), conversion, -1), end;
         part != end; ++part) {
        std::istringstream in(part->str());
        std::string word;
        std::string text;
        int words = 0;
        while (in >> word) {
            words += std::any_of(word.begin(), word.end(),
                                 [](unsigned char c) { return std::isalpha(c) != 0; });
            text += (text.empty() ? "" : " ") + word;
        }
        if (words >= 2 && text.find("# HELP") == std::string::npos &&
            text.find("# TYPE") == std::string::npos) {
            parts.push_back(text);
        }
    }
    return parts;
}

struct Part {
    std::string text;
    std::string file;
};

// What the program and its back ends can print, by file: the program, the
// monitor, the character device and the simulated board. The benchmark
// build's counters (counters.cpp) are not in the program users run.
std::vector<Part> sourceParts() {
    std::vector<Part> parts;
    const fs::path root = SOURCE_DIR;
    std::vector<fs::path> files{root / "main.cpp"};
    for (const char* dir : {"monitor", "gpio/chardev", "gpio/simboard"}) {
        for (const auto& entry : fs::directory_iterator(root / dir)) {
            if (entry.path().extension() == ".cpp" && entry.path().filename() != "counters.cpp") {
                files.push_back(entry.path());
            }
        }
    }
    for (const auto& file : files) {
        for (const auto& literal : literals(readFile(file))) {
            for (auto& text : messageParts(literal)) {
                parts.push_back({text, fs::relative(file, root).string()});
            }
        }
    }
    return parts;
}

// The messages of the README's table under "## When it fails": the code
// spans of each row's first cell, with the row's line for the failure text.
struct Message {
    std::string text;
    std::string row;
};

std::vector<Message> tableMessages() {
    std::istringstream readme(readFile(README_FILE));
    std::vector<Message> messages;
    bool inside = false;
    bool header = true;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0) {
            inside = line == "## When it fails";
            continue;
        }
        if (!inside || line.rfind("|", 0) != 0 || line.rfind("|---", 0) == 0) {
            continue;
        }
        if (header) {
            header = false;
            continue;
        }
        const std::string cell = line.substr(1, line.find('|', 1) - 1);
        for (std::size_t open = cell.find('`'); open != std::string::npos;) {
            const std::size_t close = cell.find('`', open + 1);
            messages.push_back({cell.substr(open + 1, close - open - 1), line});
            open = cell.find('`', close + 1);
        }
    }
    return messages;
}

TEST(Readme, FailureTableHoldsEveryMessageAndNoStaleOne) {
    const std::vector<Part> parts = sourceParts();
    const std::vector<Message> messages = tableMessages();
    ASSERT_GT(parts.size(), 30U) << "the sources' messages were not found under " << SOURCE_DIR;
    ASSERT_FALSE(messages.empty()) << README_FILE << " has no table under \"## When it fails\"";
    for (const auto& part : parts) {
        EXPECT_TRUE(std::any_of(
            messages.begin(), messages.end(),
            [&](const Message& m) { return m.text.find(part.text) != std::string::npos; }))
            << part.file << " prints \"" << part.text << "\", which no message in the table holds";
    }
    for (const auto& message : messages) {
        EXPECT_TRUE(std::any_of(
            parts.begin(), parts.end(),
            [&](const Part& p) { return message.text.find(p.text) != std::string::npos; }))
            << "the table's message `" << message.text
            << "` holds no text the sources print any more\n  in: " << message.row;
    }
}

}  // namespace
