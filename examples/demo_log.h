// The demo's own logging module, registered at start-up.
#ifndef QUILLON_DEMO_LOG_H
#define QUILLON_DEMO_LOG_H

#include <quillon.h>

// Index that registerModule gave the module "demo"; -1 until registered.
extern int g_demoModule;

// The log gate every file of the demo starts from: Fatal through Info.
#ifndef DEMO_LOG_LEVEL
#define DEMO_LOG_LEVEL 4
#endif

#define DEMO_LOG(fileLevel, level, ...) QUILLON_LOG(fileLevel, g_demoModule, level, __VA_ARGS__)

#endif
