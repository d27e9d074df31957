// ulv-fleet-gen: a made-up fleet for the ingest benchmark, as a CSV export
// (received_at,sender,text), with the report messages laid out, put in wire order and encoded
// by the daemon's own code (ULVToWireOrder, ULVEncodeText), so that the texts are exactly what
// handsets send.
//
//   ulv-fleet-gen --handsets N --reports M [--seed S] [--start EPOCH]
//
// Each handset starts on one of four releases, sends a periodic report every 6 to 8 hours, a
// crash report (BP/QUELA id, kernel pc or core dump, from a skewed pool of signatures) now and
// then, and may move to the next release once, sending a software-change report. One handset in
// twenty reports through the e-mail gateway, whose texts are cut at 160 characters.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "reports/report_layout.h"
#include "reports/reports.h"
#include "state/daemon_state.h"

namespace {

constexpr const char* kReleases[][2] = {{"AP_R1", "FLEX_7"}, {"AP_R2", "FLEX_7"}, {"AP_R2", "FLEX_8"}, {"AP_R3", "FLEX_8"}};
constexpr uint16_t kFingerprints[] = {0x2679, 0x3a01, 0x3a02, 0x4b10};
constexpr char kEmailAddress[] = "fleet.reports@example.com";

void Put32(uint8_t* at, uint32_t value) {
    std::memcpy(at, &value, 4);  // host order, then the daemon's conversion
    ULVToWireOrder(at, 4);
}

void PutText(uint8_t* at, size_t size, const std::string& text) {
    std::memset(at, 0, size);
    std::memcpy(at, text.data(), std::min(size, text.size()));
}

struct Handset {
    std::string serial;
    int release = 0;
    uint64_t uptimeSeconds = 0;
    uint32_t callTime = 0;
    bool email = false;
};

// Writes one CSV line for a message of `length` bytes.
void Emit(const Handset& h, int64_t receivedAt, uint8_t* message, uint8_t length) {
    char text[4 * 64 + 1];
    ULVEncodeText(text, message, length);
    std::string body = text;
    if (h.email) body = (std::string(kEmailAddress) + " " + body).substr(0, SMS_MAX_CHARACTERS);
    std::printf("%lld,+1555%07d,%s\n", static_cast<long long>(receivedAt), std::atoi(h.serial.c_str() + 3), body.c_str());
}

void Header(uint8_t* m, const Handset& h, uint8_t type) {
    std::memset(m, 0, REPORT_HEADER_SIZE);
    m[REPORT_TYPE_OFFSET] = type;
    m[REPORT_FORMAT_CODE_OFFSET] = REPORT_FORMAT_CODE;
    PutText(m + REPORT_AP_BUILD_LABEL_OFFSET, REPORT_LABEL_SIZE, kReleases[h.release][0]);
    PutText(m + REPORT_FLEX_VERSION_OFFSET, REPORT_LABEL_SIZE, kReleases[h.release][1]);
    std::memcpy(m + REPORT_BP_VERSION_CODE_OFFSET, "1234", 4);
    m[REPORT_BP_TOTAL_COUNT_OFFSET] = 2;
    Put32(m + REPORT_UPTIME_MS_OFFSET, static_cast<uint32_t>(h.uptimeSeconds * 1000));
    uint16_t fingerprint = kFingerprints[h.release];
    std::memcpy(m + REPORT_FINGERPRINT_OFFSET, &fingerprint, 2);
    ULVToWireOrder(m + REPORT_FINGERPRINT_OFFSET, 2);
    PutText(m + REPORT_SERIAL_OFFSET, REPORT_SERIAL_SIZE, h.serial);
}

}  // namespace

