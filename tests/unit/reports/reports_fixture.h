// The reports tests' set-up: host byte order detected, radio gate open, panic lists in place.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "daemon_fixture.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"

using Bytes = std::vector<uint8_t>;

class ReportsTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        Open();
    }
    // A fresh process: host byte order detected, the radio gate open, delay 5.
    static void Open() {
        ResetProcessState();
        ULVDetectByteOrder();  // as initialisation does
        fake::aplog.records.clear();
        std::strcpy(ulvState.serviceCentreAddress, "+4412345");
        std::strcpy(ulvState.emailGatewayAddress, "6245");
        ulvState.reportDelay = 5;
        ulvState.inService = ulvState.timerExpired = ulvState.validPlmn = ulvState.sqState = 1;
    }

    // A calloc'd list (ids from `firstId`, data bytes 0, 1, 2, ...), with its ascending sort
    // index when `index` is given.
    static PanicRecord* NewList(const std::vector<uint32_t>& stamps, uint32_t firstId,
                                PanicSortEntry** index = nullptr) {
        const size_t n = stamps.size();
        auto* list = static_cast<PanicRecord*>(std::calloc(n, sizeof(PanicRecord)));
        auto* order = static_cast<PanicSortEntry*>(std::calloc(n, sizeof(PanicSortEntry)));
        for (uint16_t i = 0; i < n; ++i) {
            list[i].timestamp = stamps[i], list[i].id = firstId + i, order[i] = {i, stamps[i]};
            for (uint8_t d = 0; d < PANIC_DATA_SIZE; ++d) list[i].data[d] = d;
        }
        std::sort(order, order + n, [](auto a, auto b) { return a.timestamp < b.timestamp; });
        if (index != nullptr) *index = order;
        else std::free(order);
        return list;
    }
    // Each replaces the list of its kind (as the panic readers leave them), none sent yet.
    static void SetBp(const std::vector<uint32_t>& stamps, bool indexed, uint8_t total) {
        ULVDeleteBpPanics();
        ulvState.bpPanicList = NewList(stamps, 0x100, indexed ? &ulvState.bpSortIndex : nullptr);
        ulvState.bpNewCount = ulvState.bpLoadedCount = static_cast<uint8_t>(stamps.size());
        ulvState.reportHeader[REPORT_BP_TOTAL_COUNT_OFFSET] = total;
    }
    static void SetQuela(const std::vector<uint32_t>& stamps) {
        ULVDeleteQuelaPanics();
        ulvState.quelaPanicList = NewList(stamps, 0x200, &ulvState.quelaSortIndex);
        ulvState.quelaNewCount = ulvState.quelaLoadedCount = static_cast<uint8_t>(stamps.size());
    }

    static void ExpectTimer(uint8_t id, uint32_t seconds) {  // the last timer started
        const RtcSwTimer& t = ulvState.armedTimer;
        EXPECT_EQ(ulvState.currentTimerId, id);
        EXPECT_EQ(t.hours * 3600 + t.minutes * 60 + t.seconds, seconds);
    }
    static Bytes Raw() {  // the last message, as logged before it was encoded
        const std::vector<fake::AplogRecord> raw = fake::aplog.Binary(0xA9A04);
        return raw.empty() ? Bytes{} : raw.back().bytes;
    }
    bool Saved(const std::string& line) const {
        return ConfigFile().find(line + "\n") != std::string::npos;
    }
};
