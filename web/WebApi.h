// WebApi: the HTTP API of the web page, apart from the transport: a request in, an answer
// out. The server (WebServer.h) turns connections into TWebRequest and sends TWebResponse.
//
// Contract:
// - POST /api/login takes {"password": ...}; every other /api/ route needs the session
//   cookie (401 without a live one) and every other POST or DELETE also the X-CSRF-Token
//   header of that session (403). Errors are {"error": text} with their status.
// - Calls come from the history file (a read-only connection per request, with the calls
//   that still wait to be written) or, without one, from the calls of this run in memory;
//   newest first, filtered and paged as asked. A parameter that is not what it should be is
//   400.
// - Contacts and the block list are changed through the files, as the call screen does (its
//   lock, atomic replace); the monitor's own screen reads them again when they change.
// - Every text that came from the telephone line or a file is cleaned of control characters
//   and bad UTF-8 and sent as a JSON string: the page shows it as text.
// - Thread-safe: the server's connection threads call Handle at once.
#pragma once

#include "calls/CallScreen.h"
#include "calls/HistoryStore.h"
#include "web/WebEvents.h"
#include "web/WebSessions.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct TWebRequest {
  std::string Method;
  std::string Path; // decoded, without the query
  std::map<std::string, std::string> Query;
  std::string Body;
  std::string ContentType;
  std::string Session;   // the session cookie's value
  std::string Csrf;      // the X-CSRF-Token header
  std::string Address;   // the client's address, as its group (WebClients.h: ClientGroup)
  std::string Host;      // the Host header
  std::string Origin;    // the Origin header
  std::string FetchSite; // the Sec-Fetch-Site header
};

struct TWebResponse {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  std::vector<std::pair<std::string, std::string>> Headers;
};

inline constexpr const char* SessionCookie = "ringlet_session";
inline constexpr size_t DefaultCallLimit = 50;
inline constexpr size_t MaxCallLimit = 500;

struct TWebApiOptions {
  std::string HistoryPath; // "" for none: the calls of this run
  // The history with the calls still waiting to be written (THistoryWriter::Read); unset, the
  // file at HistoryPath is read.
  std::function<std::vector<TCallRecord>(const THistoryQuery&)> ReadHistory;
  TScreenFiles Files;
  const TCountryRule* Country = &DefaultCountry();
  bool Secure = false; // served over TLS: the cookie gets Secure
};

class TWebApi {
public:
  TWebApi(TWebApiOptions Options, TWebSessions& Sessions, TWebEvents& Events);

  TWebResponse Handle(const TWebRequest& Request);
  // Whether Request may open the event stream; else Refusal is the answer.
  bool MayListen(const TWebRequest& Request, TWebResponse& Refusal);
  // One event in the stream's form, ending in a blank line.
  std::string EventText(const TWebEvent& Event);

private:
  TWebResponse Route(const TWebRequest& Request);
  TWebResponse Login(const TWebRequest& Request);
  TWebResponse Session(const TWebRequest& Request);
  TWebResponse Logout(const TWebRequest& Request);
  TWebResponse Calls(const TWebRequest& Request);
  TWebResponse Csv(const TWebRequest& Request);
  TWebResponse Lines();
  TWebResponse AddContact(const TWebRequest& Request);
  TWebResponse Block(const TWebRequest& Request);
  TWebResponse Unblock(const std::string& Number);

  // The matching calls, newest last; false with Why when the history cannot be read.
  bool ReadCalls(const THistoryQuery& Query, std::vector<TCallRecord>& Calls, std::string& Why);
  std::string CallJson(const TCallRecord& Call, bool Live);
  std::string Cookie(const std::string& Value, long MaxAge) const;

  const TWebApiOptions FOptions;
  TWebSessions& FSessions;
  TWebEvents& FEvents;
  std::mutex FScreenLock;
  TCallScreen FScreen; // for the files only; FScreenLock held
};

// Parses the query parameters since, until, q, limit, offset; false with Why for a bad one.
// WithLimit false: no limit unless one is given.
bool ParseCallQuery(const std::map<std::string, std::string>& Parameters, bool WithLimit,
                    THistoryQuery& Query, std::string& Why);
