// The last kernel panic, kept as text in the kernel panic partition.
//
// The partition is read directly (no shell, no pipe), in constant memory whatever its size,
// and cut into text lines exactly as a 256-byte line reader would: a piece ends after a
// newline, after 255 characters, or at the end of the partition. Three tags count, anywhere in
// a piece before its first NUL; the last time and the last program counter win:
//   "AP Logger forcing debug panic!"   the panic was forced (id 0x82002, else 0x82000)
//   "Current Time = YYYY-MM-DD hh:mm:ss"
//        local time; fields at 0 (4 characters), 5, 8, 11, 14, 17 (2 each) after the tag,
//        each converted as a decimal number that stops at its first non-digit
//   "[ULV]PanicPC: C0012ABC"
//        4 bytes, one per pair of characters: 16 * value(first) + value(second), low 8 bits,
//        value(c) = c - 87 above 0x60 (after A-F are lowered), else c - 48; not validated
// Characters a field would take past the end of its piece read as NUL, what the line reader
// leaves after a piece: a non-digit for the time, code 0 for the program counter.
//
// Example, the piece "Current Time = 2007-03-05 14:07:09\n" gives 5 March 2007 14:07:09 in the
// zone of TZ; "[ULV]PanicPC: c0001234\n" gives the bytes c0 00 12 34.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "panics/panics.h"
#include "state/daemon_state.h"
#include "state/placed_file.h"
#include "state/trace.h"

namespace {

constexpr std::string_view kForcedTag = "AP Logger forcing debug panic!";
constexpr std::string_view kTimeTag = "Current Time = ";
constexpr std::string_view kPcTag = "[ULV]PanicPC: ";

struct TimeField {
    size_t at;
    size_t width;
};
constexpr TimeField kYear{0, 4}, kMonth{5, 2}, kDay{8, 2}, kHour{11, 2}, kMinute{14, 2},
    kSecond{17, 2};

struct Scan {
    uint32_t time;
    uint8_t programCounter[KERNEL_PANIC_PC_SIZE];
    uint8_t forced;
};

class Piece {
  public:
    Piece(const char* text, size_t length) : text_(text), length_(length) {}
    char At(size_t i) const { return i < length_ ? text_[i] : '\0'; }
    // Where a tag ends in the piece's text (up to its first NUL), or npos.
    size_t After(std::string_view tag) const {
        const std::string_view text(text_, strnlen(text_, length_));
        const size_t found = text.find(tag);
        return found == std::string_view::npos ? found : found + tag.size();
    }
    // A decimal number as the C library's conversion reads it, within the field: leading
    // white space, an optional sign, then digits up to the first other character.
    int Number(size_t start, TimeField field) const {
        size_t i = start + field.at;
        const size_t end = i + field.width;
        while (i < end && IsSpace(At(i))) ++i;
        bool negative = false;
        if (i < end && (At(i) == '+' || At(i) == '-')) negative = At(i++) == '-';
        int value = 0;
        for (; i < end && At(i) >= '0' && At(i) <= '9'; ++i) value = value * 10 + (At(i) - '0');
        return negative ? -value : value;
    }

  private:
    static bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    const char* text_;
    size_t length_;
};

// The local time of the fields as seconds since the epoch. The daylight-saving indication is
// left to the C library (tm_isdst -1): a time in the summer period of the zone is summer time,
// which is what the phone's clock showed when it wrote it. A time that does not fit the 32-bit
// time stamp counts as no time.
uint32_t LocalTime(const Piece& piece, size_t start) {
    std::tm broken{};
    broken.tm_year = piece.Number(start, kYear) - 1900;
    broken.tm_mon = piece.Number(start, kMonth) - 1;
    broken.tm_mday = piece.Number(start, kDay);
    broken.tm_hour = piece.Number(start, kHour);
    broken.tm_min = piece.Number(start, kMinute);
    broken.tm_sec = piece.Number(start, kSecond);
    broken.tm_isdst = -1;
    const time_t seconds = std::mktime(&broken);
    if (seconds < 0 || static_cast<uint64_t>(seconds) >= KERNEL_PANIC_NO_TIME)
        return KERNEL_PANIC_NO_TIME;
    return static_cast<uint32_t>(seconds);
}

// The character code as a byte, so that bytes above 0x7F count alike on every processor.
int DigitValue(char c) {
    auto code = static_cast<uint8_t>(c);
    if (code >= 'A' && code <= 'F') code = static_cast<uint8_t>(code - 'A' + 'a');
    return code > 0x60 ? code - 87 : code - 48;
}

void ScanPiece(const Piece& piece, Scan& scan) {
    if (piece.After(kForcedTag) != std::string_view::npos) {
        scan.forced = 1;
        ULV_TRACE("User Foced Kernel Panic Tag found\n\n");
    }
    if (const size_t at = piece.After(kTimeTag); at != std::string_view::npos)
        scan.time = LocalTime(piece, at);
    if (const size_t at = piece.After(kPcTag); at != std::string_view::npos) {
        for (size_t pair = 0; pair < KERNEL_PANIC_PC_SIZE; ++pair) {
            const int value =
                16 * DigitValue(piece.At(at + 2 * pair)) + DigitValue(piece.At(at + 2 * pair + 1));
            scan.programCounter[pair] = static_cast<uint8_t>(value);
        }
    }
}

}  // namespace

