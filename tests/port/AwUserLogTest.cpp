// The dispatch log and the trace of a dispatcher: the log ring and its entries, the log table
// against a checked-in file, the character and line-width rules, the trace blocks, the
// failure paths of the dumps, and both recorders on a dispatcher that reads a real
// pseudo-terminal.
#include "port/AwUser.h"
#include "port/AwWin32.h"

#include "common/AdExcept.h"
#include "common/OoMisc.h"
#include "platform/LastError.h"
#include "tests/platform/PtyTestSupport.h"

#include <cctype>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A dispatcher without a device, with its log and trace internals in reach.
class TLogDispatcher : public TApdWin32Dispatcher {
public:
  // Times count from now, as they do from the opening of a port.
  TLogDispatcher() : TApdWin32Dispatcher(nullptr) { LogStartTime = AdTimeGetTime(); }
  using TApdBaseDispatcher::PutLogBytes;
  using TApdBaseDispatcher::TakeLogEntry;

  // An entry laid out as AddLogEntry lays it out, but with a chosen time.
  bool PutEntry(uint8_t Kind, uint8_t SubKind, uint32_t Time, uint32_t Value,
                const std::string& Data) {
    TApdLogEntryHeader Header;
    Header.Kind = Kind;
    Header.SubKind = SubKind;
    Header.Time = Time;
    Header.Data = Value;
    Header.Length = static_cast<uint32_t>(Data.size());
    std::string Raw(sizeof Header + Data.size(), '\0');
    std::memcpy(Raw.data(), &Header, sizeof Header);
    std::memcpy(Raw.data() + sizeof Header, Data.data(), Data.size());
    return PutLogBytes(Raw.data(), static_cast<uint32_t>(Raw.size()));
  }

  // Every entry left, oldest first, as (header, data); empties the log.
  std::vector<std::pair<TApdLogEntryHeader, std::string>> TakeAll() {
    std::vector<std::pair<TApdLogEntryHeader, std::string>> All;
    std::vector<uint8_t> Data(LogRingSize + 1);
    TApdLogEntryHeader Header;
    uint32_t Length = 0;
    while (!TakeLogEntry(Header, Data.data(), Length)) {
      All.emplace_back(Header, std::string(Data.begin(), Data.begin() + Length));
    }
    return All;
  }

  uint32_t Free() const { return LogFree; }
  uint32_t RingSize() const { return LogRingSize; }
  bool HasLogRing() const { return LogRing != nullptr; }
  bool Logging() const { return LoggingOn; }
  void SetLogStart(uint32_t Ms) { LogStartTime = Ms; }
  bool HasTraceRing() const { return TraceRing != nullptr; }
  bool Tracing() const { return TracingOn; }
  uint32_t TraceIndex() const { return TraceHead; }
  bool Wrapped() const { return TraceWrapped; }
};

class AwUserLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Pattern = (fs::temp_directory_path() / "awuserlog-XXXXXX").string();
    ASSERT_NE(nullptr, ::mkdtemp(Pattern.data()));
    Folder = Pattern;
  }
  void TearDown() override { fs::remove_all(Folder); }

  std::string PathOf(const std::string& Name) const { return (Folder / Name).string(); }

  static std::string ReadFile(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    std::ostringstream Text;
    Text << In.rdbuf();
    return Text.str();
  }

  static void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream Out(Path, std::ios::binary);
    Out << Text;
  }

  // The lines of a CR LF text; a text without a final line end keeps its last line.
  static std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> All;
    std::size_t Start = 0;
    while (Start < Text.size()) {
      std::size_t End = Text.find("\r\n", Start);
      if (End == std::string::npos) {
        All.push_back(Text.substr(Start));
        break;
      }
      All.push_back(Text.substr(Start, End - Start));
      Start = End + 2;
    }
    return All;
  }

  // The table lines of a log dump (the seven header lines dropped).
  std::vector<std::string> DumpedEntries(TLogDispatcher& D, bool InHex, bool AllHex) {
    std::string Path = PathOf("entries.log");
    EXPECT_EQ(0, D.WriteLog(Path, InHex, AllHex));
    std::vector<std::string> All = Lines(ReadFile(Path));
    if (All.size() < 7) {
      ADD_FAILURE() << "log without its header";
      return {};
    }
    return {All.begin() + 7, All.end()};
  }

  fs::path Folder;
};

