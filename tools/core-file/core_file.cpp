#include "core_file.h"

#include <cstdlib>
#include <sstream>

namespace ulvtest {
namespace {

bool NativeIsBig() {
    const uint16_t one = 1;
    return *reinterpret_cast<const uint8_t*>(&one) == 0;
}

void PadTo4(std::string& file, char filler) {
    while (file.size() % 4 != 0) file += filler;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || parsed > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

std::string CoreWord(uint32_t value, CoreOrder order) {
    const bool big = order == CoreOrder::Big || (order == CoreOrder::Native && NativeIsBig());
    std::string word(4, '\0');
    for (int i = 0; i < 4; ++i) word[big ? 3 - i : i] = static_cast<char>(value >> (8 * i));
    return word;
}

std::string CoreFile(const CoreFileSpec& layout) {
    auto word = [&](uint32_t value) { return CoreWord(value, layout.order); };
    std::string file = word(layout.l1Field.value_or(layout.l1));
    file.append(layout.l1, '\xaa');
    PadTo4(file, '\0');
    file.append(28, '\xbb');
    file += word(layout.pc) + word(layout.lr);
    file += word(layout.l2Field.value_or(layout.l2)) + std::string(8, '\xcc') + word(layout.signal);
    file.append(layout.l2, '\xdd');
    PadTo4(file, '\0');
    file.append(24, '\xee');
    file += word(layout.countField.value_or(static_cast<uint32_t>(layout.libraries.size())));
    for (const CoreLibrary& library : layout.libraries) {
        const uint32_t nameLength =
            library.nameLength.value_or(static_cast<uint32_t>(library.path.size() + 1));
        file += word(nameLength) + word(library.start) + word(library.end) + word(0xA5A5A5A5);
        std::string name = library.path + '\0';  // as much of it as nameLength says
        if (nameLength < name.size()) name.resize(nameLength);
        file += name;
        PadTo4(file, '\0');
    }
    return file;
}

bool ParseCoreFileSpec(const std::string& text, CoreFileSpec* layout, std::string* error) {
    std::istringstream words(text);
    for (std::string item; words >> item;) {
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        uint32_t number = 0;
        bool ok = true;
        if (key == "order") {
            if (value == "native")
                layout->order = CoreOrder::Native;
            else if (value == "big")
                layout->order = CoreOrder::Big;
            else if (value == "little")
                layout->order = CoreOrder::Little;
            else
                ok = false;
        } else if (key == "lib") {
            const size_t dash = value.find('-'), colon = value.find(':');
            CoreLibrary library;
            ok = dash != std::string::npos && colon != std::string::npos && dash < colon &&
                 ParseNumber(value.substr(0, dash), &library.start) &&
                 ParseNumber(value.substr(dash + 1, colon - dash - 1), &library.end);
            library.path = ok ? value.substr(colon + 1) : "";
            if (ok) layout->libraries.push_back(library);
        } else if ((ok = ParseNumber(value, &number))) {
            if (key == "l1")
                layout->l1 = number;
            else if (key == "l2")
                layout->l2 = number;
            else if (key == "pc")
                layout->pc = number;
            else if (key == "lr")
                layout->lr = number;
            else if (key == "signal")
                layout->signal = number;
            else if (key == "count")
                layout->countField = number;
            else
                ok = false;
        }
        if (!ok) {
            *error = "cannot use '" + item + "'";
            return false;
        }
    }
    return true;
}

}  // namespace ulvtest
