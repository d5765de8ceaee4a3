// The lines libcarrowen logs, with the host and clock pinned.
#pragma once

#include <string>

#include "log_lines.h"

// One whole log line of the module "message" registered at `module` (-1: a
// failed registration), from the log call in `function` of `file` whose
// text holds `formatText`.
std::string messageLine(const std::string &file, const std::string &function, const std::string &formatText,
                        int level, const std::string &text, int module = 0);

// messageLine for the queue's source file.
std::string queueLine(const std::string &function, const std::string &formatText, int level, const std::string &text);

// "%p" of `pointer`, as the library prints it.
std::string pointerText(const void *pointer);
