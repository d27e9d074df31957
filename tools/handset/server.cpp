#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim_env.h"
#include "sim_protocol.h"
#include "submission.h"

namespace handset {

namespace {

// Bounds what a misbehaving client can make the handset hold.
constexpr size_t kMaxConnections = 64;
// A packet shorter than the 5-byte event head: the start of a signal quality head.
constexpr uint8_t kGarbage[] = {0x01, 0x07, 0x04};

// Written by the signal handler, read by the loop, so that a signal wakes the poll.
int signalPipe[2] = {-1, -1};

void OnSignal(int signalNumber) {
    int saved = errno;
    uint8_t byte = static_cast<uint8_t>(signalNumber);
    (void)!write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignals() {
    if (pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0)
        return false;
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

int64_t ScaledNs(double simSeconds) {
    timespec real = sim::ScaledDuration(simSeconds);
    return static_cast<int64_t>(real.tv_sec) * 1000000000 + real.tv_nsec;
}

// Protocol numbers are little-endian; message data is in the processor's own order.
void StoreHost32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

std::string Hex(const uint8_t* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// A text buffer as a quoted string up to its first NUL, non-printable bytes as \xHH.
template <size_t N>
std::string Quoted(const std::array<uint8_t, N>& buffer, size_t offset = 0, size_t size = N) {
    std::string out = "\"";
    for (size_t i = offset; i < offset + size && buffer[i] != 0; ++i) {
        uint8_t c = buffer[i];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out + "\"";
}

const char* MessageName(uint16_t msgId) {
    switch (msgId) {
        case SERVICE_AVAILABILITY_MSGID: return "SERVICE_AVAILABILITY";
        case REGISTERED_MSGID: return "REGISTERED";
        case SIGNAL_QUALITY_MSGID: return "SIGNAL_QUALITY";
        case SMS_SEND_CNF_MSGID: return "SMS_SEND_CNF";
        default: return nullptr;
    }
}

// Receives one packet. Returns its size, 0 at the end of the connection, -1 on an error (or
// -2 when nothing is waiting); `truncated` tells a packet larger than the buffer.
ssize_t ReceivePacket(int fd, uint8_t* buffer, size_t size, bool* truncated) {
    iovec vector{buffer, size};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT);
    if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? -2 : -1;
    *truncated = (message.msg_flags & MSG_TRUNC) != 0;
    return got;
}

bool SendPacket(int fd, const uint8_t* packet, size_t size) {
    return send(fd, packet, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

}  // namespace

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Server::Server(Scenario scenario, std::string root)
    : scenario_(std::move(scenario)),
      root_(std::move(root)),
      nextSequence_(scenario_.firstSequence) {}

Server::~Server() { Shutdown(); }

int Server::Run() {
    if (!InstallSignals() || !Listen()) return 1;
    while (!stop_) {
        WaitAndDispatch();
        if (!stop_) RunDueEvents();
    }
    Shutdown();
    return 0;
}

bool Server::Listen() {
    std::string simDir = root_ + "/sim";
    if (mkdir(simDir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "ulv-handset: cannot create %s: %s\n", simDir.c_str(),
                     std::strerror(errno));
        return false;
    }
    socketPath_ = root_ + "/" + sim::kSocketName;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "ulv-handset: socket path too long: %s\n", socketPath_.c_str());
        socketPath_.clear();
        return false;
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    unlink(socketPath_.c_str());  // left by a handset that was killed
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, 16) != 0) {
        std::fprintf(stderr, "ulv-handset: cannot listen on %s: %s\n", socketPath_.c_str(),
                     std::strerror(errno));
        return false;
    }
    Say("listening on %s", socketPath_.c_str());
    return true;
}

int Server::PollTimeoutMs() const {
    int64_t next = INT64_MAX;
    for (const Connection& connection : connections_) {
        if (connection.role == Connection::Role::kEvents &&
            connection.nextEvent < scenario_.events.size())
            next = std::min(next, connection.startNs +
                                      ScaledNs(scenario_.events[connection.nextEvent].at));
    }
    for (const PendingConfirmation& confirmation : pending_)
        next = std::min(next, confirmation.dueNs);
    if (next == INT64_MAX) return -1;
    int64_t waitNs = next - sim::MonotonicNs();
    if (waitNs <= 0) return 0;
    // Rounded up, so that the loop does not wake just before the time and spin.
    int64_t waitMs = (waitNs + 999999) / 1000000;
    return waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs);
}

void Server::WaitAndDispatch() {
    std::vector<pollfd> fds;
    fds.push_back({signalPipe[0], POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    for (const Connection& connection : connections_) fds.push_back({connection.fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), PollTimeoutMs());
    if (ready <= 0) return;  // timers are due, or a signal interrupted the wait
    if (fds[0].revents != 0) {
        uint8_t signalNumber = 0;
        if (read(signalPipe[0], &signalNumber, 1) == 1) Say("signal %d: stopping", signalNumber);
        stop_ = true;
        return;
    }
    if (fds[1].revents != 0) AcceptAll();
    // The handlers may close connections; each is looked up again by its descriptor.
    for (size_t i = 2; i < fds.size() && !stop_; ++i)
        if (fds[i].revents != 0) OnReadable(fds[i].fd);
}

void Server::AcceptAll() {
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (connections_.size() >= kMaxConnections) {
            Say("connection dropped: %zu connections open", connections_.size());
            close(fd);
            continue;
        }
        Connection connection;
        connection.fd = fd;
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
            connection.peer = credentials.pid;
        connections_.push_back(connection);
    }
}

void Server::OnReadable(int fd) {
    Connection* connection = Find(fd);
    if (connection == nullptr) return;
    static uint8_t packet[sim::kMaxPacket];
    bool truncated = false;
    ssize_t got = ReceivePacket(fd, packet, sizeof packet, &truncated);
    if (got == -2) return;
    switch (connection->role) {
        case Connection::Role::kHello:
            if (got <= 0 || truncated) {
                CloseConnection(fd);
            } else {
                OnHello(*connection, packet, static_cast<size_t>(got));
            }
            break;
        case Connection::Role::kEvents:
            if (got <= 0) {
                EndSession(fd, "closed by the client");
            } else {
                Say("session %d: ignored %zd bytes on the events connection", connection->session,
                    got);
            }
            break;
        case Connection::Role::kCalls:
            if (got <= 0) {
                Say("session %d: calls connection closed", connection->session);
                CloseConnection(fd);
            } else {
                OnCall(*connection, packet, static_cast<size_t>(got), truncated);
            }
            break;
    }
}

void Server::OnHello(Connection& connection, const uint8_t* packet, size_t size) {
    if (packet[0] == sim::kHelloEvents) {
        OnEventsHello(connection, packet, size);
    } else if (packet[0] == sim::kHelloCalls && size == 1) {
        OnCallsHello(connection);
    } else {
        Say("connection dropped: unknown hello of %zu bytes", size);
        CloseConnection(connection.fd);
    }
}

// "E" u16 count, count x u16 msgId
void Server::OnEventsHello(Connection& connection, const uint8_t* packet, size_t size) {
    size_t count = size >= 3 ? sim::GetLe16(packet + 1) : 0;
    if (size < 3 || size != 3 + 2 * count) {
        Say("connection dropped: malformed subscription of %zu bytes", size);
        CloseConnection(connection.fd);
        return;
    }
    if (scenario_.refuseAll || refused_ < scenario_.refuseConnections) {
        ++refused_;
        if (scenario_.refuseAll) {
            Say("refuse connection %u (refusing all)", refused_);
        } else {
            Say("refuse connection %u of %u", refused_, scenario_.refuseConnections);
        }
        CloseConnection(connection.fd);
        return;
    }
    if (!SendPacket(connection.fd, &sim::kHelloAccepted, 1)) {
        CloseConnection(connection.fd);
        return;
    }
    connection.role = Connection::Role::kEvents;
    connection.session = ++lastSession_;
    connection.startNs = sim::MonotonicNs();
    connection.nextEvent = 0;
    std::string list;
    for (size_t i = 0; i < count; ++i) {
        uint16_t msgId = sim::GetLe16(packet + 3 + 2 * i);
        connection.subscribed.push_back(msgId);
        char item[8];
        std::snprintf(item, sizeof item, "%s%04x", i == 0 ? "" : ",", msgId);
        list += item;
    }
    Say("session %d: subscribed pid=%d msgids=%s", connection.session,
        static_cast<int>(connection.peer), list.empty() ? "-" : list.c_str());
}

// The calls connection joins the session that the same process opened last; a client whose
// process cannot be told (no peer credentials) joins the latest session still without one.
void Server::OnCallsHello(Connection& connection) {
    if (!SendPacket(connection.fd, &sim::kHelloAccepted, 1)) {
        CloseConnection(connection.fd);
        return;
    }
    Connection* samePeer = nullptr;
    Connection* latest = nullptr;
    for (Connection& other : connections_) {
        if (other.role != Connection::Role::kEvents || other.paired) continue;
        if (latest == nullptr || other.session > latest->session) latest = &other;
        if (other.peer == connection.peer && connection.peer != 0 &&
            (samePeer == nullptr || other.session > samePeer->session))
            samePeer = &other;
    }
    Connection* events = samePeer != nullptr ? samePeer : latest;
    connection.role = Connection::Role::kCalls;
    connection.session = 0;
    if (events != nullptr) {
        events->paired = true;
        connection.session = events->session;
    }
    Say("session %d: calls connected", connection.session);
}

// request: u16 call code, payload; response: i32 result, payload when the result is 0.
void Server::OnCall(Connection& connection, const uint8_t* packet, size_t size, bool truncated) {
    uint8_t response[4 + TAPI_BP_VERSION_INFO_SIZE] = {};
    size_t payloadSize = 0;
    int32_t result = 0;
    std::string shown;
    auto reply = [&]() {
        sim::PutLe32(response, static_cast<uint32_t>(result));
        if (!SendPacket(connection.fd, response, 4 + (result == 0 ? payloadSize : 0)))
            Say("session %d: reply lost", connection.session);
    };

    const CallInfo* call = size >= 2 ? FindCall(sim::GetLe16(packet)) : nullptr;
    if (call == nullptr || truncated) {
        result = -1;
        Say("call ? (%zu%s bytes, code %d) -> -1 malformed request", size, truncated ? "+" : "",
            size >= 2 ? sim::GetLe16(packet) : -1);
        reply();
        return;
    }
    size_t expected = call->code == sim::kCallExpirePeriod ? 4
                      : call->code == sim::kCallSendSms    ? kSubmitRecordSize
                                                           : 0;
    if (size - 2 != expected) {
        result = -1;
        Say("call %s -> -1 malformed request (%zu payload bytes, not %zu)", call->name, size - 2,
            expected);
        reply();
        return;
    }
    CallFailure& failure = scenario_.failures[call->code];
    if (failure.active && (failure.always || failure.remaining > 0)) {
        if (!failure.always) --failure.remaining;
        result = failure.result;
        Say("call %s -> %d (injected failure)", call->name, result);
        reply();
        return;
    }
    if (call->code == sim::kCallSendSms) {
        OnSubmission(connection, packet + 2, size - 2);
        return;
    }

    uint8_t* out = response + 4;
    const Scenario& s = scenario_;
    switch (call->code) {
        case sim::kCallNetworkId:
            std::memcpy(out, s.countryCode.data(), s.countryCode.size());
            std::memcpy(out + TAPI_NETWORK_CODE_SIZE, s.networkCode.data(), s.networkCode.size());
            payloadSize = 2 * TAPI_NETWORK_CODE_SIZE;
            shown = s.countryCode + "-" + s.networkCode;
            break;
        case sim::kCallServiceAvail:
            out[0] = s.serviceAvailable;
            payloadSize = 1;
            shown = std::to_string(s.serviceAvailable);
            break;
        case sim::kCallSignalQuality:
            out[0] = s.signalStrength;
            payloadSize = TAPI_SIGNAL_QUALITY_SIZE;
            shown = std::to_string(s.signalStrength);
            break;
        case sim::kCallApVersion:
            std::memcpy(out, s.apVersion.data(), s.apVersion.size());
            payloadSize = s.apVersion.size();
            shown = Quoted(s.apVersion);
            break;
        case sim::kCallBpVersion:
            std::memcpy(out, s.bpVersion.data(), s.bpVersion.size());
            payloadSize = s.bpVersion.size();
            shown = Quoted(s.bpVersion, 0, kBpVersionTextSize) + " flex " +
                    Quoted(s.bpVersion, kFlexVersionOffset, kFlexVersionSize);
            break;
        case sim::kCallSerialNo:
            std::memcpy(out, s.serial.data(), s.serial.size());
            payloadSize = s.serial.size();
            shown = Quoted(s.serial);
            break;
        case sim::kCallServiceCentre:
            std::memcpy(out, s.serviceCentre.data(), s.serviceCentre.size());
            payloadSize = s.serviceCentre.size();
            shown = Quoted(s.serviceCentre);
            break;
        case sim::kCallEmailGateway:
            std::memcpy(out, s.emailGateway.data(), s.emailGateway.size());
            payloadSize = s.emailGateway.size();
            shown = Quoted(s.emailGateway);
            break;
        case sim::kCallExpirePeriod: {
            out[0] = s.validity;
            payloadSize = 1;
            char text[48];
            std::snprintf(text, sizeof text, "0x%02x (period %u)", s.validity,
                          static_cast<unsigned>(sim::GetLe32(packet + 2)));
            shown = text;
            break;
        }
        case sim::kCallCallTime:
            sim::PutLe32(out, s.callTime);
            payloadSize = 4;
            shown = std::to_string(s.callTime);
            break;
        case sim::kCallGenericData:
            std::memcpy(out, s.genericData.data(), s.genericData.size());
            payloadSize = s.genericData.size();
            shown = Hex(s.genericData.data(), s.genericData.size());
            break;
        default:
            result = -1;
            shown = "(no answer)";
    }
    Say("call %s -> %d %s", call->name, result, shown.c_str());
    reply();
}

// Each submission is one line of sms.log, written before the answer goes back so that the log
// is complete when the client's call returns. Defects of a readable record show on standard
// output only.
void Server::OnSubmission(Connection& connection, const uint8_t* record, size_t size) {
    uint8_t response[8] = {};
    Submission submission;
    std::string error;
    if (!DecodeSubmission(record, size, &submission, &error)) {
        AppendSmsLog("SMS malformed: " + error);
        Say("SMS malformed: %s", error.c_str());
        Say("call SendSmUnblockMode -> -1 malformed record");
        sim::PutLe32(response, static_cast<uint32_t>(-1));
        SendPacket(connection.fd, response, 4);
        return;
    }
    uint64_t ordinal = submissions_++;
    auto pick = [ordinal](const auto& list) {
        return list[std::min<uint64_t>(ordinal, list.size() - 1)];
    };
    if (pick(scenario_.submit) == SubmitAnswer::kRefuse) {
        std::string line = FormatSubmission(submission, nullptr);
        AppendSmsLog(line);
        Say("%s", line.c_str());
        for (const std::string& warning : submission.warnings)
            Say("SMS-WARNING refused: %s", warning.c_str());
        Say("call SendSmUnblockMode -> %d refused", kDefaultFailResult);
        sim::PutLe32(response, static_cast<uint32_t>(kDefaultFailResult));
        SendPacket(connection.fd, response, 4);
        return;
    }
    uint32_t sequence = nextSequence_;
    nextSequence_ += scenario_.sequenceStep;
    std::string line = FormatSubmission(submission, &sequence);
    AppendSmsLog(line);
    Say("%s", line.c_str());
    for (const std::string& warning : submission.warnings)
        Say("SMS-WARNING seq=%u: %s", sequence, warning.c_str());
    Say("call SendSmUnblockMode -> 0 seq=%u", sequence);
    sim::PutLe32(response + 4, sequence);
    if (!SendPacket(connection.fd, response, sizeof response))
        Say("session %d: reply lost", connection.session);

    std::optional<uint32_t> result = pick(scenario_.confirm);
    if (!result) {
        Say("confirm seq=%u: none, as scripted", sequence);
    } else {
        pending_.push_back({sim::MonotonicNs() + ScaledNs(scenario_.confirmDelay),
                            connection.session, sequence, *result});
    }
}

void Server::RunDueEvents() {
    int64_t now = sim::MonotonicNs();
    std::vector<PendingConfirmation> due;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->dueNs <= now) {
            due.push_back(*it);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        return a.dueNs < b.dueNs;
    });
    for (const PendingConfirmation& confirmation : due) SendConfirmation(confirmation);

