// Expected monitor log lines, built from the sources libtrevant was compiled
// from: the file part the logging library shows and each call's line number.
#pragma once

#include <string>
#include <vector>

#include "log_lines.h"

// The log calls' own text in logMonitor.cpp and MonitorInterface.cpp.
enum class MonitorSource { kLogMonitor, kMonitorInterface };

// One whole line as libquillon prints it for the monitor module with the
// pinned clock and host, for the call in `function` whose text holds
// `needle`.
std::string monitorLine(MonitorSource source, const std::string &needle, const std::string &function,
                        int level, const std::string &message);

// The banner and the six self-test lines of log_monitor_init.
std::vector<std::string> monitorSelfTestLines(int module);
