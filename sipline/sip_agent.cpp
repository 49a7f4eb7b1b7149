// The only file that speaks to libre's SIP stack and event loop.
#include "sipline/sip_agent.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "sipline/request_guard.h"
// libre last: its headers need the fixed-width types first and define min and max as macros.
#include <cstdint>
// clang-format off
#include <re.h>
// The debug header wants a module name even where only its print handler is used.
#define DEBUG_MODULE "sipline"
#define DEBUG_LEVEL 0
#include <re_dbg.h>
// clang-format on
#undef min
#undef max

namespace {

constexpr uint32_t kTransactionTableSize = 32;
constexpr int kSessionTableSize = 16;
// A request with more headers than this is not a telephone calling.
constexpr uint32_t kMaxHeaders = 64;
// Un-registering and the last BYE get this long at exit.
constexpr uint64_t kShutdownGraceMs = 3000;
constexpr char kSoftware[] = "vantoro-sipline";
constexpr char kSdpType[] = "application/sdp";
// Any routable address: asking the kernel how it would get there names our own address.
constexpr char kRouteProbe[] = "192.0.2.1";
// Listening on any address, the bridge looks this often whether the host's address toward the
// registrar has changed (a laptop that started offline, or moved to another network).
constexpr uint64_t kNetworkCheckMs = 10000;
// The exit status that asks whoever started the bridge to start it again (EX_TEMPFAIL).
constexpr int kExitNetworkChanged = 75;
constexpr uint64_t kRegisterRetryMs = 30000;
// What strangers can make the log say: a line per source, then a count once a minute; the SIP
// stack's own warnings (one per connection past the descriptor limit) this many a minute.
constexpr uint64_t kReportIntervalMs = 60000;
constexpr uint64_t kReportCheckMs = 5000;
constexpr int kStackLinesPerInterval = 20;
constexpr size_t kMaxLogLineBytes = 1024;
// libre's event loop serves this many descriptors (its default); the rest of the limit is spare.
constexpr rlim_t kServedDescriptors = 1024;
constexpr rlim_t kSpareDescriptors = 64;
constexpr char kLogPrefix[] = "vantoro-sipline: ";

SipAgent* g_signalled = nullptr;

// Control bytes a stranger put into a header must not reach a terminal or the journal.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return out;
}

// Straight to the descriptor: the stream that stderr names is a filter of ours while the agent
// runs (see stderrBytes), and this is how its lines get out.
void log(const std::string& text) {
    const std::string line = kLogPrefix + printable(text) + "\n";
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += size_t(n);
    }
}

std::string toString(const pl& p) { return std::string(p.p ? p.p : "", p.l); }

std::string bodyOf(const sip_msg* msg) {
    return std::string(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb));
}

mbuf* toMbuf(const std::string& text) {
    mbuf* mb = mbuf_alloc(text.size() + 1);
    if (!mb) return nullptr;
    mbuf_write_str(mb, text.c_str());
    mb->pos = 0;
    return mb;
}

const char* reasonOf(int status) {
    switch (status) {
        case kSipOk:
            return "OK";
        case kSipCallDoesNotExist:
            return "Call/Transaction Does Not Exist";
        case kSipServerInternalError:
            return "Server Internal Error";
        case kSipNotImplemented:
            return "Not Implemented";
        case kSipForbidden:
            return "Forbidden";
        case kSipTemporarilyUnavailable:
            return "Temporarily Unavailable";
        case kSipBusyHere:
            return "Busy Here";
        case kSipNotAcceptableHere:
            return "Not Acceptable Here";
        case kSipServiceUnavailable:
            return "Service Unavailable";
        default:
            return "Bad Request";
    }
}

std::vector<std::string> resolve(const std::string& host) {
    std::vector<std::string> out;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return out;
    for (addrinfo* a = list; a; a = a->ai_next) {
        char text[INET_ADDRSTRLEN];
        auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) out.push_back(text);
    }
    freeaddrinfo(list);
    return out;
}

std::string routeSource(const std::string& toward) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "127.0.0.1";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    inet_pton(AF_INET, toward.c_str(), &to.sin_addr);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    char text[INET_ADDRSTRLEN] = "127.0.0.1";
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len) == 0)
        inet_ntop(AF_INET, &me.sin_addr, text, sizeof text);
    close(fd);
    return text;
}

