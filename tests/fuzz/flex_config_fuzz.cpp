// The configuration file (zel_app/setup/ulv.cfg) as the daemon reads it at start-up
// (ULVGetFlexConfig), then written back (ULVSetFlexConfig) and read again.
//
// Input: the file.
#include <cstring>

#include "fuzz_support.h"
#include "state/daemon_state.h"
#include "state/flex_config.h"

namespace {

// Field by field, so that padding between the members does not count.
bool SameValues(const FlexConfig& a, const FlexConfig& b) {
    return a.ulv_availability == b.ulv_availability &&
           a.ulv_sms_address_type == b.ulv_sms_address_type &&
           a.ulv_last_num_panics == b.ulv_last_num_panics &&
           std::memcmp(a.ulv_lst_bldinfo_baselabel, b.ulv_lst_bldinfo_baselabel,
                       sizeof a.ulv_lst_bldinfo_baselabel) == 0 &&
           std::memcmp(a.ulv_last_flex_version, b.ulv_last_flex_version,
                       sizeof a.ulv_last_flex_version) == 0 &&
           a.ulv_last_panic_timestamp == b.ulv_last_panic_timestamp &&
           a.ulv_last_preiodic_report_timestamp == b.ulv_last_preiodic_report_timestamp &&
           a.ulv_last_powerup_timestamp == b.ulv_last_powerup_timestamp &&
           a.ulv_cummulative_uptime == b.ulv_cummulative_uptime &&
           std::memcmp(a.ulv_destination_address, b.ulv_destination_address,
                       sizeof a.ulv_destination_address) == 0 &&
           a.ulv_report_duration == b.ulv_report_duration &&
           a.ulv_report_delay == b.ulv_report_delay &&
           a.ulv_last_ap_quela_num_panics == b.ulv_last_ap_quela_num_panics &&
           a.ulv_last_ap_quela_panic_timestamp == b.ulv_last_ap_quela_panic_timestamp &&
           a.ulv_last_ap_num_dump == b.ulv_last_ap_num_dump &&
           a.ulv_last_ap_num_dump_timestamp == b.ulv_last_ap_num_dump_timestamp &&
           a.ulv_last_ap_kernel_timestamp == b.ulv_last_ap_kernel_timestamp &&
           a.enableCoreDumps == b.enableCoreDumps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    const std::string relative = std::string("zel_app/") + FLEX_CONFIG_RELATIVE_PATH;
    ulvfuzz::PlaceFile(relative.c_str(), data, size);
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
    const int second = ULVGetFlexConfig();
    FUZZ_CHECK(SameValues(config, read));
    FUZZ_CHECK(first == second);
    return 0;
}
