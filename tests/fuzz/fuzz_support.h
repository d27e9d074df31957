// What every fuzz target shares: a sandbox root for the files the daemon reads, the state reset
// between inputs, a reader that splits one fuzz input into the parts a target needs, and the
// check that stops the run on a broken invariant.
//
// A target defines LLVMFuzzerTestOneInput and nothing else: it links with libFuzzer's main
// for fuzzing (scripts/fuzz.sh) and with replay_main.cpp for the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Stops the run with the invariant's text: libFuzzer keeps the input as a crash, the replay
// test fails.
#define FUZZ_CHECK(condition)                                                                \
    do {                                                                                    \
        if (!(condition)) ulvfuzz::Fail(__FILE__, __LINE__, #condition);                    \
    } while (0)

namespace ulvfuzz {

[[noreturn]] void Fail(const char* file, int line, const char* condition);

// Starts one input: creates the sandbox root on first use (ULV_SIM_ROOT, ZEL_APP_WRITE_PATH,
// TZ=UTC), resets the daemon's process state and removes every file an earlier input placed,
// so that one input cannot hide another's fault. The scope it returns resets the process state
// again when the input ends.
struct InputScope {
    ~InputScope();
};
[[nodiscard]] InputScope BeginInput();

// Places a file below the sandbox root ("zellocal/panic/bp_panic.log1"), or removes it.
void PlaceFile(const char* relative, const uint8_t* data, size_t size);
void RemoveFile(const char* relative);
std::string Root();

// Takes the parts of one fuzz input from its front; past the end, numbers read as 0 and byte
// runs come back short.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t U8();
    uint16_t U16();  // big-endian
    uint32_t U32();  // big-endian
    // Up to `count` bytes; the view stays valid for the input's life.
    std::string_view Bytes(size_t count);
    std::string_view Rest() { return Bytes(size_ - at_); }
    size_t Left() const { return size_ - at_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

inline const uint8_t* AsBytes(std::string_view text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

}  // namespace ulvfuzz