const std::string Blanks44(44, ' ');

// ---------------------------------------------------------------------------------------
// Dispatch log file

// True when Text has Shape's length and characters, '#' standing for any digit.
bool MatchesShape(const std::string& Text, const std::string& Shape) {
  if (Text.size() != Shape.size())
    return false;
  for (std::size_t I = 0; I < Shape.size(); ++I) {
    const bool Digit = std::isdigit(static_cast<unsigned char>(Text[I])) != 0;
    if (Shape[I] == '#' ? !Digit : Text[I] != Shape[I])
      return false;
  }
  return true;
}

TEST_F(AwUserLogTest, DumpMatchesTheExpectedFile) {
  TLogDispatcher D;
  D.SetDeviceName("/dev/ttyUSB0");
  D.StartLog(DefaultLogSize);
  const std::string CallerId =
      "\r\nDATE = 1208\r\nTIME = 1715\r\nNMBR = 5551234\r\nNAME = JOHN Q PUBLIC\r\n";
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 0, 8, "\r\nRING\r\n"));
  ASSERT_TRUE(D.PutEntry(dtTrigger, dstAvail, 5, 8, ""));
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 1234, 66, CallerId));
  ASSERT_TRUE(D.PutEntry(dtTrigger, dstData, 1300, 3, ""));
  ASSERT_TRUE(D.PutEntry(dtTrigger, dstTimer, 1301, 0x1A, ""));
  ASSERT_TRUE(D.PutEntry(dtTrigger, dstStatus, 1302, 4, ""));
  ASSERT_TRUE(D.PutEntry(dtTriggerHandlerAlloc, dstWndHandler, 2000, 0xC0FFEE, ""));
  ASSERT_TRUE(D.PutEntry(dtTriggerHandlerDispose, dstWndHandler, 2001, 0xC0FFEE, ""));
  ASSERT_TRUE(D.PutEntry(dtTriggerDataChange, dstAvailTrigger, 2002, 1, ""));
  ASSERT_TRUE(D.PutEntry(dtTelnet, dstNone, 3000, 24, ""));
  ASSERT_TRUE(D.PutEntry(dtTelnet, dstNone, 3001, 43, ""));
  ASSERT_TRUE(D.PutEntry(dtTriggerAlloc, dstStatusTrigger, 3002, 9, "\x01"));
  ASSERT_TRUE(D.PutEntry(dtTriggerDispose, dstStatusTrigger, 3003, 9, "\x07"));
  ASSERT_TRUE(D.PutEntry(dtError, dstModemStatus, 4000, 0x11, "\x11"));
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstModemStatus, 4001, 0xF0, ""));
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstModemStatus, 999, 0xFF, "ab"));
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstModemStatus, 1000, 0x100, ""));
  ASSERT_TRUE(D.PutEntry(dtUser, dstNone, 12345678, 0, "hi there"));
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 4294967295u, 5, std::string("\0\x7F\xFF ~", 5)));

  std::string Path = PathOf("CallerID.log");
  const mode_t Umask = ::umask(022);
  ASSERT_EQ(0, D.WriteLog(Path, false, false));
  ::umask(Umask);
  struct stat Info {};
  ASSERT_EQ(0, ::stat(Path.c_str(), &Info));
  EXPECT_EQ(0600u, Info.st_mode & 0777) << "a log of a caller's data was readable by others";
  std::vector<std::string> Got = Lines(ReadFile(Path));
  std::string ExpectedText =
      ReadFile((fs::path(__FILE__).parent_path() / "data" / "DispatchLog.expected").string());
  ASSERT_FALSE(ExpectedText.empty());
  std::vector<std::string> Expected = Lines(ExpectedText);
  ASSERT_EQ(Expected.size(), Got.size());
  // Every line, the last one too, ends with CR LF.
  EXPECT_EQ("\r\n", ReadFile(Path).substr(ReadFile(Path).size() - 2));

  // The lines that name this build, this system and this moment.
  const std::string Compiler = Got[1].rfind("Compiler : GCC ", 0) == 0     ? Got[1].substr(15)
                               : Got[1].rfind("Compiler : Clang ", 0) == 0 ? Got[1].substr(17)
                                                                           : "";
  EXPECT_TRUE(!Compiler.empty() && std::isdigit(static_cast<unsigned char>(Compiler[0]))) << Got[1];
  utsname Name{};
  ASSERT_EQ(0, ::uname(&Name));
  std::string System = std::string(Name.sysname) + " " + Name.release;
  EXPECT_EQ("Operating System : " + System.substr(0, 80), Got[2]);
  EXPECT_TRUE(MatchesShape(Got[4], "Date/time: ##/##/##, ##:##:##")) << Got[4];
  Got[1] = "Compiler : (compiler)";
  Got[2] = "Operating System : (system)";
  Got[4] = "Date/time: (now)";
  for (std::size_t I = 0; I < Expected.size(); ++I) {
    EXPECT_EQ(Expected[I], Got[I]) << "line " << I + 1;
  }

  // The dump ended logging and freed the ring.
  EXPECT_FALSE(D.HasLogRing());
  EXPECT_FALSE(D.Logging());
}

