// The platform log on the host: one line per record appended to <root>/sim/aplog.log.
//   "I <port name> <flags>"                         _aplog_init
//   "A <port> <level> <text>"                       text record
//   "B <port> <level> 0x<id> <count> <hex bytes>"   binary record
//   "X <flags>"                                     _aplog_exit
// Control characters of a text are written visibly (\n, \r, \t, \\, \xHH), so that a record
// ending in "\n\r" reads as that in the file.
#include "platform/aplog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "sim_env.h"

namespace {

// Longer records are cut. A text has at most a few hundred characters (like a trace record,
// it is cut at 1024); a text line leaves room for it with its control characters shown, a
// binary line for the hexadecimal of 2000 bytes. The buffers are on the stack of every
// record, so they are kept small: the daemon's private memory is every page it ever touched.
constexpr size_t kTextMax = 1024;
constexpr size_t kLineMax = 2 * kTextMax + 64;
constexpr size_t kBinLineMax = 4096;

void AppendLine(const char* line, size_t length) {
    char path[512];
    int n = std::snprintf(path, sizeof path, "%s/sim/aplog.log", sim::Root());
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, line, length);
    close(fd);
}

// Appends `text` to `line` at `used` with control characters made visible.
size_t AppendVisible(char* line, size_t used, const char* text) {  // line: kLineMax bytes
    static const char kHex[] = "0123456789abcdef";
    for (const char* c = text; *c != '\0' && used + 5 < kLineMax; ++c) {
        unsigned char ch = static_cast<unsigned char>(*c);
        switch (ch) {
            case '\n': line[used++] = '\\'; line[used++] = 'n'; break;
            case '\r': line[used++] = '\\'; line[used++] = 'r'; break;
            case '\t': line[used++] = '\\'; line[used++] = 't'; break;
            case '\\': line[used++] = '\\'; line[used++] = '\\'; break;
            default:
                if (ch < 0x20 || ch == 0x7f) {
                    line[used++] = '\\';
                    line[used++] = 'x';
                    line[used++] = kHex[ch >> 4];
                    line[used++] = kHex[ch & 15];
                } else {
                    line[used++] = static_cast<char>(ch);
                }
        }
    }
    return used;
}

}  // namespace

extern "C" {

int _aplog_init(const char* portName, int flags) {
    char line[256];
    int n = std::snprintf(line, sizeof line, "I %s %d\n", portName, flags);
    if (n > 0) AppendLine(line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
    return 0;
}

int _aplog_port_log_ascii(int port, int level, const char* format, ...) {
    char text[kTextMax];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[kLineMax];
    int n = std::snprintf(line, sizeof line, "A %d %d ", port, level);
    size_t used = AppendVisible(line, static_cast<size_t>(n), text);
    line[used++] = '\n';
    AppendLine(line, used);
    return 0;
}

int _aplog_port_log_bin(int port, int level, uint32_t recordId, const void* bytes,
                        uint32_t count) {
    static const char kHex[] = "0123456789abcdef";
    char line[kBinLineMax];
    int n = std::snprintf(line, sizeof line, "B %d %d 0x%X %u ", port, level,
                          static_cast<unsigned>(recordId), static_cast<unsigned>(count));
    size_t used = static_cast<size_t>(n);
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    for (uint32_t i = 0; data != nullptr && i < count && used + 3 < kBinLineMax; ++i) {
        line[used++] = kHex[data[i] >> 4];
        line[used++] = kHex[data[i] & 15];
    }
    line[used++] = '\n';
    AppendLine(line, used);
    return 0;
}

int _aplog_exit(int flags) {
    char line[32];
    int n = std::snprintf(line, sizeof line, "X %d\n", flags);
    AppendLine(line, static_cast<size_t>(n));
    return 0;
}

}  // extern "C"