std::string addressOf(const sa& address) {
    char text[64] = "";
    sa_ntop(&address, text, sizeof text);
    return text;
}

bool isIpv4(const std::string& text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

// At the descriptor limit accept() fails and leaves the connection queued, and the loop spins
// on it at full speed. With descriptors to spare above those libre serves, it accepts such a
// connection and closes it instead.
void serveDescriptors() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = kServedDescriptors + kSpareDescriptors;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t spare = std::min<rlim_t>(kSpareDescriptors, limit.rlim_cur / 4);
    fd_setsize(int(std::min<rlim_t>(kServedDescriptors, limit.rlim_cur - spare)));
}

}  // namespace

struct SipAgent::Impl {
    SipAgentOptions options;
    SipCallHandler* handler = nullptr;
    dnsc* dns = nullptr;
    sip* stack = nullptr;
    sip_lsnr* screening = nullptr;
    sipsess_sock* sessions = nullptr;
    sipreg* registration = nullptr;
    sipsess* call = nullptr;
    std::string user = "vantoro";
    std::string registrarHost;
    std::vector<std::string> trusted;
    // Where the call's in-dialog requests may come from besides `trusted`.
    std::vector<std::string> peers;
    // The last call after it ended here: the stack still ends it with the caller (a call hung up
    // before the caller's ACK gets its BYE once the ACK comes), so its requests still go there.
    std::string endedCallId;
    std::vector<std::string> endedPeers;
    std::string local;
    std::string routeTarget = kRouteProbe;  // the address `local` is the way to
    tmr networkCheck{};
    tmr registerRetry{};
    RequestGuard guard;
    tmr reportTimer{};
    uint64_t stackLogStartMs = 0;
    int stackLines = 0;
    uint64_t stackLinesLeftOut = 0;
    FILE* savedStderr = nullptr;
    std::string stderrLine;
    bool closing = false;
    sip* closingStack = nullptr;
    // The stack calls its exit handler with a last reference of ours, to be dropped after.
    bool stackDone = false;
    int exitStatus = 0;
    tmr grace{};
    tmr laterTimer{};
    std::function<void()> later;
    std::map<int, std::shared_ptr<std::function<void()>>> watched;

    bool filtering() const { return options.hasAccount || !options.allow.empty(); }
    bool mayReach(const sip_msg* msg) const;
    bool inCall(const sip_msg* msg) const;
    void trustRegistrar(const sa& source);
    bool screen(const sip_msg* msg);
    bool screenOutOfDialog(const sip_msg* msg);
    void refuse(const sip_msg* msg, int status, const std::string& why);
    void reportRefusals();
    void armReports();
    void stackLog(const char* text, size_t length);
    void stderrBytes(const char* data, size_t size);
    void onInvite(const sip_msg* msg);
    void endSession();
    bool parseAccount(std::string& error);
    void startRegistration();
    void checkNetwork();
    void shutdown();
    std::string contactUri() const;
};

std::string CallerNumber(const std::string& value) {
    size_t start = std::string::npos;
    for (const char* scheme : {"sip:", "sips:", "tel:"}) {
        size_t at = value.find(scheme);
        if (at != std::string::npos && at < start) start = at + std::string(scheme).size();
    }
    if (start == std::string::npos) return "";
    std::string digits;
    for (size_t i = start; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '@' || c == ';' || c == '>' || c == '?') break;
        if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    }
    return digits;
}

bool SipAgent::Impl::mayReach(const sip_msg* msg) const {
    if (!filtering()) return true;
    const std::string source = addressOf(msg->src);
    for (const auto* list : {&trusted, &peers, &endedPeers}) {
        if (std::find(list->begin(), list->end(), source) != list->end()) return true;
    }
    return false;
}

bool SipAgent::Impl::inCall(const sip_msg* msg) const {
    const sip_dialog* dialog = call ? sipsess_dialog(call) : nullptr;
    const char* callId = dialog ? sip_dialog_callid(dialog) : nullptr;
    if (callId && pl_strcmp(&msg->callid, callId) == 0) return true;
    return !endedCallId.empty() && pl_strcmp(&msg->callid, endedCallId.c_str()) == 0;
}

