// The web page's password and sessions. See WebSessions.h.
#include "web/WebSessions.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace {

bool SodiumReady() {
  static const bool Ready = sodium_init() >= 0;
  return Ready;
}

// Constant-time comparison of two tokens of the same form.
bool SameToken(const std::string& A, const std::string& B) {
  return A.size() == B.size() && !A.empty() && sodium_memcmp(A.data(), B.data(), A.size()) == 0;
}

} // namespace

std::string HashWebPassword(const std::string& Password) {
  if (Password.empty() || !SodiumReady())
    return "";
  char Hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(Hash, Password.data(), Password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    return "";
  return Hash;
}

bool CheckWebPasswordHash(const std::string& Hash) {
  return Hash.size() < crypto_pwhash_STRBYTES && Hash.rfind(crypto_pwhash_STRPREFIX, 0) == 0;
}

// What the session table keys on: a hash of the cookie's value, so that the time a look-up
// takes tells nothing about the values of live sessions.
std::string TokenKey(const std::string& Token) {
  unsigned char Hash[crypto_generichash_BYTES];
  if (crypto_generichash(Hash, sizeof Hash, reinterpret_cast<const unsigned char*>(Token.data()),
                         Token.size(), nullptr, 0) != 0)
    throw std::runtime_error("libsodium cannot hash a session");
  return std::string(reinterpret_cast<char*>(Hash), sizeof Hash);
}

std::string RandomToken() {
  if (!SodiumReady())
    throw std::runtime_error("libsodium cannot be initialised");
  unsigned char Bytes[32];
  randombytes_buf(Bytes, sizeof Bytes);
  char Hex[sizeof Bytes * 2 + 1];
  sodium_bin2hex(Hex, sizeof Hex, Bytes, sizeof Bytes);
  return Hex;
}

TWebSessions::TWebSessions(std::string PasswordHash, TWebSessionLimits Limits)
    : FLimits(Limits), FHash(std::move(PasswordHash)) {}

TLoginResult TWebSessions::Login(const std::string& Address, const std::string& Password,
                                 std::time_t Now, std::string& Session, std::string& Csrf,
                                 long& RetrySeconds) {
  // The whole attempt under the verification lock: guesses sent at once from one address
  // each see the failures of those before them.
  const std::lock_guard Verify(FVerifyLock);
  std::string Hash;
  {
    const std::lock_guard Guard(FLock);
    if (Throttled(Address, Now, RetrySeconds))
      return ltThrottled;
    Hash = FHash;
  }
  const bool Right = CheckWebPasswordHash(Hash) && SodiumReady() &&
                     crypto_pwhash_str_verify(Hash.c_str(), Password.data(), Password.size()) == 0;
  const std::lock_guard Guard(FLock);
  if (!Right || Hash != FHash) {
    Failed(Address, Now);
    return ltWrong;
  }
  FFailures.erase(Address);
  Known(Address);
  Open(Now, Session, Csrf);
  return ltOk;
}

void TWebSessions::SetPasswordHash(const std::string& Hash) {
  const std::lock_guard Guard(FLock);
  FHash = Hash;
  FSessions.clear();
}

bool TWebSessions::Throttled(const std::string& Address, std::time_t Now, long& RetrySeconds) {
  DrainFailures(Now);
  const bool Trusted = std::find(FKnown.begin(), FKnown.end(), Address) != FKnown.end();
  if (FAllFailures >= FLimits.GlobalFreeFailures && !Trusted) {
    RetrySeconds =
        std::max(1L, static_cast<long>(FAllFailuresMark + FLimits.GlobalDrainSeconds - Now));
    return true;
  }
  const auto Found = FFailures.find(Address);
  if (Found == FFailures.end() || Found->second.Until <= Now)
    return false;
  RetrySeconds = static_cast<long>(Found->second.Until - Now);
  return true;
}

void TWebSessions::DrainFailures(std::time_t Now) {
  if (FAllFailures == 0)
    FAllFailuresMark = Now;
  if (FAllFailures == 0 || Now < FAllFailuresMark)
    return;
  const std::time_t Drain = std::max(1L, FLimits.GlobalDrainSeconds);
  const std::time_t Steps = (Now - FAllFailuresMark) / Drain;
  FAllFailures -= static_cast<unsigned>(std::min<std::time_t>(Steps, FAllFailures));
  FAllFailuresMark = FAllFailures == 0 ? Now : FAllFailuresMark + Steps * Drain;
}

void TWebSessions::Known(const std::string& Address) {
  const auto Found = std::find(FKnown.begin(), FKnown.end(), Address);
  if (Found != FKnown.end())
    FKnown.erase(Found);
  else if (FKnown.size() >= FLimits.MaxKnownAddresses && !FKnown.empty())
    FKnown.pop_front();
  FKnown.push_back(Address);
}

void TWebSessions::Failed(const std::string& Address, std::time_t Now) {
  DrainFailures(Now);
  ++FAllFailures;
  if (FFailures.size() >= FLimits.MaxAddresses && FFailures.count(Address) == 0) {
    // Forget the address whose wait ends first: it is the least held back anyway.
    const auto Oldest = std::min_element(FFailures.begin(), FFailures.end(), [](auto& A, auto& B) {
      return A.second.Until < B.second.Until;
    });
    FFailures.erase(Oldest);
  }
  TFailures& Record = FFailures[Address];
  ++Record.Count;
  if (Record.Count > FLimits.FreeFailures) {
    const unsigned Power = std::min(Record.Count - FLimits.FreeFailures - 1, 20u);
    Record.Until = Now + std::min(FLimits.MaxDelaySeconds, 1L << Power);
  }
}

void TWebSessions::Open(std::time_t Now, std::string& Session, std::string& Csrf) {
  for (auto It = FSessions.begin(); It != FSessions.end();)
    It = It->second.Expires <= Now ? FSessions.erase(It) : std::next(It);
  if (FSessions.size() >= FLimits.MaxSessions) {
    const auto Oldest = std::min_element(FSessions.begin(), FSessions.end(), [](auto& A, auto& B) {
      return A.second.Expires < B.second.Expires;
    });
    FSessions.erase(Oldest);
  }
  Session = RandomToken();
  Csrf = RandomToken();
  FSessions[TokenKey(Session)] = {Csrf, Now + FLimits.SessionSeconds};
}

TWebSessions::TSession* TWebSessions::Live(const std::string& Session, std::time_t Now) {
  if (Session.empty())
    return nullptr;
  const auto Found = FSessions.find(TokenKey(Session));
  if (Found == FSessions.end())
    return nullptr;
  if (Found->second.Expires <= Now) {
    FSessions.erase(Found);
    return nullptr;
  }
  return &Found->second;
}

std::string TWebSessions::Csrf(const std::string& Session, std::time_t Now) {
  const std::lock_guard Guard(FLock);
  const TSession* Entry = Live(Session, Now);
  return Entry != nullptr ? Entry->Csrf : "";
}

bool TWebSessions::CsrfMatches(const std::string& Session, const std::string& Token,
                               std::time_t Now) {
  const std::lock_guard Guard(FLock);
  const TSession* Entry = Live(Session, Now);
  return Entry != nullptr && SameToken(Entry->Csrf, Token);
}

void TWebSessions::Logout(const std::string& Session) {
  const std::lock_guard Guard(FLock);
  if (!Session.empty())
    FSessions.erase(TokenKey(Session));
}
