#include "process_view.h"

#include <dirent.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::map<pid_t, std::string> threadNames() {
    std::map<pid_t, std::string> names;
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return names;
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names[static_cast<pid_t>(atoi(entry->d_name))] = name;
    }
    closedir(tasks);
    return names;
}

Mapping mappingOf(const void *address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    uintptr_t wanted = reinterpret_cast<uintptr_t>(address);
    while (std::getline(maps, line)) {
        // low-high perms offset device inode [path]
        std::istringstream fields(line);
        std::string range, offset, device, inode;
        Mapping mapping;
        fields >> range >> mapping.permissions >> offset >> device >> inode >> mapping.path;
        uintptr_t low = strtoull(range.c_str(), nullptr, 16);
        uintptr_t high = strtoull(range.c_str() + range.find('-') + 1, nullptr, 16);
        if (wanted >= low && wanted < high) {
            mapping.found = true;
            return mapping;
        }
    }
    return Mapping{};
}
