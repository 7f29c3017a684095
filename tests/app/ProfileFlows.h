// The end-to-end flows by modem profile that the console's and the window's tables share: each
// cell plays one flow against fakemodem playing one profile, and checks that the call after the
// flow is printed with its caller ID - for the flows that end a call (a blocked one, an
// answered one, one whose modem is pulled out) within 3 s of the line's return, the return
// itself within 3 s of the hang-up (5 s of the plug), as the modem trace records them.
#pragma once

#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace AppTest {

struct TProfileCase {
  const char* Name; // fakemodem's --profile
  const char* Init; // the line's Init; "" tries the usual commands in turn
  bool Names;       // the profile's calls carry a name
};

// Every profile of fakemodem, with what its line needs.
inline const std::vector<TProfileCase>& ProfileCases() {
  static const std::vector<TProfileCase> Cases = {
      {"kind", "", true},
      {"strict", "", true},
      {"no-offhook", "", true},
      {"compact", "", false},
      {"uk", "", false},
      {"raw", "AT#CID=2", true},
      {"usb-voice", "AT+FCLASS=8;+VCID=1", true},
  };
  return Cases;
}

enum TFlow {
  flOrders, // calls whose caller ID comes in each order real modems use
  flBlock,  // a caller on the block list
  flAnswer, // a call without caller ID rings until it is answered; the far end hangs up
  flUnplug  // an answered call whose modem is pulled out, then put back
};

struct TFlowCell {
  TFlow Flow;
  TProfileCase Profile;
};

inline std::vector<TFlowCell> FlowCells() {
  std::vector<TFlowCell> Cells;
  for (TFlow Flow : {flOrders, flBlock, flAnswer, flUnplug})
    for (const TProfileCase& Profile : ProfileCases())
      Cells.push_back({Flow, Profile});
  return Cells;
}

inline std::string FlowCellText(const TFlowCell& Cell) {
  static const char* const Flows[] = {"Orders", "Block", "Answer", "Unplug"};
  std::string Profile;
  for (const char* C = Cell.Profile.Name; *C; ++C)
    if (*C != '-')
      Profile += *C;
  return std::string(Flows[Cell.Flow]) + "_" + Profile;
}

inline std::string FlowCellName(const ::testing::TestParamInfo<TFlowCell>& Info) {
  return FlowCellText(Info.param);
}

inline void PrintTo(const TFlowCell& Cell, std::ostream* Out) {
  *Out << FlowCellText(Cell);
}

// One line of the modem trace: "YYYY-MM-DD hh:mm:ss.mmm <device> <dir> <text>".
struct TTraceEntry {
  std::chrono::system_clock::time_point At;
  char Direction = 0;
  std::string Text;
};

inline std::vector<TTraceEntry> ReadTrace(const std::string& Path) {
  std::vector<TTraceEntry> Entries;
  std::ifstream In(Path);
  for (std::string Line; std::getline(In, Line);) {
    std::tm Local{};
    int Ms = 0;
    if (std::sscanf(Line.c_str(), "%d-%d-%d %d:%d:%d.%d", &Local.tm_year, &Local.tm_mon,
                    &Local.tm_mday, &Local.tm_hour, &Local.tm_min, &Local.tm_sec, &Ms) != 7)
      continue;
    Local.tm_year -= 1900;
    Local.tm_mon -= 1;
    Local.tm_isdst = -1;
    const size_t Device = Line.find(' ', 24);
    if (Device == std::string::npos || Device + 3 > Line.size())
      continue;
    TTraceEntry Entry;
    Entry.At =
        std::chrono::system_clock::from_time_t(std::mktime(&Local)) + std::chrono::milliseconds(Ms);
    Entry.Direction = Line[Device + 1];
    Entry.Text = Line.substr(Device + 3);
    Entries.push_back(std::move(Entry));
  }
  return Entries;
}

// What the flows need of a front end.
class TFlowFront {
public:
  virtual ~TFlowFront() = default;
  // Lets the front end work (its output read, its events served) for up to Ms.
  virtual void Serve(int Ms) = 0;
  virtual size_t RowCount() = 0;
  // The number and the name of a row as shown.
  virtual std::pair<std::string, std::string> Row(size_t Index) = 0;
  virtual bool Lost() = 0;
  virtual bool Back() = 0;
  // What the front end said, for failure messages.
  virtual std::string Said() = 0;
};

// Plays one cell: sets the folder up (the line's configuration, the block list, the modem and
// its trace), then, once the front end runs, the flow and its checks.
class TFlowRun {
public:
  static constexpr int ReturnWithinMs = 3000;
  static constexpr int BackWithinMs = 5000;

  TFlowRun(const TFlowCell& Cell, const TTempFolder& Folder)
      : FCell(Cell), FFolder(Folder), FTrace(Folder / "modem-trace.log"),
        FModemLog(Folder / "fakemodem.log") {}

