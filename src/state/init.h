// Initialisation, uptime accounting and termination.
#pragma once

// Brings DaemonState into its starting state; ends the process when the configuration cannot
// be read.
int ULVInit();
// Blocks SIGTERM. Called first thing in the process: the mask survives the detaching forks,
// so a SIGTERM that reaches the daemon before its handler exists stays pending and is served
// at the first wait after initialisation instead of killing it unsaved.
void ULVBlockSigterm();
// Installs the handler and takes the waits' mask (the process mask without SIGTERM); when the
// handler cannot be installed SIGTERM is unblocked again and ends the daemon unsaved.
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