// Calls come from where the registrar answers: a name that did not resolve at start (no network
// yet) or now resolves elsewhere must not leave them refused.
void SipAgent::Impl::trustRegistrar(const sa& source) {
    char text[64] = "";
    if (sa_ntop(&source, text, sizeof text) != 0) return;
    if (std::find(trusted.begin(), trusted.end(), text) == trusted.end()) trusted.push_back(text);
    if (routeTarget == kRouteProbe) routeTarget = text;
}

std::string SipAgent::Impl::contactUri() const {
    if (options.hasAccount) return options.account.uri;
    return "sip:" + user + "@" + local + ":" + std::to_string(options.listenPort);
}

namespace {

int offerHandler(mbuf** descp, const sip_msg* msg, void* arg) {
    auto* m = static_cast<SipAgent::Impl*>(arg);
    std::string answer;
    if (!m->handler->onReoffer(bodyOf(msg), answer)) return EPROTO;  // libre answers 488
    *descp = toMbuf(answer);
    return *descp ? 0 : ENOMEM;
}

int answerHandler(const sip_msg* msg, void* arg) {
    static_cast<SipAgent::Impl*>(arg)->handler->onAnswer(bodyOf(msg));
    return 0;
}

void progressHandler(const sip_msg* msg, void* arg) {
    if (msg->scode == 180 || msg->scode == 183)
        static_cast<SipAgent::Impl*>(arg)->handler->onRinging();
}

void establishedHandler(const sip_msg*, void* arg) {
    static_cast<SipAgent::Impl*>(arg)->handler->onEstablished();
}

void closeHandler(int err, const sip_msg* msg, void* arg) {
    auto* m = static_cast<SipAgent::Impl*>(arg);
    const int status = msg ? int(msg->scode) : 0;
    if (status)
        log("call ended: " + std::to_string(status) + " " + toString(msg->reason));
    else
        log(std::string("call ended: ") + (err == ECONNRESET ? "the far end hung up" : "closed"));
    m->endSession();
    m->handler->onClosed(status);
}

int authHandler(char** user, char** password, const char* realm, void* arg) {
    auto* m = static_cast<SipAgent::Impl*>(arg);
    if (!m->options.hasAccount) return EAUTH;
    log(std::string("authenticating to realm ") + (realm ? realm : "?"));
    int err = str_dup(user, m->user.c_str());
    err |= str_dup(password, m->options.account.password.c_str());
    return err;
}

void connectHandler(const sip_msg* msg, void* arg) {
    static_cast<SipAgent::Impl*>(arg)->onInvite(msg);
}

bool screenHandler(const sip_msg* msg, void* arg) {
    return static_cast<SipAgent::Impl*>(arg)->screen(msg);
}

void registerHandler(int err, const sip_msg* msg, void* arg) {
    auto* m = static_cast<SipAgent::Impl*>(arg);
    if (err)
        log("registration with " + m->registrarHost + " failed: " + std::strerror(err) +
            "; trying again later");
    else if (msg && msg->scode >= 300)
        log("registration with " + m->registrarHost + " refused: " + std::to_string(msg->scode) +
            " " + toString(msg->reason) + "; trying again later");
    else if (msg) {
        log("registered with " + m->registrarHost + " (for " +
            std::to_string(sipreg_proxy_expires(m->registration)) + " s)");
        m->trustRegistrar(msg->src);
    }
}

bool copyHeader(const sip_hdr* hdr, const sip_msg*, void* arg) {
    mbuf_printf(static_cast<mbuf*>(arg), "%r: %r\r\n", &hdr->name, &hdr->val);
    return false;
}

// A response that no transaction keeps: nothing is held for it and nothing is sent again (the
// caller's retransmission, if it comes, gets another). It goes back to the address the request
// came from, never to a Via's maddr, so that a stranger cannot aim it at someone else. Built
// from the request's Via, From, To, Call-ID and CSeq (RFC 3261 section 8.2.6.2); libre's
// sessions start at 101, so the 100 that stops the INVITE's retransmissions is one of these.
void replyStateless(sip* stack, const sip_msg* msg, int status, const char* extraHeaders = "") {
    if (pl_strcmp(&msg->met, "ACK") == 0) return;
    mbuf* mb = mbuf_alloc(512);
    if (!mb) return;
    mbuf_printf(mb, "SIP/2.0 %d %s\r\n", status, status == 100 ? "Trying" : reasonOf(status));
    for (sip_hdrid id : {SIP_HDR_VIA, SIP_HDR_FROM})
        sip_msg_hdr_apply(msg, true, id, copyHeader, mb);
    if (const sip_hdr* to = sip_msg_hdr(msg, SIP_HDR_TO)) {
        mbuf_printf(mb, "%r: %r", &to->name, &to->val);
        if (!pl_isset(&msg->to.tag) && status > 100)
            mbuf_printf(mb, ";tag=%016llx", static_cast<unsigned long long>(msg->tag));
        mbuf_write_str(mb, "\r\n");
    }
    for (sip_hdrid id : {SIP_HDR_CALL_ID, SIP_HDR_CSEQ})
        sip_msg_hdr_apply(msg, true, id, copyHeader, mb);
    mbuf_printf(mb, "Server: %s\r\n%sContent-Length: 0\r\n\r\n", kSoftware, extraHeaders);
    mb->pos = 0;
    sip_send(stack, msg->sock, msg->tp, &msg->src, mb);
    mem_deref(mb);
}

void stackLogHandler(int, const char* text, size_t length, void* arg) {
    static_cast<SipAgent::Impl*>(arg)->stackLog(text, length);
}

ssize_t stderrWriteHandler(void* cookie, const char* data, size_t size) {
    static_cast<SipAgent::Impl*>(cookie)->stderrBytes(data, size);
    return ssize_t(size);
}

void reportTimerHandler(void* arg) { static_cast<SipAgent::Impl*>(arg)->reportRefusals(); }

void exitHandler(void* arg) {
    static_cast<SipAgent::Impl*>(arg)->stackDone = true;
    re_cancel();
}

void graceHandler(void*) { re_cancel(); }

void networkCheckHandler(void* arg) { static_cast<SipAgent::Impl*>(arg)->checkNetwork(); }

void registerRetryHandler(void* arg) { static_cast<SipAgent::Impl*>(arg)->startRegistration(); }

void laterHandler(void* arg) {
    auto fn = std::move(static_cast<SipAgent::Impl*>(arg)->later);
    if (fn) fn();
}

void fdHandler(int flags, void* arg) {
    (void)flags;
    // A copy keeps the function alive even if it unwatches its own descriptor.
    auto fn = *static_cast<std::shared_ptr<std::function<void()>>*>(arg);
    (*fn)();
}

void signalHandler(int sig) {
    log(std::string("ending on signal ") + std::to_string(sig));
    if (g_signalled) g_signalled->shutdown();
}

}  // namespace