  // Before the front end starts: the modem, the configuration, the environment.
  void Prepare() {
    std::vector<std::string> Args = {"--profile", FCell.Profile.Name, "--ring-spacing", "400"};
    const bool Unplug = FCell.Flow == flUnplug;
    if (Unplug)
      Args.insert(Args.end(), {"--link", FFolder / "modem"});
    ASSERT_TRUE(FModem.Start(Args, FModemLog));
    std::ofstream(FFolder / "telephony.ini")
        << "[Line1]\nName=Fake Modem\nDevice=" << (Unplug ? FFolder / "modem" : FModem.Device())
        << "\nInit=" << FCell.Profile.Init
        << "\nRingTimeout=3\nCheckInterval=0\nCallerIdPause=0.3\n";
    fs::create_directories(FFolder / "config/ringlet");
    std::ofstream(FFolder / "config/ringlet/blocklist.txt") << "5550100199\n";
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_TELEPHONY_TRACE", FTrace.c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("XDG_DATA_HOME", (FFolder / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (FFolder / "config").c_str(), 1);
  }

  // Once the front end watches the line.
  void Play(TFlowFront& Front) {
    FFront = &Front;
    ASSERT_TRUE(Watching(0)) << "the line never watched\n" << Front.Said();
    switch (FCell.Flow) {
    case flOrders:
      ASSERT_NO_FATAL_FAILURE(PlayOrders());
      break;
    case flBlock:
      ASSERT_NO_FATAL_FAILURE(PlayBlock());
      break;
    case flAnswer:
      ASSERT_NO_FATAL_FAILURE(PlayAnswer());
      break;
    case flUnplug:
      ASSERT_NO_FATAL_FAILURE(PlayUnplug());
      break;
    }
  }

private:
  std::string Named(const std::string& Name) const { return FCell.Profile.Names ? Name : ""; }

