// The dynamic-linking facts of a shared library file, read from its ELF
// sections: what a loader and a linker see of it.
#pragma once

#include <set>
#include <string>
#include <vector>

struct ElfDynamicView {
    bool read = false;  // false: not a readable 64-bit ELF file
    std::string soname;
    std::vector<std::string> needed;  // DT_NEEDED, in order
    bool hasRunpath = false;
    std::string runpath;  // DT_RUNPATH
    bool hasRpath = false;  // DT_RPATH (the old tag)
    // Defined symbols the library exports: global or weak, default or
    // protected visibility.
    std::set<std::string> exportedFunctions;
    std::set<std::string> exportedObjects;
};

ElfDynamicView readElfDynamicView(const std::string &path);

// The exported names that are not the toolchain's own (those start with '_').
std::set<std::string> apiNames(const std::set<std::string> &names);