TEST_F(AwUserLogTest, CharacterRulesInHexAllHexAndDecimal) {
  TLogDispatcher D;
  const std::string Bytes("A \r\x05\x2A\xC8~\x7F", 8);

  D.StartLog(DefaultLogSize);
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 1, 8, Bytes));
  ASSERT_TRUE(D.PutEntry(dtUser, dstNone, 2, 8, "A\r"));
  std::vector<std::string> Plain = DumpedEntries(D, false, false);
  ASSERT_EQ(2u, Plain.size());
  EXPECT_EQ("A [13][5]*[200]~[127]", Plain[0].substr(44));
  EXPECT_EQ("A[13]", Plain[1].substr(44));

  D.StartLog(DefaultLogSize);
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 1, 8, Bytes));
  ASSERT_TRUE(D.PutEntry(dtUser, dstNone, 2, 8, "A\r"));
  std::vector<std::string> InHex = DumpedEntries(D, true, false);
  ASSERT_EQ(2u, InHex.size());
  EXPECT_EQ("A[20][0D][05]*[C8]~[7F]", InHex[0].substr(44));
  EXPECT_EQ("A[0D]", InHex[1].substr(44));

  // All in hex, except what a user entry carries: its bytes go out as they are.
  D.StartLog(DefaultLogSize);
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 1, 8, Bytes));
  ASSERT_TRUE(D.PutEntry(dtUser, dstNone, 2, 8, "A x"));
  std::vector<std::string> AllHex = DumpedEntries(D, false, true);
  ASSERT_EQ(2u, AllHex.size());
  EXPECT_EQ("[41][20][0D][05][2A][C8][7E][7F]", AllHex[0].substr(44));
  EXPECT_EQ("A x", AllHex[1].substr(44));
}

TEST_F(AwUserLogTest, LongDataContinuesUnderTheDataColumn) {
  TLogDispatcher D;
  std::string Letters;
  for (int I = 0; I < 100; ++I) {
    Letters += static_cast<char>('a' + I % 26);
  }
  D.StartLog(DefaultLogSize);
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 7, 100, Letters));
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 8, 20, std::string(20, '\r')));
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 9, 3, "abc"));
  std::vector<std::string> Got = DumpedEntries(D, false, false);

  // 100 one-column bytes: 33 per line (columns 45..77), then 33, 33 and 1.
  ASSERT_EQ(4u + 3u + 1u, Got.size());
  EXPECT_EQ("0000.007  Dispatch  ReadCom       00000064  " + Letters.substr(0, 33), Got[0]);
  EXPECT_EQ(Blanks44 + Letters.substr(33, 33), Got[1]);
  EXPECT_EQ(Blanks44 + Letters.substr(66, 33), Got[2]);
  EXPECT_EQ(Blanks44 + Letters.substr(99), Got[3]);
  // Four-column bytes: eight to a line.
  std::string Eight;
  for (int I = 0; I < 8; ++I) {
    Eight += "[13]";
  }
  EXPECT_EQ(44u + 32u, Got[4].size());
  EXPECT_EQ(Eight, Got[4].substr(44));
  EXPECT_EQ(Blanks44 + Eight, Got[5]);
  EXPECT_EQ(Blanks44 + "[13][13][13][13]", Got[6]);
  // The next entry starts a fresh line of its own.
  EXPECT_EQ("0000.009  Dispatch  ReadCom       00000003  abc", Got[7]);

  // A wide byte that would cross the limit moves whole to the next line.
  D.StartLog(DefaultLogSize);
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 1, 0, std::string(32, 'x') + "\xC8"));
  Got = DumpedEntries(D, false, false);
  ASSERT_EQ(2u, Got.size());
  EXPECT_EQ(std::string(32, 'x'), Got[0].substr(44));
  EXPECT_EQ(Blanks44 + "[200]", Got[1]);
}

