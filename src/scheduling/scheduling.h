// Scheduling: the hardware timer, the start-up decision, the timer handler and the gateway
// check.
#pragma once

#include <cstdint>

#include "platform/rtc_sw.h"

inline constexpr uint8_t ULV_TIMER_DELAY_ID = 1;
inline constexpr uint8_t ULV_TIMER_PERIODIC_ID = 2;
inline constexpr uint8_t ULV_TIMER_PANIC_ID = 5;
inline constexpr uint8_t ULV_TIMER_GATEWAY_ID = 6;
inline constexpr uint8_t ULV_TIMER_APCD_ID = 7;

inline constexpr uint32_t PERIODIC_TIMER_SECONDS = 900;
inline constexpr uint32_t GATEWAY_RETRY_SECONDS = 15;
inline constexpr uint32_t GATEWAY_RETRY_LIMIT = 12;
inline constexpr int GATEWAY_AVAILABLE = 0;
inline constexpr int GATEWAY_NOT_AVAILABLE = 4;

// Hardware timer.
RtcSwTimer ULVTimerRecordFromSeconds(uint32_t seconds);
void ULVStartTimer(uint8_t id, uint32_t seconds);
int ULVDeleteTimer();
// The main loop's requests: acknowledge one expiry; release the device before closing it.
int ULVAcknowledgeTimer();
int ULVReleaseTimer();

// Start-up report decision.
int ULVStartupDecision();
void ULVRemoveCoreFiles();

// Timer handler.
void ULVTimerHandler();
void ULVGatewayRetry();

// Service centre and e-mail gateway.
int ULVCheckGateway();
int ULVGetEmailGateway();
inline constexpr char SMS_SETUP_RELATIVE_PATH[] = "setup/zel_sms.cfg";
