// Declaration-only stand-in for the phone's logging library (libaplog.so.1.0.0); records go
// nowhere. A platform integrator links the real library instead.
#include "platform/aplog.h"

extern "C" {
int _aplog_init(const char*, int) { return 0; }
int _aplog_port_log_ascii(int, int, const char*, ...) { return 0; }
int _aplog_port_log_bin(int, int, uint32_t, const void*, uint32_t) { return 0; }
int _aplog_exit(int) { return 0; }
}
