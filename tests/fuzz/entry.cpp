// Names a fuzz target's harness in targets.cpp: ULV_FUZZ_TARGET, set per target.
#include <string_view>

void ULV_FUZZ_TARGET(std::string_view input);
extern void (*const fuzzHarness)(std::string_view input) = ULV_FUZZ_TARGET;
