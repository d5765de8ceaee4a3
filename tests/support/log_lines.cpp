#include "log_lines.h"

#include <gtest/gtest.h>

#include <fstream>

#include "pinned_host.h"

namespace {

std::vector<std::string> sourceLines(const std::string &file) {
    std::ifstream in(std::string(QUILLON_SOURCE_DIR) + "/" + file);
    EXPECT_TRUE(in.good()) << file;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A definition starts in the first column and opens its body on that line.
bool definesFunction(const std::string &line, const std::string &function) {
    return !line.empty() && line[0] != ' ' && line.find(function + "(") != std::string::npos && line.back() == '{';
}

const char *levelName(int level) {
    static const char *const names[] = {"Assert", "Fatal!", "Error!", "Warning", "Info", "Verbose", "Debug"};
    return level >= 0 && level <= 6 ? names[level] : "Undefined";
}

}  // namespace

std::string shownSourceFile(const std::string &file) {
    std::string path = std::string(QUILLON_SOURCE_DIR) + "/" + file;
    size_t slash = path.find('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int logCallLine(const std::string &file, const std::string &function, const std::string &needle) {
    std::vector<std::string> lines = sourceLines(file);
    size_t body = 0;
    while (body < lines.size() && !definesFunction(lines[body], function)) body++;
    int found = 0;
    int matches = 0;
    for (size_t i = body + 1; i < lines.size() && lines[i] != "}"; i++) {
        if (lines[i].find(needle) == std::string::npos) continue;
        // The call's line is the one naming the macro, also when it wraps.
        size_t call = i;
        while (call > body && lines[call].find("QUILLON_LOG(") == std::string::npos) call--;
        found = (int)call + 1;
        matches++;
    }
    EXPECT_EQ(matches, 1) << "log call \"" << needle << "\" in " << function << " of " << file;
    return found;
}

std::string clientLogLine(const std::string &name, int module, const std::string &file, const std::string &function,
                          const std::string &needle, int level, const std::string &text) {
    std::string groups = module >= 0 ? "[0.0.0:5325][" + name + "] <<" + std::to_string(116 + level) + ">> " : "[0.0.0:]";
    return PINNED_TIME_GROUP PINNED_HOST_GROUP + groups + "[" + shownSourceFile(file) + ":" +
           std::to_string(logCallLine(file, function, needle)) + "][" + function + ":" + levelName(level) +
           "] : " + text;
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}
