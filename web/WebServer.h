// WebServer: the web page's HTTP(S) server, over libmicrohttpd. It serves the page's built-in
// files, the API (WebApi.h) and the live event stream, and is an outlet of calls: the monitor
// hands it every call.
//
// Contract:
// - Start refuses without a password hash, with an address that cannot be bound, or with a
//   certificate or key that cannot be read or used; it says why. With CertFile and KeyFile it
//   serves HTTPS only.
// - Bounds: MaxConnections in all and PerAddress from one client address; a connection idle
//   for IdleSeconds is closed; headers live in ConnectionMemory bytes per connection (more is
//   refused by the library); a body of more than MaxBody bytes is refused with 413; at most
//   MaxStreams event streams (503 beyond). Each connection has a thread of its own, so a slow
//   client holds only its own thread, never the monitor's nor another client's.
// - Every answer carries the security headers (a Content-Security-Policy without inline
//   scripts or styles, nosniff, no referrer, no framing); API answers are never cached.
// - Deliver and SetLine are called from the monitor's thread and only queue and wake
//   (WebEvents.h). The stream sends "event: call" and "event: line" as they come and a
//   ": keep-alive" comment after KeepAliveMs without one. A stream ends (and frees its place)
//   within about a second once its session ends or its client closes the connection.
// - Stop (and the destructor) ends the streams and waits for the connection threads.
#pragma once

#include "calls/CallRecord.h"
#include "web/WebApi.h"
#include "web/WebEvents.h"
#include "web/WebSessions.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct MHD_Daemon;
struct MHD_Connection;

struct TWebServerOptions {
  std::string Address = "127.0.0.1"; // numeric IPv4 or IPv6
  uint16_t Port = 0;                 // 0 picks a free port (see BoundPort)
  std::string CertFile, KeyFile;     // PEM; both or none
  std::string PasswordHash;          // HashWebPassword's text
  TWebApiOptions Api;                // Secure is set by Start
  TWebSessionLimits Sessions;
  unsigned MaxConnections = 64;
  unsigned PerAddress = 16;
  unsigned IdleSeconds = 30;
  size_t ConnectionMemory = 32 * 1024;
  size_t MaxBody = 16 * 1024;
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

  TWebServerOptions FOptions;
  TWebSessions FSessions;
  TWebEvents FEvents;
  std::unique_ptr<TWebApi> FApi;
  std::unique_ptr<MHD_Daemon, TStopDaemon> FDaemon;
  std::string FCert, FKey; // must outlive the daemon
  uint16_t FBoundPort = 0;
  std::atomic<unsigned> FStreams{0};
  std::mutex FLogLock;
  std::string FLastLog;
};
