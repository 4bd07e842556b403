// Readers of the case files under tests/data/host; the README there describes both formats.
#pragma once

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillate::testing {

// One case: where it stands (file:line, so that a failure names it) and its fields.
struct TCase {
    std::string Where;
    std::vector<std::string> Fields;
    std::map<std::string, std::string> Sections;
};

// Undoes the escapes for what cannot stand in a field: \n, \\ and \xNN; a backslash before any
// other character stays, so that regular expressions read as they are written.
inline std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\\n") == 0 || text.compare(i, 2, "\\\\") == 0) {
            out += text[++i] == 'n' ? '\n' : '\\';
        } else if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

inline std::string ReadFile(const std::string& file) {
    std::ifstream in(std::filesystem::path(HOST_DATA_DIR) / file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A table: one case a line, its fields separated by two or more blanks.
inline std::vector<TCase> ReadTable(const std::string& file) {
    std::vector<TCase> cases;
    std::istringstream in(ReadFile(file));
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        TCase row{file + ":" + std::to_string(number), {}, {}};
        for (std::size_t start = 0; start != std::string::npos;) {
            std::size_t gap = line.find("  ", start);
            row.Fields.push_back(Unescape(line.substr(start, gap - start)));
            start = line.find_first_not_of(" \t", gap);
        }
        cases.push_back(std::move(row));
    }
    return cases;
}

// Blocks: "=== name" opens a case, "--- key value" is a one-line section and a bare "--- key" takes
// the lines up to the next marker that are neither blank nor comments.
inline std::vector<TCase> ReadBlocks(const std::string& file) {
    std::vector<TCase> cases;
    std::string* body = nullptr;
    std::istringstream in(ReadFile(file));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("=== ")) {
            cases.push_back({file + ": " + line.substr(4), {}, {}});
            body = nullptr;
        } else if (line.starts_with("--- ") && !cases.empty()) {
            std::size_t blank = line.find(' ', 4);
            std::string& section = cases.back().Sections[line.substr(4, blank - 4)];
            section = blank == std::string::npos ? "" : line.substr(blank + 1);
            body = blank == std::string::npos ? &section : nullptr;
        } else if (body && !line.empty() && !line.starts_with('#')) {
            *body += (body->empty() ? "" : "\n") + line;
        }
    }
    return cases;
}

// Checks the end of a table row from field `at` on: "gives VALUE" wants exactly that value from the
// call, "fails TEXT" wants it to throw an E whose message holds TEXT.
template <class E, class F> void ExpectOutcome(const TCase& row, std::size_t at, F call) {
    try {
        EXPECT_EQ("gives " + call(), row.Fields.at(at) + " " + row.Fields.at(at + 1)) << row.Where;
    } catch (const E& e) {
        EXPECT_EQ("fails", row.Fields.at(at)) << row.Where << ": " << e.what();
        EXPECT_THAT(e.what(), ::testing::HasSubstr(row.Fields.at(at + 1))) << row.Where;
    }
}

} // namespace quillate::testing