// ---------------------------------------------------------------------------------------
// The log ring

TEST_F(AwUserLogTest, FullRingDropsWholeOldestEntriesAndKeepsOrder) {
  TLogDispatcher D;
  D.StartLog(100);
  ASSERT_EQ(100u, D.Free());
  // Three entries of 26 bytes fit; the fourth pushes out the first only.
  for (uint32_t I = 1; I <= 3; ++I) {
    ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, I, I, std::string(10, char('0' + I))));
  }
  EXPECT_EQ(22u, D.Free());
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 4, 4, std::string(10, '4')));
  EXPECT_EQ(22u, D.Free());
  // An entry of 50 bytes needs two more to go.
  ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, 5, 5, std::string(34, '5')));
  EXPECT_EQ(24u, D.Free());
  auto All = D.TakeAll();
  ASSERT_EQ(2u, All.size());
  EXPECT_EQ(4u, All[0].first.Data);
  EXPECT_EQ(std::string(10, '4'), All[0].second);
  EXPECT_EQ(5u, All[1].first.Data);
  EXPECT_EQ(std::string(34, '5'), All[1].second);
  EXPECT_EQ(100u, D.Free());

  // Entries of every size, split over the ring's end at every offset: what is left is
  // always the newest entries that fit, intact and in order.
  D.ClearLog();
  std::deque<std::pair<uint32_t, std::string>> Model;
  uint32_t Used = 0;
  for (uint32_t I = 0; I < 400; ++I) {
    std::string Data;
    for (uint32_t J = 0; J < (I * 7) % 61; ++J) {
      Data += static_cast<char>((I + J) & 0xFF);
    }
    uint32_t Size = 16 + static_cast<uint32_t>(Data.size());
    while (Used + Size > 100) {
      Used -= 16 + static_cast<uint32_t>(Model.front().second.size());
      Model.pop_front();
    }
    Model.emplace_back(I, Data);
    Used += Size;
    ASSERT_TRUE(D.PutEntry(dtDispatch, dstReadCom, I, I, Data));
    ASSERT_EQ(100u - Used, D.Free()) << "entry " << I;
  }
  All = D.TakeAll();
  ASSERT_EQ(Model.size(), All.size());
  for (std::size_t K = 0; K < All.size(); ++K) {
    EXPECT_EQ(Model[K].first, All[K].first.Data);
    EXPECT_EQ(Model[K].first, All[K].first.Time);
    EXPECT_EQ(Model[K].second, All[K].second);
  }
}

TEST_F(AwUserLogTest, EntryAsLargeAsTheRingIsRefused) {
  TLogDispatcher D;
  D.StartLog(100);
  ASSERT_TRUE(D.PutEntry(dtTrigger, dstAvail, 1, 1, ""));
  // Raw bytes: as many as the ring holds are refused, one fewer is taken.
  std::string Hundred(100, 'z');
  EXPECT_FALSE(D.PutLogBytes(Hundred.data(), 100));
  EXPECT_EQ(84u, D.Free());
  // Through AddLogEntry, header and data together must be smaller than the ring; a refused
  // entry leaves the others alone.
  D.AddLogEntry(dtDispatch, dstReadCom, 84, Hundred.data(), 84);
  EXPECT_EQ(84u, D.Free());
  auto All = D.TakeAll();
  ASSERT_EQ(1u, All.size());
  EXPECT_EQ(dtTrigger, All[0].first.Kind);

  ASSERT_TRUE(D.PutEntry(dtTrigger, dstAvail, 1, 1, ""));
  D.AddLogEntry(dtDispatch, dstReadCom, 83, Hundred.data(), 83);
  EXPECT_EQ(1u, D.Free());
  All = D.TakeAll();
  ASSERT_EQ(1u, All.size());
  EXPECT_EQ(dtDispatch, All[0].first.Kind);
  EXPECT_EQ(Hundred.substr(0, 83), All[0].second);

  // An entry whose data needs the whole room of the others never loses its own header,
  // even when the ring is full and the entry wraps its end.
  for (int I = 0; I < 5; ++I) {
    ASSERT_TRUE(D.PutEntry(dtTrigger, dstAvail, 1, 1, ""));
  }
  D.AddLogEntry(dtDispatch, dstReadCom, 70, Hundred.data(), 70);
  All = D.TakeAll();
  ASSERT_EQ(1u, All.size());
  EXPECT_EQ(70u, All[0].first.Length);
  EXPECT_EQ(Hundred.substr(0, 70), All[0].second);
  EXPECT_EQ(100u, D.Free());
}

