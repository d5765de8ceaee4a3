// InitMessage with MODULES_BEFORE other modules registered ahead of it (32
// fills the registry), line for line.  Each count is its own program, since
// rows are never given back.

#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "carrowen.h"
#include "message_lines.h"
#include "quillon.h"

namespace {

const char kBanner[] = "==================log_message_init========================\n";
const int kRegistryRows = 32;

// The lines of one InitMessage for the module at `module`, at the built-in level.
std::string startupLines(int module) {
    const char *file = "src/Messages/logMessage.cpp";
    std::string index = std::to_string(module);
    return kBanner +
           messageLine(file, "log_message_init", "messageLogFatal", 1,
                       "=====messageLogFatal==[" + index + "]=--------------=\n", module) +
           messageLine(file, "log_message_init", "messageLogError", 2,
                       "=====messageLogError==[" + index + "]=--------------=\n", module) +
           messageLine(file, "log_message_init", "messageLogWarning", 3,
                       "=====messageLogWarning==[" + index + "]=--------------=\n", module);
}

std::string initMessage() {
    CapturedFd out(1);
    EXPECT_EQ(0, InitMessage());
    return out.take();
}

TEST(InitMessage, RegistersAfterTheModulesBeforeIt) {
    EXPECT_EQ(0, g_moduleMessageNO) << "lines before start-up carry row 0";
    for (int i = 0; i < MODULES_BEFORE; i++) {
        ASSERT_EQ(i, registerModule(("host" + std::to_string(i)).c_str(), "77", 1));
    }
    int expected = MODULES_BEFORE < kRegistryRows ? MODULES_BEFORE : -1;

    EXPECT_EQ(initMessage(), startupLines(expected));
    EXPECT_EQ(expected, g_moduleMessageNO);

    // A second start-up takes a row of its own (while there is one).
    int second = MODULES_BEFORE + 1 < kRegistryRows ? MODULES_BEFORE + 1 : -1;
    EXPECT_EQ(initMessage(), startupLines(second));
    EXPECT_EQ(second, g_moduleMessageNO);
}

}  // namespace
