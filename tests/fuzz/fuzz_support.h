// What every fuzz target shares: a sandbox root for the files the daemon reads, the state reset
// between inputs, a reader that splits one input into parts, and the check that stops the run.
// A target defines LLVMFuzzerTestOneInput only: it links with libFuzzer's main (scripts/fuzz.sh)
// or with replay_main.cpp (the corpus replay test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "state/daemon_state.h"

// Stops the run on a broken invariant: libFuzzer keeps the input as a crash, the replay fails.
#define FUZZ_CHECK(condition)                                            \
    do {                                                                 \
        if (!(condition)) ulvfuzz::Fail(__FILE__, __LINE__, #condition); \
    } while (0)

namespace ulvfuzz {

[[noreturn]] void Fail(const char* file, int line, const char* condition);

// Starts one input: creates the sandbox root on first use (ULV_SIM_ROOT, ZEL_APP_WRITE_PATH,
// TZ=UTC), resets the daemon's state and removes every file an earlier input placed, so that
// one input cannot hide another's fault. The scope resets the state again at the input's end.
struct InputScope {
    ~InputScope();
};
[[nodiscard]] InputScope BeginInput();

// Places a file below the sandbox root ("zellocal/panic/bp_panic.log1"); returns its path.
std::string PlaceFile(const std::string& relative, std::string_view content);

// Takes the parts of one input from its front; past the end, numbers read as 0 and byte runs
// come back short. Views stay valid for the input's life.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
    uint8_t U8() { return rest_.empty() ? 0 : static_cast<uint8_t>(Bytes(1)[0]); }
    uint16_t U16() {  // big-endian
        const uint16_t high = U8();
        return static_cast<uint16_t>(high << 8 | U8());
    }
    uint32_t U32() {  // big-endian
        const uint32_t high = U16();
        return high << 16 | U16();
    }
    std::string_view Bytes(size_t count) {
        const std::string_view part = rest_.substr(0, count);
        rest_.remove_prefix(part.size());
        return part;
    }
    std::string_view Rest() { return Bytes(rest_.size()); }
    size_t Left() const { return rest_.size(); }

  private:
    std::string_view rest_;
};

}  // namespace ulvfuzz
