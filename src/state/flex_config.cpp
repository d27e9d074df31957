// The configuration file: 19 lines of "key = value" under a section line.
#include "state/flex_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/paths.h"
#include "reports/reports.h"
#include "state/daemon_state.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

constexpr size_t kPathSize = APP_PATH_SIZE;
// A configuration file created where none was: readable by the platform's other software.
constexpr mode_t kNewConfigMode = 0644;

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

uint8_t* FieldAddress(const FieldSpec& field, FlexConfig& config = ulvState.flexConfig) {
    return reinterpret_cast<uint8_t*>(&config) + field.offset;
}

// True when the record differs from the one last saved durably in the cumulative uptime at
// most: a save that only accounts for time passing (the periodic tick, SIGTERM).
bool OnlyAccountingChanged() {
    if (ulvState.flexDurableValid == 0) return false;
    for (const FieldSpec& field : kFields) {
        if (field.offset == offsetof(FlexConfig, ulv_cummulative_uptime)) continue;
        if (std::memcmp(FieldAddress(field), FieldAddress(field, ulvState.flexDurable),
                        field.size) != 0)
            return false;
    }
    return true;
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

// ---- Numbers and texts as the file holds them -------------------------------------------

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// The bytes a text value cannot hold as they are: those that end a word or a line, and the
// escape character.
bool NeedsEscape(unsigned char c) { return IsSpace(static_cast<char>(c)) || c == '\\'; }

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* SkipSpace(const char* at, const char* end) {
    while (at < end && IsSpace(*at)) ++at;
    return at;
}

// The results of the scan formats these parsers stand in for: 1 parsed, 0 the value does not
// parse, -1 nothing but white space before the end of the line.
constexpr int kScanParsed = 1;
constexpr int kScanBad = 0;
constexpr int kScanEmpty = -1;

// "%d" (base 10) or "%x" (base 16, optional "0x"), defined the same on every architecture:
// white space, an optional sign, then digits up to the first byte that is not one. The value
// must fit 32 bits, as an unsigned number or, negative, as a signed one (down to -2^31, stored
// as its two's complement); anything larger is a bad value, like text where digits belong.
int ParseNumber(const char* at, const char* end, unsigned base, uint32_t* value) {
    at = SkipSpace(at, end);
    if (at == end || *at == '\0') return kScanEmpty;
    bool negative = false;
    if (*at == '+' || *at == '-') negative = *at++ == '-';
    if (base == 16 && end - at > 2 && at[0] == '0' && (at[1] == 'x' || at[1] == 'X') &&
        DigitValue(at[2]) >= 0)
        at += 2;
    constexpr uint64_t kMax = 0xFFFFFFFFu;
    uint64_t magnitude = 0;
    bool overflow = false;
    const char* first = at;
    for (int digit; at < end && (digit = DigitValue(*at)) >= 0 &&
                    static_cast<unsigned>(digit) < base;
         ++at) {
        magnitude = magnitude * base + static_cast<unsigned>(digit);
        if (magnitude > kMax) {
            overflow = true;
            magnitude = kMax + 1;  // keeps the product in range while the digits run on
        }
    }
    if (at == first || overflow) return kScanBad;
    if (negative && magnitude > 0x80000000u) return kScanBad;
    *value = negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
    return kScanParsed;
}

// "%s": white space, then one word, with "\xHH" escapes decoded, stored cut to `width` and
// NUL-padded. A broken escape or an escaped NUL is a bad value.
int ParseText(const char* at, const char* end, char* field, size_t width) {
    at = SkipSpace(at, end);
    if (at == end || *at == '\0') return kScanEmpty;
    char text[FLEX_DESTINATION_SIZE];
    size_t length = 0;
    while (at < end && *at != '\0' && !IsSpace(*at)) {
        char byte = *at++;
        if (byte == '\\') {
            if (end - at < 3 || at[0] != 'x' || DigitValue(at[1]) < 0 || DigitValue(at[2]) < 0)
                return kScanBad;
            byte = static_cast<char>(DigitValue(at[1]) * 16 + DigitValue(at[2]));
            at += 3;
            if (byte == '\0') return kScanBad;
        }
        if (length < width && length < sizeof text) text[length++] = byte;
    }
    std::memset(field, 0, width);
    std::memcpy(field, text, length);
    return kScanParsed;
}

// ---- Writing ----------------------------------------------------------------------------

// The file image being formatted, in a fixed buffer that holds any record (see
// WorstCaseImageSize); a write past its end would be dropped, never made.
struct ImageWriter {
    char* out;
    size_t capacity;
    size_t size = 0;

    void Put(const char* bytes, size_t count) {
        if (count > capacity - size) return;
        std::memcpy(out + size, bytes, count);
        size += count;
    }
    void PutString(const char* text) { Put(text, std::strlen(text)); }
    void PutUnsigned(uint32_t value, unsigned base) {
        char digits[10];
        size_t count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        while (count > 0) Put(&digits[--count], 1);
    }
    void PutSigned(int32_t value) {
        if (value < 0) Put("-", 1);
        PutUnsigned(value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value),
                    10);
    }
    // The text up to its first NUL, at most `width` bytes.
    void PutEscaped(const char* text, size_t width) {
        for (size_t i = 0; i < width && text[i] != '\0'; ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (NeedsEscape(byte)) {
                const char escape[4] = {'\\', 'x', "0123456789abcdef"[byte >> 4],
                                        "0123456789abcdef"[byte & 15]};
                Put(escape, sizeof escape);
            } else {
                Put(&text[i], 1);
            }
        }
    }
};

