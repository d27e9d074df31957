// The telephony client library on the host: talks to the simulated handset (tools/handset)
// over the protocol of sim_protocol.h. The descriptor TAPI_CLIENT_Init returns is the event
// connection itself, so it is readable exactly when a telephony message (or the handset's
// hang-up) waits.
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/tapi.h"
#include "sim_env.h"
#include "sim_protocol.h"

namespace {

int eventFd = -1;
int callFd = -1;

int Connect(const uint8_t* hello, size_t helloSize) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int n = std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", sim::Root(),
                          sim::kSocketName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof address.sun_path) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    uint8_t answer = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(fd, hello, helloSize, MSG_NOSIGNAL) != static_cast<ssize_t>(helloSize) ||
        recv(fd, &answer, 1, 0) != 1 || answer != sim::kHelloAccepted) {
        close(fd);
        return -1;
    }
    return fd;
}

// The largest answer payload of any call (kCallBpVersion).
constexpr size_t kMaxAnswer = TAPI_BP_VERSION_INFO_SIZE;

// One request/response exchange. Copies up to `outSize` response payload bytes to `out`
// only when the handset answered with result 0. The request goes out as its code and the
// caller's payload in place, the answer comes into the stack: no packet buffer stays in the
// process, whose private memory is what it has ever touched.
int Call(uint16_t code, const uint8_t* payload, size_t payloadSize, void* out, size_t outSize) {
    if (callFd < 0) return -1;
    if (payloadSize + 2 > sim::kMaxPacket) return -1;
    uint8_t head[2];
    sim::PutLe16(head, code);
    iovec parts[2] = {{head, sizeof head}, {const_cast<uint8_t*>(payload), payloadSize}};
    msghdr request{};
    request.msg_iov = parts;
    request.msg_iovlen = payloadSize > 0 ? 2 : 1;
    if (sendmsg(callFd, &request, MSG_NOSIGNAL) != static_cast<ssize_t>(payloadSize + 2))
        return -1;
    uint8_t answer[4 + kMaxAnswer];
    ssize_t got = recv(callFd, answer, sizeof answer, 0);
    if (got < 4) return -1;
    int result = static_cast<int32_t>(sim::GetLe32(answer));
    if (result == 0 && out != nullptr) {
        size_t available = static_cast<size_t>(got) - 4;
        std::memcpy(out, answer + 4, available < outSize ? available : outSize);
    }
    return result;
}

}  // namespace

