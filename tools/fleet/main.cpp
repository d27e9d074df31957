// ulv-fleet: the receiving side's store and view of every report (see README.md).
//
//   ulv-fleet ingest  [--db DB] [--received TIME] [FILE ...]
//   ulv-fleet summary [--db DB] [--since DATE] [--json] [--timings]
//   ulv-fleet html    [--db DB] [--since DATE] OUT.html
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "ingest.h"
#include "store.h"
#include "summary.h"

namespace {

using namespace ulv::fleet;

constexpr char kUsage[] =
    "usage: ulv-fleet ingest  [--db DB] [--received TIME] [FILE ...]\n"
    "       ulv-fleet summary [--db DB] [--since DATE] [--json] [--timings]\n"
    "       ulv-fleet html    [--db DB] [--since DATE] OUT.html\n"
    "DB is a SQLite file (default fleet.db) or a postgresql:// URI.\n";

int Usage(const std::string& problem) {
    std::cerr << "ulv-fleet: " << problem << "\n" << kUsage;
    return 2;
}

struct Options {
    std::string db = "fleet.db";
    std::optional<int64_t> received, since;
    bool json = false, timings = false;
    std::vector<std::string> files;
};

int Run(const std::string& command, const Options& options) {
    std::unique_ptr<Store> store = OpenStore(options.db);
    if (command == "ingest") {
        Ingester ingester(*store, options.received.value_or(static_cast<int64_t>(std::time(nullptr))), &std::cerr);
        std::vector<std::string> files = options.files;
        if (files.empty()) files.push_back("-");
        int status = 0;
        for (const std::string& file : files) {
            if (file == "-") {
                ReadInputs(std::cin, "stdin", [&](const InputText& input) { ingester.Add(input); });
                continue;
            }
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::cerr << "ulv-fleet: cannot read " << file << ": " << std::strerror(errno) << "\n";
                status = 1;
                continue;
            }
            ReadInputs(in, file, [&](const InputText& input) { ingester.Add(input); });
        }
        ingester.Close();
        std::cout << SummaryLine(ingester.stats()) << "\n";
        return status;
    }
    SummaryOptions summaryOptions;
    summaryOptions.since = options.since;
    summaryOptions.forPage = command == "html";
    const Summary summary = Summarize(*store, summaryOptions);
    if (options.timings)
        for (const auto& [name, seconds] : summary.timings)
            std::cerr << "query " << name << ": " << seconds * 1000.0 << " ms\n";
    if (command == "summary") {
        std::cout << (options.json ? RenderSummaryJson(summary) : RenderTables(summary));
        return 0;
    }
    std::ofstream out(options.files[0], std::ios::binary | std::ios::trunc);
    out << RenderHtml(summary);
    out.close();
    if (!out) {
        std::cerr << "ulv-fleet: cannot write " << options.files[0] << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command");
    const std::string command = argv[1];
    if (command == "-h" || command == "--help") {
        std::cout << kUsage;
        return 0;
    }
    if (command != "ingest" && command != "summary" && command != "html") return Usage("unknown command " + command);
    Options options;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (arg == "--db") {
            const auto v = value();
            if (!v) return Usage("--db needs a value");
            options.db = *v;
        } else if ((arg == "--received" && command == "ingest") || (arg == "--since" && command != "ingest")) {
            const auto v = value();
            const std::optional<int64_t> time = v ? ParseTime(*v) : std::nullopt;
            if (!time) return Usage(arg + " needs a time: seconds since 1970 or YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM]");
            (arg == "--received" ? options.received : options.since) = time;
        } else if (arg == "--json" && command == "summary") {
            options.json = true;
        } else if (arg == "--timings" && command != "ingest") {
            options.timings = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return Usage("unknown option " + arg);
        } else {
            options.files.push_back(arg);
        }
    }
    if (command == "summary" && !options.files.empty()) return Usage("summary takes no files");
    if (command == "html" && options.files.size() != 1) return Usage("html needs one output file");
    try {
        return Run(command, options);
    } catch (const StoreError& error) {
        std::cerr << "ulv-fleet: " << error.what() << "\n";
        return 1;
    }
}
