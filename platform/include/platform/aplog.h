// Platform logging library of the handset (libaplog.so.1.0.0). Results are never looked at.
#pragma once

#include <cstdint>

extern "C" {
int _aplog_init(const char* portName, int flags);
int _aplog_port_log_ascii(int port, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int _aplog_port_log_bin(int port, int level, uint32_t recordId, const void* bytes, uint32_t count);
int _aplog_exit(int flags);
}
