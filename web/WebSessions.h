// WebSessions: who may use the web page. The password is kept only as a slow, salted hash;
// a login opens a session (a random cookie value and a random CSRF token), and failed logins
// slow down the address they come from.
//
// Contract:
// - HashWebPassword makes the text stored in the settings (Argon2id through libsodium, with
//   its own salt and cost in the text); CheckWebPasswordHash says whether a stored text is
//   such a hash. Verifying takes a noticeable time and memory on purpose; only one runs at
//   a time, so parallel guesses cannot multiply either.
// - Login: a client address with Failures in a row waits 2^(failures - FreeFailures) seconds
//   (at most MaxDelaySeconds) before its next attempt is even checked (ltThrottled, with the
//   seconds left); a success clears its record. Attempts are taken one at a time, so guesses
//   sent at once are held back like guesses sent one after another. The table of addresses
//   is bounded.
// - Failures of all addresses together are counted too, one forgotten every
//   GlobalDrainSeconds: while GlobalFreeFailures of them are remembered, no attempt is
//   checked (ltThrottled) except from an address a login has succeeded from (the last
//   MaxKnownAddresses of them), so that guesses spread over many addresses are slowed as
//   much as guesses from one. Sessions are never touched by it.
// - SetPasswordHash puts a new hash in force at once and ends every session; an attempt
//   checked against the old hash while it changed opens none.
// - A session lives SessionSeconds from its login; at most MaxSessions live at once (the
//   oldest goes). Tokens are 32 random bytes in hex; sessions are found by a hash of the
//   cookie's value and CSRF tokens compared in constant time.
// - Thread-safe: the server's connection threads call it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <string>

// "" when libsodium cannot be used or the password is empty.
std::string HashWebPassword(const std::string& Password);
bool CheckWebPasswordHash(const std::string& Hash);

enum TLoginResult { ltOk, ltWrong, ltThrottled };

struct TWebSessionLimits {
  long SessionSeconds = 43200;
  size_t MaxSessions = 64;
  unsigned FreeFailures = 3;
  long MaxDelaySeconds = 300;
  size_t MaxAddresses = 4096;
  unsigned GlobalFreeFailures = 20;
  long GlobalDrainSeconds = 30;
  size_t MaxKnownAddresses = 64;
};

class TWebSessions {
public:
  explicit TWebSessions(std::string PasswordHash, TWebSessionLimits Limits = {});

  // On ltOk fills Session and Csrf; on ltThrottled fills RetrySeconds.
  TLoginResult Login(const std::string& Address, const std::string& Password, std::time_t Now,
                     std::string& Session, std::string& Csrf, long& RetrySeconds);
  // The CSRF token of a live session, "" when Session is none.
  std::string Csrf(const std::string& Session, std::time_t Now);
  bool CsrfMatches(const std::string& Session, const std::string& Token, std::time_t Now);
  void Logout(const std::string& Session);
  long SessionSeconds() const { return FLimits.SessionSeconds; }
  void SetPasswordHash(const std::string& Hash);

private:
  struct TSession {
    std::string Csrf;
    std::time_t Expires = 0;
  };
  struct TFailures {
    unsigned Count = 0;
    std::time_t Until = 0; // no attempt is checked before this
  };

  // FLock held by these.
  bool Throttled(const std::string& Address, std::time_t Now, long& RetrySeconds);
  // Forgets the failures of all addresses that their time has passed for.
  void DrainFailures(std::time_t Now);
  void Failed(const std::string& Address, std::time_t Now);
  void Known(const std::string& Address);
  void Open(std::time_t Now, std::string& Session, std::string& Csrf);
  // The live session's entry, nullptr when none; drops it when expired. FLock held.
  TSession* Live(const std::string& Session, std::time_t Now);

  const TWebSessionLimits FLimits;
  std::mutex FLock;
  std::mutex FVerifyLock; // one login attempt (a slow verification) at a time
  std::string FHash;      // FLock held
  std::map<std::string, TSession> FSessions;
  std::map<std::string, TFailures> FFailures;
  unsigned FAllFailures = 0;        // of all addresses, not yet forgotten
  std::time_t FAllFailuresMark = 0; // when the next one is forgotten, less GlobalDrainSeconds
  std::deque<std::string> FKnown;   // addresses a login succeeded from, the latest last
};

// 32 random bytes as 64 hex digits.
std::string RandomToken();