TEST_F(AwUserLogTest, AddLogEntryFollowsTheLoggingState) {
  TLogDispatcher D;
  // Before StartLog nothing is kept.
  D.AddLogEntry(dtDispatch, dstReadCom, 3, "abc", 3);
  EXPECT_FALSE(D.HasLogRing());
  D.ResumeLog();
  EXPECT_FALSE(D.Logging());

  D.SetLogStart(AdTimeGetTime() - 5000);
  D.StartLog(1000);
  EXPECT_TRUE(D.Logging());
  D.AddLogEntry(dtDispatch, dstReadCom, 3, "abc", 3);
  D.AddLogEntry(dtTrigger, dstAvail, 0, nullptr, 3);
  D.AddLogEntry(dtTrigger, dstAvail, 5, nullptr, 4); // no bytes to copy: no data part
  D.PauseLog();
  D.AddLogEntry(dtTrigger, dstTimer, 0, nullptr, 9);
  D.ResumeLog();
  D.AddLogEntry(dtTriggerDataChange, dstAvailTrigger, 0, nullptr, 7);

  auto All = D.TakeAll();
  ASSERT_EQ(4u, All.size());
  EXPECT_EQ(dtDispatch, All[0].first.Kind);
  EXPECT_EQ(dstReadCom, All[0].first.SubKind);
  EXPECT_EQ(3u, All[0].first.Data);
  EXPECT_EQ("abc", All[0].second);
  EXPECT_EQ(0u, All[1].first.Length);
  EXPECT_EQ(0u, All[2].first.Length);
  EXPECT_EQ(4u, All[2].first.Data);
  EXPECT_EQ(7u, All[3].first.Data);
  for (auto& Entry : All) {
    // Time since the start of the log; the upper bound only guards against garbage.
    EXPECT_GE(Entry.first.Time, 5000u);
    EXPECT_LT(Entry.first.Time, 5000u + 600000u);
    EXPECT_EQ(0u, Entry.first.Reserved);
  }

  // StartLog on an existing ring empties it and leaves the state alone.
  D.AddLogEntry(dtDispatch, dstReadCom, 1, "x", 1);
  D.PauseLog();
  D.StartLog(50);
  EXPECT_FALSE(D.Logging());
  EXPECT_EQ(1000u, D.RingSize());
  EXPECT_EQ(1000u, D.Free());

  D.ResumeLog();
  D.AddLogEntry(dtDispatch, dstReadCom, 1, "x", 1);
  D.DiscardLog();
  EXPECT_FALSE(D.HasLogRing());
  EXPECT_FALSE(D.Logging());
  std::string Path = PathOf("discarded.log");
  EXPECT_EQ(0, D.WriteLog(Path, false, false));
  EXPECT_FALSE(fs::exists(Path));
}

// ---------------------------------------------------------------------------------------
// Log dumps: empty logs, append, failures

TEST_F(AwUserLogTest, EmptyLogLeavesTheFileAlone) {
  std::string Path = PathOf("old.log");
  WriteFile(Path, "earlier text\r\n");

  TLogDispatcher D;
  EXPECT_EQ(0, D.WriteLog(Path, false, false)); // no ring
  D.StartLog(DefaultLogSize);
  EXPECT_EQ(0, D.WriteLog(Path, false, false)); // empty ring
  EXPECT_EQ("earlier text\r\n", ReadFile(Path));
  // Even an empty dump ends logging.
  EXPECT_FALSE(D.HasLogRing());
  D.AddLogEntry(dtDispatch, dstReadCom, 1, "x", 1);
  EXPECT_EQ(0, D.WriteLog(Path, false, false));
  EXPECT_EQ("earlier text\r\n", ReadFile(Path));
}

