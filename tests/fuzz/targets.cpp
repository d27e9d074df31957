// The fuzz targets' harnesses: each feeds a parser its input the way the daemon or a tool meets
// it and checks what must hold on every input. "Input:" says how a harness splits its input.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

#include "coredump/coredump.h"
#include "daemon/daemon.h"
#include "decoder.h"
#include "fakes.h"
#include "panics/panic_file.h"
#include "panics/panics.h"
#include "platform/paths.h"
#include "process_reset.h"
#include "reports/reports.h"
#include "scenario.h"
#include "scheduling/scheduling.h"
#include "state/daemon_state.h"
#include "submission.h"

namespace fs = std::filesystem;

// The libFuzzer builds link every fsync of the daemon here (-Wl,--wrap=fsync): a fuzz run has no
// power cuts, and the flushes cost most of the time of the targets that save the configuration.
extern "C" int __wrap_fsync(int) {
    return 0;
}

extern void (*const fuzzHarness)(std::string_view input);  // the target's: entry.cpp

namespace {

// Stops the run on a broken invariant: libFuzzer keeps the input as a crash, the replay fails.
void Check(bool holds, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    if (holds) return;
    std::fprintf(stderr, "%s:%d: invariant broken\n", file, line);
    std::abort();
}

// The directories the daemon expects below its root; their contents go between inputs.
constexpr const char* kDirectories[] = {"sim",
                                        "tmp",
                                        "dev/mtdblock",
                                        "zellocal/panic",
                                        "zellocal/ulv_app_dump",
                                        "zel_user/download/appwrite",
                                        "zel_app/setup"};
std::string root;
std::error_code ignored;
// On tmpfs a directory's size counts its entries: one at its size when emptied needs no listing
// (which costs more syscalls than most inputs make). Elsewhere (-2) every directory is listed.
off_t emptySizes[std::size(kDirectories)];

off_t SizeOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Places a file below the sandbox root ("zellocal/panic/bp_panic.log1"); returns its path.
std::string PlaceFile(const std::string& relative, std::string_view content) {
    const std::string path = root + "/" + relative;
    std::ofstream file(path, std::ios::binary);
    Check(file.write(content.data(), std::ssize(content)).flush().good());
    return path;
}

// Takes an input's parts from its front; past its end, numbers read 0 and byte runs come short.
struct Input {
    std::string_view rest;
    std::string_view Take(size_t count) {
        const std::string_view part = rest.substr(0, count);
        rest.remove_prefix(part.size());
        return part;
    }
    uint32_t Number(size_t size) {  // big-endian
        const std::string_view bytes = Take(size);
        uint64_t value = 0;
        for (const char byte : bytes) value = value << 8 | static_cast<uint8_t>(byte);
        return static_cast<uint32_t>(value << 8 * (size - bytes.size()));
    }
};

// The BP panic logs or QUELA panic blocks: two files, each there or not, read at start-up.
// Input: flags(1: bit 0 first file present, bit 1 second) mark(u32: the last reported time)
// length(u16: of the first file) first-file second-file(the rest).
void PanicFiles(const PanicFileLayout& layout, void (*read)(), void (*release)(),
                std::string_view bytes) {
    Input input{bytes};
    const uint8_t flags = input.Number(1);
    const uint32_t mark = input.Number(4);
    const std::string_view files[2] = {input.Take(input.Number(2)), input.rest};
    for (int f = 0; f < 2; ++f)
        if ((flags >> f & 1) != 0) PlaceFile(layout.paths[f] + 1, files[f]);
    DaemonState& state = ulvState;
    state.flexConfig.*layout.lastReported = mark;

    read();

    const uint8_t counted = state.*layout.newCount;
    const uint8_t loaded = state.*layout.loadedCount;
    const PanicRecord* list = state.*layout.list;
    const PanicSortEntry* index = state.*layout.sortIndex;
    Check(loaded <= counted && state.*layout.sentCount == 0 && ((flags & 3) != 0 || counted == 0));
    Check((list != nullptr) == (loaded != 0) && (index != nullptr) == (loaded != 0));
    Check(loaded == 0 || state.*layout.restoreTimestamp == mark);
    // Only new panics are loaded, and the index orders all of them, each once, by time.
    std::vector<bool> seen(loaded, false);
    for (uint8_t k = 0; k < loaded; ++k) {
        const PanicSortEntry& entry = index[k];
        Check(list[k].timestamp > mark && entry.recordIndex < loaded && !seen[entry.recordIndex]);
        seen[entry.recordIndex] = true;
        Check(entry.timestamp == list[entry.recordIndex].timestamp &&
              (k == 0 || index[k - 1].timestamp <= entry.timestamp));
    }
    release();
    Check(state.*layout.list == nullptr && state.*layout.sortIndex == nullptr &&
          state.*layout.newCount == 0 && state.*layout.loadedCount == 0);
}

// The configuration's values field by field, the texts as whole arrays (padding does not count).
auto Values(const FlexConfig& c) {
    const auto text = [](const auto& field) { return std::string_view(field, sizeof field); };
    return std::tuple(c.ulv_availability, c.ulv_sms_address_type, c.ulv_last_num_panics,
                      text(c.ulv_lst_bldinfo_baselabel), text(c.ulv_last_flex_version),
                      c.ulv_last_panic_timestamp, c.ulv_last_preiodic_report_timestamp,
                      c.ulv_last_powerup_timestamp, c.ulv_cummulative_uptime,
                      text(c.ulv_destination_address), c.ulv_report_duration, c.ulv_report_delay,
                      c.ulv_last_ap_quela_num_panics, c.ulv_last_ap_quela_panic_timestamp,
                      c.ulv_last_ap_num_dump, c.ulv_last_ap_num_dump_timestamp,
                      c.ulv_last_ap_kernel_timestamp, c.enableCoreDumps);
}

}  // namespace

