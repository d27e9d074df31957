// The phone's SMS setup file (zel_app/setup/zel_sms.cfg), read for the e-mail gateway when the
// telephony service has none: ULVGetEmailGateway.
//
// Input: the file.
#include <cctype>
#include <cstring>

#include "fuzz_support.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    const std::string relative = std::string("zel_app/") + SMS_SETUP_RELATIVE_PATH;
    ulvfuzz::PlaceFile(relative.c_str(), data, size);

    const int result = ULVGetEmailGateway();

    // A gateway is one word of at most 20 characters, the rest of the buffer cleared.
    const char* gateway = ulvState.emailGatewayAddress;
    const size_t length = strnlen(gateway, sizeof ulvState.emailGatewayAddress);
    FUZZ_CHECK(length <= 20);
    FUZZ_CHECK((result == 0) == (length != 0));
    for (size_t i = 0; i < length; ++i)
        FUZZ_CHECK(std::isspace(static_cast<unsigned char>(gateway[i])) == 0);
    for (size_t i = length; i < sizeof ulvState.emailGatewayAddress; ++i)
        FUZZ_CHECK(gateway[i] == '\0');
    // The word comes from the file.
    if (length != 0) {
        const std::string file(reinterpret_cast<const char*>(data), size);
        FUZZ_CHECK(file.find(gateway) != std::string::npos);
    }
    return 0;
}
