// Shared set-up of the reports and transport tests: the daemon fixture with the host's byte
// order detected (as initialisation does), panic lists built in place, and small byte helpers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "daemon_fixture.h"
#include "panics/panic_record.h"
#include "panics/panics.h"
#include "platform/rtc_sw.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "state/trace.h"

namespace reportstest {

using Bytes = std::vector<uint8_t>;

// The host's order, found independently of the daemon: the first byte of a stored 32-bit
// number is its lowest on a processor that stores the low-order byte first.
inline bool HostIsLittleEndian() {
    const uint32_t probe = 0x0A0B0C0D;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 0x0D;
}

// Four bytes, most significant first, built with shifts (so independent of the host).
inline Bytes Be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

inline Bytes Slice(const uint8_t* bytes, size_t from, size_t count) {
    return Bytes(bytes + from, bytes + from + count);
}
inline Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
    return Slice(bytes.data(), from, count);
}

// `text` in a zero-filled field of `size` bytes.
inline Bytes Padded(const std::string& text, size_t size) {
    Bytes field(size, 0);
    std::memcpy(field.data(), text.data(), text.size() < size ? text.size() : size);
    return field;
}

inline uint16_t LoadHost16(const uint8_t* at) {
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline uint32_t LoadHost32(const uint8_t* at) {
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A calloc'd list the daemon's release operations can free; each record gets its time stamp,
// an id and a recognisable data area.
inline PanicRecord* NewPanicList(const std::vector<uint32_t>& timestamps, uint32_t firstId) {
    auto* list = static_cast<PanicRecord*>(std::calloc(timestamps.size(), sizeof(PanicRecord)));
    for (size_t i = 0; i < timestamps.size(); ++i) {
        list[i].timestamp = timestamps[i];
        list[i].id = firstId + static_cast<uint32_t>(i);
        for (size_t d = 0; d < PANIC_DATA_SIZE; ++d)
            list[i].data[d] = static_cast<uint8_t>(0x40 + 16 * i + d);
    }
    return list;
}

// The ascending sort index of a list, as the panic readers build it.
inline PanicSortEntry* NewSortIndex(const std::vector<uint32_t>& timestamps) {
    std::vector<PanicSortEntry> entries;
    for (size_t i = 0; i < timestamps.size(); ++i)
        entries.push_back({static_cast<uint16_t>(i), timestamps[i]});
    for (size_t i = 1; i < entries.size(); ++i)
        for (size_t j = i; j > 0 && entries[j - 1].timestamp > entries[j].timestamp; --j)
            std::swap(entries[j - 1], entries[j]);
    auto* index = static_cast<PanicSortEntry*>(std::calloc(entries.size(), sizeof(PanicSortEntry)));
    if (!entries.empty()) std::memcpy(index, entries.data(), entries.size() * sizeof entries[0]);
    return index;
}

class ReportsTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ULVDetectByteOrder();  // as initialisation does, before any report is built
        fake::aplog.records.clear();
    }

    void SetBpPanics(const std::vector<uint32_t>& timestamps, bool withIndex, uint8_t total) {
        ulvState.bpPanicList = NewPanicList(timestamps, 0x100);
        ulvState.bpSortIndex = withIndex ? NewSortIndex(timestamps) : nullptr;
        ulvState.bpNewCount = static_cast<uint8_t>(timestamps.size());
        ulvState.bpSentCount = 0;
        ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = total;
    }

    void SetQuelaPanics(const std::vector<uint32_t>& timestamps, bool withIndex) {
        ulvState.quelaPanicList = NewPanicList(timestamps, 0x200);
        ulvState.quelaSortIndex = withIndex ? NewSortIndex(timestamps) : nullptr;
        ulvState.quelaNewCount = static_cast<uint8_t>(timestamps.size());
        ulvState.quelaSentCount = 0;
    }

    void SetKernelPanic(uint32_t timestamp, uint32_t id) {
        ulvState.kernelPanic = NewPanicList({timestamp}, id);
        ulvState.kernelPanicDone = 0;
    }

    // Timer device start requests, in order.
    static std::vector<RtcSwTimer> TimerStarts() {
        std::vector<RtcSwTimer> starts;
        for (const fake::RtcRequest& request : fake::rtc.requests)
            if (request.request == RTC_SW_START) starts.push_back(request.record);
        return starts;
    }

    // The last timer start is `id` for hours:minutes:seconds.
    static void ExpectTimer(uint8_t id, uint32_t hours, uint32_t minutes, uint32_t seconds) {
        EXPECT_EQ(ulvState.currentTimerId, id);
        std::vector<RtcSwTimer> starts = TimerStarts();
        ASSERT_FALSE(starts.empty());
        EXPECT_EQ(starts.back().hours, hours);
        EXPECT_EQ(starts.back().minutes, minutes);
        EXPECT_EQ(starts.back().seconds, seconds);
        EXPECT_EQ(starts.back().reserved, 0u);
    }

    // The platform log record that directly follows the text record `text` (kind 0 if none).
    static fake::AplogRecord RecordAfter(const std::string& text) {
        const std::vector<fake::AplogRecord>& records = fake::aplog.records;
        for (size_t i = 0; i + 1 < records.size(); ++i)
            if (records[i].kind == 'A' && records[i].text == text) return records[i + 1];
        return {};
    }
};

}  // namespace reportstest