void FuzzBpPanics(std::string_view bytes) {
    PanicFiles(BP_PANIC_LAYOUT, ULVReadBpPanics, ULVDeleteBpPanics, bytes);
}

void FuzzQuelaPanics(std::string_view bytes) {
    PanicFiles(QUELA_PANIC_LAYOUT, ULVReadQuelaPanics, ULVDeleteQuelaPanics, bytes);
}

// The kernel panic partition. Input: mark(u32: the last reported kernel time) partition(the rest).
void FuzzKernelPanic(std::string_view bytes) {
    Input input{bytes};
    const uint32_t mark = input.Number(4);
    PlaceFile(KERNEL_PANIC_PATH + 1, input.rest);
    DaemonState& state = ulvState;
    state.flexConfig.ulv_last_ap_kernel_timestamp = mark;
    uint32_t time = 0;
    uint8_t pc[KERNEL_PANIC_PC_SIZE] = {};
    uint8_t forced = 0;
    Check(ULVParseKernelPanicLog(&time, pc, &forced) == 0 && (forced == 0 || forced == 1));

    ULVReadKernelPanic();
    const PanicRecord* record = state.kernelPanic;
    // A record exactly for a time newer than the mark, with what the parse found.
    const bool isNew = time != KERNEL_PANIC_NO_TIME && time > mark;
    Check((record != nullptr) == isNew && state.kernelPanicDone == (isNew ? 0 : 1));
    Check(!isNew || (record->timestamp == time && state.kernelRestoreTimestamp == mark &&
                     record->id == (forced != 0 ? KERNEL_PANIC_FORCED_ID : KERNEL_PANIC_ID) &&
                     std::memcmp(record->data, pc, KERNEL_PANIC_PC_SIZE) == 0));
    ULVReleaseKernelPanic();
    Check(state.kernelPanic == nullptr);
}

// The SMS setup file, read for the e-mail gateway. Input: the file.
void FuzzGateway(std::string_view file) {
    PlaceFile(std::string("zel_app/") + SMS_SETUP_RELATIVE_PATH, file);
    const int result = ULVGetEmailGateway();
    // A gateway is one word of the file, at most 20 characters, the rest of the buffer cleared.
    const std::string_view buffer(ulvState.emailGatewayAddress,
                                  sizeof ulvState.emailGatewayAddress);
    const std::string_view gateway = buffer.substr(0, buffer.find('\0'));
    Check(gateway.size() <= 20 && (result == 0) == !gateway.empty());
    Check(gateway.find_first_of(" \t\n\v\f\r") == gateway.npos &&
          buffer.find_first_not_of('\0', gateway.size()) == buffer.npos);
    Check(gateway.empty() || file.find(gateway) != file.npos);
}

