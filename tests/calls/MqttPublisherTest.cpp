// The MQTT publisher against a real mosquitto broker on a free loopback port.
#include "calls/MqttPublisher.h"

#include "calls/CallText.h"
#include "tests/calls/BrokerTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

using namespace BrokerTest;

TCallRecord Call(const std::string& Line, const std::string& Number, const std::string& Name,
                 TAbsence Absent = abNone) {
  TCallRecord Record;
  Record.Moment = 1796767200; // 2026-12-08
  Record.Line = Line;
  Record.Number = Number;
  Record.Name = Name;
  Record.NumberAbsent = Absent;
  Record.NameAbsent = Absent;
  return Record;
}

TMqttOptions Options(uint16_t Port, std::vector<std::string> Lines = {"Kitchen modem"}) {
  TMqttOptions Options;
  Options.Host = "127.0.0.1";
  Options.Port = Port;
  Options.ClientId = "ringlet-test-publisher";
  Options.Lines = std::move(Lines);
  return Options;
}

TEST(MqttUrlTest, ReadsSchemeCredentialsHostAndPort) {
  TMqttOptions Parsed;
  std::string Error;
  ASSERT_TRUE(ParseMqttUrl("mqtt://broker.lan", Parsed, Error));
  EXPECT_EQ(Parsed.Host, "broker.lan");
  EXPECT_EQ(Parsed.Port, 1883);
  EXPECT_FALSE(Parsed.Tls);
  ASSERT_TRUE(ParseMqttUrl("mqtts://me:se:cret@10.1.2.3:8884/", Parsed, Error));
  EXPECT_EQ(Parsed.User, "me");
  EXPECT_EQ(Parsed.Password, "se:cret");
  EXPECT_EQ(Parsed.Host, "10.1.2.3");
  EXPECT_EQ(Parsed.Port, 8884);
  EXPECT_TRUE(Parsed.Tls);
  TMqttOptions Tls;
  ASSERT_TRUE(ParseMqttUrl("mqtts://[::1]", Tls, Error));
  EXPECT_EQ(Tls.Host, "::1");
  EXPECT_EQ(Tls.Port, 8883);
  for (const char* Bad : {"http://x", "mqtt://", "mqtt://host:0", "mqtt://host:99999",
                          "mqtt://host:12a", "mqtt://user@", "broker:1883"}) {
    TMqttOptions Ignored;
    Error.clear();
    EXPECT_FALSE(ParseMqttUrl(Bad, Ignored, Error)) << Bad;
    EXPECT_FALSE(Error.empty()) << Bad;
  }
}

TEST(MqttPublisherTest, PublishesCallsLastCallStatusAndDiscovery) {
  TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  TSubscriber Subscriber(Broker.Port(), {"ringlet/#", "homeassistant/#"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  TMqttPublisher Publisher(Options(Broker.Port()));
  ASSERT_EQ(Publisher.Start(), "");

  const auto Status = Subscriber.WaitOn("ringlet/status", 1);
  ASSERT_FALSE(Status.empty());
  EXPECT_EQ(Status.back().Payload, "online");
  const auto Discovery =
      Subscriber.WaitOn("homeassistant/sensor/ringlet_kitchen_modem/last_caller/config", 1);
  ASSERT_FALSE(Discovery.empty());
  EXPECT_NE(Discovery[0].Payload.find("\"state_topic\":\"ringlet/kitchen_modem/last_call\""),
            std::string::npos) << Discovery[0].Payload;
  EXPECT_NE(Discovery[0].Payload.find("\"availability_topic\":\"ringlet/status\""), std::string::npos);

  Publisher.Deliver(Call("Kitchen modem", "4075551212", "Chmielewski Joh"));
  Publisher.Deliver(Call("Kitchen modem", "", "", abWithheld));
  const auto Calls = Subscriber.WaitOn("ringlet/kitchen_modem/call", 2);
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0].Payload, CallJson(Call("Kitchen modem", "4075551212", "Chmielewski Joh")));
  EXPECT_NE(Calls[1].Payload.find("\"absent\":{\"number\":\"withheld\",\"name\":\"withheld\"}"),
            std::string::npos) << Calls[1].Payload;
  const auto Last = Subscriber.WaitOn("ringlet/kitchen_modem/last_call", 2);
  ASSERT_EQ(Last.size(), 2u);
  EXPECT_EQ(Last[1].Payload, Calls[1].Payload);

  // A line first seen in a call is announced too.
  Publisher.Deliver(Call("Office", "1", "ONE"));
  EXPECT_EQ(Subscriber.WaitOn("homeassistant/sensor/ringlet_office/last_caller/config", 1).size(), 1u);
  EXPECT_TRUE(WaitFor([&] { return Publisher.Waiting() == 0; }, 10000ms));

  // Retained: a subscriber that comes later still sees the last call and the sensor.
  TSubscriber Late(Broker.Port(), {"ringlet/kitchen_modem/last_call"}, "ringlet-test-late");
  const auto Retained = Late.WaitOn("ringlet/kitchen_modem/last_call", 1);
  ASSERT_EQ(Retained.size(), 1u);
  EXPECT_TRUE(Retained[0].Retained);
  EXPECT_EQ(Retained[0].Payload, Calls[1].Payload);

  Publisher.Stop();
  const auto After = Subscriber.WaitOn("ringlet/status", 2);
  ASSERT_GE(After.size(), 2u);
  EXPECT_EQ(After.back().Payload, "offline");
}

