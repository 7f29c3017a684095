// The MQTT publisher against a real mosquitto broker on a free loopback port.
#include "calls/MqttPublisher.h"

#include "calls/CallText.h"
#include "tests/calls/BrokerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
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
  Options.Instance = "test-publisher";
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

  const auto Status = Subscriber.WaitOn("ringlet/test-publisher/status", 1);
  ASSERT_FALSE(Status.empty());
  EXPECT_EQ(Status.back().Payload, "online");
  const auto Discovery =
      Subscriber.WaitOn("homeassistant/sensor/ringlet_kitchen_modem/last_caller/config", 1);
  ASSERT_FALSE(Discovery.empty());
  EXPECT_NE(Discovery[0].Payload.find("\"state_topic\":\"ringlet/kitchen_modem/last_call\""),
            std::string::npos)
      << Discovery[0].Payload;
  EXPECT_NE(Discovery[0].Payload.find("\"availability_topic\":\"ringlet/test-publisher/status\""),
            std::string::npos);

  Publisher.Deliver(Call("Kitchen modem", "4075551212", "Chmielewski Joh"));
  Publisher.Deliver(Call("Kitchen modem", "", "", abWithheld));
  const auto Calls = Subscriber.WaitOn("ringlet/kitchen_modem/call", 2);
  ASSERT_EQ(Calls.size(), 2u);
  const std::string Plain = CallJson(Call("Kitchen modem", "4075551212", "Chmielewski Joh"));
  EXPECT_EQ(Calls[0].Payload.substr(Calls[0].Payload.find("\"time\"")), Plain.substr(1))
      << "the call's fields after its id";
  EXPECT_NE(Calls[1].Payload.find("\"absent\":{\"number\":\"withheld\",\"name\":\"withheld\"}"),
            std::string::npos)
      << Calls[1].Payload;
  const auto Last = Subscriber.WaitOn("ringlet/kitchen_modem/last_call", 2);
  ASSERT_EQ(Last.size(), 2u);
  EXPECT_EQ(Last[1].Payload, Calls[1].Payload);

  // A line first seen in a call is announced too.
  Publisher.Deliver(Call("Office", "1", "ONE"));
  EXPECT_EQ(Subscriber.WaitOn("homeassistant/sensor/ringlet_office/last_caller/config", 1).size(),
            1u);
  EXPECT_TRUE(WaitFor([&] { return Publisher.Waiting() == 0; }, 10000ms));

  // Retained: a subscriber that comes later still sees the last call and the sensor.
  TSubscriber Late(Broker.Port(), {"ringlet/kitchen_modem/last_call"}, "ringlet-test-late");
  const auto Retained = Late.WaitOn("ringlet/kitchen_modem/last_call", 1);
  ASSERT_EQ(Retained.size(), 1u);
  EXPECT_TRUE(Retained[0].Retained);
  EXPECT_EQ(Retained[0].Payload, Calls[1].Payload);

  Publisher.Stop();
  const auto After = Subscriber.WaitOn("ringlet/test-publisher/status", 2);
  ASSERT_GE(After.size(), 2u);
  EXPECT_EQ(After.back().Payload, "offline");
}