TEST_F(AwUserLogTest, AppendKeepsEarlierTextWriteReplacesIt) {
  std::string Path = PathOf("calls.log");
  WriteFile(Path, "earlier text\r\n");

  TLogDispatcher D;
  D.StartLog(DefaultLogSize);
  D.AddLogEntry(dtDispatch, dstReadCom, 2, "OK", 2);
  ASSERT_EQ(0, D.AppendLog(Path, false, false));
  std::vector<std::string> Got = Lines(ReadFile(Path));
  ASSERT_EQ(1u + 7u + 1u, Got.size());
  EXPECT_EQ("earlier text", Got[0]);
  EXPECT_EQ("ORVO v4.06", Got[1]);
  EXPECT_EQ("Device: ", Got[4]);
  EXPECT_EQ(Got[8].substr(8), "  Dispatch  ReadCom       00000002  OK");

  D.StartLog(DefaultLogSize);
  D.AddLogEntry(dtTrigger, dstAvail, 0, nullptr, 2);
  ASSERT_EQ(0, D.WriteLog(Path, false, false));
  Got = Lines(ReadFile(Path));
  ASSERT_EQ(7u + 1u, Got.size());
  EXPECT_EQ("ORVO v4.06", Got[0]);
  EXPECT_EQ(Got[7].substr(8), "  Trigger   Avail         00000002  ");

  // Appending to a file that is not there creates it.
  std::string Fresh = PathOf("fresh.log");
  D.StartLog(DefaultLogSize);
  D.AddLogEntry(dtTrigger, dstAvail, 0, nullptr, 2);
  ASSERT_EQ(0, D.AppendLog(Fresh, false, false));
  EXPECT_EQ(8u, Lines(ReadFile(Fresh)).size());
}

TEST_F(AwUserLogTest, OpenFailureKeepsTheLogButStopsRecording) {
  TLogDispatcher D;
  D.StartLog(DefaultLogSize);
  D.AddLogEntry(dtDispatch, dstReadCom, 4, "RING", 4);

  EXPECT_EQ(ecFileNotFound, D.WriteLog(PathOf("missing/folder/x.log"), false, false));
  EXPECT_EQ(ecAccessDenied, D.WriteLog(Folder.string(), false, false)); // a folder
  EXPECT_TRUE(D.HasLogRing());
  EXPECT_FALSE(D.Logging());
  D.AddLogEntry(dtDispatch, dstReadCom, 2, "OK", 2); // not recorded: logging is off

  std::string Path = PathOf("later.log");
  ASSERT_EQ(0, D.WriteLog(Path, false, false));
  std::vector<std::string> Got = Lines(ReadFile(Path));
  ASSERT_EQ(8u, Got.size());
  EXPECT_EQ("RING", Got[7].substr(44));
}

TEST_F(AwUserLogTest, WriteFailureIsReported) {
  if (!fs::exists("/dev/full")) {
    GTEST_SKIP() << "no /dev/full here";
  }
  TLogDispatcher D;
  D.StartLog(DefaultLogSize);
  D.AddLogEntry(dtDispatch, dstReadCom, 4, "RING", 4);
  // The text gathered is written at the end, so the failure shows in the result.
  EXPECT_EQ(-static_cast<int32_t>(Platform::errDiskFull), D.WriteLog("/dev/full", false, false));
  EXPECT_FALSE(D.HasLogRing());
}

// ---------------------------------------------------------------------------------------
// Trace

