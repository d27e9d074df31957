// The configuration file "<ZEL_APP_WRITE_PATH>/setup/ulv.cfg" and its in-memory mirror.
#pragma once

#include <cstddef>
#include <cstdint>

// Text fields hold up to their full width and are NUL-padded, not necessarily terminated: a
// 20-character build label fills its 20 bytes. In the file a text value is one word: a byte
// that would end the word or the line (blank, tab, line feed, carriage return, vertical tab,
// form feed) and the escape character "\" itself are written as "\xHH" (two lower-case hex
// digits), every other byte as it is, so a text without such bytes is written plainly and every
// text reads back exactly as it was written. Reading cuts a value to the field's width.
inline constexpr size_t FLEX_VERSION_TEXT_SIZE = 20;
inline constexpr size_t FLEX_DESTINATION_SIZE = 51;

// Members are named by their keys in the file.
struct FlexConfig {
    uint8_t ulv_availability;
    uint8_t ulv_sms_address_type;
    uint8_t ulv_last_num_panics;
    char ulv_lst_bldinfo_baselabel[FLEX_VERSION_TEXT_SIZE];
    char ulv_last_flex_version[FLEX_VERSION_TEXT_SIZE];
    uint32_t ulv_last_panic_timestamp;
    uint32_t ulv_last_preiodic_report_timestamp;
    uint32_t ulv_last_powerup_timestamp;
    uint32_t ulv_cummulative_uptime;
    char ulv_destination_address[FLEX_DESTINATION_SIZE];
    uint8_t ulv_report_duration;
    uint8_t ulv_report_delay;
    uint32_t ulv_last_ap_quela_num_panics;
    uint32_t ulv_last_ap_quela_panic_timestamp;
    uint32_t ulv_last_ap_num_dump;
    uint32_t ulv_last_ap_num_dump_timestamp;
    uint32_t ulv_last_ap_kernel_timestamp;
    uint8_t enableCoreDumps;
};

inline constexpr char FLEX_CONFIG_RELATIVE_PATH[] = "setup/ulv.cfg";
inline constexpr char FLEX_CONFIG_TEMP_PATH[] = "/tmp/ulv.cfg";
inline constexpr uint8_t FLEX_MIN_REPORT_DURATION = 6;  // hours
inline constexpr uint8_t FLEX_MAX_REPORT_DELAY = 15;    // seconds
// The whole file is read into and written from one buffer of this size; the 19 lines take at
// most under 1 KiB even with every text byte escaped. Bytes past it are not read.
inline constexpr size_t FLEX_FILE_IMAGE_SIZE = 4096;

// "<ZEL_APP_WRITE_PATH>/<relative>", cut short when it does not fit the buffer. The variable
// being unset is logged and traced; the caller then reads and writes nothing.
enum class PathResult { Complete, Truncated, NoBase };
inline constexpr size_t APP_PATH_SIZE = 256;
PathResult ConfigPath(const char* relative, char (&out)[APP_PATH_SIZE]);

// Reads the file into FlexConfig (without clearing it first). 0 when read and configured:
// enabled, with a destination that can be sent to. Only a regular file is read.
int ULVGetFlexConfig();
// Looks `key` up in the file's `image` of `size` bytes and parses its value with `format`
// ("%d", "%x" or "%s"). Only a line that begins with the whole key followed by optional blanks
// and "=" matches; the first from the top wins. Numbers go through a 32-bit temporary stored
// with the destination's width (`destinationSize` 1 or 4); texts are stored cut to
// `destinationSize` bytes. A value that does not parse leaves the destination as it was.
void ULVFindFlexKey(const char* image, size_t size, const char* key, const char* format,
                    void* destination, size_t destinationSize);
// Writes the whole record back, crash-safely. Does nothing while a write is in progress.
void ULVSetFlexConfig();
