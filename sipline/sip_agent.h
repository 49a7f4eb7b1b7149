#pragma once
// The SIP user agent of the bridge and the event loop it runs on: one call at a time,
// registration with a provider when there is an account, direct calls otherwise. The SIP stack
// stays inside sip_agent.cpp.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class Transport { Udp, Tcp };

struct SipAccount {
    std::string uri;  // sip:USER@HOST[:PORT]
    std::string password;
    uint32_t expiresS = 600;
};

struct SipAgentOptions {
    std::string listenAddress = "0.0.0.0";
    uint16_t listenPort = 5060;
    Transport transport = Transport::Udp;
    bool hasAccount = false;
    SipAccount account;
    // IPv4 addresses that may send requests (besides the registrar's, with an account); empty
    // without an account lets anyone who reaches the listening address call.
    std::vector<std::string> allow;
};

// SIP status codes the bridge answers with (RFC 3261 section 21).
constexpr int kSipOk = 200;
constexpr int kSipBadRequest = 400;
constexpr int kSipForbidden = 403;
constexpr int kSipTemporarilyUnavailable = 480;
constexpr int kSipBusyHere = 486;
constexpr int kSipCallDoesNotExist = 481;
constexpr int kSipNotAcceptableHere = 488;
constexpr int kSipServerInternalError = 500;
constexpr int kSipNotImplemented = 501;
constexpr int kSipServiceUnavailable = 503;

class SipCallHandler {
public:
    virtual ~SipCallHandler() = default;
    // A new call (the agent has checked its source, its rate and that no call is up): 0 takes
    // it, and the agent says 100 Trying; anything else is the status it is refused with, and
    // `refusal` says why for the agent's log (a line a minute per source) and, with 488, for the
    // caller in a Warning.
    virtual int onInvite(const std::string& callerNumber, const std::string& sdp,
                         const std::string& localAddress, std::string& refusal) = 0;
    // An offer inside the call: false refuses it with 488 and the call goes on unchanged.
    virtual bool onReoffer(const std::string& sdp, std::string& answer) = 0;
    // The far end's answer to our offer.
    virtual void onAnswer(const std::string& sdp) = 0;
    virtual void onRinging() = 0;
    virtual void onEstablished() = 0;
    // The call is over: `status` is the final failure response of an outgoing call, else 0.
    virtual void onClosed(int status) = 0;
};

class SipAgent {
public:
    SipAgent();
    ~SipAgent();
    SipAgent(const SipAgent&) = delete;
    SipAgent& operator=(const SipAgent&) = delete;

    bool start(const SipAgentOptions& options, SipCallHandler& handler, std::string& error);
    // Runs the event loop until a signal or shutdown(); the exit status.
    int run();
    // Ends the call, un-registers, then leaves run().
    void shutdown();

    // The loop serves these descriptors and timers too.
    void watch(int fd, std::function<void()> readable);
    void unwatch(int fd);

    void ringing();
    void answer(const std::string& sdp);
    void reject(int status);
    void hangup();
    // Calls `uri`; `callerNumber`, when given, is the user part of From.
    bool dial(const std::string& uri, const std::string& callerNumber, const std::string& sdp,
              std::string& error);
    // A new offer inside the call (re-INVITE).
    void modify(const std::string& sdp);
    // Runs `fn` once, `ms` from now, on the loop (one such timer at a time).
    void after(uint64_t ms, std::function<void()> fn);
    // The address of this host that `peer` reaches (for SDP and Contact).
    std::string localAddress() const;
    // The SIP port it listens on, once started.
    uint16_t sipPort() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

// The digits of the user part of a SIP or tel URI in a From or P-Asserted-Identity value.
std::string CallerNumber(const std::string& headerValue);