constexpr char kSectionLine[] = "[UlvSetup]\n";

// The longest the 19 lines can be: every text byte escaped, every number at its widest.
constexpr size_t WorstCaseImageSize() {
    size_t size = sizeof kSectionLine - 1;
    for (const FieldSpec& field : kFields) {
        size_t value = field.kind == Kind::Text     ? 4 * field.size
                       : field.kind == Kind::U8Dec  ? 3
                       : field.kind == Kind::U32Dec ? 11
                                                    : 8;
        size += std::char_traits<char>::length(field.key) + 3 + value + 1;
    }
    return size;
}
static_assert(WorstCaseImageSize() <= FLEX_FILE_IMAGE_SIZE,
              "the file image buffer holds any record");

// The record as the 19 lines of the file format. Returns the image's size.
size_t FormatConfigImage(char (&image)[FLEX_FILE_IMAGE_SIZE]) {
    ImageWriter writer{image, sizeof image};
    writer.PutString(kSectionLine);
    for (const FieldSpec& field : kFields) {
        const uint8_t* address = FieldAddress(field);
        uint32_t number = 0;
        if (field.size == 4) std::memcpy(&number, address, 4);
        writer.PutString(field.key);
        writer.PutString(" = ");
        switch (field.kind) {
            case Kind::U8Dec: writer.PutUnsigned(*address, 10); break;
            case Kind::U32Dec: writer.PutSigned(static_cast<int32_t>(number)); break;
            case Kind::U32Hex: writer.PutUnsigned(number, 16); break;
            case Kind::Text:
                writer.PutEscaped(reinterpret_cast<const char*>(address), field.size);
                break;
        }
        writer.PutString("\n");
    }
    return writer.size;
}

// "/tmp/ulv.cfg": a copy of the configuration kept where it has always been written. Whatever
// another process placed there is removed, never written through; the copy is never read.
void WriteTemporaryCopy(const char* image, size_t size) {
    PlatformPathBuffer buffer;
    int fd = ULVCreateFresh(PlatformResolvePath(FLEX_CONFIG_TEMP_PATH, buffer), 0600);
    bool written = fd >= 0 && ULVWriteAll(fd, image, size);
    if (fd >= 0) written = close(fd) == 0 && written;
    if (!written) {
        ULV_LOG("can't open the flex file for writing\n\r");
        ULV_TRACE("can't open the flex file for writing\n");
    }
}

// Puts `image` in place of `destination` so that, whatever ends the process, `destination` is
// either the old file or the complete new one: the image goes to a temporary file next to it,
// reaches the storage, and is renamed over it. The new file keeps the old one's owner and mode,
// so other platform software can still reach it.
//
// Flash wear: the rename is made durable (the directory flushed) only when `durable`. Without
// it a power cut can bring back an older whole file, never a partial one; see
// ULVSetFlexConfig for which saves may do without.
enum class Replaced : uint8_t { Not, Whole, Durably };

