// The phone's SMS setup file (zel_app/setup/zel_sms.cfg), read for the e-mail gateway when the
// telephony service has none: ULVGetEmailGateway. Input: the file.
#include "fuzz_support.h"
#include "scheduling/scheduling.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    const std::string_view file = ulvfuzz::Input(data, size).Rest();
    ulvfuzz::PlaceFile(std::string("zel_app/") + SMS_SETUP_RELATIVE_PATH, file);

    const int result = ULVGetEmailGateway();

    // A gateway is one word of the file, at most 20 characters, the rest of the buffer cleared.
    const std::string_view buffer(ulvState.emailGatewayAddress,
                                  sizeof ulvState.emailGatewayAddress);
    const std::string_view gateway = buffer.substr(0, buffer.find('\0'));
    FUZZ_CHECK(gateway.size() <= 20 && (result == 0) == !gateway.empty());
    FUZZ_CHECK(gateway.find_first_of(" \t\n\v\f\r") == std::string_view::npos);
    FUZZ_CHECK(buffer.find_first_not_of('\0', gateway.size()) == std::string_view::npos);
    FUZZ_CHECK(gateway.empty() || file.find(gateway) != std::string_view::npos);
    return 0;
}