int main(int argc, char** argv) {
    long handsets = 1000, reports = 10000, seed = 1;
    long long start = 1767225600;  // 2026-01-01
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const long long value = std::atoll(argv[i + 1]);
        if (option == "--handsets") handsets = static_cast<long>(value);
        else if (option == "--reports") reports = static_cast<long>(value);
        else if (option == "--seed") seed = static_cast<long>(value);
        else if (option == "--start") start = value;
        else {
            std::fprintf(stderr, "usage: ulv-fleet-gen --handsets N --reports M [--seed S] [--start EPOCH]\n");
            return 2;
        }
    }
    if (handsets <= 0 || reports < handsets) {
        std::fprintf(stderr, "ulv-fleet-gen: need at least one report per handset\n");
        return 2;
    }
    ULVDetectByteOrder();
    std::mt19937_64 random(static_cast<uint64_t>(seed));
    auto uniform = [&](long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(random); };
    // Signatures: a few common, many rare.
    std::geometric_distribution<int> signature(0.15);
    long written = 0;
    for (long n = 0; n < handsets; ++n) {
        Handset h;
        char serial[32];
        std::snprintf(serial, sizeof serial, "FLT%07ld", n);
        h.serial = serial;
        h.release = static_cast<int>(uniform(0, 2));
        h.uptimeSeconds = static_cast<uint64_t>(uniform(1000, 5000000));
        h.email = n % 20 == 7;
        const long count = reports / handsets + (n < reports % handsets ? 1 : 0);
        const long switchAt = uniform(0, 2) == 0 ? uniform(1, std::max(1L, count - 1)) : -1;
        int64_t at = start + uniform(0, 86400);
        uint8_t m[REPORT_MESSAGE_MAX];
        for (long k = 0; k < count; ++k, ++written) {
            const long step = uniform(6 * 3600, 8 * 3600);
            at += step;
            h.uptimeSeconds += static_cast<uint64_t>(step) * 9 / 10;
            h.callTime += static_cast<uint32_t>(uniform(0, 600));
            if (k == switchAt && h.release < 3) {
                const int before = h.release++;
                Header(m, h, REPORT_TYPE_SW_CHANGE);
                PutText(m + REPORT_HEADER_SIZE, REPORT_LABEL_SIZE, kReleases[before][0]);
                PutText(m + REPORT_HEADER_SIZE + REPORT_LABEL_SIZE, REPORT_LABEL_SIZE, kReleases[before][1]);
                Emit(h, at, m, REPORT_HEADER_SIZE + SW_CHANGE_BODY_SIZE);
                continue;
            }
            const long roll = uniform(0, 99);
            uint8_t* body = m + REPORT_HEADER_SIZE;
            if (roll < 70) {  // periodic
                Header(m, h, REPORT_TYPE_PERIODIC);
                std::memset(body, 0, PERIODIC_BODY_SIZE);
                Put32(body + BODY_CALL_TIME_OFFSET, h.callTime);
                for (size_t i = 0; i < PERIODIC_GENERIC_DATA_SIZE; ++i)
                    body[PERIODIC_GENERIC_DATA_OFFSET + i] = static_cast<uint8_t>(uniform(0, 255));
            } else if (roll < 95) {  // BP / QUELA / kernel panic
                Header(m, h, REPORT_TYPE_CRASH);
                std::memset(body, 0, CRASH_BODY_SIZE);
                Put32(body + BODY_CALL_TIME_OFFSET, h.callTime);
                Put32(body + CRASH_TIMESTAMP_OFFSET, static_cast<uint32_t>(at - uniform(60, 3600)));
                const int s = signature(random) % 200;
                const bool kernel = s % 7 == 3;
                Put32(body + CRASH_ID_OFFSET, kernel ? 0x00082000u : 0x00000b00u + static_cast<uint32_t>(s) + static_cast<uint32_t>(h.release));
                if (kernel) Put32(body + CRASH_DATA_OFFSET, 0xc0010000u + static_cast<uint32_t>(s) * 0x40);
                for (size_t i = CRASH_DATA_OFFSET + 4; i < CRASH_BODY_SIZE; ++i) body[i] = static_cast<uint8_t>(uniform(0, 255));
            } else {  // core dump
                Header(m, h, REPORT_TYPE_CRASH);
                std::memset(body, 0, CORE_DUMP_BODY_SIZE);
                Put32(body + BODY_CALL_TIME_OFFSET, h.callTime);
                Put32(body + 4, static_cast<uint32_t>(at - uniform(60, 3600)));
                Put32(body + 8, 0x00082100u);
                const int s = signature(random) % 12;
                static constexpr const char* kTasks[] = {"mediaplay", "browser", "phonebook", "camera"};
                PutText(body + 12, 9, kTasks[s % 4]);
                PutText(body + 22, 12, s % 3 ? "libc.so" : "libmedia.so");
                Put32(body + 35, 0x1a2cu + static_cast<uint32_t>(s) * 0x10);
                body[39] = 11;
                Put32(body + 40, 0x40011a2cu);
                Put32(body + 44, 0x40010010u);
            }
            Emit(h, at, m, static_cast<uint8_t>(REPORT_MESSAGE_MAX));
        }
    }
    std::fprintf(stderr, "ulv-fleet-gen: %ld reports from %ld handsets\n", written, handsets);
    return 0;
}
