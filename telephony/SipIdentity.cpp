#include "telephony/SipIdentity.h"

#include "platform/PlainText.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

namespace Telephony {

namespace {

using Platform::Trim;

constexpr size_t MaxNumber = 32;
constexpr size_t MaxName = 64;

// One address of an identity header: its display name, URI and parameters.
struct TPartyAddress {
  std::string DisplayName;
  std::string Uri;
  std::string Params; // after the address, without the leading ';'
};

// What one address says about the caller.
struct TParty {
  std::string Number;
  std::string Name;
  bool NumberWithheld = false;
  bool NameWithheld = false;
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

// Splits a header value at commas outside quotes and angle brackets.
std::vector<std::string_view> SplitList(std::string_view value) {
  std::vector<std::string_view> items;
  bool quoted = false, escaped = false;
  int angle = 0;
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (escaped) {
      escaped = false;
    } else if (quoted) {
      if (c == '\\')
        escaped = true;
      else if (c == '"')
        quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      ++angle;
    } else if (c == '>') {
      angle = std::max(0, angle - 1);
    } else if (c == ',' && angle == 0) {
      items.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  items.push_back(value.substr(start));
  return items;
}

std::optional<TPartyAddress> ParseAddress(std::string_view text) {
  text = Trim(text);
  TPartyAddress address;
  if (!text.empty() && text.front() == '"') {
    size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size())
        ++i;
      address.DisplayName += text[i];
    }
    if (i >= text.size())
      return std::nullopt; // an unterminated quote: nothing in it can be trusted
    text.remove_prefix(i + 1);
  }
  const size_t open = text.find('<');
  if (open != std::string_view::npos) {
    const size_t close = text.find('>', open);
    if (close == std::string_view::npos)
      return std::nullopt;
    if (address.DisplayName.empty())
      address.DisplayName = std::string(Trim(text.substr(0, open)));
    address.Uri = std::string(Trim(text.substr(open + 1, close - open - 1)));
    std::string_view rest = Trim(text.substr(close + 1));
    if (!rest.empty() && rest.front() == ';')
      rest.remove_prefix(1);
    address.Params = std::string(rest);
  } else {
    // A bare address: what follows its first ';' belongs to the header, not the URI.
    const size_t semicolon = text.find(';');
    address.Uri = std::string(Trim(text.substr(0, semicolon)));
    if (semicolon != std::string_view::npos)
      address.Params = std::string(text.substr(semicolon + 1));
  }
  if (address.Uri.empty())
    return std::nullopt;
  return address;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A telephone number loses its visual separators; any other user name stays as it is.
std::string CleanNumber(const std::string& user) {
  const bool phone =
      !user.empty() && user.find_first_not_of("0123456789+*#-.() ") == std::string::npos;
  std::string out;
  for (unsigned char c : user) {
    if (phone && (c == '-' || c == '.' || c == '(' || c == ')' || c == ' '))
      continue;
    if (c > 0x20 && c < 0x7F && out.size() < MaxNumber)
      out += static_cast<char>(c);
  }
  return out;
}

// A name as a list shows it: no control characters, at most MaxName bytes, whole characters.
std::string CleanName(std::string_view name) {
  std::string out = Platform::StripControls(Trim(name));
  if (out.size() > MaxName) {
    size_t cut = MaxName;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
      --cut; // out[cut] continues a character: cut before that character starts
    out.erase(cut);
  }
  return std::string(Trim(out));
}

bool IsAnonymous(const std::string& user, const std::string& host) {
  static const char* const names[] = {"anonymous", "restricted", "private", "withheld"};
  const std::string lowered = Lower(user);
  return std::any_of(std::begin(names), std::end(names),
                     [&](const char* name) { return lowered == name; }) ||
         Lower(host) == "anonymous.invalid";
}

// The value of a ;name=value parameter, lower case; empty when absent.
std::string ParamValue(const std::string& params, std::string_view name) {
  size_t start = 0;
  while (start <= params.size()) {
    const size_t end = std::min(params.find(';', start), params.size());
    const std::string_view param = Trim(std::string_view(params).substr(start, end - start));
    const size_t equals = param.find('=');
    if (equals != std::string_view::npos && Lower(Trim(param.substr(0, equals))) == name) {
      std::string_view value = Trim(param.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      return Lower(value);
    }
    start = end + 1;
  }
  return {};
}

TParty PartyOf(const TPartyAddress& address) {
  TParty party;
  party.Name = CleanName(address.DisplayName);
  const std::string_view uri = address.Uri;
  std::string user, host;
  if (StartsWithNoCase(uri, "tel:")) {
    user = PercentDecode(uri.substr(
        4, uri.find(';') == std::string_view::npos ? std::string_view::npos : uri.find(';') - 4));
  } else if (StartsWithNoCase(uri, "sip:") || StartsWithNoCase(uri, "sips:")) {
    std::string_view rest = uri.substr(uri.find(':') + 1);
    const size_t at = rest.find('@');
    if (at != std::string_view::npos) {
      std::string_view userinfo = rest.substr(0, at);
      userinfo = userinfo.substr(0, userinfo.find_first_of(":;")); // no password, no params
      user = PercentDecode(userinfo);
      rest.remove_prefix(at + 1);
    }
    host = std::string(rest.substr(0, rest.find_first_of(":;?>")));
  }
  if (IsAnonymous(user, host)) {
    // "Anonymous" is no one's name.
    party.Name.clear();
    party.NumberWithheld = party.NameWithheld = true;
    return party;
  }
  party.Number = CleanNumber(user);
  return party;
}

bool AsksForPrivacy(const std::vector<std::string>& privacy) {
  for (const std::string& header : privacy) {
    std::string token;
    for (char c : header + ";") {
      if (c == ';' || c == ',') {
        const std::string value = Lower(Trim(token));
        if (value == "id" || value == "header" || value == "user")
          return true;
        token.clear();
      } else {
        token += c;
      }
    }
  }
  return false;
}

// Every address that may name the caller, most trusted first.
std::vector<TParty> Candidates(const TSipIdentityHeaders& headers) {
  std::vector<TParty> parties;
  for (const std::string& header : headers.AssertedIdentity)
    for (std::string_view item : SplitList(header))
      if (auto address = ParseAddress(item))
        parties.push_back(PartyOf(*address));
  for (const std::string& header : headers.RemotePartyId) {
    for (std::string_view item : SplitList(header)) {
      auto address = ParseAddress(item);
      if (!address)
        continue;
      const std::string partyParam = ParamValue(address->Params, "party");
      if (!partyParam.empty() && partyParam != "calling")
        continue;
      TParty party = PartyOf(*address);
      const std::string privacy = ParamValue(address->Params, "privacy");
      if (privacy == "full" || privacy == "uri") {
        party.Number.clear();
        party.NumberWithheld = true;
      }
      if (privacy == "full" || privacy == "name") {
        party.Name.clear();
        party.NameWithheld = true;
      }
      parties.push_back(party);
    }
  }
  if (auto address = ParseAddress(headers.From))
    parties.push_back(PartyOf(*address));
  return parties;
}

} // namespace

TCallerIdInfo SipCallerId(const TSipIdentityHeaders& headers) {
  TCallerIdInfo info;
  if (AsksForPrivacy(headers.Privacy)) {
    info.NumberAbsent = info.NameAbsent = caPrivate;
    return info;
  }
  const std::vector<TParty> parties = Candidates(headers);
  const auto chosen = std::find_if(parties.begin(), parties.end(),
                                   [](const TParty& party) { return !party.Number.empty(); });
  const bool withheld = std::any_of(parties.begin(), chosen,
                                    [](const TParty& party) { return party.NumberWithheld; });
  if (chosen == parties.end() || withheld) {
    // No number, or the caller asked for it to be withheld before any header gave one.
    if (withheld || std::any_of(parties.begin(), parties.end(),
                                [](const TParty& party) { return party.NumberWithheld; }))
      info.NumberAbsent = caPrivate;
    for (const TParty& party : parties) {
      if (party.NameWithheld)
        break;
      if (!party.Name.empty()) {
        info.Name = party.Name;
        break;
      }
    }
    if (info.Name.empty() && info.NumberAbsent == caPrivate)
      info.NameAbsent = caPrivate;
    return info;
  }
  info.Number = chosen->Number;
  if (chosen->NameWithheld) {
    info.NameAbsent = caPrivate;
    return info;
  }
  for (auto party = chosen; party != parties.end(); ++party) {
    if (party->NameWithheld && party->Number == chosen->Number)
      break;
    if (!party->Name.empty() && (party == chosen || party->Number == chosen->Number)) {
      info.Name = party->Name;
      break;
    }
  }
  return info;
}

} // namespace Telephony
