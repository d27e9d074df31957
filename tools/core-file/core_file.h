// Core files in the handset's layout, for tests and the demo, written from a short description
// rather than typed as hex. The layout is encoded here on its own, from the format description,
// so that a wrong constant of the daemon's parser shows up as a failing test.
//
//   L1 | block 1 (L1 bytes) | pad to 4 | 28 fixed | pc lr | L2 . . signal | block 2 (L2) |
//   pad to 4 | 24 fixed | N | N x (nameLength start end unused path+NUL pad to 4)
//
// Unused bytes are nonzero filler, so a parser reading them shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ulvtest {

enum class CoreOrder { Native, Big, Little };

struct CoreLibrary {
    uint32_t start = 0;
    uint32_t end = 0;  // just past the range
    std::string path;
    // Default: the path and its NUL. A smaller one cuts the name field, a larger one only the
    // field that says it.
    std::optional<uint32_t> nameLength;
};

struct CoreFileSpec {
    uint32_t l1 = 0;  // bytes of the first variable block laid out
    uint32_t l2 = 0;
    uint32_t pc = 0;
    uint32_t lr = 0;
    uint32_t signal = 0;
    std::vector<CoreLibrary> libraries;
    // What the length and count fields say, when it differs from what is laid out.
    std::optional<uint32_t> l1Field;
    std::optional<uint32_t> l2Field;
    std::optional<uint32_t> countField;
    CoreOrder order = CoreOrder::Native;  // the processor's own, as the phone writes it
};

// One 32-bit word in the given order.
std::string CoreWord(uint32_t value, CoreOrder order = CoreOrder::Native);
std::string CoreFile(const CoreFileSpec& layout);

// A description of blank-separated key=value words: l1= l2= pc= lr= signal= count=
// order=native|big|little and any number of lib=START-END:PATH (numbers decimal or 0x hex).
// False with a message in `error` for anything else.
bool ParseCoreFileSpec(const std::string& text, CoreFileSpec* layout, std::string* error);

}  // namespace ulvtest