int ULVParseKernelPanicLog(uint32_t* time, uint8_t* programCounter, uint8_t* forced) {
    // A link, a FIFO or anything but the partition (a plain file in the sim) is unreadable.
    const int fd = ULVOpenPlacedFixed(KERNEL_PANIC_PATH, PlacedKind::RegularOrDevice);
    if (fd < 0) {
        ULV_TRACE("failed to get kernel panic info\n\n");
        *time = KERNEL_PANIC_NO_TIME;
        return -1;
    }
    Scan scan{KERNEL_PANIC_NO_TIME, {}, 0};
    ULVReadLinePieces(
        fd,
        [](const char* text, size_t length, void* context) {
            ScanPiece(Piece(text, length), *static_cast<Scan*>(context));
            return true;
        },
        &scan);
    *time = scan.time;
    std::memcpy(programCounter, scan.programCounter, KERNEL_PANIC_PC_SIZE);
    *forced = scan.forced;
    ULV_TRACE("close pipe\n\n");
    close(fd);
    return 0;
}

void ULVReadKernelPanic() {
    DaemonState& state = ulvState;
    const uint32_t lastReported = state.flexConfig.ulv_last_ap_kernel_timestamp;
    uint32_t time = KERNEL_PANIC_NO_TIME;
    uint8_t programCounter[KERNEL_PANIC_PC_SIZE] = {};
    uint8_t forced = 0;
    ULVParseKernelPanicLog(&time, programCounter, &forced);
    if (time == KERNEL_PANIC_NO_TIME || time <= lastReported) {
        ULV_TRACE("No new Kernel panic - %d\n", static_cast<int32_t>(time));
        state.kernelPanicDone = 1;
        return;
    }
    auto* record = static_cast<KernelPanicRecord*>(std::calloc(1, sizeof(KernelPanicRecord)));
    if (record == nullptr) {
        ULV_LOG("Failed to allocate memory for valid Kernel Panic\n\r");
        ULV_TRACE("Failed to allocate memory for valid Kernel Panic\n");
        state.kernelPanicDone = 1;
        return;
    }
    ULV_LOG("Recording a Kernel Panic\n\r");
    record->id = forced != 0 ? KERNEL_PANIC_FORCED_ID : KERNEL_PANIC_ID;
    record->timestamp = time;
    std::memcpy(record->data, programCounter, KERNEL_PANIC_PC_SIZE);
    state.kernelPanic = record;
    char shown[2 * KERNEL_PANIC_PC_SIZE + 1];
    ULVFormatProgramCounter(record->data, shown);
    ULV_TRACE("Recording a Kernel Panic and its time stamp-%d address-%s\n", record->timestamp,
              shown);
    state.kernelRestoreTimestamp = lastReported;
}

void ULVReleaseKernelPanic() {
    if (ulvState.kernelPanic == nullptr) return;
    std::free(ulvState.kernelPanic);
    ulvState.kernelPanic = nullptr;
}

// Raw, the 4 bytes could hold a NUL that would end the text early.
void ULVFormatProgramCounter(const uint8_t* data, char (&out)[2 * KERNEL_PANIC_PC_SIZE + 1]) {
    std::snprintf(out, sizeof out, "%02x%02x%02x%02x", data[0], data[1], data[2], data[3]);
}