// Every request that no transaction took comes here before the session layer; true when it was
// answered (or ignored) here. Nothing a stranger sends past this point holds state: refusals
// are stateless and only a call that is taken gets a transaction.
bool SipAgent::Impl::screen(const sip_msg* msg) {
    const uint64_t now = tmr_jiffies();
    switch (guard.admit(sa_in(&msg->src), now)) {
        case RequestGuard::Admission::Take:
            break;
        case RequestGuard::Admission::Refuse:
            // No Retry-After: the source may be forged, and a proxy would keep its calls away.
            refuse(msg, kSipServiceUnavailable, "sends requests too fast");
            return true;
        case RequestGuard::Admission::Drop:
            if (guard.refused(sa_in(&msg->src), now)) armReports();
            return true;
    }
    if (!mayReach(msg)) {
        refuse(msg, kSipForbidden,
               options.hasAccount ? "not the registrar" : "not an address allow= names");
        return true;
    }
    if (pl_strcmp(&msg->met, "OPTIONS") == 0) {
        replyStateless(stack, msg, kSipOk,
                       "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS\r\nAccept: application/sdp\r\n");
        return true;
    }
    if (!pl_isset(&msg->to.tag)) return screenOutOfDialog(msg);
    // In-dialog requests go to the session layer only for the call that is up.
    if (inCall(msg)) return false;
    replyStateless(stack, msg, kSipCallDoesNotExist);
    return true;
}

