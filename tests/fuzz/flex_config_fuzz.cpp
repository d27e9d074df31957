// The configuration file (zel_app/setup/ulv.cfg) as the daemon reads it at start-up
// (ULVGetFlexConfig), then written back (ULVSetFlexConfig) and read again. Input: the file.
#include <tuple>

#include "fuzz_support.h"

namespace {

// Every field, the texts as whole arrays: padding between the members does not count.
auto Values(const FlexConfig& c) {
    const auto text = [](const auto& field) { return std::string_view(field, sizeof field); };
    return std::tuple(c.ulv_availability, c.ulv_sms_address_type, c.ulv_last_num_panics,
                      text(c.ulv_lst_bldinfo_baselabel), text(c.ulv_last_flex_version),
                      c.ulv_last_panic_timestamp, c.ulv_last_preiodic_report_timestamp,
                      c.ulv_last_powerup_timestamp, c.ulv_cummulative_uptime,
                      text(c.ulv_destination_address), c.ulv_report_duration, c.ulv_report_delay,
                      c.ulv_last_ap_quela_num_panics, c.ulv_last_ap_quela_panic_timestamp,
                      c.ulv_last_ap_num_dump, c.ulv_last_ap_num_dump_timestamp,
                      c.ulv_last_ap_kernel_timestamp, c.enableCoreDumps);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    ulvfuzz::PlaceFile(std::string("zel_app/") + FLEX_CONFIG_RELATIVE_PATH,
                       ulvfuzz::Input(data, size).Rest());
    FlexConfig& config = ulvState.flexConfig;

    const int first = ULVGetFlexConfig();
    const FlexConfig read = config;
    // The timing settings within their limits once the file was read.
    FUZZ_CHECK(config.ulv_report_duration == 0 ||
               config.ulv_report_duration >= FLEX_MIN_REPORT_DURATION);
    FUZZ_CHECK(config.ulv_report_delay <= FLEX_MAX_REPORT_DELAY);

    // Written and read again into a cleared record: the values of the first read.
    ULVSetFlexConfig();
    config = FlexConfig{};
    FUZZ_CHECK(ULVGetFlexConfig() == first);
    FUZZ_CHECK(Values(config) == Values(read));
    return 0;
}
