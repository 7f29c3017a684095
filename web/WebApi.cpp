// The web page's HTTP API. See WebApi.h.
#include "web/WebApi.h"

#include "calls/History.h"
#include "calls/HistoryFormat.h"
#include "platform/Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace {

using TJson = nlohmann::json;

// Texts are cleaned before they go in, so the replacement handler is only a safety net.
std::string Dump(const TJson& Value) {
  return Value.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

TWebResponse Json(int Status, const TJson& Value) {
  TWebResponse Response;
  Response.Status = Status;
  Response.Body = Dump(Value);
  return Response;
}

TWebResponse Error(int Status, const std::string& Text) {
  return Json(Status, {{"error", Text}});
}

TWebResponse NoContent(int Status) {
  TWebResponse Response;
  Response.Status = Status;
  Response.ContentType.clear();
  return Response;
}

bool Writing(const TWebRequest& Request) {
  return Request.Method == "POST" || Request.Method == "DELETE";
}

// The body as a JSON object with the string members Names; false when it is not one.
bool ReadObject(const TWebRequest& Request, const std::vector<const char*>& Names,
                std::vector<std::string>& Values) {
  const TJson Body = TJson::parse(Request.Body, nullptr, false);
  if (Body.is_discarded() || !Body.is_object())
    return false;
  Values.clear();
  for (const char* Name : Names) {
    const auto Member = Body.find(Name);
    if (Member == Body.end() || !Member->is_string())
      return false;
    Values.push_back(Member->get<std::string>());
  }
  return true;
}

// A day "YYYY-MM-DD" as the local midnight that begins it (Days later); false for text that
// is no day of the calendar ("2026-02-30" included).
bool ParseDay(const std::string& Text, int Days, std::time_t& Moment) {
  if (Text.size() != 10 || Text[4] != '-' || Text[7] != '-')
    return false;
  for (size_t I : {0, 1, 2, 3, 5, 6, 8, 9})
    if (!std::isdigit(static_cast<unsigned char>(Text[I])))
      return false;
  std::tm Day{};
  Day.tm_year = std::stoi(Text.substr(0, 4)) - 1900;
  Day.tm_mon = std::stoi(Text.substr(5, 2)) - 1;
  Day.tm_mday = std::stoi(Text.substr(8, 2));
  Day.tm_isdst = -1;
  std::tm Checked = Day;
  if (std::mktime(&Checked) == static_cast<std::time_t>(-1) || Checked.tm_mday != Day.tm_mday ||
      Checked.tm_mon != Day.tm_mon)
    return false;
  Day.tm_mday += Days;
  Moment = std::mktime(&Day);
  return Moment != static_cast<std::time_t>(-1);
}

// Says Text in Why; false, for the caller to return.
bool Refuse(std::string& Why, const std::string& Text) {
  Why = Text;
  return false;
}

bool ParseCount(const std::string& Text, size_t& Count) {
  if (Text.empty() || Text.size() > 9 || Text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  Count = std::stoul(Text);
  return true;
}

std::string Parameter(const std::map<std::string, std::string>& Parameters, const char* Name,
                      bool& Given) {
  const auto Found = Parameters.find(Name);
  Given = Found != Parameters.end() && !Found->second.empty();
  return Given ? Found->second : "";
}

bool Contains(const std::string& Text, const std::string& Part) {
  const auto Lower = [](unsigned char C) { return static_cast<char>(std::tolower(C)); };
  std::string A(Text), B(Part);
  std::transform(A.begin(), A.end(), A.begin(), Lower);
  std::transform(B.begin(), B.end(), B.begin(), Lower);
  return A.find(B) != std::string::npos;
}

// Whether a call of this run meets the query's filters (as the history file's query does).
bool Matches(const TCallRecord& Call, const THistoryQuery& Query) {
  if (Query.Since && Call.Moment < *Query.Since)
    return false;
  if (Query.Until && Call.Moment >= *Query.Until)
    return false;
  return Query.Text.empty() || Call.Number.find(Query.Text) != std::string::npos ||
         Contains(Call.Name, Query.Text);
}

// Pages the calls of this run, newest last, as the history file's query does.
std::vector<TCallRecord> PageOf(const std::vector<TCallRecord>& All, const THistoryQuery& Query) {
  std::vector<TCallRecord> Found;
  for (const TCallRecord& Call : All)
    if (Matches(Call, Query))
      Found.push_back(Call);
  const size_t End = Found.size() - std::min(Found.size(), Query.Offset);
  const size_t Begin = Query.Limit == 0 ? 0 : End - std::min(End, Query.Limit);
  return {Found.begin() + static_cast<long>(Begin), Found.begin() + static_cast<long>(End)};
}

// A cell a spreadsheet would take for a formula is kept as text.
std::string SpreadsheetSafe(const std::string& Text) {
  return !Text.empty() && std::string("=+-@").find(Text.front()) != std::string::npos ? "'" + Text
                                                                                      : Text;
}

} // namespace

bool ParseCallQuery(const std::map<std::string, std::string>& Parameters, bool WithLimit,
                    THistoryQuery& Query, std::string& Why) {
  bool Given = false;
  std::time_t Moment = 0;
  if (const std::string Since = Parameter(Parameters, "since", Given); Given) {
    if (!ParseDay(Since, 0, Moment))
      return Refuse(Why, "since must be a day, YYYY-MM-DD");
    Query.Since = Moment;
  }
  if (const std::string Until = Parameter(Parameters, "until", Given); Given) {
    if (!ParseDay(Until, 1, Moment))
      return Refuse(Why, "until must be a day, YYYY-MM-DD");
    Query.Until = Moment;
  }
  Query.Text = CleanText(Parameter(Parameters, "q", Given)).substr(0, MaxHistoryText);
  Query.Limit = WithLimit ? DefaultCallLimit : 0;
  if (const std::string Limit = Parameter(Parameters, "limit", Given); Given) {
    if (!ParseCount(Limit, Query.Limit) || Query.Limit == 0 || Query.Limit > MaxCallLimit)
      return Refuse(Why, "limit must be a number from 1 to " + std::to_string(MaxCallLimit));
  }
  if (const std::string Offset = Parameter(Parameters, "offset", Given); Given) {
    if (!ParseCount(Offset, Query.Offset))
      return Refuse(Why, "offset must be a number");
  }
  return true;
}

TWebApi::TWebApi(TWebApiOptions Options, TWebSessions& Sessions, TWebEvents& Events)
    : FOptions(std::move(Options)), FSessions(Sessions), FEvents(Events),
      FScreen(FOptions.Files, *FOptions.Country) {}

TWebResponse TWebApi::Handle(const TWebRequest& Request) {
  if (Request.Path == "/api/login")
    return Request.Method == "POST" ? Login(Request) : Error(405, "use POST");
  TWebResponse Refusal;
  if (!MayListen(Request, Refusal))
    return Refusal;
  if (Writing(Request) && !FSessions.CsrfMatches(Request.Session, Request.Csrf, std::time(nullptr)))
    return Error(403, "the X-CSRF-Token header is missing or wrong");
  return Route(Request);
}

bool TWebApi::MayListen(const TWebRequest& Request, TWebResponse& Refusal) {
  if (!FSessions.Csrf(Request.Session, std::time(nullptr)).empty())
    return true;
  Refusal = Error(401, "log in first");
  return false;
}

TWebResponse TWebApi::Route(const TWebRequest& Request) {
  const std::string& Path = Request.Path;
  const bool Get = Request.Method == "GET", Post = Request.Method == "POST";
  if (Path == "/api/session" && Get)
    return Session(Request);
  if (Path == "/api/logout" && Post)
    return Logout(Request);
  if (Path == "/api/calls" && Get)
    return Calls(Request);
  if (Path == "/api/history.csv" && Get)
    return Csv(Request);
  if (Path == "/api/lines" && Get)
    return Lines();
  if (Path == "/api/contacts" && Post)
    return AddContact(Request);
  if (Path == "/api/block" && Post)
    return Block(Request);
  const std::string BlockPrefix = "/api/block/";
  if (Path.rfind(BlockPrefix, 0) == 0 && Request.Method == "DELETE")
    return Unblock(Path.substr(BlockPrefix.size()));
  return Error(404, "there is no such API call");
}

std::string TWebApi::Cookie(const std::string& Value, long MaxAge) const {
  return std::string(SessionCookie) + "=" + Value +
         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(MaxAge) +
         (FOptions.Secure ? "; Secure" : "");
}

TWebResponse TWebApi::Login(const TWebRequest& Request) {
  std::vector<std::string> Values;
  if (!ReadObject(Request, {"password"}, Values))
    return Error(400, "send {\"password\": \"...\"}");
  std::string Session, Csrf;
  long Retry = 0;
  switch (FSessions.Login(Request.Address, Values[0], std::time(nullptr), Session, Csrf, Retry)) {
  case ltThrottled: {
    TWebResponse Response = Error(429, "too many wrong passwords; wait a moment");
    Response.Headers.emplace_back("Retry-After", std::to_string(std::max(Retry, 1L)));
    return Response;
  }
  case ltWrong:
    return Error(401, "wrong password");
  case ltOk:
    break;
  }
  TWebResponse Response = Json(200, {{"csrf", Csrf}});
  Response.Headers.emplace_back("Set-Cookie", Cookie(Session, FSessions.SessionSeconds()));
  return Response;
}

TWebResponse TWebApi::Session(const TWebRequest& Request) {
  return Json(200, {{"csrf", FSessions.Csrf(Request.Session, std::time(nullptr))}});
}

TWebResponse TWebApi::Logout(const TWebRequest& Request) {
  FSessions.Logout(Request.Session);
  TWebResponse Response = NoContent(204);
  Response.Headers.emplace_back("Set-Cookie", Cookie("", 0));
  return Response;
}

bool TWebApi::ReadCalls(const THistoryQuery& Query, std::vector<TCallRecord>& Calls,
                        std::string& Why) {
  if (FOptions.HistoryPath.empty()) {
    Calls = PageOf(FEvents.Recent(), Query);
    return true;
  }
  try {
    Calls = FOptions.ReadHistory ? FOptions.ReadHistory(Query)
                                 : THistoryReader(FOptions.HistoryPath).Read(Query);
    return true;
  } catch (const EHistory& Failure) {
    Why = Failure.what();
    return false;
  }
}

std::string TWebApi::CallJson(const TCallRecord& Call, bool Live) {
  TCallRecord Now = Call;
  bool NumberBlocked = false;
  {
    const std::lock_guard Guard(FScreenLock);
    FScreen.Screen(Now);
    NumberBlocked = Call.NumberAbsent == abNone && FScreen.NumberBlocked(Call.Number);
  }
  TJson Value = {{"id", Live ? 0 : static_cast<int64_t>(Call.HistoryId)},
                 {"moment", static_cast<int64_t>(Call.Moment)},
                 {"utc", Platform::UtcText(Call.Moment)},
                 {"time", CleanText(Call.Time)},
                 {"line", CleanText(Call.Line)},
                 {"number", CleanText(Call.Number)},
                 {"name", CleanText(Call.Name)},
                 {"numberAbsent", AbsenceWord(Call.NumberAbsent)},
                 {"nameAbsent", AbsenceWord(Call.NameAbsent)},
                 {"shownNumber", CleanText(Call.ID)},
                 {"shownName", CleanText(Call.IDName)},
                 {"contact", CleanText(Now.Contact)},
                 {"blocked", Call.Blocked},
                 {"numberBlocked", NumberBlocked}};
  if (Live)
    Value["key"] = std::to_string(Call.CallKey);
  return Dump(Value);
}

TWebResponse TWebApi::Calls(const TWebRequest& Request) {
  THistoryQuery Query;
  std::string Why;
  if (!ParseCallQuery(Request.Query, true, Query, Why))
    return Error(400, Why);
  const size_t Limit = Query.Limit;
  ++Query.Limit; // one more tells whether there are more
  std::vector<TCallRecord> Found;
  if (!ReadCalls(Query, Found, Why))
    return Error(500, Why);
  const bool More = Found.size() > Limit;
  if (More)
    Found.erase(Found.begin());
  std::string Body = "{\"calls\":[";
  for (auto Call = Found.rbegin(); Call != Found.rend(); ++Call)
    Body += (Call == Found.rbegin() ? "" : ",") + CallJson(*Call, FOptions.HistoryPath.empty());
  Body += "],\"offset\":" + std::to_string(Query.Offset) + ",\"limit\":" + std::to_string(Limit) +
          ",\"more\":" + (More ? "true" : "false") + "}";
  TWebResponse Response;
  Response.Body = std::move(Body);
  return Response;
}

TWebResponse TWebApi::Csv(const TWebRequest& Request) {
  THistoryQuery Query;
  std::string Why;
  if (!ParseCallQuery(Request.Query, false, Query, Why))
    return Error(400, Why);
  std::vector<TCallRecord> Found;
  if (!ReadCalls(Query, Found, Why))
    return Error(500, Why);
  TWebResponse Response;
  Response.ContentType = "text/csv; charset=utf-8";
  Response.Headers.emplace_back("Content-Disposition",
                                "attachment; filename=\"ringlet-calls.csv\"");
  Response.Body = FormatHistoryHeader(fmCsv);
  for (auto Call = Found.rbegin(); Call != Found.rend(); ++Call) {
    TCallRecord Safe = *Call;
    for (std::string* Text : {&Safe.Time, &Safe.Line, &Safe.Number, &Safe.Name, &Safe.Contact})
      *Text = SpreadsheetSafe(CleanText(*Text));
    Response.Body += FormatHistoryCall(Safe, fmCsv);
  }
  return Response;
}

TWebResponse TWebApi::Lines() {
  TJson List = TJson::array();
  for (const TWebLine& Line : FEvents.Lines())
    List.push_back({{"name", CleanText(Line.Name)}, {"state", Line.State}});
  return Json(200, {{"lines", List}});
}

TWebResponse TWebApi::AddContact(const TWebRequest& Request) {
  std::vector<std::string> Values;
  if (!ReadObject(Request, {"name", "number"}, Values))
    return Error(400, "send {\"name\": \"...\", \"number\": \"...\"}");
  if (!PlainNumber(Values[1]))
    return Error(400, "that is not a telephone number");
  if (CleanName(Values[0]).empty())
    return Error(400, "the name is empty");
  const std::lock_guard Guard(FScreenLock);
  const std::string Why = FScreen.AddContact(Values[0], Values[1]);
  return Why.empty() ? Json(201, {{"ok", true}}) : Error(500, CleanText(Why));
}

TWebResponse TWebApi::Block(const TWebRequest& Request) {
  std::vector<std::string> Values;
  if (!ReadObject(Request, {"number"}, Values))
    return Error(400, "send {\"number\": \"...\"}");
  if (!PlainNumber(Values[0]))
    return Error(400, "that is not a telephone number");
  const std::lock_guard Guard(FScreenLock);
  if (FScreen.NumberBlocked(Values[0]))
    return Json(200, {{"ok", true}});
  const std::string Why = FScreen.BlockNumber(Values[0]);
  return Why.empty() ? Json(201, {{"ok", true}}) : Error(500, CleanText(Why));
}

TWebResponse TWebApi::Unblock(const std::string& Number) {
  if (!PlainNumber(Number))
    return Error(400, "that is not a telephone number");
  bool Found = false;
  const std::lock_guard Guard(FScreenLock);
  const std::string Why = FScreen.UnblockNumber(Number, Found);
  if (!Why.empty())
    return Error(500, CleanText(Why));
  return Found ? NoContent(204) : Error(404, "the number is not on the block list");
}

std::string TWebApi::EventText(const TWebEvent& Event) {
  if (Event.Kind == wkLine)
    return "event: line\ndata: " + Dump({{"name", CleanText(Event.Line)}, {"state", Event.State}}) +
           "\n\n";
  return "event: call\ndata: " + CallJson(Event.Call, true) + "\n\n";
}
