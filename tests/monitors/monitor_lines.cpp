#include "monitor_lines.h"

#include <gtest/gtest.h>

#include <fstream>

#include "pinned_host.h"

namespace {

std::string sourcePath(MonitorSource source) {
    return std::string(PROJECT_SOURCE_DIR) +
           (source == MonitorSource::kLogMonitor ? "/src/Monitors/logMonitor.cpp" : "/src/Monitors/MonitorInterface.cpp");
}

// libquillon shows the compiled path from after its first '/'.
std::string shownPath(const std::string &path) {
    size_t slash = path.find('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char *levelName(int level) {
    static const char *const names[] = {"Fatal!", "Error!", "Warning", "Info", "Verbose", "Debug"};
    return names[level - 1];
}

}  // namespace

int monitorSourceLine(MonitorSource source, const std::string &needle) {
    std::ifstream file(sourcePath(source));
    EXPECT_TRUE(file.good()) << sourcePath(source);
    std::string text;
    int number = 0, found = 0, matches = 0;
    while (std::getline(file, text)) {
        number++;
        if (text.find(needle) != std::string::npos) {
            found = number;
            matches++;
        }
    }
    EXPECT_EQ(matches, 1) << needle << " in " << sourcePath(source);
    return matches == 1 ? found : 0;
}

std::string monitorLine(MonitorSource source, const std::string &needle, const std::string &function,
                        int level, const std::string &message) {
    return PINNED_TIME_GROUP PINNED_HOST_GROUP "[0.0.0:5325][monitor] <<" + std::to_string(116 + level) + ">> [" + shownPath(sourcePath(source)) + ":" +
           std::to_string(monitorSourceLine(source, needle)) + "][" + function + ":" + levelName(level) + "] : " +
           message;
}

std::vector<std::string> monitorSelfTestLines(int module) {
    static const char *const levels[] = {"Fatal", "Error", "Warning", "Info", "Verbose", "Debug"};
    std::vector<std::string> lines{std::string(42, '=') + "\n"};
    for (int level = 1; level <= 6; level++) {
        std::string text = std::string("=====monitorLog") + levels[level - 1] + "==[";
        lines.push_back(monitorLine(MonitorSource::kLogMonitor, "\"" + text + "%d]=--------------=\\n\"",
                                    "log_monitor_init", level, text + std::to_string(module) + "]=--------------=\n"));
    }
    return lines;
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