Replaced ReplaceFromImage(const char* destination, const char* image, size_t size, bool durable) {
    char temporary[kPathSize + 8];
    int n = std::snprintf(temporary, sizeof temporary, "%s.new", destination);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) return Replaced::Not;

    struct stat old {};
    bool haveOld = false;
    int oldFd = ULVOpenPlaced(destination, PlacedKind::Regular);
    if (oldFd >= 0) {
        haveOld = fstat(oldFd, &old) == 0;
        close(oldFd);
    }
    int fd = ULVCreateFresh(temporary, 0600);
    if (fd < 0) return Replaced::Not;
    struct stat created {};
    if (haveOld && fstat(fd, &created) == 0 &&
        (created.st_uid != old.st_uid || created.st_gid != old.st_gid) &&
        fchown(fd, old.st_uid, old.st_gid) != 0) {
        // The bookkeeping matters more than the owner: saved all the same.
        ULV_TRACE("can't keep the owner of the flex file - %s\n", std::strerror(errno));
    }
    const mode_t mode = haveOld ? (old.st_mode & 07777) : kNewConfigMode;
    bool written = fchmod(fd, mode) == 0 && ULVWriteAll(fd, image, size) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || std::rename(temporary, destination) != 0) {
        unlink(temporary);
        return Replaced::Not;
    }
    if (!durable) return Replaced::Whole;
    // Make the rename itself durable. Where the flush fails the save does not count as durable,
    // so the next save flushes the directory again.
    char directory[kPathSize];
    std::snprintf(directory, sizeof directory, "%s", destination);
    char* slash = std::strrchr(directory, '/');
    if (slash == nullptr) return Replaced::Whole;
    *(slash == directory ? slash + 1 : slash) = '\0';
    const int dirFd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return Replaced::Whole;
    const bool flushed = fsync(dirFd) == 0;
    close(dirFd);
    return flushed ? Replaced::Durably : Replaced::Whole;
}

// ---- Reading ----------------------------------------------------------------------------

// Reads the configuration file into `image`. Returns its size, or -1 when it cannot be read:
// missing, unreadable, or not a regular file (a link or a FIFO another process placed).
ssize_t ReadConfigImage(const char* path, char (&image)[FLEX_FILE_IMAGE_SIZE]) {
    int fd = ULVOpenPlaced(path, PlacedKind::Regular);
    if (fd < 0) {
        if (errno == ELOOP || errno == EINVAL) {
            ULV_LOG("The flex file is not a regular file - %s\n\r", path);
            ULV_TRACE("The flex file is not a regular file - %s\n", path);
        }
        return -1;
    }
    ssize_t size = ULVReadFull(fd, image, sizeof image);
    char extra = 0;
    if (size == static_cast<ssize_t>(sizeof image) && ULVReadFull(fd, &extra, 1) == 1) {
        // Longer than the daemon ever writes it: the lines that fit whole are read, the rest
        // is not (a line cut short could give a wrong value).
        ULV_TRACE("The flex file is longer than %u bytes, the rest is ignored\n",
                  static_cast<unsigned>(sizeof image));
        while (size > 0 && image[size - 1] != '\n') --size;
    }
    close(fd);
    return size;
}

}  // namespace

void ULVFindFlexKey(const char* image, size_t size, const char* key, const char* format,
                    void* destination, size_t destinationSize) {
    const size_t keyLength = std::strlen(key);
    const char* const imageEnd = image + size;
    const char* keyAt = nullptr;  // the last line that began with the key, for the record
    for (const char* line = image; line < imageEnd;) {
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', imageEnd - line));
        const char* lineEnd = newline != nullptr ? newline : imageEnd;
        const char* next = newline != nullptr ? newline + 1 : imageEnd;
        if (static_cast<size_t>(lineEnd - line) < keyLength ||
            std::memcmp(line, key, keyLength) != 0) {
            line = next;
            continue;
        }
        keyAt = line;
        const char* at = line + keyLength;
        while (at < lineEnd && IsBlank(*at)) ++at;
        if (at == lineEnd || *at != '=') {
            line = next;
            continue;
        }
        ++at;
        while (at < lineEnd && *at == ' ') ++at;
        int parsed = kScanBad;
        if (std::strcmp(format, "%s") == 0) {
            parsed = ParseText(at, lineEnd, static_cast<char*>(destination), destinationSize);
        } else {
            // Through a 32-bit temporary, stored with the field's width (low 8 bits for u8).
            uint32_t number = 0;
            parsed = ParseNumber(at, lineEnd, std::strcmp(format, "%x") == 0 ? 16 : 10, &number);
            if (parsed == kScanParsed) {
                if (destinationSize == 4) std::memcpy(destination, &number, 4);
                else *static_cast<uint8_t*>(destination) = static_cast<uint8_t>(number);
            }
        }
        if (parsed != kScanParsed) ULV_LOG("Sscanf result is not 1 - %d\n\r", parsed);
        return;
    }
    ULV_LOG("Unable to parse the flex - %p, %p\n\r", static_cast<const void*>(keyAt),
            static_cast<const void*>(nullptr));
}