// A run of telephony messages waiting on the connection, each served by ULVHandleTapiMessage.
// Input: stage(1: bit 0 start-up decision pending, bits 1-2 the gateway state, bit 3 in
// service, bit 4 valid network, bit 5 signal) then messages, each kind(1: kind % 5 picks send
// confirmation, service, registered, signal, or any id in the next u16) length(1) data(length)
void FuzzTapiMessage(std::string_view bytes) {
    constexpr uint16_t kIds[] = {SMS_SEND_CNF_MSGID, SERVICE_AVAILABILITY_MSGID, REGISTERED_MSGID,
                                 SIGNAL_QUALITY_MSGID};
    constexpr int32_t kGatewayStates[] = {GATEWAY_STATE_INITIAL, GATEWAY_STATE_CHECK_FAILED,
                                          GATEWAY_STATE_CONFIRMED, GATEWAY_STATE_GIVE_UP};
    Input input{bytes};
    const uint8_t stage = input.Number(1);
    DaemonState& state = ulvState;
    state.startupStage = (stage & 1) != 0 ? 1 : 2;
    gatewayState = kGatewayStates[stage >> 1 & 3];
    state.inService = stage >> 3 & 1;
    state.validPlmn = stage >> 4 & 1;
    state.sqState = stage >> 5 & 1;
    while (!input.rest.empty()) {
        const uint8_t kind = input.Number(1);
        const uint16_t id = kind % 5 < 4 ? kIds[kind % 5] : input.Number(2);
        const std::string_view data = input.Take(input.Number(1));
        fake::tapi.messages.push_back({id, std::vector<uint8_t>(data.begin(), data.end())});
    }
    PlatformPathBuffer buffer;
    state.timerFd = RtcSwOpen(PlatformResolvePath(TIMER_DEVICE_PATH, buffer));
    state.tapiFd = TAPI_CLIENT_Init(nullptr, 0);
    Check(state.tapiFd >= 0);
    // Every waiting message is read and served, none is lost or read twice.
    for (size_t left = fake::tapi.messages.size(); left > 0; --left) {
        Check(ULVHandleTapiMessage(state.tapiFd) == 0);
        Check(state.inService <= 1 && state.validPlmn <= 1 && state.sqState <= 1);
        Check(state.bpSentCount <= state.bpLoadedCount &&
              (state.bpPanicList == nullptr) == (state.bpLoadedCount == 0));
        Check(state.quelaSentCount <= state.quelaLoadedCount &&
              (state.quelaPanicList == nullptr) == (state.quelaLoadedCount == 0));
    }
    Check(fake::tapi.messages.empty() && ULVHandleTapiMessage(state.tapiFd) == -1);
}

// A submission's confirmation, met with panics loaded from a BP panic log and some sent. Input:
// flags(1: bit 0 a core dump report was the submission, bit 1 the confirmation carries the
// sequence sent, bit 2 nothing is in flight) sent(1: BP entries sent, at most those loaded)
// mark(u32) length(u16: of the BP log) log confirmation(the rest, at most 12 bytes)
void FuzzSendConfirmation(std::string_view bytes) {
    Input input{bytes};
    const uint8_t flags = input.Number(1);
    const uint8_t sent = input.Number(1);
    const uint32_t mark = input.Number(4);
    PlaceFile(BP_PANIC_LOG1_PATH + 1, input.Take(input.Number(2)));
    const std::string_view confirmation = input.Take(CONFIRMATION_SIZE);
    DaemonState& state = ulvState;
    state.flexConfig.ulv_last_panic_timestamp = mark;
    ULVReadBpPanics();
    const uint8_t loaded = state.bpLoadedCount;
    state.bpSentCount = loaded == 0 ? 0 : static_cast<uint8_t>(sent % (loaded + 1));
    state.apcdPending = flags & 1;
    state.lastSentSequence = 7;
    const bool inFlight = (flags & 4) == 0;
    state.smsInFlight = inFlight ? 1 : 0;
    // The sequence matches when asked to, so that inputs reach past the sequence check.
    uint8_t message[CONFIRMATION_SIZE] = {};
    std::copy(confirmation.begin(), confirmation.end(), message);
    if ((flags & 2) != 0 && confirmation.size() >= 4)
        std::memcpy(message, &state.lastSentSequence, 4);
    // What a roll-back may go back to: the mark before the run, or a loaded entry's time.
    std::vector<uint32_t> times{mark};
    for (uint8_t k = 0; k < loaded; ++k) times.push_back(state.bpPanicList[k].timestamp);
    const uint8_t sentBefore = state.bpSentCount;

    ULVOnSendConfirmation(message, static_cast<uint16_t>(confirmation.size()));

    const uint32_t after = state.flexConfig.ulv_last_panic_timestamp;
    Check(state.bpSentCount <= state.bpLoadedCount &&
          (state.bpPanicList == nullptr) == (state.bpLoadedCount == 0) &&
          (state.bpSortIndex == nullptr) == (state.bpLoadedCount == 0));
    // The new count keeps the counted figure for the marks even where nothing was loaded.
    Check(state.bpPanicList != nullptr || state.bpSentCount == 0);
    Check(inFlight || (after == mark && state.bpSentCount == sentBefore));
    Check(after == mark || std::find(times.begin(), times.end(), after) != times.end());
}