TEST(MqttPublisherTest, ABrokerStoppedAndStartedAgainLosesNoCallAndKeepsTheOrder) {
  TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  auto Subscriber = std::make_unique<TSubscriber>(Broker.Port(), std::vector<std::string>{"ringlet/+/call"});
  ASSERT_TRUE(Subscriber->WaitSubscribed());
  TMqttPublisher Publisher(Options(Broker.Port()));
  std::vector<std::string> Warnings;
  std::mutex WarningLock;
  Publisher.OnWarning = [&](const std::string& Text) {
    std::lock_guard<std::mutex> Guard(WarningLock);
    Warnings.push_back(Text);
  };
  ASSERT_EQ(Publisher.Start(), "");
  ASSERT_TRUE(WaitFor([&] { return Publisher.Connected(); }, 10000ms));
  Publisher.Deliver(Call("Kitchen modem", "1", "BEFORE"));
  ASSERT_EQ(Subscriber->WaitOn("ringlet/kitchen_modem/call", 1).size(), 1u);

  Broker.Stop();
  ASSERT_TRUE(WaitFor([&] { return !Publisher.Connected(); }, 10000ms));
  for (const char* Name : {"WHILE1", "WHILE2", "WHILE3"})
    Publisher.Deliver(Call("Kitchen modem", "2", Name));
  EXPECT_EQ(Publisher.Waiting(), 6u); // each call and its last_call
  ASSERT_TRUE(Broker.Start());

  const auto Calls = Subscriber->WaitOn("ringlet/kitchen_modem/call", 4, 60000ms);
  ASSERT_EQ(Calls.size(), 4u);
  EXPECT_NE(Calls[1].Payload.find("WHILE1"), std::string::npos);
  EXPECT_NE(Calls[2].Payload.find("WHILE2"), std::string::npos);
  EXPECT_NE(Calls[3].Payload.find("WHILE3"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return Publisher.Waiting() == 0; }, 10000ms));
  std::lock_guard<std::mutex> Guard(WarningLock);
  ASSERT_FALSE(Warnings.empty());
  EXPECT_NE(Warnings[0].find("calls are kept until it is back"), std::string::npos) << Warnings[0];
}

TEST(MqttPublisherTest, PastTheBoundTheOldestWaitingCallIsDroppedWithAWarning) {
  TBroker Broker;
  TMqttOptions Bounded = Options(Broker.Port());
  Bounded.QueueLimit = 2;
  TMqttPublisher Publisher(Bounded);
  std::vector<std::string> Warnings;
  std::mutex WarningLock;
  Publisher.OnWarning = [&](const std::string& Text) {
    std::lock_guard<std::mutex> Guard(WarningLock);
    Warnings.push_back(Text);
  };
  ASSERT_EQ(Publisher.Start(), ""); // no broker yet: not an error
  for (int I = 1; I <= 5; ++I)
    Publisher.Deliver(Call("Kitchen modem", std::to_string(I), "QUEUED"));
  EXPECT_EQ(Publisher.Waiting(), 4u);

  ASSERT_TRUE(Broker.Start());
  TSubscriber Subscriber(Broker.Port(), {"ringlet/+/call"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  // The publisher may have been faster than the subscriber: the retained last call tells.
  ASSERT_TRUE(WaitFor([&] { return Publisher.Waiting() == 0; }, 60000ms));
  TSubscriber Last(Broker.Port(), {"ringlet/kitchen_modem/last_call"}, "ringlet-test-last");
  const auto Retained = Last.WaitOn("ringlet/kitchen_modem/last_call", 1);
  ASSERT_EQ(Retained.size(), 1u);
  EXPECT_NE(Retained[0].Payload.find("\"number\":\"5\""), std::string::npos) << Retained[0].Payload;
  std::lock_guard<std::mutex> Guard(WarningLock);
  size_t Dropped = 0;
  for (const std::string& Text : Warnings)
    Dropped += Text.find("was dropped") != std::string::npos ? 1 : 0;
  EXPECT_EQ(Dropped, 6u); // three calls of five, two messages each
}

TEST(MqttPublisherTest, TlsWithTheGivenAuthority) {
  char Template[] = "/tmp/ringlet-tls-XXXXXX";
  const std::string Folder = ::mkdtemp(Template);
  const std::string Command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout " + Folder + "/key.pem -out " + Folder +
      "/cert.pem >/dev/null 2>&1";
  ASSERT_EQ(std::system(Command.c_str()), 0);
  TBroker Broker("cafile " + Folder + "/cert.pem\ncertfile " + Folder + "/cert.pem\nkeyfile " +
                 Folder + "/key.pem\n");
  ASSERT_TRUE(Broker.Start());
  TMqttOptions Secure = Options(Broker.Port());
  Secure.Tls = true;
  Secure.CaFile = Folder + "/cert.pem";
  TMqttPublisher Publisher(Secure);
  ASSERT_EQ(Publisher.Start(), "");
  EXPECT_TRUE(WaitFor([&] { return Publisher.Connected(); }, 15000ms));
  Publisher.Deliver(Call("Kitchen modem", "7", "SECURE"));
  EXPECT_TRUE(WaitFor([&] { return Publisher.Waiting() == 0; }, 15000ms));
  Publisher.Stop();
  std::error_code Ignored;
  std::filesystem::remove_all(Folder, Ignored);
}

} // namespace
