// The guides' examples as the doc tests read them: the code blocks of a
// markdown page (paragraphs made only of lines indented by four blanks) and
// the rule by which a shown output or reply stands for the real one ("..."
// stands for any text, line breaks included).
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace doc_test {

struct CodeBlock {
    int line;                        // of its first line in the page, from 1
    std::vector<std::string> lines;  // without the four leading blanks
};

// Every code block of the page at path, in page order (none when it cannot be
// read).
inline std::vector<CodeBlock> code_blocks(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::vector<CodeBlock> blocks;
    size_t i = 0;
    while (i < lines.size()) {
        size_t end = i;
        while (end < lines.size() && !lines[end].empty()) end++;
        bool code = end > i;
        for (size_t k = i; k < end; k++) code = code && lines[k].rfind("    ", 0) == 0;
        if (code) {
            CodeBlock b{static_cast<int>(i) + 1, {}};
            for (size_t k = i; k < end; k++) b.lines.push_back(lines[k].substr(4));
            blocks.push_back(b);
        }
        i = end + 1;
    }
    return blocks;
}

// True when text matches pattern, in which each "..." stands for any text.
inline bool matches(const std::string& pattern, const std::string& text) {
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        size_t at = pattern.find("...", from);
        parts.push_back(pattern.substr(from, at == std::string::npos ? at : at - from));
        if (at == std::string::npos) break;
        from = at + 3;
    }
    if (parts.size() == 1) return pattern == text;
    if (text.compare(0, parts.front().size(), parts.front()) != 0) return false;
    size_t pos = parts.front().size();
    for (size_t k = 1; k + 1 < parts.size(); k++) {
        pos = text.find(parts[k], pos);
        if (pos == std::string::npos) return false;
        pos += parts[k].size();
    }
    const std::string& last = parts.back();
    return text.size() >= pos + last.size() &&
           text.compare(text.size() - last.size(), last.size(), last) == 0;
}

}  // namespace doc_test
