#include "fleet_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace fleettest {

std::string BackendName(Backend backend) { return backend == Backend::kSqlite ? "Sqlite" : "Postgres"; }

TestStore::TestStore(Backend backend) : backend_(backend) {
    if (backend == Backend::kSqlite) {
        uri_ = dir_.path() + "/fleet.db";
        return;
    }
    const char* base = std::getenv("ULV_FLEET_TEST_PG");
    if (!base || !*base) return;
    static std::atomic<int> count{0};
    schema_ = "t" + std::to_string(getpid()) + "_" + std::to_string(count++);
    ulv::fleet::OpenPostgresStore(base)->Script("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE; CREATE SCHEMA " + schema_);
    const std::string uri = base;
    uri_ = uri + (uri.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + schema_;
}

TestStore::~TestStore() {
    store_.reset();
    if (!schema_.empty()) {
        try {
            ulv::fleet::OpenPostgresStore(std::getenv("ULV_FLEET_TEST_PG"))->Script("DROP SCHEMA " + schema_ + " CASCADE");
        } catch (...) {
        }
    }
}

ulv::fleet::Store& TestStore::store() {
    if (!store_) store_ = ulv::fleet::OpenStore(uri_);
    return *store_;
}

namespace {

void Put(std::vector<uint8_t>& m, size_t at, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) m[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
}

void PutText(std::vector<uint8_t>& m, size_t at, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; ++i) m[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

}  // namespace

// Header: 0 type, 1 format 2, 2 AP label (20), 22 flex (20), 42 BP code (4), 46 zero,
// 47 BP count, 48 uptime ms, 52 fingerprint, 54 serial (10).
std::vector<uint8_t> Header(const Handset& h, uint8_t type, uint32_t uptimeMs) {
    std::vector<uint8_t> m(64, 0);
    m[0] = type;
    m[1] = 2;
    PutText(m, 2, h.apLabel, 20);
    PutText(m, 22, h.flexVersion, 20);
    PutText(m, 42, "1234", 4);
    m[47] = 1;
    Put(m, 48, uptimeMs, 4);
    Put(m, 52, h.fingerprint, 2);
    PutText(m, 54, h.serial, 10);
    return m;
}

// Crash body: 0 call time, 4 time stamp, 8 id, 12 data (36).
std::vector<uint8_t> Crash(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint32_t timestamp, uint32_t id,
                           uint8_t dataByte) {
    std::vector<uint8_t> m = Header(h, 0, uptimeMs);
    m.resize(112, 0);
    Put(m, 64, callTime, 4);
    Put(m, 68, timestamp, 4);
    Put(m, 72, id, 4);
    for (size_t i = 0; i < 36; ++i) m[76 + i] = static_cast<uint8_t>(dataByte + i);
    return m;
}

// Core dump body: 0 call time, 4 file time, 8 module id 0x00082100, 12 task (10), 22 lib (13),
// 35 pc offset, 39 signal, 40 pc, 44 lr.
std::vector<uint8_t> CoreDump(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint32_t fileTime,
                              const std::string& task, const std::string& lib, uint32_t pcOffset) {
    std::vector<uint8_t> m = Header(h, 0, uptimeMs);
    m.resize(112, 0);
    Put(m, 64, callTime, 4);
    Put(m, 68, fileTime, 4);
    Put(m, 72, 0x00082100, 4);
    PutText(m, 76, task, 9);
    PutText(m, 86, lib, 12);
    Put(m, 99, pcOffset, 4);
    m[103] = 11;
    Put(m, 104, 0x40011a2c, 4);
    Put(m, 108, 0x40010010, 4);
    return m;
}

// Periodic body: 0 call time, 4 twenty zero bytes, 24 generic usage data (24).
std::vector<uint8_t> Periodic(const Handset& h, uint32_t uptimeMs, uint32_t callTime, uint8_t genericByte) {
    std::vector<uint8_t> m = Header(h, 2, uptimeMs);
    m.resize(112, 0);
    Put(m, 64, callTime, 4);
    for (size_t i = 0; i < 24; ++i) m[88 + i] = static_cast<uint8_t>(genericByte + i);
    return m;
}

// Software change body: 0 previous AP label (20), 20 previous flex version (20).
std::vector<uint8_t> SoftwareChange(const Handset& h, uint32_t uptimeMs, const std::string& fromLabel,
                                    const std::string& fromFlex) {
    std::vector<uint8_t> m = Header(h, 1, uptimeMs);
    m.resize(104, 0);
    PutText(m, 64, fromLabel, 20);
    PutText(m, 84, fromFlex, 20);
    return m;
}

std::string Text(const std::vector<uint8_t>& message) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
    std::string out;
    for (size_t i = 0; i < message.size(); i += 3) {
        const size_t n = std::min<size_t>(3, message.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? message[i + k] : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

std::string RunFleet(const std::vector<std::string>& args, int* status, bool withErrors) {
    ulvtest::SandboxRoot dir;
    const std::string out = dir.path() + "/out.txt";
    std::vector<std::string> argv{ULV_FLEET_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    // Errors go to a file of their own unless wanted with the output.
    std::vector<std::string> command{"/bin/sh", "-c",
                                     "\"$0\" \"$@\" >" + out + (withErrors ? " 2>&1" : " 2>" + dir.path() + "/err.txt")};
    command.insert(command.end(), argv.begin(), argv.end());
    ulvtest::ChildProcess child = ulvtest::ChildProcess::SpawnNative(command);
    int wait = -1;
    const bool ended = child.WaitExit(&wait, 120);
    if (status) *status = ended && WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return ulvtest::ReadFile(out);
}

double JsonNumber(const std::string& json, const std::string& name, size_t from) {
    const std::string key = "\"" + name + "\":";
    const size_t at = json.find(key, from);
    if (at == std::string::npos) return -1;
    return std::strtod(json.c_str() + at + key.size(), nullptr);
}

}  // namespace fleettest