    std::vector<int> sessions;
    for (const Connection& connection : connections_)
        if (connection.role == Connection::Role::kEvents) sessions.push_back(connection.fd);
    for (int fd : sessions) {
        for (;;) {
            Connection* events = Find(fd);
            if (stop_ || events == nullptr || events->nextEvent >= scenario_.events.size())
                break;
            const TimedEvent& event = scenario_.events[events->nextEvent];
            if (events->startNs + ScaledNs(event.at) > now) break;
            ++events->nextEvent;
            RunTimedEvent(fd, event);
        }
    }
}

void Server::RunTimedEvent(int eventsFd, const TimedEvent& event) {
    Connection& events = *Find(eventsFd);
    switch (event.kind) {
        case TimedEvent::Kind::kMessage:
            Push(events, event.msgId, event.data, event.dataNull, event.nullLength, event.raw, "");
            break;
        case TimedEvent::Kind::kGarbage:
            Say("push garbage %s (%zu bytes)", Hex(kGarbage, sizeof kGarbage).c_str(),
                sizeof kGarbage);
            if (!SendPacket(events.fd, kGarbage, sizeof kGarbage))
                Say("session %d: push lost", events.session);
            break;
        case TimedEvent::Kind::kClose:
            EndSession(eventsFd, "closed by the scenario");
            break;
        case TimedEvent::Kind::kExit:
            Say("exit at scenario line %d", event.line);
            stop_ = true;
            break;
    }
}

void Server::SendConfirmation(const PendingConfirmation& confirmation) {
    Connection* events = nullptr;
    for (Connection& connection : connections_)
        if (connection.role == Connection::Role::kEvents &&
            connection.session == confirmation.session)
            events = &connection;
    if (events == nullptr) {
        Say("confirm seq=%u dropped: session %d is gone", confirmation.sequence,
            confirmation.session);
        return;
    }
    // Confirmation record: u32 sequence, u32 unused, u32 result.
    std::vector<uint8_t> data(12, 0);
    StoreHost32(data.data(), confirmation.sequence);
    StoreHost32(data.data() + 8, confirmation.result);
    char note[64];
    std::snprintf(note, sizeof note, " (seq=%u result=%u)", confirmation.sequence,
                  confirmation.result);
    Push(*events, SMS_SEND_CNF_MSGID, data, /*dataNull=*/false, /*nullLength=*/0, /*raw=*/false,
         note);
}

// Event packet: u16 msgId, u16 length, u8 flags (bit 0: data is null), data.
void Server::Push(Connection& events, uint16_t msgId, const std::vector<uint8_t>& data,
                  bool dataNull, uint16_t nullLength, bool raw, const std::string& note) {
    const char* known = MessageName(msgId);
    char name[32];
    if (known != nullptr) {
        std::snprintf(name, sizeof name, "%s", known);
    } else {
        std::snprintf(name, sizeof name, "0x%04x", msgId);
    }
    if (!raw && std::find(events.subscribed.begin(), events.subscribed.end(), msgId) ==
                    events.subscribed.end()) {
        Say("push %s skipped: session %d did not subscribe", name, events.session);
        return;
    }
    uint8_t packet[sim::kMaxPacket];
    size_t size = sim::kEventHeadSize + (dataNull ? 0 : data.size());
    if (size > sizeof packet) return;  // the parser bounds the data
    sim::PutLe16(packet, msgId);
    sim::PutLe16(packet + 2, dataNull ? nullLength : static_cast<uint16_t>(data.size()));
    packet[4] = dataNull ? sim::kEventDataNull : 0;
    if (!dataNull && !data.empty())
        std::memcpy(packet + sim::kEventHeadSize, data.data(), data.size());
    if (dataNull) {
        Say("push %s len=%u null", name, nullLength);
    } else {
        Say("push %s %s%s", name, Hex(data.data(), data.size()).c_str(), note.c_str());
    }
    if (!SendPacket(events.fd, packet, size)) Say("session %d: push lost", events.session);
}

// A session ends with its events connection; its calls connection and its confirmations
// still to come go with it.
void Server::EndSession(int eventsFd, const char* reason) {
    Connection* events = Find(eventsFd);
    if (events == nullptr) return;
    int session = events->session;
    Say("session %d: %s", session, reason);
    std::vector<int> calls;
    for (const Connection& connection : connections_)
        if (connection.role == Connection::Role::kCalls && connection.session == session)
            calls.push_back(connection.fd);
    for (int fd : calls) CloseConnection(fd);
    CloseConnection(eventsFd);
    std::erase_if(pending_, [session](const auto& p) { return p.session == session; });
    if (scenario_.exitAfterClose) {
        Say("exit after the session closed");
        stop_ = true;
    }
}

void Server::CloseConnection(int fd) {
    close(fd);
    std::erase_if(connections_, [fd](const Connection& c) { return c.fd == fd; });
}

Server::Connection* Server::Find(int fd) {
    for (Connection& connection : connections_)
        if (connection.fd == fd) return &connection;
    return nullptr;
}

void Server::AppendSmsLog(const std::string& line) {
    std::string path = root_ + "/sim/sms.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        Say("cannot open %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        Say("cannot write %s", path.c_str());
    close(fd);
}

void Server::Shutdown() {
    for (const Connection& connection : connections_) close(connection.fd);
    connections_.clear();
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        unlink(socketPath_.c_str());
        Say("stopped");
    }
}

}  // namespace handset