// An update of a call (a mask at the next ring) keeps the call's id and counts its revision;
// the retained last_call is the call as it now stands. Another call gets an id of its own.
TEST(MqttPublisherTest, AnUpdateKeepsTheCallsIdAndReplacesTheLastCall) {
  TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  TSubscriber Subscriber(Broker.Port(), {"ringlet/kitchen_modem/#"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  TMqttPublisher Publisher(Options(Broker.Port()));
  ASSERT_EQ(Publisher.Start(), "");
  TCallRecord First = Call("Kitchen modem", "4075551212", "Chmielewski Joh");
  First.CallKey = 7;
  TCallRecord Masked = Call("Kitchen modem", "", "Chmielewski Joh");
  Masked.NumberAbsent = abOutOfArea;
  Masked.CallKey = 7;
  Masked.Update = true;
  TCallRecord Other = Call("Kitchen modem", "3125550147", "Okafor Grace");
  Other.CallKey = 8;
  Publisher.Deliver(First);
  Publisher.Deliver(Masked);
  Publisher.Deliver(Other);
  const auto Calls = Subscriber.WaitOn("ringlet/kitchen_modem/call", 3);
  ASSERT_EQ(Calls.size(), 3u);
  const auto IdOf = [](const std::string& Json) {
    const size_t Start = Json.find("\"id\":\"");
    return Start == std::string::npos
               ? std::string()
               : Json.substr(Start + 6, Json.find('"', Start + 6) - Start - 6);
  };
  ASSERT_FALSE(IdOf(Calls[0].Payload).empty()) << Calls[0].Payload;
  EXPECT_EQ(IdOf(Calls[1].Payload), IdOf(Calls[0].Payload)) << Calls[1].Payload;
  EXPECT_NE(IdOf(Calls[2].Payload), IdOf(Calls[0].Payload)) << Calls[2].Payload;
  EXPECT_EQ(Calls[0].Payload.find("\"revision\""), std::string::npos) << Calls[0].Payload;
  EXPECT_NE(Calls[1].Payload.find("\"revision\":1,"), std::string::npos) << Calls[1].Payload;
  EXPECT_NE(Calls[1].Payload.find("\"absent\":{\"number\":\"out-of-area\""), std::string::npos)
      << Calls[1].Payload;
  const auto Last = Subscriber.WaitOn("ringlet/kitchen_modem/last_call", 3);
  ASSERT_EQ(Last.size(), 3u);
  EXPECT_EQ(Last[1].Payload, Calls[1].Payload);
  EXPECT_EQ(Last[2].Payload, Calls[2].Payload) << "the newest call is the last one";
}

TEST(MqttPublisherTest, ABrokerStoppedAndStartedAgainLosesNoCallAndKeepsTheOrder) {
  TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  auto Subscriber =
      std::make_unique<TSubscriber>(Broker.Port(), std::vector<std::string>{"ringlet/+/call"});
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
  EXPECT_EQ(Dropped, 3u); // three calls of five, told once each
}

TEST(MqttPublisherTest, TlsWithTheGivenAuthority) {
  char Template[] = "/tmp/ringlet-tls-XXXXXX";
  const std::string Folder = ::mkdtemp(Template);
  const std::string Command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
      Folder + "/key.pem -out " + Folder + "/cert.pem >/dev/null 2>&1";
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

// The value of a string field of a JSON payload ("" when it has none).
std::string Field(const std::string& Payload, const std::string& Name) {
  const std::string Key = "\"" + Name + "\":\"";
  const size_t At = Payload.find(Key);
  if (At == std::string::npos)
    return "";
  const size_t Start = At + Key.size();
  return Payload.substr(Start, Payload.find('"', Start) - Start);
}

// The names of the calls received, each id once, in the order they first came; every copy of
// one id must be the same message.
std::string NamesOnce(const std::vector<TReceived>& Messages, std::string& Problems) {
  std::vector<std::string> Seen;
  std::map<std::string, std::string> Payloads;
  std::string Names;
  for (const TReceived& Message : Messages) {
    const std::string Id = Field(Message.Payload, "id");
    if (Id.empty())
      Problems += "no id: " + Message.Payload + "\n";
    if (Payloads.count(Id) != 0 && Payloads[Id] != Message.Payload)
      Problems += "one id, two messages: " + Message.Payload + "\n";
    Payloads[Id] = Message.Payload;
    if (std::find(Seen.begin(), Seen.end(), Id) != Seen.end())
      continue;
    Seen.push_back(Id);
    Names += (Names.empty() ? "" : " ") + Field(Message.Payload, "name");
  }
  return Names;
}

TEST(MqttPublisherTest, ABrokerThatHangsWithACallInFlightKeepsTheOrderAndTheNewestLastCall) {
  TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  TSubscriber Subscriber(Broker.Port(), {"ringlet/+/call"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  TMqttOptions Quick = Options(Broker.Port());
  Quick.KeepAliveSeconds = 5; // the least libmosquitto takes
  TMqttPublisher Publisher(Quick);
  ASSERT_EQ(Publisher.Start(), "");
  ASSERT_TRUE(WaitFor([&] { return Publisher.Connected(); }, 10000ms));
  Publisher.Deliver(Call("Kitchen modem", "1", "A"));
  ASSERT_EQ(Subscriber.WaitOn("ringlet/kitchen_modem/call", 1).size(), 1u);

  Broker.Freeze();
  Publisher.Deliver(Call("Kitchen modem", "2", "B")); // sent, never acknowledged
  ASSERT_TRUE(WaitFor([&] { return !Publisher.Connected(); }, 60000ms));
  Publisher.Deliver(Call("Kitchen modem", "3", "C")); // while disconnected
  Broker.Thaw();
  ASSERT_TRUE(WaitFor([&] { return Publisher.Waiting() == 0; }, 60000ms));

  std::string Problems;
  const auto Calls = Subscriber.WaitOn("ringlet/kitchen_modem/call", 3);
  EXPECT_EQ(NamesOnce(Calls, Problems), "A B C");
  EXPECT_EQ(Problems, "");
  TSubscriber Late(Broker.Port(), {"ringlet/kitchen_modem/last_call"}, "ringlet-test-late");
  const auto Retained = Late.WaitOn("ringlet/kitchen_modem/last_call", 1);
  ASSERT_EQ(Retained.size(), 1u);
  EXPECT_EQ(Field(Retained[0].Payload, "name"), "C") << "the newest call";
}

TEST(MqttPublisherTest, CallsWaitingAtTheEndArePublishedAfterTheNextStart) {
  TBroker Broker; // not started: the broker is down
  const std::string Queue = Broker.Folder() + "/state/mqtt.queue";
  TMqttOptions Kept = Options(Broker.Port());
  Kept.QueueFile = Queue;
  std::vector<std::string> Warnings;
  std::mutex WarningLock;
  const auto Collect = [&](const std::string& Text) {
    std::lock_guard<std::mutex> Guard(WarningLock);
    Warnings.push_back(Text);
  };
  {
    TMqttPublisher Publisher(Kept);
    Publisher.OnWarning = Collect;
    ASSERT_EQ(Publisher.Start(), "");
    Publisher.Deliver(Call("Kitchen modem", "1", "FIRST"));
    Publisher.Deliver(Call("Kitchen modem", "2", "SECOND"));
    Publisher.Stop();
  }
  {
    std::lock_guard<std::mutex> Guard(WarningLock);
    ASSERT_FALSE(Warnings.empty());
    EXPECT_NE(
        Warnings.back().find("2 call(s) not acknowledged by the MQTT broker are kept in " + Queue),
        std::string::npos)
        << Warnings.back();
  }
  ASSERT_TRUE(std::filesystem::exists(Queue));
  EXPECT_EQ(std::filesystem::status(Queue).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  ASSERT_TRUE(Broker.Start());
  TSubscriber Subscriber(Broker.Port(), {"ringlet/+/call"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  TMqttPublisher Next(Kept);
  Next.OnWarning = Collect;
  ASSERT_EQ(Next.Start(), "");
  ASSERT_TRUE(WaitFor([&] { return Next.Waiting() == 0; }, 60000ms));
  std::string Problems;
  EXPECT_EQ(NamesOnce(Subscriber.WaitOn("ringlet/kitchen_modem/call", 2), Problems),
            "FIRST SECOND");
  EXPECT_EQ(Problems, "");
  EXPECT_TRUE(WaitFor([&] { return !std::filesystem::exists(Queue); }, 10000ms));
  std::lock_guard<std::mutex> Guard(WarningLock);
  EXPECT_TRUE(std::any_of(Warnings.begin(), Warnings.end(), [](const std::string& Text) {
    return Text.find("2 call(s) of an earlier run") != std::string::npos;
  }));
}

TEST(MqttPublisherTest, LinesAndInstancesOnOneBrokerNeverShareATopicOrAClient) {
  TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  TSubscriber Subscriber(Broker.Port(), {"ringlet/#"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  const std::string Kitchen = "\xd0\x9a\xd1\x83\xd1\x85\xd0\xbd\xd1\x8f"; // Кухня
  const std::string Office = "\xd0\x9e\xd1\x84\xd0\xb8\xd1\x81";          // Офис
  TMqttOptions First = Options(Broker.Port(), {Kitchen, Office, "Kitchen modem", "kitchen-modem"});
  First.Instance = "Box A";
  TMqttOptions Second = Options(Broker.Port(), {"Kitchen modem"});
  Second.Instance = "box-b";
  TMqttPublisher A(First), B(Second);
  EXPECT_EQ(A.StatusTopic(), "ringlet/box_a/status");
  EXPECT_EQ(A.LineSlug(Kitchen), "kukhnya");
  EXPECT_EQ(A.LineSlug(Office), "ofis");
  EXPECT_EQ(A.LineSlug("Kitchen modem"), "kitchen_modem") << "as before for a plain name";
  EXPECT_EQ(A.LineSlug("kitchen-modem"), TopicSlug("kitchen-modem", true));
  ASSERT_EQ(A.Start(), "");
  ASSERT_EQ(B.Start(), "");
  ASSERT_TRUE(WaitFor([&] { return A.Connected() && B.Connected(); }, 10000ms));
  for (const std::string& Line : First.Lines)
    A.Deliver(Call(Line, "1", "X"));
  ASSERT_TRUE(WaitFor([&] { return A.Waiting() == 0; }, 10000ms));
  for (const std::string& Slug : {std::string("kukhnya"), std::string("ofis"),
                                  std::string("kitchen_modem"), A.LineSlug("kitchen-modem")})
    EXPECT_EQ(Subscriber.WaitOn("ringlet/" + Slug + "/call", 1).size(), 1u) << Slug;
  // Two clients of their own: neither throws the other off, each says online once.
  std::this_thread::sleep_for(3000ms);
  EXPECT_TRUE(A.Connected() && B.Connected());
  EXPECT_EQ(Subscriber.On("ringlet/box_a/status").size(), 1u);
  EXPECT_EQ(Subscriber.On("ringlet/box-b/status").size(), 1u);
}

} // namespace
