// ulv-core-file: writes one core file in the handset's layout from a short description.
//
//   ulv-core-file FILE [mtime=SECONDS] DESCRIPTION...
//   ulv-core-file core.mediaplayer.1234 mtime=1700000000 pc=0x40001a2c lr=0x40000f10
//       signal=11 lib=0x40000000-0x40010000:/usr/lib/libfoo.so.1       (one line)
//
// The words are those of ParseCoreFileSpec (core_file.h). Exit status 2 on a bad
// description, 1 when the file cannot be written.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core_file.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ulv-core-file FILE [mtime=SECONDS] DESCRIPTION...\n");
        return 2;
    }
    std::string description;
    long long mtime = -1;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.rfind("mtime=", 0) == 0)
            mtime = std::atoll(word.c_str() + 6);
        else
            description += word + " ";
    }
    ulvtest::CoreFileSpec layout;
    std::string error;
    if (!ulvtest::ParseCoreFileSpec(description, &layout, &error)) {
        std::fprintf(stderr, "ulv-core-file: %s\n", error.c_str());
        return 2;
    }
    const std::string content = ulvtest::CoreFile(layout);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    if (!out.write(content.data(), static_cast<std::streamsize>(content.size())).flush()) return 1;
    out.close();
    if (mtime >= 0) {
        const timespec times[2] = {{static_cast<time_t>(mtime), 0},
                                   {static_cast<time_t>(mtime), 0}};
        if (utimensat(AT_FDCWD, argv[1], times, 0) != 0) return 1;
    }
    return 0;
}
