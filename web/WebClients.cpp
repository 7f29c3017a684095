// The web page's connection places and request deadlines. See WebClients.h.
#include "web/WebClients.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

std::string ClientGroup(const sockaddr* Address) {
  if (Address == nullptr)
    return "";
  char Text[INET6_ADDRSTRLEN] = {};
  if (Address->sa_family == AF_INET) {
    sockaddr_in V4{};
    std::memcpy(&V4, Address, sizeof V4);
    return inet_ntop(AF_INET, &V4.sin_addr, Text, sizeof Text) != nullptr ? Text : "";
  }
  if (Address->sa_family != AF_INET6)
    return "";
  sockaddr_in6 V6{};
  std::memcpy(&V6, Address, sizeof V6);
  if (IN6_IS_ADDR_V4MAPPED(&V6.sin6_addr))
    return inet_ntop(AF_INET, &V6.sin6_addr.s6_addr[12], Text, sizeof Text) != nullptr ? Text : "";
  std::memset(&V6.sin6_addr.s6_addr[8], 0, 8);
  return inet_ntop(AF_INET6, &V6.sin6_addr, Text, sizeof Text) != nullptr
             ? std::string(Text) + "/64"
             : "";
}

std::vector<TWebClients::TId> TWebClients::Open(TId Id, const std::string& Group, uint64_t NowMs) {
  // An address that cannot be told is a group of its own, not every group.
  const std::string Key = Group.empty() ? "?" : Group;
  std::vector<TId> Dropped;
  const bool Room = (PlacesOf(Key) < FLimits.PerGroup || MakeRoom(Key, Dropped)) &&
                    (Places() < FLimits.MaxPlaces || MakeRoom("", Dropped));
  FClients[Id] = {Key, NowMs, ++FTurns, true, !Room};
  if (!Room)
    Dropped.push_back(Id);
  return Dropped;
}

void TWebClients::Arrived(TId Id) {
  if (const auto Found = FClients.find(Id); Found != FClients.end())
    Found->second.Waiting = false;
}

void TWebClients::Waiting(TId Id, uint64_t NowMs) {
  if (const auto Found = FClients.find(Id); Found != FClients.end()) {
    Found->second.Waiting = true;
    Found->second.WaitingSinceMs = NowMs;
    Found->second.Turn = ++FTurns;
  }
}

std::vector<TWebClients::TId> TWebClients::Overdue(uint64_t NowMs) {
  std::vector<TId> Late;
  for (auto& [Id, Client] : FClients)
    if (!Client.Dropped && Client.Waiting && NowMs - Client.WaitingSinceMs >= FLimits.DeadlineMs) {
      Client.Dropped = true;
      Late.push_back(Id);
    }
  return Late;
}

void TWebClients::Close(TId Id) {
  FClients.erase(Id);
}

size_t TWebClients::Places() const {
  return PlacesOf("");
}

size_t TWebClients::PlacesOf(const std::string& Group) const {
  size_t Count = 0;
  for (const auto& [Id, Client] : FClients)
    Count += !Client.Dropped && (Group.empty() || Client.Group == Group) ? 1 : 0;
  return Count;
}

std::map<TWebClients::TId, TWebClients::TClient>::iterator
TWebClients::LongestWaiting(const std::string& Group) {
  auto Longest = FClients.end();
  for (auto It = FClients.begin(); It != FClients.end(); ++It) {
    const TClient& Client = It->second;
    if (Client.Dropped || !Client.Waiting || (!Group.empty() && Client.Group != Group))
      continue;
    if (Longest == FClients.end() || Client.Turn < Longest->second.Turn)
      Longest = It;
  }
  return Longest;
}

bool TWebClients::MakeRoom(const std::string& Group, std::vector<TId>& Dropped) {
  const auto Victim = LongestWaiting(Group);
  if (Victim == FClients.end())
    return false;
  Victim->second.Dropped = true;
  Dropped.push_back(Victim->first);
  return true;
}
