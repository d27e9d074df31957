// The daemon's configuration file as tests write it: the 19 lines in the daemon's own order, with
// `values` in place of the defaults (enabled, phone-number destination "+15550100", build label
// "AP_R1", flex version "FLEX_7", duration 24 h, delay 5 s, every mark and counter 0).
#pragma once

#include <map>
#include <string>
#include <utility>

namespace ulvtest {

inline std::string ConfigText(const std::map<std::string, std::string>& values = {}) {
    static const std::pair<const char*, const char*> kDefaults[] = {
        {"ulv_availability", "1"},
        {"ulv_sms_address_type", "0"},
        {"ulv_last_num_panics", "0"},
        {"ulv_lst_bldinfo_baselabel", "AP_R1"},
        {"ulv_last_flex_version", "FLEX_7"},
        {"ulv_last_panic_timestamp", "0"},
        {"ulv_last_preiodic_report_timestamp", "0"},
        {"ulv_last_powerup_timestamp", "0"},
        {"ulv_cummulative_uptime", "0"},
        {"ulv_destination_address", "+15550100"},
        {"ulv_report_duration", "24"},
        {"ulv_report_delay", "5"},
        {"ulv_last_ap_quela_num_panics", "0"},
        {"ulv_last_ap_quela_panic_timestamp", "0"},
        {"ulv_last_ap_num_dump", "0"},
        {"ulv_last_ap_num_dump_timestamp", "0"},
        {"ulv_last_ap_kernel_timestamp", "0"},
        {"enableCoreDumps", "0"},
    };
    std::string text = "[UlvSetup]\n";
    for (const auto& [key, fallback] : kDefaults) {
        auto found = values.find(key);
        text +=
            std::string(key) + " = " + (found != values.end() ? found->second : fallback) + "\n";
    }
    return text;
}

}  // namespace ulvtest