bool SipAgent::Impl::screenOutOfDialog(const sip_msg* msg) {
    if (pl_strcmp(&msg->met, "INVITE") != 0) {
        const bool dialogMethod = pl_strcmp(&msg->met, "CANCEL") == 0 ||
                                  pl_strcmp(&msg->met, "BYE") == 0 ||
                                  pl_strcmp(&msg->met, "ACK") == 0;
        replyStateless(stack, msg, dialogMethod ? kSipCallDoesNotExist : kSipNotImplemented);
        return true;
    }
    if (list_count(&msg->hdrl) > kMaxHeaders) {
        refuse(msg, kSipBadRequest, "too many headers");
        return true;
    }
    if (call || closing) {
        refuse(msg, kSipBusyHere, "a call is up");
        return true;
    }
    return false;
}

void SipAgent::Impl::refuse(const sip_msg* msg, int status, const std::string& why) {
    // RFC 3261 section 20.43: warn-code 399 tells a caller why its offer cannot be taken.
    const std::string warning =
        status == kSipNotAcceptableHere && !why.empty()
            ? std::string("Warning: 399 ") + kSoftware + " \"" + why + "\"\r\n"
            : "";
    replyStateless(stack, msg, status, warning.c_str());
    if (!guard.refused(sa_in(&msg->src), tmr_jiffies())) return;
    const std::string what =
        pl_strcmp(&msg->met, "INVITE") == 0 ? "a call" : "a request (" + toString(msg->met) + ")";
    log("refused " + what + " from " + addressOf(msg->src) + ": " + why + " (" +
        std::to_string(status) + "); more from there are counted for a minute");
    armReports();
}

void SipAgent::Impl::armReports() {
    if (!tmr_isrunning(&reportTimer))
        tmr_start(&reportTimer, kReportCheckMs, reportTimerHandler, this);
}

void SipAgent::Impl::reportRefusals() {
    const uint64_t now = tmr_jiffies();
    for (const RequestGuard::Report& report : guard.dueReports(now)) {
        sa source{};
        sa_set_in(&source, report.source, 0);
        log("refused or ignored " + std::to_string(report.refused) + " more requests from " +
            addressOf(source) + " in the last minute");
    }
    if (now - stackLogStartMs >= kReportIntervalMs && stackLinesLeftOut > 0) {
        log("left out " + std::to_string(stackLinesLeftOut) +
            " more messages of the SIP stack in the last minute");
        stackLinesLeftOut = 0;
        stackLines = 0;
        stackLogStartMs = now;
    }
    if (guard.reportsPending() || stackLinesLeftOut > 0)
        tmr_start(&reportTimer, kReportCheckMs, reportTimerHandler, this);
}

