// All run-time state of the daemon: one process-wide record, zero at process start, plus the
// three process-wide values that live outside it (gatewayState, timerFirstTime and the core
// file layout table of the core parser).
#pragma once

#include <csignal>
#include <cstdint>

#include "coredump/core_dump_record.h"
#include "panics/panic_record.h"
#include "platform/rtc_sw.h"
#include "reports/outgoing_sms.h"
#include "reports/report_layout.h"
#include "state/flex_config.h"

struct DaemonState {
    // Connections (main loop).
    int32_t tapiFd;
    int32_t timerFd;

    // Radio-state flags, 0 or 1 (telephony events).
    uint8_t inService;
    uint8_t validPlmn;
    uint8_t sqState;
    uint8_t timerExpired;

    // Configuration and its run-time copy of ulv_report_delay, in seconds.
    FlexConfig flexConfig;
    uint8_t reportDelay;
    uint8_t configWriteBusy;
    // The record as the last save that reached the storage whole left it (file and rename),
    // valid once a save has: a save that changes only the uptime accounting rides on it.
    FlexConfig flexDurable;
    uint8_t flexDurableValid;

    // Uptime accounting.
    uint32_t startupUptime;
    uint32_t lastUptimeSample;
    uint64_t reportUptime;
    uint8_t startupStage;  // 1: start-up decision pending, 2: done

    // Termination: set by the SIGTERM handler, served by the main flow at its waits.
    volatile sig_atomic_t sigtermPending;
    sigset_t waitMask;  // the signal mask while waiting: the process mask without SIGTERM

    // Report header template, bodies and the pending bitmap.
    uint8_t hostLittleEndian;
    uint8_t reportHeader[REPORT_HEADER_SIZE];
    uint8_t swChangeBody[SW_CHANGE_BODY_SIZE];
    uint8_t periodicBody[PERIODIC_BODY_SIZE];
    uint32_t pendingReports;

    // SMS transport.
    OutgoingSms outgoingSms;
    uint32_t lastSentSequence;
    // 1 from an accepted submission until its confirmation: a confirmation with nothing in
    // flight (another client's, a repeated one) changes nothing.
    uint8_t smsInFlight;
    char serviceCentreAddress[42];
    char emailGatewayAddress[42];

    // BP panics. The new count is the counting passes' figure, which the reported-panics mark
    // counts with; the loaded count is what the list and its index hold (fewer when a record
    // was cut short between the passes), which decides what is sent and when the list is done.
    BpPanicRecord* bpPanicList;  // bpLoadedCount records, one allocation
    PanicSortEntry* bpSortIndex;
    uint8_t bpNewCount;
    uint8_t bpLoadedCount;
    uint8_t bpSentCount;
    uint32_t bpRestoreTimestamp;

    // QUELA panics.
    QuelaPanicRecord* quelaPanicList;  // quelaLoadedCount records, one allocation
    PanicSortEntry* quelaSortIndex;
    uint8_t quelaNewCount;
    uint8_t quelaLoadedCount;
    uint8_t quelaSentCount;
    uint32_t quelaRestoreTimestamp;

    // Kernel panic.
    KernelPanicRecord* kernelPanic;
    uint8_t kernelPanicDone;
    uint32_t kernelRestoreTimestamp;

    // Hardware timer.
    RtcSwTimer armedTimer;
    uint8_t currentTimerId;
    uint8_t timerStarted;

    // Gateway retries made by the retry timer; never reset.
    uint32_t gatewayRetries;

    // Application core dumps.
    uint8_t apcdAttempts;
    uint8_t apcdFailures;
    uint8_t apcdPending;
    char apcdReportedPath[CORE_PATH_SIZE];
};

extern DaemonState ulvState;

// Service centre / e-mail gateway confirmation, and whether the daemon must stop:
// 3 initial, 0 retry check succeeded, 4 check failed, 1 confirmed, 2 retries exhausted.
inline constexpr int32_t GATEWAY_STATE_INITIAL = 3;
inline constexpr int32_t GATEWAY_STATE_CHECK_OK = 0;
inline constexpr int32_t GATEWAY_STATE_CHECK_FAILED = 4;
inline constexpr int32_t GATEWAY_STATE_CONFIRMED = 1;
inline constexpr int32_t GATEWAY_STATE_GIVE_UP = 2;
extern int32_t gatewayState;

// 1 while no timer is armed on the device.
extern uint8_t timerFirstTime;
