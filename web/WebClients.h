// WebClients: who holds the web page's connection places, and how long each request may take
// to arrive. The server (WebServer.h) tells it of every connection and request; it says which
// connections to drop.
//
// Contract:
// - Clients are counted by group: an IPv4 address, or the /64 network of an IPv6 address (one
//   home, or one attacker, has a whole /64); an IPv4 address written as IPv6 counts as itself.
// - A connection waits for its request from when it opens and again after each answer (a
//   kept-alive connection), until the request is whole (Arrived). A request that is not whole
//   DeadlineMs after its wait began is overdue: Overdue gives it once, to be dropped.
// - Open takes a place. When the connection's group already holds PerGroup places, or all
//   MaxPlaces are taken, room is made by dropping the connection of that group (else of any
//   group) that has waited longest for its request; only when no connection waits for one is
//   the new connection refused instead. Slow clients can hold places only until a client that
//   talks normally comes, and never a place whose request is being answered.
// - Dropped and refused connections hold no place while they close; Close forgets one.
// - Pure: no I/O, no clock of its own (times in milliseconds are given), not thread-safe (the
//   server holds its lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct sockaddr;

// The group a client address counts in: "192.0.2.7", "2001:db8:1:2::/64"; "" for none.
std::string ClientGroup(const sockaddr* Address);

struct TWebClientLimits {
  size_t MaxPlaces = 64;
  size_t PerGroup = 16;
  uint64_t DeadlineMs = 10000;
};

class TWebClients {
public:
  using TId = uintptr_t;

  explicit TWebClients(TWebClientLimits Limits) : FLimits(Limits) {}

  // A new connection; the connections to drop to make room for it, or Id itself when it is
  // refused.
  std::vector<TId> Open(TId Id, const std::string& Group, uint64_t NowMs);
  void Arrived(TId Id);
  void Waiting(TId Id, uint64_t NowMs);
  // The requests past their deadline, each given once; they hold no place from now on.
  std::vector<TId> Overdue(uint64_t NowMs);
  void Close(TId Id);

  // The places taken (connections open and not dropped).
  size_t Places() const;

private:
  struct TClient {
    std::string Group;
    uint64_t WaitingSinceMs = 0;
    uint64_t Turn = 0; // when it began to wait, in the order of events (many share a ms)
    bool Waiting = true;
    bool Dropped = false;
  };

  // The connection waiting longest for its request, of Group ("": of any group).
  std::map<TId, TClient>::iterator LongestWaiting(const std::string& Group);
  // The places Group holds ("": all of them).
  size_t PlacesOf(const std::string& Group) const;
  // Drops LongestWaiting(Group) into Dropped; false when no connection waits.
  bool MakeRoom(const std::string& Group, std::vector<TId>& Dropped);

  const TWebClientLimits FLimits;
  std::map<TId, TClient> FClients;
  uint64_t FTurns = 0;
};
