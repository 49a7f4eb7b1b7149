// The only file that speaks to libre's SIP stack and event loop.
#include "sipline/sip_agent.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
// libre last: its headers need the fixed-width types first and define min and max as macros.
#include <cstdint>
// clang-format off
#include <re.h>
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

SipAgent* g_signalled = nullptr;

void log(const std::string& text) { std::fprintf(stderr, "vantoro-sipline: %s\n", text.c_str()); }

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

}  // namespace

struct SipAgent::Impl {
    SipAgentOptions options;
    SipCallHandler* handler = nullptr;
    dnsc* dns = nullptr;
    sip* stack = nullptr;
    sipsess_sock* sessions = nullptr;
    sip_lsnr* requests = nullptr;
    sipreg* registration = nullptr;
    sipsess* call = nullptr;
    std::string user = "vantoro";
    std::string registrarHost;
    std::vector<std::string> trusted;
    std::string local;
    std::string routeTarget = kRouteProbe;  // the address `local` is the way to
    tmr networkCheck{};
    tmr registerRetry{};
    bool closing = false;
    sip* closingStack = nullptr;
    // The stack calls its exit handler with a last reference of ours, to be dropped after.
    bool stackDone = false;
    int exitStatus = 0;
    tmr grace{};
    tmr laterTimer{};
    std::function<void()> later;
    std::map<int, std::shared_ptr<std::function<void()>>> watched;

