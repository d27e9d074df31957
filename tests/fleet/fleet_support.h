// Stores for the fleet tests, on both back ends, and report texts made by hand from the byte
// layouts.
//
// PostgreSQL: ULV_FLEET_TEST_PG names a server (a postgresql:// URI) that scripts/test.sh
// starts privately for the run; every store is a schema of its own there, dropped after. Without
// the variable the PostgreSQL cases are skipped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "store.h"

namespace fleettest {

enum class Backend { kSqlite, kPostgres };
std::string BackendName(Backend backend);

// A fresh, empty store; `uri()` is what --db takes.
class TestStore {
public:
    explicit TestStore(Backend backend);
    ~TestStore();
    bool available() const { return !uri_.empty(); }
    const std::string& uri() const { return uri_; }
    ulv::fleet::Store& store();  // opened (and migrated) on first use

private:
    Backend backend_;
    ulvtest::SandboxRoot dir_;
    std::string uri_, schema_;
    std::unique_ptr<ulv::fleet::Store> store_;
};

// A report message built field by field (numbers big-endian, texts NUL-padded).
struct Handset {
    std::string serial = "SN00000001";
    std::string apLabel = "AP_R1";
    std::string flexVersion = "FLEX_7";
    uint16_t fingerprint = 0x2679;
};
std::vector<uint8_t> Header(const Handset& h, uint8_t type, uint32_t uptimeMs);
std::vector<uint8_t> Crash(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint32_t timestamp,
                           uint32_t id, uint8_t dataByte = 0xa0);
std::vector<uint8_t> CoreDump(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint32_t fileTime,
                              const std::string& task, const std::string& lib, uint32_t pcOffset);
std::vector<uint8_t> Periodic(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint8_t genericByte = 1);
std::vector<uint8_t> SoftwareChange(const Handset& h, uint32_t uptimeMs, const std::string& fromLabel,
                                    const std::string& fromFlex);
// The report text (Base64, "+-" the last two characters).
std::string Text(const std::vector<uint8_t>& message);

// Runs ulv-fleet with these arguments; its standard output (and error, when `withErrors`).
std::string RunFleet(const std::vector<std::string>& args, int* status = nullptr, bool withErrors = false);

// A number field of a flat JSON object text ("handsets":3 -> 3), searched from `from`.
double JsonNumber(const std::string& json, const std::string& name, size_t from = 0);

}  // namespace fleettest
