// The core file parser, on its own (ULVAPCDGetPanicInfo on the file's descriptor) and with the
// collection around it (ULVAPCDCollect finding the file in the dump directory, parsing it and
// sending its report).
//
// Input: mode(1: bit 0 with the collection) the core file(the rest).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "coredump/coredump.h"
#include "fakes.h"
#include "fuzz_support.h"
#include "platform/paths.h"
#include "platform/rtc_sw.h"
#include "state/daemon_state.h"

namespace {

constexpr char kName[] = "core.task.1.2";

bool Terminated(const char* text, size_t size) { return strnlen(text, size) < size; }

void CheckRecord(const CoreDumpRecord& record) {
    FUZZ_CHECK(Terminated(record.path, sizeof record.path));
    FUZZ_CHECK(Terminated(record.taskName, sizeof record.taskName));
    FUZZ_CHECK(Terminated(record.libName, sizeof record.libName));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    ulvfuzz::Input input(data, size);
    const bool collection = (input.U8() & 1) != 0;
    const std::string_view core = input.Rest();
    const std::string relative = std::string(CORE_DUMP_DIR + 1) + "/" + kName;
    ulvfuzz::PlaceFile(relative.c_str(), ulvfuzz::AsBytes(core), core.size());
    DaemonState& state = ulvState;

    if (!collection) {
        CoreDumpRecord record{};
        std::snprintf(record.path, sizeof record.path, "%s/%s", CORE_DUMP_DIR, kName);
        const int fd = open((ulvfuzz::Root() + "/" + relative).c_str(), O_RDONLY);
        FUZZ_CHECK(fd >= 0);
        ULVAPCDGetPanicInfo(&record, fd);
        close(fd);
        CheckRecord(record);
        return 0;
    }

    state.flexConfig.enableCoreDumps = 1;
    state.reportDelay = 5;
    PlatformPathBuffer buffer;
    state.timerFd = RtcSwOpen(PlatformResolvePath("/dev/rtc_sw", buffer));
    ULVAPCDCollect();
    // One pass takes the one file: at most one report, marked pending exactly when sent.
    FUZZ_CHECK(state.apcdAttempts <= APCD_MAX_PASSES + 1);
    FUZZ_CHECK(fake::tapi.submissions.size() <= 1);
    FUZZ_CHECK(state.apcdPending == (fake::tapi.submissions.empty() ? 0 : 1));
    FUZZ_CHECK(Terminated(state.apcdReportedPath, sizeof state.apcdReportedPath));
    return 0;
}
