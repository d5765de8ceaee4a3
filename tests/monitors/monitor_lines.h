// Expected monitor log lines, built from the sources libtrevant was compiled
// from: the file part the logging library shows and each call's line number.
#pragma once

#include <string>
#include <vector>

// The log calls' own text in logMonitor.cpp and MonitorInterface.cpp.
enum class MonitorSource { kLogMonitor, kMonitorInterface };

// The 1-based line of `source` holding `needle`; fails the test (and returns
// 0) unless exactly one line holds it.
int monitorSourceLine(MonitorSource source, const std::string &needle);

// One whole line as libquillon prints it for the monitor module with the
// pinned clock and host, for a call at the line holding `needle`.
std::string monitorLine(MonitorSource source, const std::string &needle, const std::string &function,
                        int level, const std::string &message);

// The banner and the six self-test lines of log_monitor_init.
std::vector<std::string> monitorSelfTestLines(int module);

// Splits after each '\n'; a tail without one is kept as a last element.
std::vector<std::string> splitLines(const std::string &text);

