// The daemon's configuration file as tests write it.
#pragma once

#include <map>
#include <string>

namespace ulvtest {

// The 19 lines in the daemon's own order, with `values` in place of the defaults: enabled,
// phone-number destination "+15550100", build label "AP_R1", flex version "FLEX_7",
// duration 24 h, delay 5 s, every mark and counter 0.
std::string ConfigText(const std::map<std::string, std::string>& values = {});

}  // namespace ulvtest
