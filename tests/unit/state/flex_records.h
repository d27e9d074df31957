// Two distinct configuration records and the exact files they are written as, for the
// configuration tests. The texts are written by hand from the file format.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "state/flex_config.h"

namespace flexrecords {

inline void SetText(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    std::memcpy(field, text, strnlen(text, size));
}

// Record A: the u8 and %d fields at the edges of their types.
inline FlexConfig RecordA() {
    FlexConfig c{};
    c.ulv_availability = 1;
    c.ulv_sms_address_type = 255;
    c.ulv_last_num_panics = 200;
    SetText(c.ulv_lst_bldinfo_baselabel, sizeof c.ulv_lst_bldinfo_baselabel, "AP_LABEL_A");
    SetText(c.ulv_last_flex_version, sizeof c.ulv_last_flex_version, "FLEX_A");
    c.ulv_last_panic_timestamp = 0xDEADBEEF;
    c.ulv_last_preiodic_report_timestamp = 0;
    c.ulv_last_powerup_timestamp = 0x1234;
    c.ulv_cummulative_uptime = 0xFFFFFFFF;
    SetText(c.ulv_destination_address, sizeof c.ulv_destination_address, "+15550100");
    c.ulv_report_duration = 24;
    c.ulv_report_delay = 15;
    c.ulv_last_ap_quela_num_panics = 0xFFFFFFFF;
    c.ulv_last_ap_quela_panic_timestamp = 0xABC;
    c.ulv_last_ap_num_dump = 0x80000000;
    c.ulv_last_ap_num_dump_timestamp = 0x7FFFFFFF;
    c.ulv_last_ap_kernel_timestamp = 1;
    c.enableCoreDumps = 1;
    return c;
}

inline const char kRecordAText[] =
    "[UlvSetup]\n"
    "ulv_availability = 1\n"
    "ulv_sms_address_type = 255\n"                   // u8 255: unsigned, not -1
    "ulv_last_num_panics = 200\n"                    // u8 200: unsigned, not -56
    "ulv_lst_bldinfo_baselabel = AP_LABEL_A\n"
    "ulv_last_flex_version = FLEX_A\n"
    "ulv_last_panic_timestamp = deadbeef\n"          // %x, lower case, no prefix
    "ulv_last_preiodic_report_timestamp = 0\n"
    "ulv_last_powerup_timestamp = 1234\n"            // 0x1234 in hex, not 4660
    "ulv_cummulative_uptime = ffffffff\n"
    "ulv_destination_address = +15550100\n"
    "ulv_report_duration = 24\n"
    "ulv_report_delay = 15\n"
    "ulv_last_ap_quela_num_panics = -1\n"            // u32 0xFFFFFFFF through %d: signed
    "ulv_last_ap_quela_panic_timestamp = abc\n"
    "ulv_last_ap_num_dump = -2147483648\n"           // u32 0x80000000 through %d
    "ulv_last_ap_num_dump_timestamp = 7fffffff\n"
    "ulv_last_ap_kernel_timestamp = 1\n"
    "enableCoreDumps = 1\n";

// Record B: full-width texts (unterminated in memory) and every value different from A.
inline FlexConfig RecordB() {
    FlexConfig c{};
    c.ulv_availability = 1;
    c.ulv_sms_address_type = 1;
    c.ulv_last_num_panics = 3;
    std::memcpy(c.ulv_lst_bldinfo_baselabel, "ABCDEFGHIJKLMNOPQRST", 20);
    std::memcpy(c.ulv_last_flex_version, "0123456789abcdefghij", 20);
    c.ulv_last_panic_timestamp = 0x10;
    c.ulv_last_preiodic_report_timestamp = 10800;
    c.ulv_last_powerup_timestamp = 0;
    c.ulv_cummulative_uptime = 123;
    std::memcpy(c.ulv_destination_address, "reports.for.the.handset.team@example-operator.co.uk",
                51);
    c.ulv_report_duration = 6;
    c.ulv_report_delay = 0;
    c.ulv_last_ap_quela_num_panics = 7;
    c.ulv_last_ap_quela_panic_timestamp = 0xFFFFFFFE;
    c.ulv_last_ap_num_dump = 2147483647;
    c.ulv_last_ap_num_dump_timestamp = 0;
    c.ulv_last_ap_kernel_timestamp = 100000000;
    c.enableCoreDumps = 0;
    return c;
}

inline const char kRecordBText[] =
    "[UlvSetup]\n"
    "ulv_availability = 1\n"
    "ulv_sms_address_type = 1\n"
    "ulv_last_num_panics = 3\n"
    "ulv_lst_bldinfo_baselabel = ABCDEFGHIJKLMNOPQRST\n"   // 20 characters, the whole field
    "ulv_last_flex_version = 0123456789abcdefghij\n"       // 20 characters
    "ulv_last_panic_timestamp = 10\n"                      // 0x10
    "ulv_last_preiodic_report_timestamp = 2a30\n"          // 10800
    "ulv_last_powerup_timestamp = 0\n"
    "ulv_cummulative_uptime = 7b\n"                        // 123
    "ulv_destination_address = reports.for.the.handset.team@example-operator.co.uk\n"  // 51
    "ulv_report_duration = 6\n"
    "ulv_report_delay = 0\n"
    "ulv_last_ap_quela_num_panics = 7\n"
    "ulv_last_ap_quela_panic_timestamp = fffffffe\n"
    "ulv_last_ap_num_dump = 2147483647\n"
    "ulv_last_ap_num_dump_timestamp = 0\n"
    "ulv_last_ap_kernel_timestamp = 5f5e100\n"             // 100000000
    "enableCoreDumps = 0\n";

inline std::string Bytes(const char* field, size_t size) { return std::string(field, size); }

// Field by field, texts over their whole width (NUL padding included).
inline void ExpectSameConfig(const FlexConfig& actual, const FlexConfig& expected) {
    EXPECT_EQ(actual.ulv_availability, expected.ulv_availability);
    EXPECT_EQ(actual.ulv_sms_address_type, expected.ulv_sms_address_type);
    EXPECT_EQ(actual.ulv_last_num_panics, expected.ulv_last_num_panics);
    EXPECT_EQ(Bytes(actual.ulv_lst_bldinfo_baselabel, FLEX_VERSION_TEXT_SIZE),
              Bytes(expected.ulv_lst_bldinfo_baselabel, FLEX_VERSION_TEXT_SIZE));
    EXPECT_EQ(Bytes(actual.ulv_last_flex_version, FLEX_VERSION_TEXT_SIZE),
              Bytes(expected.ulv_last_flex_version, FLEX_VERSION_TEXT_SIZE));
    EXPECT_EQ(actual.ulv_last_panic_timestamp, expected.ulv_last_panic_timestamp);
    EXPECT_EQ(actual.ulv_last_preiodic_report_timestamp,
              expected.ulv_last_preiodic_report_timestamp);
    EXPECT_EQ(actual.ulv_last_powerup_timestamp, expected.ulv_last_powerup_timestamp);
    EXPECT_EQ(actual.ulv_cummulative_uptime, expected.ulv_cummulative_uptime);
    EXPECT_EQ(Bytes(actual.ulv_destination_address, FLEX_DESTINATION_SIZE),
              Bytes(expected.ulv_destination_address, FLEX_DESTINATION_SIZE));
    EXPECT_EQ(actual.ulv_report_duration, expected.ulv_report_duration);
    EXPECT_EQ(actual.ulv_report_delay, expected.ulv_report_delay);
    EXPECT_EQ(actual.ulv_last_ap_quela_num_panics, expected.ulv_last_ap_quela_num_panics);
    EXPECT_EQ(actual.ulv_last_ap_quela_panic_timestamp,
              expected.ulv_last_ap_quela_panic_timestamp);
    EXPECT_EQ(actual.ulv_last_ap_num_dump, expected.ulv_last_ap_num_dump);
    EXPECT_EQ(actual.ulv_last_ap_num_dump_timestamp, expected.ulv_last_ap_num_dump_timestamp);
    EXPECT_EQ(actual.ulv_last_ap_kernel_timestamp, expected.ulv_last_ap_kernel_timestamp);
    EXPECT_EQ(actual.enableCoreDumps, expected.enableCoreDumps);
}

}  // namespace flexrecords
