// The lines libcarrowen logs, built the way libquillon composes them with the
// host and clock pinned.  Locations come from the library's own sources, so
// the expectations follow the code when lines move.
#pragma once

#include <string>

// The library file as a log line shows it: its compiled path from after the
// first '/'.  `file` is relative to the project, e.g. "src/Messages/MessageQueue.cpp".
std::string shownSourceFile(const std::string &file);

// The line number of the log call in `function` of `file` whose format holds
// `formatText`.  Fails the current test when there is not exactly one.
int logCallLine(const std::string &file, const std::string &function, const std::string &formatText);

// One whole log line of the module "message" registered at `module` (-1: a
// failed registration, which shows no module-name and error-code groups).
std::string messageLine(const std::string &file, const std::string &function, const std::string &formatText,
                        int level, const std::string &text, int module = 0);

// messageLine for the queue's source file.
std::string queueLine(const std::string &function, const std::string &formatText, int level, const std::string &text);

// "%p" of `pointer`, as the library prints it.
std::string pointerText(const void *pointer);