int ULVGetFlexConfig() {
    char path[kPathSize];
    PathResult pathResult = ConfigPath(FLEX_CONFIG_RELATIVE_PATH, path);
    if (pathResult == PathResult::NoBase) return -1;
    if (pathResult == PathResult::Truncated) ULV_LOG("The file name is trucated - %s\n\r", path);
    char image[FLEX_FILE_IMAGE_SIZE];
    const ssize_t read = ReadConfigImage(path, image);
    if (read < 0) {
        ULV_LOG("Can't open the flex file\n\r");
        ULV_TRACE("Can't open the flex file\n");
        return -1;
    }
    const auto size = static_cast<size_t>(read);
    FlexConfig& config = ulvState.flexConfig;
    for (const FieldSpec& field : kFields) {
        uint8_t* address = FieldAddress(field);
        if (field.offset == offsetof(FlexConfig, ulv_report_duration) ||
            field.offset == offsetof(FlexConfig, ulv_report_delay)) {
            // The two timing settings go through a 32-bit value. The delay is clamped on it.
            // The duration keeps its low 8 bits and is then never below the minimum: a value
            // such as 256 or 261 is raised too, so the setting reads back as it was saved.
            uint32_t value = *address;
            ULVFindFlexKey(image, size, field.key, "%d", &value, sizeof value);
            const auto low = static_cast<uint8_t>(value);
            if (field.offset == offsetof(FlexConfig, ulv_report_duration))
                *address = low < FLEX_MIN_REPORT_DURATION ? FLEX_MIN_REPORT_DURATION : low;
            else
                *address = value > 14 ? FLEX_MAX_REPORT_DELAY : low;
            continue;
        }
        ULVFindFlexKey(image, size, field.key, ScanFormat(field.kind), address, field.size);
    }
    ulvState.reportDelay = config.ulv_report_delay;

    if (config.ulv_availability == 1 && config.ulv_destination_address[0] != '\0') {
        const size_t length = strnlen(config.ulv_destination_address, FLEX_DESTINATION_SIZE);
        if (config.ulv_sms_address_type != SMS_ADDRESS_TYPE_EMAIL &&
            length >= SUBMIT_DESTINATION_SIZE) {
            // A phone number longer than the submission's destination field can never be sent
            // (cut to fit it would reach somebody else): not configured, rather than a daemon
            // that drops every report at every start.
            ULV_LOG("Destination address too long - %.*s\n\r", static_cast<int>(length),
                    config.ulv_destination_address);
            ULV_TRACE("Destination address too long - %.*s\n", static_cast<int>(length),
                      config.ulv_destination_address);
            return -1;
        }
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
    PathResult pathResult = ConfigPath(FLEX_CONFIG_RELATIVE_PATH, destination);
    if (pathResult != PathResult::Complete) {
        // A destination cut short would put the configuration somewhere else: write nothing.
        if (pathResult == PathResult::Truncated)
            ULV_LOG("The command is truncated - %s", destination);
        ulvState.configWriteBusy = 0;
        return;
    }
    char image[FLEX_FILE_IMAGE_SIZE];
    const size_t size = FormatConfigImage(image);
    // The copy in "/tmp" is only a copy: whatever happens to it, the configuration itself is
    // written from memory, so nothing another process does there can stop or steer the save.
    WriteTemporaryCopy(image, size);
    // What was reported, and every mark, reaches the flash at once: file and rename. A save that
    // only accounts for uptime (every idle tick) flushes the file's data, so the file is always
    // whole, but leaves the rename to the next flush of the directory: one fsync a tick, not
    // two. On a power cut the file then comes back as it was at the last durable save or a
    // later one: what can be lost is the uptime counted since the last save that recorded
    // something, at most one reporting period, since each periodic report saves durably.
    const bool durable = !OnlyAccountingChanged();
    const Replaced replaced = ReplaceFromImage(destination, image, size, durable);
    if (replaced == Replaced::Not) {
        ULV_LOG("can't copy the flex file - %s\n\r", std::strerror(errno));
        ULV_TRACE("can't copy the flex file - %s\n", std::strerror(errno));
    } else if (replaced == Replaced::Durably) {
        ulvState.flexDurable = ulvState.flexConfig;
        ulvState.flexDurableValid = 1;
    }
    ulvState.configWriteBusy = 0;
}
