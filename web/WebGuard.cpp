// What a request must show before it is answered. See WebGuard.h.
#include "web/WebGuard.h"

#include "platform/Text.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Text;
}

// Whether Name (from a Host header, without its port) is an address in numbers.
bool Numeric(const std::string& Name) {
  unsigned char Address[16];
  if (Name.size() > 2 && Name.front() == '[' && Name.back() == ']')
    return inet_pton(AF_INET6, Name.substr(1, Name.size() - 2).c_str(), Address) == 1;
  return inet_pton(AF_INET, Name.c_str(), Address) == 1;
}

// The name of a Host header without its port, in lower case, without a final dot.
std::string HostName(const std::string& Host) {
  std::string Name =
      Host.front() == '[' ? Host.substr(0, Host.find(']') + 1) : Host.substr(0, Host.find(':'));
  Name = Lower(Name);
  if (!Name.empty() && Name.back() == '.')
    Name.pop_back();
  return Name;
}

bool KnownHost(const std::string& Host, const std::vector<std::string>& Hosts) {
  if (Host.empty() || (Host.front() == '[' && Host.find(']') == std::string::npos))
    return false;
  const std::string Name = HostName(Host);
  if (Name.empty())
    return false;
  return Numeric(Name) || Name == "localhost" ||
         std::any_of(Hosts.begin(), Hosts.end(),
                     [&Name](const std::string& Known) { return Lower(Known) == Name; });
}

bool FromThisPage(const TWebRequest& Request, bool Secure) {
  const bool OwnOrigin =
      Request.Origin.empty() ||
      Lower(Request.Origin) == Lower((Secure ? "https://" : "http://") + Request.Host);
  const std::string Site = Lower(Request.FetchSite);
  return OwnOrigin && (Site.empty() || Site == "same-origin" || Site == "none");
}

bool Json(const std::string& ContentType) {
  return Lower(std::string(Platform::Trim(ContentType.substr(0, ContentType.find(';'))))) ==
         "application/json";
}

bool Refuse(TWebResponse& Refusal, int Status, const char* Text) {
  Refusal = {};
  Refusal.Status = Status;
  Refusal.Body = nlohmann::json{{"error", Text}}.dump();
  return false;
}

} // namespace

bool AdmitWebRequest(const TWebRequest& Request, const std::vector<std::string>& Hosts, bool Secure,
                     TWebResponse& Refusal) {
  if (!KnownHost(Request.Host, Hosts))
    return Refuse(Refusal, 421, "this server does not answer to that name");
  const bool Login = Request.Path == "/api/login" && Request.Method == "POST";
  if (Request.Method != "GET" && Request.Method != "HEAD" && !FromThisPage(Request, Secure))
    return Refuse(Refusal, 403, "requests from another site are refused");
  if ((!Request.Body.empty() || Login) && !Json(Request.ContentType))
    return Refuse(Refusal, 415, "send the body as application/json");
  return true;
}
