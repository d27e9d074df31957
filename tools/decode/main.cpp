// ulv-decode [TEXT ...]
//
// Decodes report SMS texts, each a plain report text or the e-mail form "address text", into
// one JSON object per line on standard output. Without arguments it reads standard input, one
// text per line, and skips empty lines. There are no options: a report text may begin with
// "-", so every argument is a text.
//
// Problems go to standard error as "ulv-decode: input N: ...", N being the argument number or
// the line number; the other inputs are still decoded, and the exit status is then 1.

#include <cstdio>
#include <string>
#include <string_view>

#include "decoder.h"

namespace {

// The longest line that can be a report is the 160-character e-mail form; the rest of a
// longer line is dropped unread, so that a stray binary file cannot grow the buffer.
constexpr size_t kMaxLineChars = 1024;

// Prints the report and the problems of one input; returns false when it had problems.
bool PrintDecoded(const ulv::decode::DecodedInput& decoded) {
    const std::string json = ulv::decode::RenderJson(decoded);
    if (!json.empty()) {
        std::fputs(json.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    for (const std::string& problem : decoded.problems) {
        std::fprintf(stderr, "ulv-decode: input %d: %s\n", decoded.number, problem.c_str());
    }
    return decoded.problems.empty();
}

// Reads one line, without its line feed, keeping at most kMaxLineChars of it. Returns false at
// the end of the input when nothing was read.
bool ReadBoundedLine(std::FILE* in, std::string& line, bool& overlong) {
    line.clear();
    overlong = false;
    int c = std::fgetc(in);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::fgetc(in)) {
        if (line.size() < kMaxLineChars) {
            line += static_cast<char>(c);
        } else {
            overlong = true;
        }
    }
    return true;
}

bool IsBlankLine(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

bool DecodeStandardInput() {
    bool allGood = true;
    std::string line;
    bool overlong = false;
    for (int lineNumber = 1; ReadBoundedLine(stdin, line, overlong); ++lineNumber) {
        if (overlong) {
            ulv::decode::DecodedInput tooLong;
            tooLong.number = lineNumber;
            tooLong.problems.push_back("line longer than " + std::to_string(kMaxLineChars) +
                                       " characters");
            allGood = PrintDecoded(tooLong) && allGood;
            continue;
        }
        if (IsBlankLine(line)) continue;
        allGood = PrintDecoded(ulv::decode::DecodeInput(lineNumber, line)) && allGood;
    }
    if (std::ferror(stdin)) {
        std::fputs("ulv-decode: error reading standard input\n", stderr);
        return false;
    }
    return allGood;
}

}  // namespace

int main(int argc, char** argv) {
    bool allGood = true;
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            allGood = PrintDecoded(ulv::decode::DecodeInput(i, argv[i])) && allGood;
        }
    } else {
        allGood = DecodeStandardInput();
    }
    return allGood ? 0 : 1;
}
