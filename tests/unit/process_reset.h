// Returns the daemon's process-wide state to its start: shared by the unit tests and the fuzz
// targets, which run many inputs in one process.
#pragma once

// Releases what the daemon allocated and returns every process-wide value to its start.
void ResetProcessState();
