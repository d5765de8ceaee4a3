// What /proc says about this process's threads and memory.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

// Every thread of this process with its kernel name (comm, without the
// newline).
std::map<pid_t, std::string> threadNames();

struct Mapping {
    bool found = false;
    std::string permissions;  // e.g. "r--p"
    std::string path;         // "" for anonymous memory
};

// The mapping of /proc/self/maps that holds `address`.
Mapping mappingOf(const void *address);
