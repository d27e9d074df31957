// The confirmation of an SMS submission (ULVOnSendConfirmation), met with panics loaded from
// a BP panic log and some of them sent, as after a crash report went out.
//
// Input: flags(1: bit 0 a core dump report was the submission, bit 1 the confirmation carries
// the sequence sent, bit 2 nothing is in flight) sent(1: BP entries already sent, at most those loaded) mark(u32)
// length(u16: of the BP log) log confirmation(the rest, at most 12 bytes as the handler passes
// it on)
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "panics/panics.h"
#include "reports/reports.h"
#include "state/daemon_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ulvfuzz::InputScope scope = ulvfuzz::BeginInput();
    ulvfuzz::Input input(data, size);
    const uint8_t flags = input.U8();
    const uint8_t sent = input.U8();
    const uint32_t mark = input.U32();
    const std::string_view log = input.Bytes(input.U16());
    std::string_view confirmation = input.Bytes(CONFIRMATION_SIZE);
    ulvfuzz::PlaceFile(BP_PANIC_LOG1_PATH + 1, ulvfuzz::AsBytes(log), log.size());

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
    if (!confirmation.empty()) std::memcpy(bytes, confirmation.data(), confirmation.size());
    if ((flags & 2) != 0 && confirmation.size() >= 4) std::memcpy(bytes, &state.lastSentSequence, 4);
    // What a roll-back may go back to: the mark before the run, or a loaded entry's time.
    std::vector<uint32_t> times{mark};
    for (uint8_t k = 0; k < loaded; ++k) times.push_back(state.bpPanicList[k].timestamp);
    const uint32_t before = state.flexConfig.ulv_last_panic_timestamp;
    const uint8_t sentBefore = state.bpSentCount;

    ULVOnSendConfirmation(bytes, static_cast<uint16_t>(confirmation.size()));

    FUZZ_CHECK(state.bpSentCount <= state.bpLoadedCount);
    FUZZ_CHECK((state.bpPanicList == nullptr) == (state.bpLoadedCount == 0));
    FUZZ_CHECK((state.bpSortIndex == nullptr) == (state.bpLoadedCount == 0));
    // The new count keeps the counted figure for the marks even where nothing was loaded.
    if (state.bpPanicList == nullptr) FUZZ_CHECK(state.bpSentCount == 0);
    const uint32_t after = state.flexConfig.ulv_last_panic_timestamp;
    // With nothing in flight a confirmation changes nothing.
    if (!inFlight) FUZZ_CHECK(after == before && state.bpSentCount == sentBefore);
    if (after != before) {
        bool known = false;
        for (uint32_t time : times) known = known || time == after;
        FUZZ_CHECK(known);
    }
    return 0;
}
