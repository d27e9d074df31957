// The confirmation of an SMS submission (ULVOnSendConfirmation), met with panics loaded from
// a BP panic log and some of them sent, as after a crash report went out.
//
// Input: flags(1: bit 0 a core dump report was the submission, bit 1 the confirmation carries
// the sequence sent, bit 2 nothing is in flight) sent(1: BP entries already sent, at most those
// loaded) mark(u32) length(u16: of the BP log) log confirmation(the rest, at most 12 bytes as
// the handler passes it on)
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "panics/panics.h"
#include "reports/reports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    ulvfuzz::Input input(data, size);
    const uint8_t flags = input.U8();
    const uint8_t sent = input.U8();
    const uint32_t mark = input.U32();
    ulvfuzz::PlaceFile(BP_PANIC_LOG1_PATH + 1, input.Bytes(input.U16()));
    const std::string_view confirmation = input.Bytes(CONFIRMATION_SIZE);

    DaemonState& state = ulvState;
    state.flexConfig.ulv_last_panic_timestamp = mark;
    ULVReadBpPanics();
    const uint8_t loaded = state.bpLoadedCount;
    state.bpSentCount = loaded == 0 ? 0 : static_cast<uint8_t>(sent % (loaded + 1));
    state.apcdPending = flags & 1;
    state.lastSentSequence = 7;
    const bool inFlight = (flags & 4) == 0;
    state.smsInFlight = inFlight ? 1 : 0;
    // The sequence matches when asked to, so that inputs reach past the sequence check.
    uint8_t bytes[CONFIRMATION_SIZE] = {};
    std::copy(confirmation.begin(), confirmation.end(), bytes);
    if ((flags & 2) != 0 && confirmation.size() >= 4)
        std::memcpy(bytes, &state.lastSentSequence, 4);
    // What a roll-back may go back to: the mark before the run, or a loaded entry's time.
    std::vector<uint32_t> times{mark};
    for (uint8_t k = 0; k < loaded; ++k) times.push_back(state.bpPanicList[k].timestamp);
    const uint32_t before = state.flexConfig.ulv_last_panic_timestamp;
    const uint8_t sentBefore = state.bpSentCount;

    ULVOnSendConfirmation(bytes, static_cast<uint16_t>(confirmation.size()));

    const uint32_t after = state.flexConfig.ulv_last_panic_timestamp;
    FUZZ_CHECK(state.bpSentCount <= state.bpLoadedCount);
    FUZZ_CHECK((state.bpPanicList == nullptr) == (state.bpLoadedCount == 0));
    FUZZ_CHECK((state.bpSortIndex == nullptr) == (state.bpLoadedCount == 0));
    // The new count keeps the counted figure for the marks even where nothing was loaded.
    FUZZ_CHECK(state.bpPanicList != nullptr || state.bpSentCount == 0);
    // With nothing in flight a confirmation changes nothing.
    FUZZ_CHECK(inFlight || (after == before && state.bpSentCount == sentBefore));
    FUZZ_CHECK(after == before || std::find(times.begin(), times.end(), after) != times.end());
    return 0;
}
