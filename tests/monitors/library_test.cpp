// libtrevant as the dynamic linker sees it: its exports, the libraries it
// needs and where it looks for them.

#include <gtest/gtest.h>

#include <algorithm>

#include "elf_view.h"

namespace {

bool isSanitizerRuntime(const std::string &name) {
    return name.rfind("libasan", 0) == 0 || name.rfind("libubsan", 0) == 0 || name.rfind("libtsan", 0) == 0;
}

TEST(MonitorLibrary, ExportsExactlyItsFourNames) {
    ElfDynamicView library = readElfDynamicView(TREVANT_FILE);
    ASSERT_TRUE(library.read) << TREVANT_FILE;
    EXPECT_EQ(library.soname, "libtrevant.so.1");
    EXPECT_EQ(apiNames(library.exportedFunctions),
              (std::set<std::string>{"InitMonitor", "MonitorThreadCreate", "log_monitor_init"}));
    EXPECT_EQ(apiNames(library.exportedObjects), std::set<std::string>{"g_moduleMonitorNO"});
}

TEST(MonitorLibrary, NeedsThePlatformLibrariesThreadsIncludedButNoCxxRuntime) {
    ElfDynamicView library = readElfDynamicView(TREVANT_FILE);
    ASSERT_TRUE(library.read) << TREVANT_FILE;
    std::vector<std::string> needed;
    for (const std::string &name : library.needed)
        if (!isSanitizerRuntime(name)) needed.push_back(name);
    std::sort(needed.begin(), needed.end());
    EXPECT_EQ(needed, (std::vector<std::string>{"libc.so.6", "libdunmarr.so.1", "libosprel.so.1", "libpthread.so.0",
                                                "libquillon.so.1"}));
}

// Exactly the build tree's library directory: an empty entry would make the
// loader search the current directory.
TEST(MonitorLibrary, SearchesTheBuildTreesLibrariesOnly) {
    ElfDynamicView library = readElfDynamicView(TREVANT_FILE);
    ASSERT_TRUE(library.read) << TREVANT_FILE;
    EXPECT_FALSE(library.hasRpath);
    ASSERT_TRUE(library.hasRunpath);
    EXPECT_EQ(library.runpath, QUILLON_LIBS_DIR);
}

}  // namespace
