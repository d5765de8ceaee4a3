// The monitor's FTP server as the demo hears it: its events logged as lines
// of the module "ftp" from the consumer's poll loop, a stop with a drain on
// Ctrl-C, and its counters for the summary line.
#ifndef QUILLON_DEMO_FTP_EVENTS_H
#define QUILLON_DEMO_FTP_EVENTS_H

#include <osprel.h>

#include <string>

// Seconds the FTP server's transfers may take to finish after Ctrl-C.
constexpr int kFtpDrainSeconds = 3;

// Registers the module "ftp" and finds the server the monitor runs on
// port, keeping its events from now on; null when none runs there.
FtpServer *WatchFtpServer(int port);

// Logs every waiting event; returns at once when none waits.
void LogFtpEvents(FtpServer *server);

// Stops the server with kFtpDrainSeconds of drain, and says so.
void StopFtpServer(FtpServer *server);

// Waits, logging its events, until the server's run is over (a few
// seconds past the drain at most).
void FinishFtpServer(FtpServer *server, int port);

// "; FTP: 2 sessions, ..." for the summary line ("; FTP: not running" for null).
std::string FtpSummary(const FtpServer *server);

#endif
