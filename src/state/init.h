// Initialisation, uptime accounting and termination.
#pragma once

// Brings DaemonState into its starting state; ends the process when the configuration cannot
// be read.
int ULVInit();
void ULVInstallSigtermHandler();
// The installed handler: notes a SIGTERM; the main flow serves it (ULVServeSigterm).
void ULVSigtermHandler(int signalNumber);
// Serves a noted SIGTERM: adds the uptime since the last accounting point, saves the
// configuration, logs "ULV Exit" and ends the process with status 0. Returns when none is noted.
void ULVServeSigterm();
// Adds one 900-second tick to the cumulative uptime and saves the configuration.
void ULVAccountUptimeTick();
// reportUptime = cumulative uptime + uptime since the last accounting point.
void ULVComputeReportUptime();

inline constexpr unsigned UPTIME_TICK_SECONDS = 900;
