// The lines a client library of libquillon logs (module tag "5325", log
// type 2), built the way libquillon composes them with the host and clock
// pinned.  Locations come from the library's own sources, so the
// expectations follow the code when lines move.
#pragma once

#include <string>
#include <vector>

// A source file as a log line shows it: its compiled path from after the
// first '/'.  `file` is relative to the project, e.g. "src/Messages/MessageQueue.cpp".
std::string shownSourceFile(const std::string &file);

// The line number of the log call in `function` of `file` whose text holds
// `needle`.  Fails the current test when there is not exactly one.
int logCallLine(const std::string &file, const std::string &function, const std::string &needle);

// One whole line of the module `name` registered at row `module` (-1: a
// failed registration, which shows no module-name and error-code groups),
// logged by that call at `level` with the message `text`.
std::string clientLogLine(const std::string &name, int module, const std::string &file, const std::string &function,
                          const std::string &needle, int level, const std::string &text);

// Splits after each '\n'; a tail without one is kept as a last element.
std::vector<std::string> splitLines(const std::string &text);
