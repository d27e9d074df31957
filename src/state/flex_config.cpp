// The configuration file: 19 lines of "key = value" under a section line.
#include "state/flex_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"
#include "state/daemon_state.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

constexpr size_t kPathSize = APP_PATH_SIZE;
constexpr size_t kLineSize = 256;          // a line is read as at most 255 characters
constexpr size_t kFileImageSize = 4096;    // the 19 written lines take well under 1 KiB

enum class Kind { U8Dec, U32Dec, U32Hex, Text };

// The fields in file order, each with its key, its written format and its place in FlexConfig.
struct FieldSpec {
    const char* key;
    Kind kind;
    size_t offset;
    size_t size;
};

#define ULV_FIELD(name, kind) \
    FieldSpec { #name, kind, offsetof(FlexConfig, name), sizeof(FlexConfig::name) }
constexpr FieldSpec kFields[] = {
    ULV_FIELD(ulv_availability, Kind::U8Dec),
    ULV_FIELD(ulv_sms_address_type, Kind::U8Dec),
    ULV_FIELD(ulv_last_num_panics, Kind::U8Dec),
    ULV_FIELD(ulv_lst_bldinfo_baselabel, Kind::Text),
    ULV_FIELD(ulv_last_flex_version, Kind::Text),
    ULV_FIELD(ulv_last_panic_timestamp, Kind::U32Hex),
    ULV_FIELD(ulv_last_preiodic_report_timestamp, Kind::U32Hex),
    ULV_FIELD(ulv_last_powerup_timestamp, Kind::U32Hex),
    ULV_FIELD(ulv_cummulative_uptime, Kind::U32Hex),
    ULV_FIELD(ulv_destination_address, Kind::Text),
    ULV_FIELD(ulv_report_duration, Kind::U8Dec),
    ULV_FIELD(ulv_report_delay, Kind::U8Dec),
    ULV_FIELD(ulv_last_ap_quela_num_panics, Kind::U32Dec),
    ULV_FIELD(ulv_last_ap_quela_panic_timestamp, Kind::U32Hex),
    ULV_FIELD(ulv_last_ap_num_dump, Kind::U32Dec),
    ULV_FIELD(ulv_last_ap_num_dump_timestamp, Kind::U32Hex),
    ULV_FIELD(ulv_last_ap_kernel_timestamp, Kind::U32Hex),
    ULV_FIELD(enableCoreDumps, Kind::U8Dec),
};
#undef ULV_FIELD
static_assert(sizeof kFields / sizeof kFields[0] == 18, "FlexConfig has 18 fields");

const char* ScanFormat(Kind kind) {
    switch (kind) {
        case Kind::U32Hex: return "%x";
        case Kind::Text: return "%s";
        default: return "%d";
    }
}

uint8_t* FieldAddress(const FieldSpec& field) {
    return reinterpret_cast<uint8_t*>(&ulvState.flexConfig) + field.offset;
}

}  // namespace

PathResult ConfigPath(const char* relative, char (&out)[kPathSize]) {
    const char* base = std::getenv("ZEL_APP_WRITE_PATH");
    if (base == nullptr) {
        // Nowhere to look: the daemon counts as not configured and does not start, and
        // nothing is written.
        ULV_LOG("ZEL_APP_WRITE_PATH is not set\n\r");
        ULV_TRACE("ZEL_APP_WRITE_PATH is not set\n");
        return PathResult::NoBase;
    }
    int n = std::snprintf(out, sizeof out, "%s/%s", base, relative);
    return n < 0 || static_cast<size_t>(n) > sizeof out - 1 ? PathResult::Truncated
                                                              : PathResult::Complete;
}

namespace {

// Writes the record as the 19 lines of the file format.
bool WriteConfigLines(FILE* file) {
    std::fprintf(file, "[UlvSetup]\n");
    for (const FieldSpec& field : kFields) {
        const uint8_t* address = FieldAddress(field);
        uint32_t number = 0;
        if (field.size == 4) std::memcpy(&number, address, 4);
        switch (field.kind) {
            case Kind::U8Dec:
                std::fprintf(file, "%s = %d\n", field.key, static_cast<int>(*address));
                break;
            case Kind::U32Dec:
                std::fprintf(file, "%s = %d\n", field.key, static_cast<int32_t>(number));
                break;
            case Kind::U32Hex:
                std::fprintf(file, "%s = %x\n", field.key, number);
                break;
            case Kind::Text:
                std::fprintf(file, "%s = %.*s\n", field.key, static_cast<int>(field.size),
                             reinterpret_cast<const char*>(address));
                break;
        }
    }
    return std::ferror(file) == 0;
}

// Puts a copy of `source` in place of `destination` so that, whatever ends the process,
// `destination` is either the old file or the complete new one: the copy goes to a
// temporary file next to it, reaches the storage, and is renamed over it.
bool ReplaceWithCopy(const char* source, const char* destination) {
    char image[kFileImageSize];
    FILE* in = std::fopen(source, "r");
    if (in == nullptr) return false;
    size_t size = std::fread(image, 1, sizeof image, in);
    bool complete = std::feof(in) != 0 && std::ferror(in) == 0;
    std::fclose(in);
    if (!complete || size == 0) return false;

    char temporary[kPathSize + 8];
    int n = std::snprintf(temporary, sizeof temporary, "%s.new", destination);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) return false;