// ulv-decode's DecodeInput and RenderJson. Input: one line.
void FuzzDecode(std::string_view line) {
    const ulv::decode::DecodedInput decoded = ulv::decode::DecodeInput(1, line);
    const std::string json = ulv::decode::RenderJson(decoded);
    Check(json.find('\n') == json.npos && json.empty() == !decoded.report.has_value());
    if (!decoded.report.has_value()) return;
    Check(json.front() == '{' && json.back() == '}');
    Check(!decoded.report->truncated || decoded.address.has_value());
    // A complete plain-form text that decodes without a problem is the daemon's encoding of
    // its bytes: encoded again, it gives the same text (without the blanks DecodeInput ignores).
    if (decoded.address.has_value() || !decoded.problems.empty()) return;
    const size_t first = line.find_first_not_of(" \t\r\n");
    const std::string_view text = line.substr(first, line.find_last_not_of(" \t\r\n") + 1 - first);
    const auto bytes = ulv::decode::DecodeReportText(text, ulv::decode::TextEnd::kComplete);
    Check(bytes.ok() && bytes.bytes.size() == decoded.report->length &&
          bytes.bytes.size() <= ENCODE_MAX_INPUT);
    char again[4 * ENCODE_MAX_INPUT / 3 + 4];
    const uint8_t length =
        ULVEncodeText(again, bytes.bytes.data(), static_cast<uint8_t>(bytes.bytes.size()));
    Check(std::string_view(again, length) == text);
}

// ulv-handset's ParseScenario. Input: a scenario text.
void FuzzHandsetScenario(std::string_view text) {
    handset::Scenario scenario;
    handset::ScenarioError error;
    if (!handset::ParseScenario(text, &scenario, &error)) {
        const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
        Check(error.line >= 1 && error.line <= lines && !error.message.empty());
        return;
    }
    for (size_t i = 0; i < scenario.events.size(); ++i) {
        const handset::TimedEvent& event = scenario.events[i];
        Check(event.at >= 0 && event.line >= 1 && (!event.dataNull || event.data.empty()));
        Check(i == 0 || scenario.events[i - 1].at <= event.at);
    }
    Check(!scenario.submit.empty() && !scenario.confirm.empty());
}

// ulv-handset's DecodeSubmission and FormatSubmission. Input: a record, read as it is and again
// cut or padded with zeros to the record's size, the only size the phone hands over.
void FuzzHandsetSubmission(std::string_view bytes) {
    std::vector<uint8_t> padded(handset::kSubmitRecordSize, 0);
    std::copy_n(bytes.begin(), std::min(bytes.size(), padded.size()), padded.begin());
    std::vector<uint8_t> asIs(bytes.begin(), bytes.end());
    for (const std::vector<uint8_t>* in : {&asIs, &padded}) {
        handset::Submission submission;
        std::string error;
        const bool ok = handset::DecodeSubmission(in->data(), in->size(), &submission, &error);
        Check(ok == error.empty());
        if (!ok) continue;
        Check(in->size() == handset::kSubmitRecordSize &&
              submission.text.size() == submission.textLength);
        Check(submission.textLength <= handset::kSubmitMaxTextUnits &&
              submission.serviceCentre.size() <= handset::kSubmitCentreSize &&
              submission.destination.size() <= handset::kSubmitDestinationSize);
        // The log line is one line of printable characters, whatever the record holds.
        const uint32_t sequence = 7;
        for (const uint32_t* seq : {&sequence, static_cast<const uint32_t*>(nullptr)})
            for (char c : handset::FormatSubmission(submission, seq)) Check(c >= 0x20 && c < 0x7F);
    }
}

