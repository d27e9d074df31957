// The core file parser, on its own (ULVAPCDGetPanicInfo on the file's descriptor) and with the
// collection around it (ULVAPCDCollect finding the file in the dump directory, parsing it and
// sending its report).
//
// Input: mode(1: bit 0 with the collection) the core file(the rest).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "coredump/coredump.h"
#include "fakes.h"
#include "fuzz_support.h"
#include "platform/paths.h"

namespace {

constexpr char kName[] = "core.task.1.2";

template <size_t N>
bool Terminated(const char (&text)[N]) {
    return strnlen(text, N) < N;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    ulvfuzz::Input input(data, size);
    const bool collection = (input.U8() & 1) != 0;
    const std::string path =
        ulvfuzz::PlaceFile(std::string(CORE_DUMP_DIR + 1) + "/" + kName, input.Rest());
    DaemonState& state = ulvState;

    if (!collection) {
        CoreDumpRecord record{};
        std::snprintf(record.path, sizeof record.path, "%s/%s", CORE_DUMP_DIR, kName);
        const int fd = open(path.c_str(), O_RDONLY);
        FUZZ_CHECK(fd >= 0);
        ULVAPCDGetPanicInfo(&record, fd);
        close(fd);
        FUZZ_CHECK(Terminated(record.path) && Terminated(record.taskName));
        FUZZ_CHECK(Terminated(record.libName));
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
    FUZZ_CHECK(Terminated(state.apcdReportedPath));
    return 0;
}
