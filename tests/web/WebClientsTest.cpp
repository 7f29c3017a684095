// The places of the web page's connections and the deadlines of their requests, with the
// clock given by the test: how clients are grouped, who makes room for whom, and when a slow
// request is overdue.
#include "web/WebClients.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <vector>

namespace {

using TIds = std::vector<TWebClients::TId>;

std::string GroupOf(const char* Text) {
  sockaddr_in6 V6{};
  sockaddr_in V4{};
  if (inet_pton(AF_INET, Text, &V4.sin_addr) == 1) {
    V4.sin_family = AF_INET;
    return ClientGroup(reinterpret_cast<sockaddr*>(&V4));
  }
  if (inet_pton(AF_INET6, Text, &V6.sin6_addr) != 1)
    return "not an address";
  V6.sin6_family = AF_INET6;
  return ClientGroup(reinterpret_cast<sockaddr*>(&V6));
}

TEST(WebClientsTest, AnIpv6ClientCountsByItsSlash64) {
  EXPECT_EQ("192.0.2.7", GroupOf("192.0.2.7"));
  EXPECT_EQ("2001:db8:1:2::/64", GroupOf("2001:db8:1:2::1"));
  EXPECT_EQ(GroupOf("2001:db8:1:2::1"), GroupOf("2001:db8:1:2:ffff:abcd:1234:5678"));
  EXPECT_NE(GroupOf("2001:db8:1:2::1"), GroupOf("2001:db8:1:3::1"));
  EXPECT_EQ("192.0.2.7", GroupOf("::ffff:192.0.2.7")) << "an IPv4 client written as IPv6";
  EXPECT_EQ("::/64", GroupOf("::1"));
  EXPECT_EQ("", ClientGroup(nullptr));

  // Every address of one /64 shares that /64's places.
  TWebClients Clients({64, 2, 10000});
  EXPECT_EQ(TIds{}, Clients.Open(1, GroupOf("2001:db8::1"), 0));
  Clients.Arrived(1);
  EXPECT_EQ(TIds{}, Clients.Open(2, GroupOf("2001:db8::2"), 0));
  Clients.Arrived(2);
  EXPECT_EQ(TIds{3}, Clients.Open(3, GroupOf("2001:db8::3"), 0)) << "a third address of the /64";
  EXPECT_EQ(TIds{}, Clients.Open(4, GroupOf("2001:db8:0:1::3"), 0)) << "another /64";
}

TEST(WebClientsTest, AFullGroupMakesRoomOnlyFromItsOwnWaitingConnections) {
  TWebClients Clients({64, 3, 10000});
  for (TWebClients::TId Id : {1, 2, 3})
    EXPECT_EQ(TIds{}, Clients.Open(Id, "a", Id * 10));
  Clients.Arrived(2);
  EXPECT_EQ(TIds{1}, Clients.Open(4, "a", 100)) << "the longest waiting goes first";
  EXPECT_EQ(TIds{3}, Clients.Open(5, "a", 110));
  Clients.Arrived(4);
  Clients.Arrived(5);
  EXPECT_EQ(TIds{6}, Clients.Open(6, "a", 120)) << "every place is busy answering: refused";
  EXPECT_EQ(3u, Clients.Places());
  // An answered request's connection waits again, and can make room then.
  Clients.Waiting(5, 130);
  EXPECT_EQ(TIds{5}, Clients.Open(7, "a", 140));
  EXPECT_EQ(TIds{}, Clients.Open(8, "b", 140)) << "another group has places of its own";
}

TEST(WebClientsTest, WhenAllPlacesAreTakenTheLongestWaitingOfAnyGroupMakesRoom) {
  TWebClients Clients({4, 2, 10000});
  EXPECT_EQ(TIds{}, Clients.Open(1, "slow", 0));
  EXPECT_EQ(TIds{}, Clients.Open(2, "slow", 1));
  EXPECT_EQ(TIds{}, Clients.Open(3, "page", 2));
  Clients.Arrived(3); // a live view
  EXPECT_EQ(TIds{}, Clients.Open(4, "slow too", 3));
  EXPECT_EQ(TIds{1}, Clients.Open(5, "visitor", 4));
  EXPECT_EQ(4u, Clients.Places());
  Clients.Close(1);
  EXPECT_EQ(4u, Clients.Places()) << "a dropped connection held a place while it closed";
  // Opened in the same millisecond: the order of events decides.
  for (TWebClients::TId Id : {2, 4, 5})
    Clients.Arrived(Id);
  Clients.Waiting(5, 50);
  Clients.Waiting(4, 50);
  EXPECT_EQ(TIds{5}, Clients.Open(6, "new", 50));
}

TEST(WebClientsTest, ARequestNotWholeByItsDeadlineIsOverdueOnce) {
  TWebClients Clients({64, 16, 10000});
  Clients.Open(1, "a", 0);
  Clients.Open(2, "a", 0);
  Clients.Open(3, "b", 5000);
  Clients.Arrived(2); // answered, and its answer still going: no deadline
  EXPECT_EQ(TIds{}, Clients.Overdue(9999));
  EXPECT_EQ(TIds{1}, Clients.Overdue(10000));
  EXPECT_EQ(TIds{}, Clients.Overdue(12000)) << "given twice";
  EXPECT_EQ(2u, Clients.Places());
  // A kept-alive connection's next request has its own deadline, from the answer before it.
  Clients.Arrived(3);
  Clients.Waiting(3, 14000);
  EXPECT_EQ(TIds{}, Clients.Overdue(23999));
  EXPECT_EQ(TIds{3}, Clients.Overdue(24000));
  EXPECT_EQ(TIds{}, Clients.Overdue(1000000));
}

} // namespace
