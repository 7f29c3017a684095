#include "telephony/SipLine.h"

#include "telephony/ModemTrace.h"
#include "telephony/SipIdentity.h"

// libre's headers test these instead of detecting them; without HAVE_STDBOOL_H they would
// define bool, true and false as macros.
#define HAVE_INET6 1
#define HAVE_INTTYPES_H 1
#define HAVE_STDBOOL_H 1
#include <re.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Telephony {

namespace {

// How often the local address towards the registrar is looked at.
constexpr uint64_t NetCheckMs = 10000;
// How long Stop() waits for the answers to the farewell messages.
constexpr uint64_t FarewellMs = 1500;
constexpr uint64_t MaxRetryMs = 300000;
constexpr const char* Allowed = "INVITE, ACK, CANCEL, OPTIONS";

std::once_flag LibraryStarted;
int LibraryError = 0;

std::string ErrorText(int error) {
  return error == ETIMEDOUT ? "no answer" : std::strerror(error);
}

std::string Text(const pl& text) {
  return text.p ? std::string(text.p, text.l) : std::string();
}

const char* TransportParam(TSipTransport transport) {
  return transport == stTcp ? ";transport=tcp" : transport == stTls ? ";transport=tls" : "";
}

sip_transp LibreTransport(TSipTransport transport) {
  return transport == stTcp ? SIP_TRANSP_TCP : transport == stTls ? SIP_TRANSP_TLS : SIP_TRANSP_UDP;
}

std::string HostForUri(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// The local address the system would send from towards `peer`: the interface a registrar is
// reached through, found without sending anything.
bool LocalAddressTowards(const sa& peer, sa& local) {
  const int fd = ::socket(sa_af(&peer), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sa target = peer;
  if (sa_port(&target) == 0)
    sa_set_port(&target, 5060);
  bool found = ::connect(fd, &target.u.sa, target.len) == 0;
  if (found) {
    sa_init(&local, sa_af(&peer));
    local.len = sizeof local.u;
    found = ::getsockname(fd, &local.u.sa, &local.len) == 0;
    sa_set_port(&local, 0);
  }
  ::close(fd);
  return found;
}

// Collects the values of one kind of header.
bool CollectHeader(const sip_hdr* header, const sip_msg*, void* arg) {
  static_cast<std::vector<std::string>*>(arg)->push_back(Text(header->val));
  return false; // go on: every one counts
}

} // namespace

// Everything that lives on the SIP thread: the stack's objects and the calls.
class TSipAgent {
public:
  explicit TSipAgent(TSipLine& line) : FLine(line), FAccount(line.FConfig.Sip) {
    tmr_init(&FRetryTimer);
    tmr_init(&FNetTimer);
    tmr_init(&FStopTimer);
  }
  ~TSipAgent() {
    tmr_cancel(&FRetryTimer);
    tmr_cancel(&FNetTimer);
    tmr_cancel(&FStopTimer);
    TearDown(true);
  }

  void Begin();
  void OnWake();
  void Finish();

private:
  struct TCall {
    TSipAgent* Agent = nullptr;
    uint64_t Key = 0;
    sip_strans* Transaction = nullptr;
    sip_msg* Invite = nullptr; // referenced while the call lasts
    tmr RingTimer{};
    tmr CycleTimer{}; // the next ring the owner is told of
    uint32_t Rings = 1;
  };

  bool SetUp(std::string& why);
  void TearDown(bool force);
  void Register();
  void Failed(const std::string& why);
  void ScheduleRetry();
  void AddTrusted(const sa& address);
  bool Trusted(const sa& address) const;
  bool ResolveRegistrar(sa& address) const;

  void HandleInvite(const sip_msg* msg);
  int Reply(TCall& call, uint16_t code, const char* reason);
  void EndCall(uint64_t key);
  void Reject(uint64_t key);
  std::string Label() const { return "sip:" + FAccount.User + "@" + HostForUri(FAccount.Host); }

  static void OnRegisterReply(int err, const sip_msg* msg, void* arg);
  static int OnAuth(char** user, char** password, const char* realm, void* arg);
  static bool OnRequest(const sip_msg* msg, void* arg);
  static void OnCancel(void* arg);
  static void OnRingTimeout(void* arg);
  static void OnRingCycle(void* arg);
  static void OnRetry(void* arg);
  static void OnNetCheck(void* arg);
  static void OnStopTimeout(void* arg);
  static void OnSipClosed(void* arg);
  static void OnTrace(bool tx, sip_transp, const sa*, const sa*, const uint8_t* packet,
                      size_t length, void* arg);

  TSipLine& FLine;
  const TSipAccount& FAccount;
  dnsc* FDns = nullptr;
  sip* FSip = nullptr;
  sip_lsnr* FListener = nullptr;
  tls* FTls = nullptr;
  sipreg* FRegistration = nullptr;
  sa FLocal{};
  std::vector<sa> FTrusted;
  std::map<uint64_t, TCall*> FCalls;
  uint64_t FNextKey = 0;
  uint32_t FFailures = 0;
  bool FRegistered = false;
  bool FStopping = false;
  tmr FRetryTimer{};
  tmr FNetTimer{};
  tmr FStopTimer{};
};

// ---- Setting up and tearing down ---------------------------------------------------------

void TSipAgent::Begin() {
  for (const std::string& peer : FAccount.TrustedPeers) {
    sa address{};
    if (sa_set_str(&address, peer.c_str(), 0) == 0)
      AddTrusted(address);
  }
  sa literal{};
  if (sa_set_str(&literal, FAccount.Host.c_str(), 0) == 0)
    AddTrusted(literal);
  std::string why;
  if (SetUp(why))
    Register();
  else
    Failed(why);
  tmr_start(&FNetTimer, NetCheckMs, OnNetCheck, this);
}

bool TSipAgent::ResolveRegistrar(sa& address) const {
  if (sa_set_str(&address, FAccount.Host.c_str(), FAccount.Port) == 0)
    return true;
  // A name: the stack finds the registrar itself (NAPTR, SRV, A); the interface is that of
  // the default route.
  return net_default_source_addr_get(AF_INET, &address) == 0;
}

bool TSipAgent::SetUp(std::string& why) {
  sa registrar{};
  if (!ResolveRegistrar(registrar) || !LocalAddressTowards(registrar, FLocal)) {
    why = "no network route to " + FAccount.Host;
    return false;
  }
  sa_set_port(&FLocal, FAccount.LocalPort);
  sa servers[4];
  uint32_t count = 4;
  char domain[64] = "";
  if (dns_srv_get(domain, sizeof domain, servers, &count) != 0)
    count = 0;
  int err = dnsc_alloc(&FDns, nullptr, servers, count);
  if (!err)
    err = sip_alloc(&FSip, FDns, 32, 32, 32, "Ringlet", OnSipClosed, this);
  if (!err && FAccount.Transport == stTls) {
    err = tls_alloc(&FTls, TLS_METHOD_SSLV23, nullptr, nullptr);
    if (!err)
      tls_add_ca(FTls, "/etc/ssl/certs/ca-certificates.crt"); // best effort: see the README
  }
  if (!err)
    err = FTls ? sip_transp_add(FSip, SIP_TRANSP_TLS, &FLocal, FTls)
               : sip_transp_add(FSip, LibreTransport(FAccount.Transport), &FLocal);
  if (!err)
    err = sip_listen(&FListener, FSip, true, OnRequest, this);
  if (err) {
    why = "the SIP stack cannot start (" + std::string(std::strerror(err)) + ")";
    TearDown(true);
    return false;
  }
  if (ModemTraceEnabled())
    sip_set_trace_handler(FSip, OnTrace);
  // The port the transport took, for the Contact of our answers.
  const sa wanted = FLocal;
  sip_transp_laddr(FSip, &FLocal, LibreTransport(FAccount.Transport), &wanted);
  return true;
}

void TSipAgent::TearDown(bool force) {
  FRegistration = static_cast<sipreg*>(mem_deref(FRegistration));
  // Calls still ringing end here for the owner too; the stack that knew them goes.
  std::vector<uint64_t> keys;
  for (const auto& [key, call] : FCalls)
    keys.push_back(key);
  for (uint64_t key : keys)
    EndCall(key);
  FListener = static_cast<sip_lsnr*>(mem_deref(FListener));
  if (FSip) {
    sip_close(FSip, force);
    FSip = static_cast<sip*>(mem_deref(FSip));
  }
  FTls = static_cast<tls*>(mem_deref(FTls));
  FDns = static_cast<dnsc*>(mem_deref(FDns));
  FRegistered = false;
}

// ---- Registration ------------------------------------------------------------------------

void TSipAgent::Register() {
  const std::string host = HostForUri(FAccount.Host);
  const std::string port = FAccount.Port ? ":" + std::to_string(FAccount.Port) : "";
  const std::string registrar = "sip:" + host + port + TransportParam(FAccount.Transport);
  const std::string aor = "sip:" + FAccount.User + "@" + host;
  const int err =
      sipreg_register(&FRegistration, FSip, registrar.c_str(), aor.c_str(), nullptr, aor.c_str(),
                      FAccount.ExpiresS, FAccount.User.c_str(), nullptr, 0, 0, OnAuth, this, false,
                      OnRegisterReply, this, nullptr, "Allow: %s\r\n", Allowed);
  if (err)
    Failed("the registration cannot be sent (" + ErrorText(err) + ")");
}

void TSipAgent::OnRegisterReply(int err, const sip_msg* msg, void* arg) {
  auto* self = static_cast<TSipAgent*>(arg);
  if (self->FStopping)
    return;
  if (err == EAUTH) {
    self->Failed(self->FAccount.Password.empty()
                     ? "the registrar wants a password: give Password or PasswordFile"
                     : "the registrar refused the user name or password");
    return;
  }
  if (err) {
    self->Failed("no answer from " + self->FAccount.Registrar + " (" + ErrorText(err) + ")");
    return;
  }
  if (msg->scode < 200)
    return;
  if (msg->scode < 300) {
    self->AddTrusted(msg->src);
    self->FFailures = 0;
    self->FRegistered = true;
    self->FLine.SetState(true, "registered at " + self->FAccount.Registrar + " as " +
                                   self->FAccount.User);
    return;
  }
  std::string why = std::to_string(msg->scode) + " " + Text(msg->reason);
  if (msg->scode == 401 || msg->scode == 407 || msg->scode == 403)
    why = "the registrar refused the user name or password (" + why + ")";
  self->Failed(why);
}

int TSipAgent::OnAuth(char** user, char** password, const char*, void* arg) {
  auto* self = static_cast<TSipAgent*>(arg);
  if (self->FAccount.Password.empty())
    return EAUTH; // nothing to answer with: the failure says so
  const int err = str_dup(user, self->FAccount.AuthUser.c_str());
  return err ? err : str_dup(password, self->FAccount.Password.c_str());
}

void TSipAgent::Failed(const std::string& why) {
  FRegistered = false;
  ++FFailures;
  FLine.SetState(false, "not registered: " + why);
  // Our own back-off instead of the stack's: the registration is made anew once it is due.
  ScheduleRetry();
}

void TSipAgent::ScheduleRetry() {
  uint64_t delay = FLine.FConfig.RetryMs;
  for (uint32_t i = 1; i < FFailures && delay < MaxRetryMs; ++i)
    delay *= 2;
  tmr_start(&FRetryTimer, std::min(delay, MaxRetryMs), OnRetry, this);
}

void TSipAgent::OnRetry(void* arg) {
  auto* self = static_cast<TSipAgent*>(arg);
  self->FRegistration = static_cast<sipreg*>(mem_deref(self->FRegistration));
  std::string why;
  if (!self->FSip && !self->SetUp(why)) {
    self->Failed(why);
    return;
  }
  self->Register();
}

// A new local address (another network, a new lease) means the registration points nowhere:
// start over on the new one.
void TSipAgent::OnNetCheck(void* arg) {
  auto* self = static_cast<TSipAgent*>(arg);
  tmr_start(&self->FNetTimer, NetCheckMs, OnNetCheck, self);
  sa registrar{}, local{};
  if (!self->FSip || !self->ResolveRegistrar(registrar) || !LocalAddressTowards(registrar, local) ||
      sa_cmp(&local, &self->FLocal, SA_ADDR))
    return;
  TraceModem(self->Label(), '*', "the local address changed: registering anew");
  self->TearDown(true);
  self->FFailures = 0;
  tmr_cancel(&self->FRetryTimer);
  OnRetry(self);
}

void TSipAgent::AddTrusted(const sa& address) {
  if (!Trusted(address))
    FTrusted.push_back(address);
}

bool TSipAgent::Trusted(const sa& address) const {
  return std::any_of(FTrusted.begin(), FTrusted.end(),
                     [&](const sa& peer) { return sa_cmp(&peer, &address, SA_ADDR); });
}

// ---- Requests ----------------------------------------------------------------------------

bool TSipAgent::OnRequest(const sip_msg* msg, void* arg) {
  auto* self = static_cast<TSipAgent*>(arg);
  if (!pl_strcmp(&msg->met, "ACK"))
    return true; // never answered; one for our final answers is absorbed by the stack
  if (!self->Trusted(msg->src)) {
    sip_reply(self->FSip, msg, 403, "Forbidden");
    return true;
  }
  if (!pl_strcmp(&msg->met, "INVITE"))
    self->HandleInvite(msg);
  else if (!pl_strcmp(&msg->met, "OPTIONS"))
    sip_replyf(self->FSip, msg, 200, "OK", "Allow: %s\r\nContent-Length: 0\r\n\r\n", Allowed);
  else if (!pl_strcmp(&msg->met, "BYE") || !pl_strcmp(&msg->met, "CANCEL"))
    sip_reply(self->FSip, msg, 481, "Call/Transaction Does Not Exist");
  else
    sip_replyf(self->FSip, msg, 405, "Method Not Allowed", "Allow: %s\r\nContent-Length: 0\r\n\r\n",
               Allowed);
  return true;
}

void TSipAgent::HandleInvite(const sip_msg* msg) {
  if (pl_isset(&msg->to.tag)) {
    sip_reply(FSip, msg, 481, "Call/Transaction Does Not Exist"); // we keep no dialogs
    return;
  }
  // What an answer is made of; without it no answer can reach the caller.
  if (!pl_isset(&msg->callid) || !pl_isset(&msg->from.auri) || !pl_isset(&msg->to.auri) ||
      !pl_isset(&msg->via.branch) || pl_strcmp(&msg->cseq.met, "INVITE"))
    return;
  if (FStopping || FCalls.size() >= TSipLine::MaxCalls) {
    sip_reply(FSip, msg, 486, "Busy Here");
    return;
  }
  TSipIdentityHeaders headers;
  sip_msg_hdr_apply(msg, true, SIP_HDR_P_ASSERTED_IDENTITY, CollectHeader,
                    &headers.AssertedIdentity);
  sip_msg_xhdr_apply(msg, true, "Remote-Party-ID", CollectHeader, &headers.RemotePartyId);
  sip_msg_hdr_apply(msg, true, SIP_HDR_PRIVACY, CollectHeader, &headers.Privacy);
  headers.From = Text(msg->from.val);
  const TCallerIdInfo caller = SipCallerId(headers);

  auto* call = new TCall;
  call->Agent = this;
  call->Key = ++FNextKey;
  tmr_init(&call->RingTimer);
  tmr_init(&call->CycleTimer);
  if (sip_strans_alloc(&call->Transaction, FSip, msg, OnCancel, call) != 0) {
    delete call;
    sip_reply(FSip, msg, 500, "Server Internal Error");
    return;
  }
  call->Invite = static_cast<sip_msg*>(mem_ref(const_cast<sip_msg*>(msg)));
  FCalls[call->Key] = call;
  if (Reply(*call, 180, "Ringing") != 0) {
    // Nobody can be told it rings: it is no call of ours.
    FCalls.erase(call->Key);
    mem_deref(call->Transaction);
    mem_deref(call->Invite);
    delete call;
    return;
  }
  tmr_start(&call->RingTimer, TSipLine::MaxRingMs, OnRingTimeout, call);
  tmr_start(&call->CycleTimer, FLine.FConfig.RingCycleMs, OnRingCycle, call);
  FLine.AddRinging(call->Key, caller);
  FLine.FEvents.OnCallOffered(call->Key, caller);
}

int TSipAgent::Reply(TCall& call, uint16_t code, const char* reason) {
  // A dialog-making answer names where we are; the body is always empty.
  return sip_treplyf(&call.Transaction, nullptr, FSip, call.Invite, true, code, reason,
                     "Contact: <sip:%s@%J%s>\r\nAllow: %s\r\nContent-Length: 0\r\n\r\n",
                     FAccount.User.c_str(), &FLocal, TransportParam(FAccount.Transport), Allowed);
}

void TSipAgent::OnCancel(void* arg) {
  auto* call = static_cast<TCall*>(arg);
  TSipAgent* self = call->Agent;
  self->Reply(*call, 487, "Request Terminated");
  self->EndCall(call->Key);
}

void TSipAgent::OnRingTimeout(void* arg) {
  auto* call = static_cast<TCall*>(arg);
  TSipAgent* self = call->Agent;
  self->Reply(*call, 480, "Temporarily Unavailable");
  self->EndCall(call->Key);
}

// The caller's phone hears ringing until the call ends; the owner hears it ring on, too.
void TSipAgent::OnRingCycle(void* arg) {
  auto* call = static_cast<TCall*>(arg);
  tmr_start(&call->CycleTimer, call->Agent->FLine.FConfig.RingCycleMs, OnRingCycle, call);
  call->Agent->FLine.FEvents.OnCallRinging(call->Key, ++call->Rings);
}

void TSipAgent::EndCall(uint64_t key) {
  auto found = FCalls.find(key);
  if (found == FCalls.end())
    return;
  TCall* call = found->second;
  FCalls.erase(found);
  tmr_cancel(&call->RingTimer);
  tmr_cancel(&call->CycleTimer);
  // After a final answer the stack owns the transaction (it waits for the ACK); before one,
  // it goes with the call.
  mem_deref(call->Transaction);
  mem_deref(call->Invite);
  delete call;
  if (FLine.RemoveRinging(key))
    FLine.FEvents.OnCallEnded(key);
}

void TSipAgent::Reject(uint64_t key) {
  auto found = FCalls.find(key);
  if (found == FCalls.end()) {
    FLine.FEvents.OnCallRejected(key, false);
    return;
  }
  TCall& call = *found->second;
  const int err = sip_treplyf(&call.Transaction, nullptr, FSip, call.Invite, true, 603, "Decline",
                              "Content-Length: 0\r\n\r\n");
  FLine.FEvents.OnCallRejected(key, err == 0);
  EndCall(key);
}

// ---- The owner's requests and the end --------------------------------------------------

void TSipAgent::OnWake() {
  std::vector<uint64_t> rejects;
  const bool stop = FLine.TakeCommands(rejects);
  for (uint64_t key : rejects)
    Reject(key);
  if (stop && !FStopping)
    Finish();
}

// Lets ringing calls go, unregisters, and ends the loop once the stack is done or the
// farewell time is up.
void TSipAgent::Finish() {
  FStopping = true;
  tmr_cancel(&FRetryTimer);
  tmr_cancel(&FNetTimer);
  std::vector<uint64_t> keys;
  for (const auto& [key, call] : FCalls)
    keys.push_back(key);
  for (uint64_t key : keys) {
    Reply(*FCalls[key], 480, "Temporarily Unavailable");
    EndCall(key);
  }
  // Dropping a registration that holds sends the REGISTER with Expires 0.
  FRegistration = static_cast<sipreg*>(mem_deref(FRegistration));
  tmr_start(&FStopTimer, FarewellMs, OnStopTimeout, this);
  if (FSip)
    sip_close(FSip, false); // calls OnSipClosed once nothing is pending
  else
    re_cancel();
}

void TSipAgent::OnStopTimeout(void*) {
  re_cancel();
}

void TSipAgent::OnSipClosed(void* arg) {
  if (static_cast<TSipAgent*>(arg)->FStopping)
    re_cancel();
}

void TSipAgent::OnTrace(bool tx, sip_transp, const sa*, const sa*, const uint8_t* packet,
                        size_t length, void* arg) {
  auto* self = static_cast<TSipAgent*>(arg);
  const std::string label = self->Label();
  std::string_view text(reinterpret_cast<const char*>(packet), length);
  while (!text.empty()) {
    const size_t end = text.find("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
    if (line.empty())
      break; // the body (SDP) says nothing about the caller
    std::string shown(line);
    for (const char* hidden : {"authorization:", "proxy-authorization:"}) {
      const size_t size = std::strlen(hidden);
      if (shown.size() >= size && strncasecmp(shown.c_str(), hidden, size) == 0)
        shown = shown.substr(0, size) + " (hidden)";
    }
    TraceModem(label, tx ? '>' : '<', shown);
  }
}

// ---- The line, seen from its owner ------------------------------------------------------

TSipLine::TSipLine(const TLineConfig& config, TCallLineEvents& events)
    : FConfig(config), FEvents(events) {
  FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TSipLine::~TSipLine() {
  Stop();
  if (FWakeFd >= 0)
    ::close(FWakeFd);
}

void TSipLine::Start() {
  if (FThread.joinable())
    return;
  {
    std::lock_guard lock(FLock);
    FStop = false;
  }
  FThread = std::thread([this] { Run(); });
}

void TSipLine::Stop() {
  if (!FThread.joinable())
    return;
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  Wake();
  FThread.join();
}

void TSipLine::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(FWakeFd, &one, sizeof one);
}

bool TSipLine::Reject(uint64_t call) {
  {
    std::lock_guard lock(FLock);
    if (!FRinging.count(call) || FStop)
      return false;
    FRejects.push_back(call);
  }
  Wake();
  return true;
}

std::vector<std::pair<uint64_t, TCallerIdInfo>> TSipLine::RingingCalls() const {
  std::lock_guard lock(FLock);
  return {FRinging.begin(), FRinging.end()};
}

bool TSipLine::InService() const {
  std::lock_guard lock(FLock);
  return FInService;
}

bool TSipLine::Settled() const {
  std::lock_guard lock(FLock);
  return FSettled;
}

std::string TSipLine::StateText() const {
  std::lock_guard lock(FLock);
  return FState;
}

void TSipLine::SetState(bool inService, const std::string& text) {
  bool changed = false;
  {
    std::lock_guard lock(FLock);
    changed = FInService != inService || FState != text;
    FInService = inService;
    FState = text;
  }
  if (changed) {
    TraceModem("sip:" + FConfig.Sip.User + "@" + HostForUri(FConfig.Sip.Host), '*', text);
    FEvents.OnLineState(inService, text);
  }
  // Only now: whoever waits for the first outcome finds it reported.
  std::lock_guard lock(FLock);
  FSettled = true;
}

void TSipLine::AddRinging(uint64_t call, const TCallerIdInfo& caller) {
  std::lock_guard lock(FLock);
  FRinging[call] = caller;
}

bool TSipLine::RemoveRinging(uint64_t call) {
  std::lock_guard lock(FLock);
  return FRinging.erase(call) != 0;
}

bool TSipLine::TakeCommands(std::vector<uint64_t>& rejects) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(FWakeFd, &count, sizeof count);
  std::lock_guard lock(FLock);
  rejects.swap(FRejects);
  return FStop;
}

void TSipLine::Run() {
  std::call_once(LibraryStarted, [] { LibraryError = libre_init(); });
  if (LibraryError || re_thread_init() != 0) {
    SetState(false, "not registered: the SIP stack cannot start");
    return;
  }
  {
    TSipAgent agent(*this);
    const auto onWake = [](int, void* arg) { static_cast<TSipAgent*>(arg)->OnWake(); };
    if (fd_listen(FWakeFd, FD_READ, onWake, &agent) != 0) {
      SetState(false, "not registered: the SIP stack cannot start");
    } else {
      agent.Begin();
      // A stop asked for before the loop ran is seen at its first turn.
      Wake();
      re_main(nullptr);
      fd_close(FWakeFd);
    }
  }
  {
    std::lock_guard lock(FLock);
    FRinging.clear();
    FRejects.clear();
    FInService = false;
  }
  re_thread_close();
}

} // namespace Telephony