TEST_F(AwUserLogTest, StartTraceLimitsAndStates) {
  TLogDispatcher D;
  D.AddTraceEntry('T', 'x'); // no ring: nothing
  EXPECT_FALSE(D.HasTraceRing());

  EXPECT_EQ(ecBadArgument, D.StartTrace(MaxTraceCapacity + 1));
  EXPECT_FALSE(D.HasTraceRing());
  EXPECT_FALSE(D.Tracing());
  ASSERT_EQ(0, D.StartTrace(MaxTraceCapacity));
  EXPECT_TRUE(D.Tracing());
  D.DiscardTrace();
  EXPECT_FALSE(D.HasTraceRing());
  EXPECT_FALSE(D.Tracing());

  ASSERT_EQ(0, D.StartTrace(10));
  D.AddTraceBytes('T', "abc", 3);
  EXPECT_EQ(3u, D.TraceIndex());
  D.PauseTrace();
  D.AddTraceEntry('T', 'd');
  EXPECT_EQ(3u, D.TraceIndex());
  D.ResumeTrace();
  D.AddTraceEntry('T', 'd');
  EXPECT_EQ(4u, D.TraceIndex());
  // Starting again on a ring clears it, whatever capacity is asked for now.
  D.PauseTrace();
  EXPECT_EQ(0, D.StartTrace(MaxTraceCapacity + 1));
  EXPECT_TRUE(D.Tracing());
  EXPECT_EQ(0u, D.TraceIndex());
  D.AddTraceBytes('R', "0123456789", 10);
  EXPECT_TRUE(D.Wrapped());
  EXPECT_EQ(0u, D.TraceIndex());
  EXPECT_EQ(0, D.ClearTrace());
  EXPECT_FALSE(D.Wrapped());
  EXPECT_TRUE(D.Tracing());

  // A ring of no pairs takes nothing and writes nothing.
  D.DiscardTrace();
  ASSERT_EQ(0, D.StartTrace(0));
  D.AddTraceBytes('R', "abc", 3);
  std::string Path = PathOf("none.trc");
  EXPECT_EQ(0, D.WriteTrace(Path, false, false));
  EXPECT_FALSE(fs::exists(Path));
}

TEST_F(AwUserLogTest, TraceWritesOneBlockPerRunOfTags) {
  TLogDispatcher D;
  ASSERT_EQ(0, D.StartTrace(DefaultTraceSize));
  D.AddTraceBytes('T', "ATZ\r", 4);
  D.AddTraceBytes('R', "\r\nOK\r\n", 6);
  D.AddTraceEntry('T', 'A');
  D.AddTraceEntry('T', 'T');
  D.AddTraceEntry('!', ' ');
  D.AddTraceEntry('R', 'x');
  std::string Path = PathOf("CallerID.trc");
  ASSERT_EQ(0, D.WriteTrace(Path, false, false));
  EXPECT_EQ("Transmit: \r\nATZ[13]\r\n\r\n"
            "Receive: \r\n[13][10]OK[13][10]\r\n\r\n"
            "Transmit: \r\nAT\r\n\r\n"
            "Special-!: \r\n \r\n\r\n"
            "Receive: \r\nx",
            ReadFile(Path));
  EXPECT_FALSE(D.HasTraceRing());
  EXPECT_FALSE(D.Tracing());

  // Append adds after what is there; the same rules in hex.
  ASSERT_EQ(0, D.StartTrace(DefaultTraceSize));
  D.AddTraceBytes('R', "A \r", 3);
  ASSERT_EQ(0, D.AppendTrace(Path, true, false));
  ASSERT_EQ(0, D.StartTrace(DefaultTraceSize));
  D.AddTraceBytes('R', "A \r", 3);
  ASSERT_EQ(0, D.AppendTrace(Path, false, true));
  std::string Text = ReadFile(Path);
  EXPECT_EQ("Receive: \r\nxReceive: \r\nA[20][0D]Receive: \r\n[41][20][0D]",
            Text.substr(Text.find("Receive: \r\nx")));
}

TEST_F(AwUserLogTest, WrappedTraceStartsAtTheHead) {
  TLogDispatcher D;
  ASSERT_EQ(0, D.StartTrace(5));
  D.AddTraceBytes('T', "ab", 2);
  D.AddTraceBytes('R', "cdefg", 5); // overwrites a, b
  EXPECT_TRUE(D.Wrapped());
  EXPECT_EQ(2u, D.TraceIndex());
  std::string Path = PathOf("wrapped.trc");
  ASSERT_EQ(0, D.WriteTrace(Path, false, false));
  EXPECT_EQ("Receive: \r\ncdefg", ReadFile(Path));

  ASSERT_EQ(0, D.StartTrace(4));
  D.AddTraceBytes('T', "123456", 6); // head 2: the oldest left is '3'
  D.AddTraceEntry('R', 'x');         // replaces '3'
  ASSERT_EQ(0, D.WriteTrace(Path, false, false));
  EXPECT_EQ("Transmit: \r\n456\r\n\r\nReceive: \r\nx", ReadFile(Path));
}