    bool fromTrusted(const sip_msg* msg) const;
    void trustRegistrar(const sa& source);
    void onInvite(const sip_msg* msg);
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

bool SipAgent::Impl::fromTrusted(const sip_msg* msg) const {
    if (!options.hasAccount) return true;
    char text[64] = "";
    sa_ntop(&msg->src, text, sizeof text);
    for (const auto& address : trusted) {
        if (address == text) return true;
    }
    return false;
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
    m->call = static_cast<sipsess*>(mem_deref(m->call));
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

bool requestHandler(const sip_msg* msg, void* arg) {
    auto* m = static_cast<SipAgent::Impl*>(arg);
    if (pl_strcmp(&msg->met, "OPTIONS") != 0) return false;
    sip_treplyf(nullptr, nullptr, m->stack, msg, false, 200, "OK",
                "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS\r\n"
                "Accept: %s\r\n"
                "Content-Length: 0\r\n\r\n",
                kSdpType);
    return true;
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

// libre's sessions start at 101, so the 100 that stops the caller's INVITE retransmissions is
// written here (RFC 3261 section 8.2.6.1: the request's Via, From, To, Call-ID and CSeq).
void sendTrying(sip* stack, const sip_msg* msg) {
    mbuf* mb = mbuf_alloc(512);
    if (!mb) return;
    mbuf_write_str(mb, "SIP/2.0 100 Trying\r\n");
    for (sip_hdrid id : {SIP_HDR_VIA, SIP_HDR_FROM, SIP_HDR_TO, SIP_HDR_CALL_ID, SIP_HDR_CSEQ})
        sip_msg_hdr_apply(msg, true, id, copyHeader, mb);
    mbuf_write_str(mb, "Content-Length: 0\r\n\r\n");
    mb->pos = 0;
    sip_send(stack, msg->sock, msg->tp, &msg->src, mb);
    mem_deref(mb);
}

// RFC 3261 section 20.43: warn-code 399, with the reason for a person to read.
void refuse(sip* stack, const sip_msg* msg, int status, const std::string& why) {
    if (why.empty()) {
        sip_treply(nullptr, stack, msg, uint16_t(status), reasonOf(status));
        return;
    }
    sip_treplyf(nullptr, nullptr, stack, msg, false, uint16_t(status), reasonOf(status),
                "Warning: 399 %s \"%s\"\r\nContent-Length: 0\r\n\r\n", kSoftware, why.c_str());
}

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

void SipAgent::Impl::onInvite(const sip_msg* msg) {
    char source[64] = "";
    sa_ntop(&msg->src, source, sizeof source);
    if (!fromTrusted(msg)) {
        log(std::string("refused a call from ") + source + ": not the registrar");
        sip_treply(nullptr, stack, msg, kSipForbidden, reasonOf(kSipForbidden));
        return;
    }
    if (list_count(&msg->hdrl) > kMaxHeaders) {
        sip_treply(nullptr, stack, msg, 400, "Too Many Headers");
        return;
    }
    if (call) {
        log(std::string("busy: a second call from ") + source);
        sip_treply(nullptr, stack, msg, kSipBusyHere, reasonOf(kSipBusyHere));
        return;
    }
    const sip_hdr* identity = sip_msg_hdr(msg, SIP_HDR_P_ASSERTED_IDENTITY);
    const sip_hdr* from = sip_msg_hdr(msg, SIP_HDR_FROM);
    std::string number = identity ? CallerNumber(toString(identity->val)) : "";
    if (number.empty() && from) number = CallerNumber(toString(from->val));
    log(std::string("call from ") + source + " number '" + number + "'");
    std::string why;
    const int status = handler->onInvite(number, bodyOf(msg), local, why);
    if (status) {
        refuse(stack, msg, status, why);
        return;
    }
    sendTrying(stack, msg);
    // The session needs a provisional response of its own; 183 without SDP brings no early media.
    int err = sipsess_accept(&call, sessions, msg, 183, "Session Progress", user.c_str(), kSdpType,
                             nullptr, authHandler, this, false, offerHandler, answerHandler,
                             establishedHandler, nullptr, nullptr, closeHandler, this, nullptr);
    if (err) {
        log(std::string("cannot take the call: ") + std::strerror(err));
        sip_treply(nullptr, stack, msg, 500, "Server Internal Error");
        handler->onClosed(500);
    }
}

bool SipAgent::Impl::parseAccount(std::string& error) {
    const std::string& uri = options.account.uri;
    const size_t at = uri.find('@');
    if (uri.rfind("sip:", 0) != 0 || at == std::string::npos || at == 4 || at + 1 >= uri.size()) {
        error = "the account must read sip:USER@HOST[:PORT], not " + uri;
        return false;
    }
    user = uri.substr(4, at - 4);
    registrarHost = uri.substr(at + 1, uri.find(':', at) - at - 1);
    trusted = resolve(registrarHost);
    if (trusted.empty())
        log("cannot resolve " + registrarHost + " yet");
    else
        routeTarget = trusted.front();
    for (const auto& address : options.account.allow) trusted.push_back(address);
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
    m->call = static_cast<sipsess*>(mem_deref(m->call));
    m->registration = static_cast<sipreg*>(mem_deref(m->registration));
    m->requests = static_cast<sip_lsnr*>(mem_deref(m->requests));
    m->sessions = static_cast<sipsess_sock*>(mem_deref(m->sessions));
    if (m->stack && !m->closing) sip_close(m->stack, true);
    if (m->stackDone)
        mem_deref(m->closingStack);
    else if (m->closingStack)
        sip_close(m->closingStack, true);  // transactions that outlived the grace period
    m->stack = static_cast<sip*>(mem_deref(m->stack));
    m->dns = static_cast<dnsc*>(mem_deref(m->dns));
    if (g_signalled == this) g_signalled = nullptr;
    libre_close();
}

bool SipAgent::start(const SipAgentOptions& options, SipCallHandler& handler, std::string& error) {
    m->options = options;
    m->handler = &handler;
    if (libre_init() != 0) {
        error = "cannot start the SIP stack";
        return false;
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
    if (!err)
        err = sipsess_listen(&m->sessions, m->stack, kSessionTableSize, connectHandler, m.get());
    if (!err) err = sip_listen(&m->requests, m->stack, true, requestHandler, m.get());
    if (err) {
        error = "cannot listen for SIP on " + m->local + ":" + std::to_string(options.listenPort) +
                ": " + std::strerror(err);
        return false;
    }
    log("listening on " + m->local + ":" + std::to_string(options.listenPort));
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
    call = static_cast<sipsess*>(mem_deref(call));
    // Dropping the registration sends the REGISTER with expires 0.
    registration = static_cast<sipreg*>(mem_deref(registration));
    requests = static_cast<sip_lsnr*>(mem_deref(requests));
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
    m->call = static_cast<sipsess*>(mem_deref(m->call));
}

void SipAgent::hangup() { m->call = static_cast<sipsess*>(mem_deref(m->call)); }

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
    if (err) error = "cannot call " + uri + ": " + std::strerror(err);
    return err == 0;
}

std::string SipAgent::localAddress() const { return m->local; }

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
