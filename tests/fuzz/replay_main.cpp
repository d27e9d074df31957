// A fuzz target: the harness of targets.cpp that ULV_FUZZ_TARGET names, behind libFuzzer's
// entry. Linked with libFuzzer, whose main overrides the weak one here, it fuzzes; without, it
// replays the corpus: each file of the directory named on the command line once, in name order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

namespace ulvfuzz {
void ULV_FUZZ_TARGET(std::string_view input);
void Run(void (*harness)(std::string_view), std::string_view input);
}  // namespace ulvfuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ulvfuzz::Run(ulvfuzz::ULV_FUZZ_TARGET, {reinterpret_cast<const char*>(data), size});
    return 0;
}

__attribute__((weak)) int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    if (argc == 2) inputs.assign(fs::directory_iterator(argv[1]), fs::directory_iterator());
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& path : inputs) {
        // Exactly the input's size, so that a read past its end is caught.
        std::vector<uint8_t> bytes(fs::file_size(path));
        std::ifstream in(path, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(bytes.data()), std::ssize(bytes))) return 1;
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;  // no corpus is a broken test
}
