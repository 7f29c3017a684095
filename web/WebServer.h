// WebServer: the web page's HTTP(S) server, over libmicrohttpd. It serves the page's built-in
// files, the API (WebApi.h) and the live event stream, and is an outlet of calls: the monitor
// hands it every call.
//
// Contract:
// - Start refuses without a password hash, with an address that cannot be bound, or with a
//   certificate or key that cannot be used: not a regular file, larger than MaxPemBytes, not
//   PEM, or a key of another certificate; it says why. With CertFile and KeyFile it serves
//   HTTPS only, with suites of forward secrecy only (ECDHE or DHE key exchange, TLS 1.2 and
//   1.3), and tells browsers to keep to HTTPS (Strict-Transport-Security).
// - Bounds: MaxConnections in all and PerAddress from one client (an IPv4 address, an IPv6
//   /64: WebClients.h); a request must arrive whole, headers and body, within RequestSeconds
//   of the connection's opening or of the answer before it, else its connection is dropped;
//   when the places are taken, the connection that has waited longest for its request makes
//   room for a new one, so slow clients cannot shut the page. A connection idle for
//   IdleSeconds is closed; headers live in ConnectionMemory bytes per connection (more is
//   refused by the library); a body of more than MaxBody bytes is refused with 413; at most
//   MaxStreams event streams (503 beyond). Each connection has a thread of its own, so a slow
//   client holds only its own thread, never the monitor's nor another client's.
// - Every request is admitted as WebGuard.h says (the Host, the origin of a write, JSON
//   bodies) before anything else; Hosts are the names it answers to besides its addresses
//   and localhost.
// - With PasswordFile and ReadPasswordHash, the file is looked at every second; when it
//   changed, ReadPasswordHash gives the hash in force from then on, and a new hash ends every
//   session (WebSessions.h).
// - Every answer carries the security headers (a Content-Security-Policy without inline
//   scripts or styles, nosniff, no referrer, no framing); API answers are never cached.
// - Deliver and SetLine are called from the monitor's thread and only queue and wake
//   (WebEvents.h). The stream sends "event: call" and "event: line" as they come and a
//   ": keep-alive" comment after KeepAliveMs without one. A stream ends (and frees its place)
//   within about a second once its session ends or its client closes the connection.
// - Stop (and the destructor) ends the streams and waits for the connection threads and the
//   server's own housekeeping thread.
#pragma once

#include "calls/CallRecord.h"
#include "web/WebApi.h"
#include "web/WebClients.h"
#include "web/WebEvents.h"
#include "web/WebSessions.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

// The largest certificate or key file read: a chain of certificates is a few kilobytes.
inline constexpr size_t MaxPemBytes = 1 << 20;

struct TWebServerOptions {
  std::string Address = "127.0.0.1"; // numeric IPv4 or IPv6
  uint16_t Port = 0;                 // 0 picks a free port (see BoundPort)
  std::string CertFile, KeyFile;     // PEM; both or none
  std::string PasswordHash;          // HashWebPassword's text
  std::string PasswordFile;          // where the hash is kept; "" when it is not followed
  std::function<std::string()> ReadPasswordHash; // the hash in PasswordFile now
  std::vector<std::string> Hosts;                // names besides the addresses and localhost
  TWebApiOptions Api;                            // Secure is set by Start
  TWebSessionLimits Sessions;
  unsigned MaxConnections = 64;
  unsigned PerAddress = 16;
  unsigned RequestSeconds = 10;
  unsigned IdleSeconds = 30;
  size_t ConnectionMemory = size_t{32} * 1024;
  size_t MaxBody = size_t{16} * 1024;
  unsigned MaxStreams = 8;
  int KeepAliveMs = 15000;
};

class TWebServer : public TCallOutlet {
public:
  explicit TWebServer(TWebServerOptions Options);
  ~TWebServer() override;
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

  // "" on success, else why the server cannot run.
  std::string Start();
  void Stop();
  uint16_t BoundPort() const { return FBoundPort; }

  void Deliver(const TCallRecord& Call) override;
  // State: "watching", "lost" or "stopped".
  void SetLine(const std::string& Name, const std::string& State);

private:
  struct TStopDaemon {
    void operator()(MHD_Daemon* Daemon) const;
  };

  // The library's callbacks, in WebServer.cpp.
  struct TCallbacks;
  friend struct TCallbacks;

  // The request of a connection whose body is in.
  TWebRequest MakeRequest(MHD_Connection* Connection, const std::string& Url,
                          const std::string& Method, std::string Body) const;
  std::string ReadTls(std::string& Cert, std::string& Key) const;
  std::string LastLog();

  // The places of the connections (WebClients.h), from the library's threads.
  void Opened(MHD_Connection* Connection);
  void Arrived(MHD_Connection* Connection);
  void Waiting(MHD_Connection* Connection);
  void Closed(MHD_Connection* Connection);
  // Ends a connection from outside its thread: its thread sees the end and closes it.
  void Drop(TWebClients::TId Id); // FClientsLock held

  // The housekeeping thread: overdue requests, and the password file.
  void Keep();
  void FollowPassword();

  TWebServerOptions FOptions;
  TWebSessions FSessions;
  TWebEvents FEvents;
  std::unique_ptr<TWebApi> FApi;
  std::mutex FClientsLock;
  TWebClients FClients;                     // FClientsLock held
  std::map<TWebClients::TId, int> FSockets; // a copy of each one's socket; FClientsLock held
  std::unique_ptr<MHD_Daemon, TStopDaemon> FDaemon;
  std::string FCert, FKey; // must outlive the daemon
  uint16_t FBoundPort = 0;
  std::atomic<unsigned> FStreams{0};
  std::mutex FLogLock;
  std::string FLastLog;
  std::mutex FKeeperLock;
  std::condition_variable FKeeperWake;
  bool FKeeperStop = false; // FKeeperLock held
  std::thread FKeeper;
  std::string FPasswordHash;  // the keeper's
  std::string FPasswordStamp; // the keeper's: the password file's as last seen
};