    // Keep the permissions the file had, so other platform software can still reach it.
    struct stat status {};
    mode_t mode = stat(destination, &status) == 0 ? (status.st_mode & 07777) : 0644;
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool written = ULVWriteAll(fd, image, size) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || std::rename(temporary, destination) != 0) {
        unlink(temporary);
        return false;
    }
    // Make the rename itself durable.
    char directory[kPathSize];
    std::snprintf(directory, sizeof directory, "%s", destination);
    char* slash = std::strrchr(directory, '/');
    if (slash != nullptr) {
        *(slash == directory ? slash + 1 : slash) = '\0';
        int dirFd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            fsync(dirFd);
            close(dirFd);
        }
    }
    return true;
}

}  // namespace

void ULVFindFlexKey(FILE* file, const char* key, const char* format, void* destination,
                    size_t destinationSize) {
    std::rewind(file);
    char line[kLineSize];
    const char* keyAt = nullptr;
    const char* equalsAt = nullptr;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        keyAt = std::strstr(line, key);
        equalsAt = nullptr;
        if (keyAt == nullptr) continue;
        equalsAt = std::strchr(keyAt + std::strlen(key), '=');
        if (equalsAt == nullptr) continue;

        const char* value = equalsAt + 1;
        while (*value == ' ') ++value;
        int parsed = 0;
        if (std::strcmp(format, "%s") == 0) {
            char text[kLineSize];
            parsed = std::sscanf(value, "%255s", text);
            if (parsed == 1) {
                // Cut to the field's width and NUL-padded; a full-width text is unterminated.
                auto* field = static_cast<char*>(destination);
                std::memset(field, 0, destinationSize);
                std::memcpy(field, text, strnlen(text, destinationSize));
            }
        } else {
            // Through a 32-bit temporary, stored with the field's width (low 8 bits for u8).
            uint32_t number = 0;
            if (destinationSize == 4) std::memcpy(&number, destination, 4);
            else number = *static_cast<uint8_t*>(destination);
            parsed = std::sscanf(value, format, &number);
            if (parsed == 1) {
                if (destinationSize == 4) std::memcpy(destination, &number, 4);
                else *static_cast<uint8_t*>(destination) = static_cast<uint8_t>(number);
            }
        }
        if (parsed != 1) ULV_LOG("Sscanf result is not 1 - %d\n\r", parsed);
        return;
    }
    ULV_LOG("Unable to parse the flex - %p, %p\n\r", static_cast<const void*>(keyAt),
            static_cast<const void*>(equalsAt));
}

int ULVGetFlexConfig() {
    char path[kPathSize];
    PathResult pathResult = ConfigPath(FLEX_CONFIG_RELATIVE_PATH, path);
    if (pathResult == PathResult::NoBase) return -1;
    if (pathResult == PathResult::Truncated) ULV_LOG("The file name is trucated - %s\n\r", path);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        ULV_LOG("Can't open the flex file\n\r");
        ULV_TRACE("Can't open the flex file\n");
        return -1;
    }
    FlexConfig& config = ulvState.flexConfig;
    for (const FieldSpec& field : kFields) {
        uint8_t* address = FieldAddress(field);
        if (field.offset == offsetof(FlexConfig, ulv_report_duration) ||
            field.offset == offsetof(FlexConfig, ulv_report_delay)) {
            // The two timing settings are clamped on their full 32-bit value.
            uint32_t value = *address;
            ULVFindFlexKey(file, field.key, "%d", &value, sizeof value);
            if (field.offset == offsetof(FlexConfig, ulv_report_duration))
                *address = value <= 5 ? FLEX_MIN_REPORT_DURATION : static_cast<uint8_t>(value);
            else
                *address = value > 14 ? FLEX_MAX_REPORT_DELAY : static_cast<uint8_t>(value);
            continue;
        }
        ULVFindFlexKey(file, field.key, ScanFormat(field.kind), address, field.size);
    }
    std::fclose(file);
    ulvState.reportDelay = config.ulv_report_delay;

    if (config.ulv_availability == 1 && config.ulv_destination_address[0] != '\0') {
        OutgoingSms& sms = ulvState.outgoingSms;
        std::memcpy(sms.destination, config.ulv_destination_address, FLEX_DESTINATION_SIZE);
        sms.destination[FLEX_DESTINATION_SIZE] = '\0';
        sms.addressType = config.ulv_sms_address_type;
        return 0;
    }
    ULV_LOG("ULV not configured AVLBL=%d, DST=%.*s\n\r", config.ulv_availability,
            static_cast<int>(FLEX_DESTINATION_SIZE), config.ulv_destination_address);
    return -1;
}

void ULVSetFlexConfig() {
    if (ulvState.configWriteBusy == 1) return;
    ulvState.configWriteBusy = 1;

    char destination[kPathSize];
    PlatformPathBuffer tempBuffer;
    const char* tempPath = PlatformResolvePath(FLEX_CONFIG_TEMP_PATH, tempBuffer);
    PathResult pathResult = ConfigPath(FLEX_CONFIG_RELATIVE_PATH, destination);
    if (pathResult != PathResult::Complete) {
        // A destination cut short would put the configuration somewhere else: write nothing.
        if (pathResult == PathResult::Truncated)
            ULV_LOG("The command is truncated - %s", destination);
        ulvState.configWriteBusy = 0;
        return;
    }
    FILE* file = std::fopen(tempPath, "w");
    if (file == nullptr) {
        ULV_LOG("can't open the flex file for writing\n\r");
        ULV_TRACE("can't open the flex file for writing\n");
        ulvState.configWriteBusy = 0;
        return;
    }
    bool written = WriteConfigLines(file);
    written = std::fclose(file) == 0 && written;
    if (!written || !ReplaceWithCopy(tempPath, destination)) {
        ULV_LOG("can't copy the flex file - %s\n\r", std::strerror(errno));
        ULV_TRACE("can't copy the flex file - %s\n", std::strerror(errno));
    }
    ulvState.configWriteBusy = 0;
}
