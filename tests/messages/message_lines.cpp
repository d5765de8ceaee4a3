#include "message_lines.h"

#include <cstdio>

std::string messageLine(const std::string &file, const std::string &function, const std::string &formatText,
                        int level, const std::string &text, int module) {
    return clientLogLine("message", module, file, function, formatText, level, text);
}

std::string queueLine(const std::string &function, const std::string &formatText, int level, const std::string &text) {
    return messageLine("src/Messages/MessageQueue.cpp", function, formatText, level, text);
}

std::string pointerText(const void *pointer) {
    char text[32];
    snprintf(text, sizeof text, "%p", pointer);
    return text;
}