  bool WaitUntil(const std::function<bool()>& Done, int LimitMs = GenerousMs) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
    while (!Done()) {
      if (std::chrono::steady_clock::now() > End)
        return false;
      FFront->Serve(20);
    }
    return true;
  }

  // The index of the first trace entry from From on with Text; -1 when none came in time.
  int WaitTrace(const std::string& Text, size_t From, int LimitMs = GenerousMs) {
    int Found = -1;
    WaitUntil(
        [&] {
          const std::vector<TTraceEntry> Entries = ReadTrace(FTrace);
          for (size_t I = From; I < Entries.size() && Found < 0; ++I)
            if (Entries[I].Text == Text)
              Found = static_cast<int>(I);
          return Found >= 0;
        },
        LimitMs);
    return Found;
  }

  bool Watching(size_t From) { return WaitTrace("watching", From) >= 0; }

  std::chrono::system_clock::time_point TraceTime(int Index) {
    return ReadTrace(FTrace).at(static_cast<size_t>(Index)).At;
  }

  static long MsBetween(std::chrono::system_clock::time_point From,
                        std::chrono::system_clock::time_point To) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(To - From).count());
  }

  // The line watches again within 3 s of Since (the hang-up); its moment.
  std::chrono::system_clock::time_point Returned(std::chrono::system_clock::time_point Since,
                                                 size_t From, int WithinMs = ReturnWithinMs) {
    const int Back = WaitTrace("watching", From);
    EXPECT_GE(Back, 0) << "the line never watched again\n" << Diagnosis();
    if (Back < 0)
      return Since;
    const auto At = TraceTime(Back);
    EXPECT_LE(MsBetween(Since, At), WithinMs) << "the line watched again too late";
    return At;
  }

  // The next call, played once the line is back, is printed with its caller ID within 3 s of
  // the line's return.
  void NextCallIsPrinted(std::chrono::system_clock::time_point Return) {
    const size_t Rows = FFront->RowCount();
    FModem.Send("call 9195550164 \"NOVAK TOMAS\" rings=3");
    const auto Deadline =
        std::chrono::steady_clock::now() +
        (Return + std::chrono::milliseconds(ReturnWithinMs) - std::chrono::system_clock::now());
    const bool Printed = WaitUntil([&] { return FFront->RowCount() > Rows; }, GenerousMs);
    ASSERT_TRUE(Printed) << "the call after the flow was not printed\n" << Diagnosis();
    EXPECT_LE(std::chrono::steady_clock::now(), Deadline)
        << "printed later than 3 s after the line's return";
    EXPECT_EQ(FFront->Row(Rows), std::make_pair(std::string("9195550164"), Named("NOVAK TOMAS")));
  }

  // What the front end said, the modem trace and the modem's account, for a failure.
  std::string Diagnosis() {
    std::ifstream Trace(FTrace);
    return FFront->Said() + "modem trace:\n" +
           std::string(std::istreambuf_iterator<char>(Trace), {}) + "fakemodem:\n" + ModemAccount();
  }

  std::string ModemAccount() {
    std::ifstream In(FModemLog);
    return std::string(std::istreambuf_iterator<char>(In), {});
  }

  std::string DispatchLog() {
    std::ifstream In(FFolder / "CallerID.log");
    return std::string(std::istreambuf_iterator<char>(In), {});
  }

  void PlayOrders() {
    const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> Calls = {
        {"call 3125550147 \"OKAFOR GRACE\" split=3 rings=2", {"3125550147", "OKAFOR GRACE"}},
        {"call 2065550183 \"LINDQVIST PER\" namefirst rings=2", {"2065550183", "LINDQVIST PER"}},
        {"call 7205550111 \"TANAKA YUI\" repeat rings=2", {"7205550111", "TANAKA YUI"}},
        {"call 4075551212 \"CHMIELEWSKI JOH\" cidfirst rings=2", {"4075551212", "CHMIELEWSKI JOH"}},
        {"call 9195550164 \"NOVAK TOMAS\" rings=2", {"9195550164", "NOVAK TOMAS"}},
    };
    for (const auto& Call : Calls)
      FModem.Send(Call.first);
    ASSERT_TRUE(WaitUntil([&] { return FFront->RowCount() >= Calls.size(); })) << Diagnosis();
    for (size_t I = 0; I < Calls.size(); ++I)
      EXPECT_EQ(FFront->Row(I),
                std::make_pair(Calls[I].second.first, Named(Calls[I].second.second)))
          << Calls[I].first;
  }

  void PlayBlock() {
    const size_t From = ReadTrace(FTrace).size();
    // Rings as far apart as a line's, so that a caller cut off at once hears one ring only.
    FModem.Send("call 5550100199 \"CARD SERVICES\" rings=4 spacing=2000");
    ASSERT_TRUE(WaitUntil([&] { return FFront->RowCount() >= 1; })) << Diagnosis();
    EXPECT_EQ(FFront->Row(0),
              std::make_pair(std::string("5550100199"), Named("CARD SERVICES") + " [blocked]"));
    const int Rejected = WaitTrace("call rejected", From);
    ASSERT_GE(Rejected, 0) << Diagnosis();
    NextCallIsPrinted(Returned(TraceTime(Rejected), static_cast<size_t>(Rejected)));
    const std::string Account = ModemAccount();
    EXPECT_NE(Account.find(FCell.Profile.Name == std::string("no-offhook")
                               ? "call over: hung up by the host"
                               : "the caller is cut off"),
              std::string::npos)
        << Account;
    // A block without a name may get it after the next ring (some modems split the block
    // around a ring): the caller ID is whole, and the caller cut off, at that ring.
    const char* Unheard = FCell.Profile.Names ? "ring 2/4" : "ring 3/4";
    EXPECT_EQ(Account.find(Unheard), std::string::npos) << "the caller was not cut off at once";
    EXPECT_FALSE(fs::exists(FFolder / "CallerID.log")) << "a blocked call is no data call";
  }

  // Rings a call without caller ID until the line answers, and sends some data.
  void AnswerACall(size_t& From) {
    From = ReadTrace(FTrace).size();
    FModem.Send("call nocid rings=80 spacing=50");
    const int HandedOver = WaitTrace("descriptor handed over", From);
    ASSERT_GE(HandedOver, 0) << Diagnosis();
    From = static_cast<size_t>(HandedOver);
    // The port empties its input when it opens on the modem: the far end talks a moment later.
    FModem.Send("sleep 300");
    FModem.Send("data hello\\r\\n");
  }

  void PlayAnswer() {
    size_t From = 0;
    ASSERT_NO_FATAL_FAILURE(AnswerACall(From));
    ASSERT_TRUE(
        WaitUntil([&] { return ModemAccount().find("data out: hello") != std::string::npos; }));
    // The far end's NO CARRIER goes out after this moment.
    const auto HungUp = std::chrono::system_clock::now();
    FModem.Send("hangup");
    NextCallIsPrinted(Returned(HungUp, From));
    const std::string Log = DispatchLog();
    EXPECT_EQ(Log.rfind("ORVO v4.06", 0), 0u) << "no CallerID.log after the answered call";
    EXPECT_NE(Log.find("hello"), std::string::npos) << Log;
    EXPECT_EQ(FFront->RowCount(), 1u) << "a call without caller ID prints no row";
  }

  void PlayUnplug() {
    size_t From = 0;
    ASSERT_NO_FATAL_FAILURE(AnswerACall(From));
    FModem.Send("unplug");
    ASSERT_TRUE(WaitUntil([&] { return FFront->Lost(); })) << Diagnosis();
    FModem.Send("plug");
    const auto Plugged = std::chrono::system_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return FFront->Back(); })) << Diagnosis();
    NextCallIsPrinted(Returned(Plugged, From, BackWithinMs));
  }

  const TFlowCell FCell;
  const TTempFolder& FFolder;
  const std::string FTrace;
  const std::string FModemLog;
  TFakeModem FModem;
  TFlowFront* FFront = nullptr;
};

} // namespace AppTest
