#include "monitor_lines.h"

std::string monitorLine(MonitorSource source, const std::string &needle, const std::string &function,
                        int level, const std::string &message) {
    const char *file =
        source == MonitorSource::kLogMonitor ? "src/Monitors/logMonitor.cpp" : "src/Monitors/MonitorInterface.cpp";
    return clientLogLine("monitor", 0, file, function, needle, level, message);
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