// The configuration file, read (ULVGetFlexConfig), written back and read again. Input: the file.
void FuzzFlexConfig(std::string_view file) {
    PlaceFile(std::string("zel_app/") + FLEX_CONFIG_RELATIVE_PATH, file);
    FlexConfig& config = ulvState.flexConfig;
    const int first = ULVGetFlexConfig();
    const FlexConfig read = config;
    Check(config.ulv_report_duration == 0 ||
          config.ulv_report_duration >= FLEX_MIN_REPORT_DURATION);
    Check(config.ulv_report_delay <= FLEX_MAX_REPORT_DELAY);
    // Written and read again into a cleared record: the values and result of the first read.
    ULVSetFlexConfig();
    config = FlexConfig{};
    Check(ULVGetFlexConfig() == first && Values(config) == Values(read));
}

// The core file parser on its own (ULVAPCDGetPanicInfo) or with the collection around it
// (ULVAPCDCollect). Input: mode(1: bit 0 with the collection) the core file(the rest).
void FuzzCoreFile(std::string_view bytes) {
    Input input{bytes};
    const bool collection = (input.Number(1) & 1) != 0;
    const std::string name = std::string(CORE_DUMP_DIR) + "/core.task.1.2";
    const std::string path = PlaceFile(name.substr(1), input.rest);
    DaemonState& state = ulvState;
    const auto terminated = [](const auto& s) { return strnlen(s, sizeof s) < sizeof s; };
    if (!collection) {
        CoreDumpRecord record{};
        std::strncpy(record.path, name.c_str(), sizeof record.path - 1);
        const int fd = open(path.c_str(), O_RDONLY);
        Check(fd >= 0);
        ULVAPCDGetPanicInfo(&record, fd);
        close(fd);
        Check(terminated(record.path) && terminated(record.taskName) && terminated(record.libName));
        return;
    }
    state.flexConfig.enableCoreDumps = 1;
    state.reportDelay = 5;
    PlatformPathBuffer buffer;
    state.timerFd = RtcSwOpen(PlatformResolvePath("/dev/rtc_sw", buffer));
    ULVAPCDCollect();
    // One pass takes the one file: at most one report, marked pending exactly when sent.
    Check(state.apcdAttempts <= APCD_MAX_PASSES + 1 && terminated(state.apcdReportedPath));
    Check(fake::tapi.submissions.size() <= 1 &&
          state.apcdPending == (fake::tapi.submissions.empty() ? 0 : 1));
}

// One input through the harness: the sandbox root made on first use (in memory where there is
// some), the daemon's state reset and every file an earlier input placed removed, so that one
// input cannot hide another's fault; the state reset after it too, so that libFuzzer's count of
// allocations and frees balances and it looks for leaks only where one is.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (root.empty()) {
        root = access("/dev/shm", W_OK) == 0 ? "/dev/shm/ulv-fuzz-XXXXXX" : "/tmp/ulv-fuzz-XXXXXX";
        Check(mkdtemp(root.data()) != nullptr);
        struct statfs system {};
        const bool tmpfs = statfs(root.c_str(), &system) == 0 && system.f_type == TMPFS_MAGIC;
        for (size_t d = 0; d < std::size(kDirectories); ++d) {
            fs::create_directories(root + "/" + kDirectories[d]);
            emptySizes[d] = tmpfs ? SizeOf(root + "/" + kDirectories[d]) : -2;
        }
        setenv("ULV_SIM_ROOT", root.c_str(), 1);
        setenv("ZEL_APP_WRITE_PATH", (root + "/zel_app").c_str(), 1);
        // Kernel panic times are local times: one zone, so that an input means the same anywhere.
        setenv("TZ", "UTC", 1);
        tzset();
        std::atexit([] { fs::remove_all(root, ignored); });
    }
    ResetProcessState();
    for (size_t d = 0; d < std::size(kDirectories); ++d) {
        const std::string path = root + "/" + kDirectories[d];
        if (SizeOf(path) == emptySizes[d]) continue;
        for (const auto& entry : fs::directory_iterator(path, ignored))
            fs::remove_all(entry.path(), ignored);
    }
    fuzzHarness({reinterpret_cast<const char*>(data), size});
    ResetProcessState();
    return 0;
}

// Replays a corpus where libFuzzer's main (which overrides this weak one) is not linked: each file
// of the directory named on the command line once, in name order.
__attribute__((weak)) int main(int argc, char** argv) {
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
