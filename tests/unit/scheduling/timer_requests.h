// The timer device requests the fake recorded, as short readable lines:
// "start 0:15:0", "delete 0:0:5", "ack", "release".
#pragma once

#include <string>
#include <vector>

#include "fakes.h"
#include "platform/rtc_sw.h"

inline std::vector<std::string> TimerRequests() {
    std::vector<std::string> lines;
    for (const fake::RtcRequest& request : fake::rtc.requests) {
        std::string line;
        switch (request.request) {
            case RTC_SW_START: line = "start"; break;
            case RTC_SW_DELETE: line = "delete"; break;
            case RTC_SW_ACK: line = "ack"; break;
            case RTC_SW_RELEASE: line = "release"; break;
            default: line = "request " + std::to_string(request.request); break;
        }
        if (request.hasRecord) {
            line += " " + std::to_string(request.record.hours) + ":" +
                    std::to_string(request.record.minutes) + ":" +
                    std::to_string(request.record.seconds);
            if (request.record.reserved != 0)
                line += " reserved " + std::to_string(request.record.reserved);
        }
        lines.push_back(line);
    }
    return lines;
}