TEST_F(AwUserLogTest, TraceLinesWrapPastColumn78) {
  TLogDispatcher D;
  ASSERT_EQ(0, D.StartTrace(DefaultTraceSize));
  std::string Letters(170, 'q');
  D.AddTraceBytes('R', Letters.data(), 170);
  D.AddTraceBytes('T', std::string(21, '\r').data(), 21);
  std::string Path = PathOf("width.trc");
  ASSERT_EQ(0, D.WriteTrace(Path, false, false));
  std::vector<std::string> Got = Lines(ReadFile(Path));
  // 78 to a line of one-column characters, 19 of four columns ([13]); no indentation.
  ASSERT_EQ(1u + 3u + 1u + 1u + 2u, Got.size());
  EXPECT_EQ("Receive: ", Got[0]);
  EXPECT_EQ(std::string(78, 'q'), Got[1]);
  EXPECT_EQ(std::string(78, 'q'), Got[2]);
  EXPECT_EQ(std::string(14, 'q'), Got[3]);
  EXPECT_EQ("", Got[4]);
  EXPECT_EQ("Transmit: ", Got[5]);
  std::string Nineteen;
  for (int I = 0; I < 19; ++I) {
    Nineteen += "[13]";
  }
  EXPECT_EQ(Nineteen, Got[6]);
  EXPECT_EQ("[13][13]", Got[7]);
}

TEST_F(AwUserLogTest, TraceDumpFailuresAndEmptyTraces) {
  TLogDispatcher D;
  std::string Path = PathOf("old.trc");
  WriteFile(Path, "earlier");
  EXPECT_EQ(0, D.WriteTrace(Path, false, false)); // no ring
  ASSERT_EQ(0, D.StartTrace(10));
  EXPECT_EQ(0, D.WriteTrace(Path, false, false)); // nothing recorded
  EXPECT_EQ("earlier", ReadFile(Path));
  EXPECT_FALSE(D.HasTraceRing());

  // A file that cannot be opened costs the trace.
  ASSERT_EQ(0, D.StartTrace(10));
  D.AddTraceBytes('T', "AT", 2);
  EXPECT_EQ(ecFileNotFound, D.WriteTrace(PathOf("missing/x.trc"), false, false));
  EXPECT_FALSE(D.HasTraceRing());
  EXPECT_FALSE(D.Tracing());
  EXPECT_EQ(0, D.WriteTrace(Path, false, false));
  EXPECT_EQ("earlier", ReadFile(Path));
}

// ---------------------------------------------------------------------------------------
// Recording on a dispatcher that reads a real device

// Waits (pumping nothing) until Done() or a generous limit; the limit is no measurement.
template <typename F> bool WaitFor(F Done) {
  auto Limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Limit) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST_F(AwUserLogTest, LogRecordsEveryDeviceReadOfAnOpenPort) {
  PtyTest::TPty Pty;
  ASSERT_FALSE(Pty.SlavePath.empty());
  TApdWin32Dispatcher D(nullptr);
  ASSERT_EQ(0, D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 4096, 0));
  D.StartLog(DefaultLogSize);
  Pty.Send("RING\r\nOK");
  ASSERT_TRUE(WaitFor([&] { return D.InputUsed() >= 8; }));

  std::string Path = PathOf("port.log");
  ASSERT_EQ(0, D.WriteLog(Path, false, false));
  D.ClosePort();
  std::vector<std::string> Got = Lines(ReadFile(Path));
  ASSERT_GT(Got.size(), 7u);
  std::string Data;
  for (std::size_t I = 7; I < Got.size(); ++I) {
    if (Got[I].compare(8, 26, "  Dispatch  ReadCom" + std::string(7, ' ')) != 0) {
      continue;
    }
    // The data value is the byte count; [13] and [10] stand for one byte each.
    std::string Bytes = Got[I].substr(44);
    uint32_t Count = static_cast<uint32_t>(std::stoul(Got[I].substr(34, 8), nullptr, 16));
    EXPECT_EQ(Count, Bytes.size() - 3 * std::count(Bytes.begin(), Bytes.end(), '[')) << Got[I];
    Data += Bytes;
  }
  EXPECT_EQ("RING[13][10]OK", Data);
}

} // namespace