extern "C" {

int TAPI_CLIENT_Init(const uint16_t* msgIds, int count) {
    if (count < 0 || count > 64) return -1;
    uint8_t hello[3 + 2 * 64];
    hello[0] = sim::kHelloEvents;
    sim::PutLe16(hello + 1, static_cast<uint16_t>(count));
    for (int i = 0; i < count; ++i) sim::PutLe16(hello + 3 + 2 * i, msgIds[i]);
    int events = Connect(hello, 3 + 2 * static_cast<size_t>(count));
    if (events < 0) return -1;
    uint8_t callHello = sim::kHelloCalls;
    int calls = Connect(&callHello, 1);
    if (calls < 0) {
        close(events);
        return -1;
    }
    eventFd = events;
    callFd = calls;
    return eventFd;
}

int TAPI_CLIENT_ReadAndMallocMsg(int fd, TapiMessage* message) {
    // The message's size first, without taking it, so that its data is received straight
    // into the block the caller gets.
    uint8_t head[sim::kEventHeadSize];
    ssize_t got = recv(fd, head, sizeof head, MSG_PEEK | MSG_TRUNC);
    if (got < static_cast<ssize_t>(sim::kEventHeadSize)) {
        if (got >= 0) (void)!recv(fd, head, sizeof head, 0);  // drop a runt
        return -1;
    }
    message->msgId = sim::GetLe16(head);
    message->length = sim::GetLe16(head + 2);
    message->data = nullptr;
    if ((head[4] & sim::kEventDataNull) != 0) {
        (void)!recv(fd, head, sizeof head, 0);
        return 0;
    }
    // The block holds at least the announced length, zero-filled beyond what arrived, so a
    // caller trusting the length never reads past it. It belongs to the caller (free()).
    size_t size = static_cast<size_t>(got) - sim::kEventHeadSize;
    size_t blockSize = size > message->length ? size : message->length;
    void* block = std::calloc(blockSize > 0 ? blockSize : 1, 1);
    if (block == nullptr) {
        (void)!recv(fd, head, sizeof head, 0);
        return -1;
    }
    iovec parts[2] = {{head, sizeof head}, {block, size}};
    msghdr received{};
    received.msg_iov = parts;
    received.msg_iovlen = 2;
    if (recvmsg(fd, &received, 0) != got) {
        std::free(block);
        return -1;
    }
    message->data = block;
    return 0;
}

int TAPI_CLIENT_Fini(void) {
    if (eventFd >= 0) close(eventFd);
    if (callFd >= 0) close(callFd);
    eventFd = callFd = -1;
    return 0;
}

int TAPI_NETWORK_GetCurrentNetworkId(char* countryCode, char* networkCode) {
    uint8_t codes[2 * TAPI_NETWORK_CODE_SIZE] = {};
    int result = Call(sim::kCallNetworkId, nullptr, 0, codes, sizeof codes);
    if (result != 0) return result;
    std::memcpy(countryCode, codes, TAPI_NETWORK_CODE_SIZE);
    std::memcpy(networkCode, codes + TAPI_NETWORK_CODE_SIZE, TAPI_NETWORK_CODE_SIZE);
    countryCode[TAPI_NETWORK_CODE_SIZE - 1] = '\0';
    networkCode[TAPI_NETWORK_CODE_SIZE - 1] = '\0';
    return 0;
}

int TAPI_ACCE_GetServiceAvailability(uint8_t* available) {
    return Call(sim::kCallServiceAvail, nullptr, 0, available, 1);
}

int TAPI_ACCE_GetSiginalQuality(uint8_t* quality) {
    return Call(sim::kCallSignalQuality, nullptr, 0, quality, TAPI_SIGNAL_QUALITY_SIZE);
}

int TAPI_ACCE_GetApVersionInfo(uint8_t* info) {
    return Call(sim::kCallApVersion, nullptr, 0, info, TAPI_AP_VERSION_INFO_SIZE);
}

int TAPI_ACCE_GetBpVersionInfo(uint8_t* info) {
    return Call(sim::kCallBpVersion, nullptr, 0, info, TAPI_BP_VERSION_INFO_SIZE);
}

int TAPI_ACCE_GetFactorySerialNo(uint8_t* serial) {
    return Call(sim::kCallSerialNo, nullptr, 0, serial, TAPI_FACTORY_SERIAL_SIZE);
}

int TAPI_SMS_GetServiceCenter(char* address) {
    int result = Call(sim::kCallServiceCentre, nullptr, 0, address, TAPI_SMS_ADDRESS_SIZE);
    if (result == 0) address[TAPI_SMS_ADDRESS_SIZE - 1] = '\0';
    return result;
}

int TAPI_SMS_GetEmailGateway(char* address) {
    int result = Call(sim::kCallEmailGateway, nullptr, 0, address, TAPI_SMS_ADDRESS_SIZE);
    if (result == 0) address[TAPI_SMS_ADDRESS_SIZE - 1] = '\0';
    return result;
}

int TAPI_SMS_ExpirePeriodToUINT8(const uint32_t* period, uint8_t* validity) {
    uint8_t request[4];
    sim::PutLe32(request, *period);
    return Call(sim::kCallExpirePeriod, request, sizeof request, validity, 1);
}

int TAPI_SMS_SendSmUnblockMode(uint8_t* submitRecord, uint32_t* sequence) {
    uint8_t answer[4] = {};
    int result = Call(sim::kCallSendSms, submitRecord, TAPI_SMS_SUBMIT_RECORD_SIZE, answer,
                      sizeof answer);
    if (result == 0) *sequence = sim::GetLe32(answer);
    return result;
}

int TAPI_ULV_GetCallTime(uint32_t* callTime) {
    uint8_t answer[4] = {};
    int result = Call(sim::kCallCallTime, nullptr, 0, answer, sizeof answer);
    if (result == 0) *callTime = sim::GetLe32(answer);
    return result;
}

int TAPI_ULV_GetGenericData(uint8_t* data) {
    return Call(sim::kCallGenericData, nullptr, 0, data, TAPI_GENERIC_DATA_SIZE);
}

}  // extern "C"
