// Reports and transport: dispatch, header and byte order, bodies, text encoding, SMS
// submission and confirmation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reports/outgoing_sms.h"

// Dispatch.
int ULVSmsSend();
void ULVAfterSend(int result, uint8_t kind);

// Header and byte order.
void ULVDetectByteOrder();
void ULVToWireOrder(void* bytes, size_t size);
int ULVReadVersionInfo();
int ULVBuildSwChangeBody();
int ULVGetCallTime(uint8_t* field);
// Finishes the header template into `out` in wire order and logs both forms as binary records,
// each announced by a text record unless `announce` is false (the core dump path).
void ULVFinishHeader(uint8_t* out, bool announce = true);

// Bodies.
void ULVBuildCrashBody(uint8_t* length, uint8_t* body);
void ULVBuildBpPanicBody(uint8_t* length, uint8_t* body);
void ULVBuildQuelaPanicBody(uint8_t* length, uint8_t* body);
void ULVBuildKernelPanicBody(uint8_t* length, uint8_t* body);
int ULVBuildPeriodicBody();

// Text encoding: modified Base64 (value 63 is "-"), NUL-terminated, one line.
inline constexpr char ENCODE_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
inline constexpr uint8_t ENCODE_MAX_INPUT = 189;  // 252 characters: the most an 8-bit count holds
uint8_t ULVEncodeText(char* out, const uint8_t* in, uint8_t length);
void ULVEncodeGroup(char* out, const uint8_t* in, uint8_t count);

// SMS submission and confirmation.
inline constexpr size_t SMS_MAX_CHARACTERS = 160;
inline constexpr uint8_t SMS_PROTOCOL_ID_EMAIL = 0x32;
inline constexpr uint32_t SMS_VALIDITY_PERIOD = 255;
inline constexpr size_t SUBMIT_PROTOCOL_ID_OFFSET = 0;
inline constexpr size_t SUBMIT_SERVICE_CENTRE_OFFSET = 2;
inline constexpr size_t SUBMIT_SERVICE_CENTRE_SIZE = 42;
inline constexpr size_t SUBMIT_DESTINATION_OFFSET = 44;
inline constexpr size_t SUBMIT_DESTINATION_SIZE = 44;
inline constexpr size_t SUBMIT_RESERVED_OFFSET = 88;
inline constexpr size_t SUBMIT_TEXT_LENGTH_OFFSET = 92;
inline constexpr size_t SUBMIT_TEXT_OFFSET = 94;
inline constexpr size_t SUBMIT_VALIDITY_OFFSET = 6496;
inline constexpr size_t CONFIRMATION_SIZE = 12;

int ULVSubmitSms(OutgoingSms* sms);
void ULVStartPeriodicTimer();
void ULVOnSendConfirmation(const uint8_t* data, uint16_t length);
void ULVOnSendFailure();
uint16_t ULVWidenText(const char* text, uint16_t* out);
int ULVGetValidityPeriod(uint8_t* validity);
