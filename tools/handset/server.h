// The telephony service of the simulated handset: listens on <root>/sim/tapi.sock and serves
// the sim client library (platform/sim/tapi_client.cpp) as the scenario says, on one poll loop.
//
// A client's TAPI_CLIENT_Init makes a session: its events connection (the subscription) and
// the calls connection that follows it from the same process. Timed events of the scenario
// count from the moment the session subscribed; every count of the scenario (refused
// connections, injected failures, submissions, sequence numbers) runs over the handset's life.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scenario.h"

namespace handset {

class Server {
public:
    Server(Scenario scenario, std::string root);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until SIGTERM or SIGINT, or until the scenario stops the handset. Returns the
    // process exit status: 0, or 1 when the socket cannot be set up.
    int Run();

private:
    struct Connection {
        enum class Role { kHello, kEvents, kCalls };
        int fd = -1;
        Role role = Role::kHello;
        pid_t peer = 0;
        int session = 0;     // events: its own session; calls: the session it belongs to
        bool paired = false; // events: a calls connection has joined the session
        std::vector<uint16_t> subscribed;
        int64_t startNs = 0;  // events: when the client subscribed
        size_t nextEvent = 0; // events: index of the next timed event
    };
    struct PendingConfirmation {
        int64_t dueNs;
        int session;
        uint32_t sequence;
        uint32_t result;
    };

    bool Listen();
    int PollTimeoutMs() const;
    void WaitAndDispatch();
    void AcceptAll();
    void OnReadable(int fd);
    void OnHello(Connection& connection, const uint8_t* packet, size_t size);
    void OnEventsHello(Connection& connection, const uint8_t* packet, size_t size);
    void OnCallsHello(Connection& connection);
    void OnCall(Connection& connection, const uint8_t* packet, size_t size, bool truncated);
    void OnSubmission(Connection& connection, const uint8_t* record, size_t size);
    void RunDueEvents();
    void RunTimedEvent(int eventsFd, const TimedEvent& event);
    void SendConfirmation(const PendingConfirmation& confirmation);
    // Sends one telephony message to a session's client. Named messages go only to clients
    // that subscribed to them.
    void Push(Connection& events, uint16_t msgId, const std::vector<uint8_t>& data, bool dataNull,
              uint16_t nullLength, bool raw, const std::string& note);
    void EndSession(int eventsFd, const char* reason);
    void CloseConnection(int fd);
    Connection* Find(int fd);
    void AppendSmsLog(const std::string& line);
    void Shutdown();

    Scenario scenario_;
    std::string root_;
    std::string socketPath_;
    int listenFd_ = -1;
    std::vector<Connection> connections_;
    std::vector<PendingConfirmation> pending_;
    uint32_t refused_ = 0;
    uint64_t submissions_ = 0;
    uint32_t nextSequence_;
    int lastSession_ = 0;
    bool stop_ = false;
};

// Prints one line of the handset's traffic on standard output and flushes it.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace handset