void SipAgent::Impl::stackLog(const char* text, size_t length) {
    const uint64_t now = tmr_jiffies();
    if (now - stackLogStartMs >= kReportIntervalMs && stackLinesLeftOut == 0) {
        stackLogStartMs = now;
        stackLines = 0;
    }
    if (stackLines >= kStackLinesPerInterval) {
        ++stackLinesLeftOut;
        armReports();
        return;
    }
    ++stackLines;
    std::string line(text, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    log(line);
}

// Lines of ours (and of the rest of the bridge) pass; the others are libre's own complaints,
// some of them one for each datagram it cannot decode, and count against the stack's lines.
void SipAgent::Impl::stderrBytes(const char* data, size_t size) {
    stderrLine.append(data, size);
    for (size_t end; (end = stderrLine.find('\n')) != std::string::npos;) {
        const std::string line = stderrLine.substr(0, end);
        stderrLine.erase(0, end + 1);
        if (line.rfind(kLogPrefix, 0) == 0)
            log(line.substr(sizeof kLogPrefix - 1));
        else
            stackLog(line.data(), line.size());
    }
    if (stderrLine.size() > kMaxLogLineBytes) {
        stackLog(stderrLine.data(), kMaxLogLineBytes);
        stderrLine.clear();
    }
}

void SipAgent::Impl::onInvite(const sip_msg* msg) {
    const std::string source = addressOf(msg->src);
    const sip_hdr* identity = sip_msg_hdr(msg, SIP_HDR_P_ASSERTED_IDENTITY);
    const sip_hdr* from = sip_msg_hdr(msg, SIP_HDR_FROM);
    std::string number = identity ? CallerNumber(toString(identity->val)) : "";
    if (number.empty() && from) number = CallerNumber(toString(from->val));
    std::string refusal;
    const int status = handler->onInvite(number, bodyOf(msg), local, refusal);
    if (status) {
        refuse(msg, status, refusal);
        return;
    }
    log("call from " + source + " number '" + number + "'");
    replyStateless(stack, msg, 100);
    // The session needs a provisional response of its own; 183 without SDP brings no early media.
    int err = sipsess_accept(&call, sessions, msg, 183, "Session Progress", user.c_str(), kSdpType,
                             nullptr, authHandler, this, false, offerHandler, answerHandler,
                             establishedHandler, nullptr, nullptr, closeHandler, this, nullptr);
    if (err) {
        log(std::string("cannot take the call: ") + std::strerror(err));
        replyStateless(stack, msg, kSipServerInternalError);
        handler->onClosed(kSipServerInternalError);
        return;
    }
    // Without a Record-Route the far end sends its BYE from its Contact's host.
    peers = {source};
    if (const sip_hdr* contact = sip_msg_hdr(msg, SIP_HDR_CONTACT)) {
        sip_addr parsed{};
        const std::string host = sip_addr_decode(&parsed, &contact->val) == 0
                                     ? toString(parsed.uri.host)
                                     : std::string();
        if (isIpv4(host)) peers.push_back(host);
    }
}

void SipAgent::Impl::endSession() {
    const sip_dialog* dialog = call ? sipsess_dialog(call) : nullptr;
    if (const char* callId = dialog ? sip_dialog_callid(dialog) : nullptr) {
        endedCallId = callId;
        endedPeers = peers;
    }
    call = static_cast<sipsess*>(mem_deref(call));
    peers.clear();
}

bool SipAgent::Impl::parseAccount(std::string& error) {
    const std::string& uri = options.account.uri;
    const size_t at = uri.find('@');
    if (uri.rfind("sip:", 0) != 0 || at == std::string::npos || at == 4 || at + 1 >= uri.size()) {
        error = "the account must read sip:USER@HOST[:PORT]";
        return false;
    }
    user = uri.substr(4, at - 4);
    registrarHost = uri.substr(at + 1, uri.find(':', at) - at - 1);
    trusted = resolve(registrarHost);
    if (trusted.empty())
        log("cannot resolve " + registrarHost + " yet");
    else
        routeTarget = trusted.front();
    return true;
}

void SipAgent::Impl::startRegistration() {
    const std::string& uri = options.account.uri;
    std::string registrar = "sip:" + uri.substr(uri.find('@') + 1);
    if (options.transport == Transport::Tcp) registrar += ";transport=tcp";
    int err = sipreg_register(&registration, stack, registrar.c_str(), uri.c_str(), nullptr,
                              uri.c_str(), options.account.expiresS, user.c_str(), nullptr, 0, 0,
                              authHandler, this, false, registerHandler, this, nullptr, nullptr);
    if (err) {
        // No route yet (started offline): libre gives up at once instead of backing off.
        log("cannot register with " + registrarHost + " yet: " + std::strerror(err) +
            "; trying again in " + std::to_string(kRegisterRetryMs / 1000) + " s");
        tmr_start(&registerRetry, kRegisterRetryMs, registerRetryHandler, this);
    }
}

SipAgent::SipAgent() : m(std::make_unique<Impl>()) {}

SipAgent::~SipAgent() {
    for (auto& [fd, fn] : m->watched) fd_close(fd);
    m->watched.clear();
    tmr_cancel(&m->grace);
    tmr_cancel(&m->laterTimer);
    tmr_cancel(&m->networkCheck);
    tmr_cancel(&m->registerRetry);
    tmr_cancel(&m->reportTimer);
    m->call = static_cast<sipsess*>(mem_deref(m->call));
    m->registration = static_cast<sipreg*>(mem_deref(m->registration));
    m->screening = static_cast<sip_lsnr*>(mem_deref(m->screening));
    m->sessions = static_cast<sipsess_sock*>(mem_deref(m->sessions));
    if (m->stack && !m->closing) sip_close(m->stack, true);
    if (m->stackDone)
        mem_deref(m->closingStack);
    else if (m->closingStack)
        sip_close(m->closingStack, true);  // transactions that outlived the grace period
    m->stack = static_cast<sip*>(mem_deref(m->stack));
    m->dns = static_cast<dnsc*>(mem_deref(m->dns));
    if (g_signalled == this) g_signalled = nullptr;
    dbg_handler_set(nullptr, nullptr);
    libre_close();
    if (m->savedStderr) {
        FILE* filter = stderr;
        stderr = m->savedStderr;
        std::fclose(filter);
    }
}

bool SipAgent::start(const SipAgentOptions& options, SipCallHandler& handler, std::string& error) {
    m->options = options;
    m->handler = &handler;
    if (libre_init() != 0) {
        error = "cannot start the SIP stack";
        return false;
    }
    serveDescriptors();
    // The stack's warnings through our log: without colour codes, and a few a minute at most.
    dbg_init(DBG_INFO, DBG_NONE);
    dbg_handler_set(stackLogHandler, m.get());
    // libre also prints some complaints straight to stderr (one for each datagram it cannot
    // decode): stderr is a filter of ours while the agent lives, which keeps those to as few.
    const cookie_io_functions_t io{nullptr, stderrWriteHandler, nullptr, nullptr};
    if (FILE* filter = fopencookie(m.get(), "w", io)) {
        std::setvbuf(filter, nullptr, _IOLBF, kMaxLogLineBytes);
        m->savedStderr = stderr;
        stderr = filter;
    }
    sa nameservers[4];
    uint32_t count = 4;
    if (dns_srv_get(nullptr, 0, nameservers, &count) == 0 && count > 0)
        dnsc_alloc(&m->dns, nullptr, nameservers, count);
    sa listen{};
    if (sa_set_str(&listen, options.listenAddress.c_str(), options.listenPort) != 0) {
        error = "cannot listen on " + options.listenAddress;
        return false;
    }
    if (options.hasAccount && !m->parseAccount(error)) return false;
    m->trusted.insert(m->trusted.end(), options.allow.begin(), options.allow.end());
    // Contact, Via and SDP need this host's own address: the one it reaches the registrar from.
    const bool followRoute = sa_is_any(&listen);
    m->local = followRoute ? routeSource(m->routeTarget) : options.listenAddress;
    if (followRoute) {
        sa_set_str(&listen, m->local.c_str(), options.listenPort);
        tmr_start(&m->networkCheck, kNetworkCheckMs, networkCheckHandler, m.get());
    }
    int err = sip_alloc(&m->stack, m->dns, kTransactionTableSize, kTransactionTableSize,
                        kTransactionTableSize, kSoftware, exitHandler, m.get());
    const sip_transp transport =
        options.transport == Transport::Tcp ? SIP_TRANSP_TCP : SIP_TRANSP_UDP;
    if (!err) err = sip_transp_add(m->stack, transport, &listen);
    // Listeners are asked in the order they were added: the screen goes before the sessions.
    if (!err) err = sip_listen(&m->screening, m->stack, true, screenHandler, m.get());
    if (!err)
        err = sipsess_listen(&m->sessions, m->stack, kSessionTableSize, connectHandler, m.get());
    if (err) {
        error = "cannot listen for SIP on " + m->local + ":" + std::to_string(options.listenPort) +
                ": " + std::strerror(err);
        return false;
    }
    // Port 0 lets the system choose: Contact and the log give the one it bound.
    sa bound{};
    if (sip_transp_laddr(m->stack, &bound, transport, &listen) == 0)
        m->options.listenPort = sa_port(&bound);
    const std::string where = m->local + ":" + std::to_string(m->options.listenPort);
    log("listening on " + where);
    if (!m->filtering() && m->local.rfind("127.", 0) != 0)
        log("anyone who reaches " + where +
            " may call: there is no account and no allow= (name the addresses that may call in "
            "allow=, or listen on 127.0.0.1)");
    if (options.hasAccount) m->startRegistration();
    return true;
}

int SipAgent::run() {
    g_signalled = this;
    re_main(signalHandler);
    return m->exitStatus;
}

void SipAgent::shutdown() { m->shutdown(); }

void SipAgent::Impl::shutdown() {
    if (closing) return;
    closing = true;
    tmr_cancel(&networkCheck);
    tmr_cancel(&registerRetry);
    endSession();
    // Dropping the registration sends the REGISTER with expires 0.
    registration = static_cast<sipreg*>(mem_deref(registration));
    screening = static_cast<sip_lsnr*>(mem_deref(screening));
    sessions = static_cast<sipsess_sock*>(mem_deref(sessions));
    tmr_start(&grace, kShutdownGraceMs, graceHandler, nullptr);
    closingStack = stack;
    stack = nullptr;  // sip_close gives up our reference
    sip_close(closingStack, false);
}

void SipAgent::Impl::checkNetwork() {
    const std::string now = routeSource(routeTarget);
    if (call || now == local) {
        tmr_start(&networkCheck, kNetworkCheckMs, networkCheckHandler, this);
        return;
    }
    // The SIP socket is bound to the old address: only a fresh start registers the new one.
    log("this host's address changed from " + local + " to " + now + ": starting again");
    exitStatus = kExitNetworkChanged;
    shutdown();
}

void SipAgent::watch(int fd, std::function<void()> readable) {
    auto& slot = m->watched[fd];
    slot = std::make_shared<std::function<void()>>(std::move(readable));
    fd_listen(fd, FD_READ, fdHandler, &slot);
}

void SipAgent::unwatch(int fd) {
    if (m->watched.erase(fd)) fd_close(fd);
}

void SipAgent::ringing() {
    if (m->call) sipsess_progress(m->call, 180, "Ringing", nullptr, nullptr);
}

void SipAgent::answer(const std::string& sdp) {
    if (!m->call) return;
    mbuf* mb = toMbuf(sdp);
    sipsess_answer(m->call, 200, "OK", mb, nullptr);
    mem_deref(mb);
}

void SipAgent::reject(int status) {
    if (!m->call) return;
    sipsess_reject(m->call, uint16_t(status), reasonOf(status), nullptr);
    m->endSession();
}

void SipAgent::hangup() { m->endSession(); }

bool SipAgent::dial(const std::string& uri, const std::string& callerNumber, const std::string& sdp,
                    std::string& error) {
    if (m->call || m->closing) {
        error = "a call is up";
        return false;
    }
    mbuf* mb = toMbuf(sdp);
    std::string from = m->contactUri();
    if (!callerNumber.empty() && !m->options.hasAccount)
        from = "sip:" + callerNumber + "@" + m->local + ":" + std::to_string(m->options.listenPort);
    int err = sipsess_connect(&m->call, m->sessions, uri.c_str(), nullptr, from.c_str(),
                              m->user.c_str(), nullptr, 0, kSdpType, mb, authHandler, m.get(),
                              false, offerHandler, answerHandler, progressHandler,
                              establishedHandler, nullptr, nullptr, closeHandler, m.get(), nullptr);
    mem_deref(mb);
    if (err) {
        error = "cannot call " + uri + ": " + std::strerror(err);
        return false;
    }
    const size_t at = uri.find('@');
    const std::string host = at == std::string::npos
                                 ? std::string()
                                 : uri.substr(at + 1, uri.find_first_of(":;>", at) - at - 1);
    if (isIpv4(host)) m->peers = {host};
    return true;
}

std::string SipAgent::localAddress() const { return m->local; }

uint16_t SipAgent::sipPort() const { return m->options.listenPort; }

void SipAgent::modify(const std::string& sdp) {
    if (!m->call) return;
    mbuf* mb = toMbuf(sdp);
    sipsess_modify(m->call, mb);
    mem_deref(mb);
}

void SipAgent::after(uint64_t ms, std::function<void()> fn) {
    m->later = std::move(fn);
    tmr_start(&m->laterTimer, ms, laterHandler, m.get());
}
