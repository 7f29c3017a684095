// The port component: defaults and setters of a closed port, the flow and buffer rules,
// opening on handed-over descriptors and on port numbers mapped to real pseudo-terminals
// through a ports table, the open failures, the close with trace and log, the deferred close
// from inside an event, triggers across a port change, listeners, loading and FindComPort.
#include "port/AdPort.h"

#include "DispatcherTestSupport.h"

#include "common/AdExcept.h"
#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using DispatcherTest::ChildEndsWithin;
using DispatcherTest::PatienceMs;
using DispatcherTest::PumpUntil;

// A raw pseudo-terminal pair with both sides open; the test closes what the port does not own.
struct TPtyPair {
  TPtyPair() {
    termios Raw{};
    cfmakeraw(&Raw);
    char Name[128] = {};
    if (openpty(&Master, &Slave, Name, &Raw, nullptr) != 0)
      Master = Slave = -1;
    Path = Name;
  }
  ~TPtyPair() {
    if (Master >= 0)
      ::close(Master);
    if (Slave >= 0 && IsOpen(Slave))
      ::close(Slave);
  }
  static bool IsOpen(int Fd) { return ::fcntl(Fd, F_GETFD) != -1 || errno != EBADF; }
  int Master = -1;
  int Slave = -1;
  std::string Path;
};

class TOwner : public TComponent {
public:
  using TComponent::TComponent;
};

// A port chooser that answers as scripted and counts its calls.
class TScriptedChooser : public TPortChooser {
public:
  TScriptedChooser(int Result, uint16_t Number) : FResult(Result), FNumber(Number) {}
  int Choose(uint16_t& ComNumber) override {
    ++Calls;
    ComNumber = FNumber;
    return FResult;
  }
  int Calls = 0;

private:
  int FResult;
  uint16_t FNumber;
};

class TChooserScope {
public:
  explicit TChooserScope(TPortChooser* Chooser) : FPrevious(SetPortChooser(Chooser)) {}
  ~TChooserScope() { SetPortChooser(FPrevious); }

private:
  TPortChooser* FPrevious;
};

// A dispatcher on the real device layer that records the device name it is opened with.
class TNameRecorder : public TApdWin32Dispatcher {
public:
  TNameRecorder(TApdCustomComPort* Owner, std::string* Seen)
      : TApdWin32Dispatcher(Owner), FSeen(Seen) {}
  ~TNameRecorder() override { DestroyDispatcher(); }

protected:
  int32_t DeviceOpen(const char* Name, uint32_t InSize, uint32_t OutSize) override {
    *FSeen = Name != nullptr ? Name : "(null)";
    return TApdWin32Dispatcher::DeviceOpen(Name, InSize, OutSize);
  }

private:
  std::string* FSeen;
};

template <class E> int32_t CodeOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const E& Error) {
    return Error.ErrorCode();
  }
  return 0;
}

// The lines of a CR LF text.
std::vector<std::string> LinesOf(const std::string& Text) {
  std::vector<std::string> Lines;
  std::size_t Start = 0;
  while (Start < Text.size()) {
    const std::size_t End = Text.find("\r\n", Start);
    Lines.push_back(Text.substr(Start, End == std::string::npos ? End : End - Start));
    if (End == std::string::npos)
      break;
    Start = End + 2;
  }
  return Lines;
}

std::string FileText(const fs::path& Path) {
  std::ifstream In(Path);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// ---------------------------------------------------------------------------------------
// A closed port

TEST(AdPortTest, DefaultsOfAFreshPort) {
  TApdComPort Port;
  EXPECT_EQ(dlWin32, Port.DeviceLayer());
  EXPECT_EQ(0, Port.ComNumber());
  EXPECT_EQ(19200, Port.Baud());
  EXPECT_TRUE(Port.PromptForPort());
  EXPECT_EQ(pNone, Port.Parity());
  EXPECT_EQ(8, Port.DataBits());
  EXPECT_EQ(1, Port.StopBits());
  EXPECT_EQ(4096, Port.InSize());
  EXPECT_EQ(4096, Port.OutSize());
  EXPECT_TRUE(Port.AutoOpen());
  EXPECT_FALSE(Port.Open());
  EXPECT_TRUE(Port.DTR());
  EXPECT_TRUE(Port.RTS());
  EXPECT_EQ(0u, Port.HWFlowOptions());
  EXPECT_EQ(swfNone, Port.SWFlowOptions());
  EXPECT_EQ(17, Port.XOnChar());
  EXPECT_EQ(19, Port.XOffChar());
  EXPECT_EQ(0, Port.BufferFull());
  EXPECT_EQ(0, Port.BufferResume());
  EXPECT_EQ(tlOff, Port.Tracing());
  EXPECT_EQ(10000u, Port.TraceSize());
  EXPECT_EQ("ORVO.TRC", Port.TraceName());
  EXPECT_TRUE(Port.TraceHex());
  EXPECT_FALSE(Port.TraceAllHex());
  EXPECT_EQ(tlOff, Port.Logging());
  EXPECT_EQ(10000u, Port.LogSize());
  EXPECT_EQ("ORVO.LOG", Port.LogName());
  EXPECT_TRUE(Port.LogHex());
  EXPECT_FALSE(Port.LogAllHex());
  EXPECT_TRUE(Port.UseMSRShadow());
  Port.SetUseMSRShadow(false);
  EXPECT_TRUE(Port.UseMSRShadow());
  EXPECT_TRUE(Port.UseEventWord());
  EXPECT_EQ(10, Port.CommNotificationLevel());
  EXPECT_EQ(tmAuto, Port.TapiMode());
  EXPECT_FALSE(Port.RS485Mode());
  EXPECT_EQ(-1, Port.TapiHandle());
  EXPECT_EQ(ostClosed, Port.OpenState());
  EXPECT_EQ(nullptr, Port.Dispatcher());
  EXPECT_EQ(0u, Port.NotifyWindow());
  EXPECT_EQ(1, Port.AvailTriggerLength());
  EXPECT_EQ(0, Port.ThreadPriorityBoost());
  EXPECT_EQ(1u << dlWin32, Port.SupportedLayers());
  EXPECT_FALSE(Port.OnTriggerAvail().Assigned());
  EXPECT_EQ(-1, Port.DeviceHandle());
  EXPECT_EQ("", Port.DispatcherDeviceName());
  Port.SetDispatcherDeviceName("ignored while closed");
  EXPECT_EQ("", Port.DispatcherDeviceName());
  Port.SetDeviceLayer(dlWinsock); // not supported here
  EXPECT_EQ(dlWin32, Port.DeviceLayer());
  Port.SetTraceName(std::string(300, 'x'));
  EXPECT_EQ(255u, Port.TraceName().size());
}

TEST(AdPortTest, SizeClampsAndRounding) {
  TApdComPort Port;
  Port.SetTraceSize(5000000);
  EXPECT_EQ(4000000u, Port.TraceSize());
  Port.SetLogSize(20000000);
  EXPECT_EQ(16000000u, Port.LogSize());
  Port.SetTraceSize(4000000);
  EXPECT_EQ(4000000u, Port.TraceSize());
  Port.SetLogSize(123);
  EXPECT_EQ(123u, Port.LogSize());

  // Halves go to the even neighbour, everything else to the nearest.
  EXPECT_EQ(4u, RoundHalfEven(5, 9, 10));       // 4.5
  EXPECT_EQ(14u, RoundHalfEven(15, 9, 10));     // 13.5
  EXPECT_EQ(3686u, RoundHalfEven(4096, 9, 10)); // 3686.4
  EXPECT_EQ(410u, RoundHalfEven(4096, 1, 10));  // 409.6
  EXPECT_EQ(2u, RoundHalfEven(10, 1, 4));       // 2.5
  EXPECT_EQ(4u, RoundHalfEven(14, 1, 4));       // 3.5
}

TEST(AdPortTest, BufferLimitsFollowInSizeAndTheFlowOptions) {
  TApdComPort Port;
  Port.SetBufferFull(5000);
  EXPECT_EQ(3686, Port.BufferFull());
  Port.SetBufferResume(4000); // above BufferFull: a tenth of it
  EXPECT_EQ(369, Port.BufferResume());
  Port.SetBufferFull(1000);
  EXPECT_EQ(1000, Port.BufferFull());
  EXPECT_EQ(369, Port.BufferResume());

  // Turning flow on fills in limits only where they are unset or out of range.
  TApdComPort Hw;
  Hw.SetHWFlowOptions(HWFlowBit(hwfRequireCTS));
  EXPECT_EQ(3686, Hw.BufferFull());
  EXPECT_EQ(410, Hw.BufferResume());
  TApdComPort Sw;
  Sw.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(3072, Sw.BufferFull());
  EXPECT_EQ(1024, Sw.BufferResume());
  TApdComPort Odd;
  Odd.SetInSize(15);
  Odd.SetHWFlowOptions(HWFlowBit(hwfUseDTR));
  EXPECT_EQ(14, Odd.BufferFull());  // 13.5
  EXPECT_EQ(2, Odd.BufferResume()); // 1.5
  TApdComPort Kept;
  Kept.SetBufferFull(2000);
  Kept.SetBufferResume(100);
  Kept.SetSWFlowOptions(swfReceive);
  EXPECT_EQ(2000, Kept.BufferFull());
  EXPECT_EQ(100, Kept.BufferResume());
}

TEST(AdPortTest, HardwareFlowAndRs485ExcludeEachOther) {
  TApdComPort Port;
  Port.SetHWFlowOptions(HWFlowBit(hwfUseDTR) | HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS));
  Port.SetRS485Mode(true);
  EXPECT_TRUE(Port.RS485Mode());
  EXPECT_EQ(HWFlowBit(hwfUseDTR), Port.HWFlowOptions());
  EXPECT_FALSE(Port.RTS());
  Port.SetHWFlowOptions(HWFlowBit(hwfUseDTR) | HWFlowBit(hwfRequireDSR));
  EXPECT_TRUE(Port.RS485Mode()); // neither RTS nor CTS flow
  Port.SetHWFlowOptions(HWFlowBit(hwfUseRTS));
  EXPECT_FALSE(Port.RS485Mode());
  Port.SetRS485Mode(true);
  Port.SetHWFlowOptions(HWFlowBit(hwfRequireCTS));
  EXPECT_FALSE(Port.RS485Mode());
}

TEST(AdPortTest, TracingAndLoggingOnAClosedPortKeepOnlyOnOrOff) {
  TApdComPort Port;
  Port.SetTracing(tlPause);
  EXPECT_EQ(tlOff, Port.Tracing());
  Port.SetTracing(tlOn);
  EXPECT_EQ(tlOn, Port.Tracing());
  Port.SetTracing(tlPause);
  EXPECT_EQ(tlOff, Port.Tracing());
  Port.SetLogging(tlOn);
  Port.SetLogging(tlDump);
  EXPECT_EQ(tlOff, Port.Logging());
  Port.SetLogging(tlAppend);
  EXPECT_EQ(tlOff, Port.Logging());
}

TEST(AdPortTest, ListenersAreAddedAndRemovedById) {
  TApdComPort Port;
  const int A = Port.AddListener({});
  const int B = Port.AddListener({});
  EXPECT_NE(A, B);
  ASSERT_EQ(2u, Port.Listeners().size());
  EXPECT_TRUE(Port.RemoveListener(A));
  EXPECT_FALSE(Port.RemoveListener(A));
  ASSERT_EQ(1u, Port.Listeners().size());
  EXPECT_EQ(B, Port.Listeners()[0].Id);
}

TEST(AdPortTest, AssignCopiesSettingsAndTheFirstFiveTriggerEvents) {
  TApdComPort Source;
  Source.SetComNumber(7);
  Source.SetBaud(2400);
  Source.SetParity(pEven);
  Source.SetInSize(2048);
  Source.SetAutoOpen(false);
  Source.SetTracing(tlOn);
  Source.SetTraceName("x.trc");
  Source.SetLogSize(777);
  Source.SetTapiMode(tmOff);
  Source.SetSWFlowOptions(swfTransmit);
  Source.AddListener({});
  Source.SetOnTriggerAvail([](TObject*, uint16_t) {});
  Source.SetOnTriggerOutSent([](TObject*) {});
  Source.OnPortOpen = [](TObject*) {};
  TApdComPort Target;
  Target.Assign(&Source);
  EXPECT_EQ(7, Target.ComNumber());
  EXPECT_EQ(2400, Target.Baud());
  EXPECT_EQ(pEven, Target.Parity());
  EXPECT_EQ(2048, Target.InSize());
  EXPECT_FALSE(Target.AutoOpen());
  EXPECT_EQ(tlOn, Target.Tracing());
  EXPECT_EQ("x.trc", Target.TraceName());
  EXPECT_EQ(777u, Target.LogSize());
  EXPECT_EQ(tmOff, Target.TapiMode());
  EXPECT_EQ(swfTransmit, Target.SWFlowOptions());
  EXPECT_EQ(1536, Target.BufferFull());
  EXPECT_EQ(1u, Target.Listeners().size());
  EXPECT_TRUE(Target.OnTriggerAvail().Assigned());
  EXPECT_FALSE(Target.OnTriggerOutSent().Assigned());
  EXPECT_TRUE(Target.OnPortOpen.Assigned());
  TOwner NotAPort;
  Target.Assign(&NotAPort); // ignored
  EXPECT_EQ(7, Target.ComNumber());
}

TEST(AdPortTest, ComNumberZeroWithoutPromptingOrWithoutAChoice) {
  TApdComPort Port;
  Port.SetTapiMode(tmOff);
  Port.SetPromptForPort(false);
  TScriptedChooser Chooser(1, 3);
  TChooserScope Scope(&Chooser);
  EXPECT_EQ(ecNoPortSelected, CodeOf<ENoPortSelected>([&] { Port.SetOpen(true); }));
  EXPECT_EQ(0, Chooser.Calls);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(nullptr, Port.Dispatcher());

  Port.SetPromptForPort(true);
  TScriptedChooser Cancel(2, 3);
  TChooserScope CancelScope(&Cancel);
  EXPECT_EQ(ecNoPortSelected, CodeOf<ENoPortSelected>([&] { Port.SetOpen(true); }));
  EXPECT_EQ(1, Cancel.Calls);
  EXPECT_EQ(0, Port.ComNumber());
  SetPortChooser(nullptr);
  EXPECT_EQ(ecNoPortSelected, CodeOf<ENoPortSelected>([&] { Port.SetOpen(true); }));
  EXPECT_EQ(ostClosed, Port.OpenState());
}

TEST(AdPortTest, TapiModeWithoutAHandle) {
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  const int32_t Before = DispatcherListCount();
  EXPECT_EQ(ecNotOpenedByTapi, CodeOf<ENotOpenedByTapi>([&] { Port.SetOpen(true); }));
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(ostClosed, Port.OpenState());
  EXPECT_EQ(nullptr, Port.Dispatcher());
  EXPECT_EQ(Before, DispatcherListCount());
}

TEST(AdPortTest, FindComPortSearchesDepthFirstAndKeepsANestedPort) {
  TOwner Form;
  EXPECT_EQ(nullptr, FindComPort(&Form));
  EXPECT_EQ(nullptr, FindComPort(nullptr));

  auto* Panel = CreateComponent<TOwner>(&Form);
  auto* Empty = CreateComponent<TOwner>(Panel);
  auto* Inner = CreateComponent<TOwner>(Panel);
  auto* Nested = CreateComponent<TApdComPort>(Inner);
  auto* After = CreateComponent<TOwner>(&Form);
  auto* Direct = CreateComponent<TApdComPort>(&Form);
  (void)Empty;
  (void)After;
  // The port inside Panel comes first in depth-first order, and later siblings (one of them
  // a port owned by the form itself) do not replace it.
  EXPECT_EQ(Nested, FindComPort(&Form));
  EXPECT_EQ(Nested, FindComPort(Panel));

  Nested->Free();
  EXPECT_EQ(Direct, FindComPort(&Form));
  EXPECT_EQ(nullptr, FindComPort(Panel));
}

// ---------------------------------------------------------------------------------------
// Handed-over descriptors (tmOn)

TEST(AdPortTest, TapiHandleIsTakenOwnedAndClosedWithThePort) {
  TPtyPair Pty;
  ASSERT_GE(Pty.Slave, 0);
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ(ostOpen, Port.OpenState());
  EXPECT_NE(0u, Port.NotifyWindow());
  EXPECT_EQ(Pty.Slave, Port.DeviceHandle());
  EXPECT_EQ("COM0", Port.DispatcherDeviceName());
  Port.SetDispatcherDeviceName("Modem A");
  EXPECT_EQ("Modem A", Port.DispatcherDeviceName());
  Port.SetOpen(true); // already open: nothing changes
  EXPECT_EQ("Modem A", Port.DispatcherDeviceName());

  Port.SetOpen(false);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(ostClosed, Port.OpenState());
  EXPECT_EQ(0u, Port.NotifyWindow());
  EXPECT_FALSE(TPtyPair::IsOpen(Pty.Slave));
  EXPECT_EQ(-1, Port.TapiHandle()); // never taken twice
  EXPECT_EQ(-1, Port.DeviceHandle());
  EXPECT_EQ("", Port.DispatcherDeviceName());
  EXPECT_THROW(Port.SetOpen(true), ENotOpenedByTapi);
}

TEST(AdPortTest, DestroyingAnOpenPortClosesItsHandle) {
  TPtyPair Pty;
  ASSERT_GE(Pty.Slave, 0);
  auto Owner = std::make_unique<TOwner>();
  auto* Port = CreateComponent<TApdComPort>(Owner.get());
  Port->SetTapiMode(tmOn);
  Port->SetTapiHandle(Pty.Slave);
  Port->SetOpen(true);
  ASSERT_TRUE(TPtyPair::IsOpen(Pty.Slave));
  Owner.reset();
  EXPECT_FALSE(TPtyPair::IsOpen(Pty.Slave));
}

TEST(AdPortTest, ReadBackInTapiModeOverwritesTheProperties) {
  TPtyPair Pty;
  ASSERT_GE(Pty.Slave, 0);
  termios Line{};
  ASSERT_EQ(0, tcgetattr(Pty.Slave, &Line));
  cfsetispeed(&Line, B2400);
  cfsetospeed(&Line, B2400);
  Line.c_iflag |= IXON; // Xon/Xoff on what we send only
  Line.c_iflag &= ~IXOFF;
  Line.c_cc[VSTART] = 0x05;
  Line.c_cc[VSTOP] = 0x06;
  ASSERT_EQ(0, tcsetattr(Pty.Slave, TCSANOW, &Line));

  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetBaud(115200);
  Port.SetSWFlowOptions(swfReceive);
  Port.SetHWFlowOptions(HWFlowBit(hwfRequireDSR));
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ(2400, Port.Baud());
  EXPECT_EQ(swfTransmit, Port.SWFlowOptions());
  EXPECT_EQ(0u, Port.HWFlowOptions());
  EXPECT_EQ(0x05, Port.XOnChar());
  EXPECT_EQ(0x06, Port.XOffChar());
  EXPECT_EQ(pNone, Port.Parity());
  EXPECT_EQ(8, Port.DataBits());
  EXPECT_EQ(1, Port.StopBits());
  // Pushed back to the device as read: transmit flow stays output flow.
  termios After{};
  ASSERT_EQ(0, tcgetattr(Pty.Slave, &After));
  EXPECT_NE(0u, After.c_iflag & IXON);
  EXPECT_EQ(0u, After.c_iflag & IXOFF);
  EXPECT_EQ(B2400, cfgetospeed(&After));
  EXPECT_EQ(0x05, After.c_cc[VSTART]);
}

TEST(AdPortTest, FlushInBufferDiscardsPendingInput) {
  TPtyPair Pty;
  ASSERT_GE(Pty.Slave, 0);
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetOpen(true);
  ASSERT_EQ(3, ::write(Pty.Master, "abc", 3));
  ASSERT_TRUE(PumpUntil([&] { return Port.Dispatcher()->InputUsed() == 3; }));
  Port.FlushInBuffer();
  EXPECT_EQ(0u, Port.Dispatcher()->InputUsed());
  // Later input still arrives.
  ASSERT_EQ(1, ::write(Pty.Master, "z", 1));
  ASSERT_TRUE(PumpUntil([&] { return Port.Dispatcher()->InputUsed() == 1; }));
  char Byte = 0;
  EXPECT_EQ(1u, Port.Dispatcher()->GetBlock(&Byte, 1));
  EXPECT_EQ('z', Byte);
}

TEST(AdPortTest, FlushOnAClosedPortOpensItOnlyWithAutoOpen) {
  TPtyPair Pty;
  ASSERT_GE(Pty.Slave, 0);
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetAutoOpen(false);
  EXPECT_EQ(ecCommNotOpen, CodeOf<ECommNotOpen>([&] { Port.FlushInBuffer(); }));
  EXPECT_EQ(ecCommNotOpen, CodeOf<ECommNotOpen>([&] { Port.TraceStart(0); }));
  EXPECT_FALSE(Port.Open());
  Port.SetAutoOpen(true);
  Port.FlushOutBuffer();
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Pty.Slave, Port.DeviceHandle());
}

TEST(AdPortTest, ADescriptorThatIsNoTerminalIsRefusedAndStaysTheCallers) {
  int Pipe[2];
  ASSERT_EQ(0, ::pipe(Pipe));
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pipe[0]);
  EXPECT_THROW(Port.SetOpen(true), Exception);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(nullptr, Port.Dispatcher());
  EXPECT_TRUE(TPtyPair::IsOpen(Pipe[0]));
  EXPECT_EQ(Pipe[0], Port.TapiHandle());
  ::close(Pipe[0]);
  ::close(Pipe[1]);
}

TEST(AdPortTest, OpenWhileLoadingWaitsForLoaded) {
  TPtyPair Pty;
  ASSERT_GE(Pty.Slave, 0);
  TOwner Owner;
  Owner.BeginLoading();
  auto* Port = CreateComponent<TApdComPort>(&Owner);
  Port->SetTapiMode(tmOn);
  Port->SetOpen(true); // only remembered while loading
  EXPECT_TRUE(Port->OpenAfterLoad());
  EXPECT_EQ(nullptr, Port->Dispatcher());
  Port->SetTapiHandle(Pty.Slave);
  EXPECT_NO_THROW(Port->FlushInBuffer()); // loading: neither opens nor raises
  EXPECT_EQ(nullptr, Port->Dispatcher());
  Owner.EndLoading();
  EXPECT_TRUE(Port->Open());
  EXPECT_FALSE(Port->OpenAfterLoad());
  EXPECT_EQ(Pty.Slave, Port->DeviceHandle());
}

TEST(AdPortTest, AFailedOpenInLoadedGoesToTheHandlerAndLoadingGoesOn) {
  std::vector<std::string> Seen;
  TPortExceptionHandler Previous =
      SetPortExceptionHandler([&](const std::exception& E) { Seen.push_back(E.what()); });
  TOwner Owner;
  Owner.BeginLoading();
  auto* Port = CreateComponent<TApdComPort>(&Owner);
  Port->SetTapiMode(tmOn); // and no handle
  Port->SetOpen(true);
  EXPECT_NO_THROW(Owner.EndLoading());
  SetPortExceptionHandler(Previous);
  EXPECT_FALSE(Port->Open());
  ASSERT_EQ(1u, Seen.size());
  EXPECT_EQ("Comport was not opened by Tapi", Seen[0]);
}

// ---------------------------------------------------------------------------------------
// Port numbers mapped to pseudo-terminals through the ports table

class AdPortDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Pattern = (fs::temp_directory_path() / "adport-XXXXXX").string();
    ASSERT_NE(nullptr, ::mkdtemp(Pattern.data()));
    Folder = Pattern;
    if (const char* Old = std::getenv("RINGLET_PORTS_FILE"))
      OldPortsFile = Old;
    ::setenv("RINGLET_PORTS_FILE", (Folder / "ports.ini").c_str(), 1);
    std::ofstream Out(Folder / "ports.ini");
    Out << "[Ports]\nCOM3=" << Three.Path << "\nCOM4=" << Four.Path
        << "\nCOM9=" << (Folder / "no-such-device").string() << "\nCOM12=" << Twelve.Path << "\n";
  }
  void TearDown() override {
    if (OldPortsFile)
      ::setenv("RINGLET_PORTS_FILE", OldPortsFile->c_str(), 1);
    else
      ::unsetenv("RINGLET_PORTS_FILE");
    fs::remove_all(Folder);
  }

  TPtyPair Three, Four, Twelve;
  fs::path Folder;
  std::optional<std::string> OldPortsFile;
};

TEST_F(AdPortDeviceTest, DeviceNamesForPort12) {
  std::string Seen;
  TApdComPort Port;
  Port.SetComNumber(12);
  Port.SetDispatcherFactory([&](TApdCustomComPort* P) { return new TNameRecorder(P, &Seen); });
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ("\\\\.\\COM12", Seen);
  EXPECT_EQ("COM12", Port.DispatcherDeviceName());
  ::write(Twelve.Master, "x", 1);
  EXPECT_TRUE(PumpUntil([&] { return Port.Dispatcher()->InputUsed() == 1; }));
}

TEST_F(AdPortDeviceTest, PromptedPortIsOpened) {
  TScriptedChooser Chooser(1, 3);
  TChooserScope Scope(&Chooser);
  TApdComPort Port;
  Port.SetOpen(true);
  EXPECT_EQ(1, Chooser.Calls);
  EXPECT_EQ(3, Port.ComNumber());
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ("COM3", Port.DispatcherDeviceName());
}

TEST_F(AdPortDeviceTest, MissingAndBusyDevices) {
  TApdComPort Port;
  Port.SetComNumber(9);
  const int32_t Before = DispatcherListCount();
  EXPECT_EQ(ecBadId, CodeOf<EBadId>([&] { Port.SetOpen(true); }));
  EXPECT_EQ(ostClosed, Port.OpenState());
  EXPECT_EQ(nullptr, Port.Dispatcher());
  Port.SetComNumber(30); // no device behind the default either
  EXPECT_EQ(ecBadId, CodeOf<EBadId>([&] { Port.SetOpen(true); }));

  Platform::TSerialDevice Holder;
  ASSERT_TRUE(Holder.Open(Three.Path));
  Port.SetComNumber(3);
  EXPECT_EQ(ecAlreadyOpen, CodeOf<EAlreadyOpen>([&] { Port.SetOpen(true); }));
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Before, DispatcherListCount());
  Holder.Close();
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
}

TEST_F(AdPortDeviceTest, SettersForwardToTheOpenDevice) {
  TApdComPort Port;
  Port.SetComNumber(3);
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  Port.SetBaud(38400);
  EXPECT_EQ(38400u, BaudFromCode(Port.Dispatcher()->LineSettings().Baud));
  Port.SetSWFlowOptions(swfReceive);
  EXPECT_TRUE(Port.Dispatcher()->LineSettings().XonXoffIn);
  EXPECT_FALSE(Port.Dispatcher()->LineSettings().XonXoffOut);
  Port.SetXOnChar(0x01);
  EXPECT_EQ(0x01, Port.Dispatcher()->LineSettings().XonChar);
  Port.SetUseEventWord(false);
  EXPECT_EQ(0u, Port.Dispatcher()->OptionBits() & 4);
  Port.SetRS485Mode(true);
  EXPECT_TRUE(Port.Dispatcher()->Rs485On());
  Port.SetThreadPriorityBoost(1);
  EXPECT_EQ(1, Port.Dispatcher()->BoostLevel());
}

TEST_F(AdPortDeviceTest, CloseWritesTraceAndLogAndLeavesThemOff) {
  TApdComPort Port;
  Port.SetComNumber(4);
  Port.SetTraceName((Folder / "port.trc").string());
  Port.SetLogName((Folder / "port.log").string());
  Port.SetTracing(tlOn);
  Port.SetLogging(tlOn);
  uint16_t Arrived = 0;
  Port.SetOnTriggerAvail([&](TObject*, uint16_t Count) {
    char Buffer[64];
    Arrived += static_cast<uint16_t>(Port.Dispatcher()->GetBlock(Buffer, Count));
  });
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ(tlOn, Port.Tracing());
  EXPECT_EQ(tlOn, Port.Logging());
  ASSERT_EQ(5, ::write(Four.Master, "hello", 5));
  ASSERT_TRUE(PumpUntil([&] { return Arrived == 5; }));
  Port.SetOpen(false);
  EXPECT_EQ(tlOff, Port.Tracing());
  EXPECT_EQ(tlOff, Port.Logging());
  EXPECT_EQ("Receive: \r\nhello", FileText(Folder / "port.trc"));
  // The log: its header, the notice window's registration, and every byte read.
  const std::vector<std::string> Log = LinesOf(FileText(Folder / "port.log"));
  ASSERT_GT(Log.size(), 7u);
  EXPECT_EQ("ORVO v4.06", Log[0]);
  EXPECT_EQ("Device: COM4", Log[3]);
  EXPECT_EQ("Time      Type      SubType       Data      OtherData", Log[5]);
  std::string Read;
  bool Registered = false;
  for (std::size_t I = 7; I < Log.size(); ++I) {
    ASSERT_GE(Log[I].size(), 44u) << Log[I];
    const std::string Fixed = Log[I].substr(8, 36);
    if (Fixed.rfind("  Dispatch  ReadCom       ", 0) == 0)
      Read += Log[I].substr(44);
    if (Fixed.rfind("  TrgHdAlc  Window        ", 0) == 0)
      Registered = true;
  }
  EXPECT_EQ("hello", Read);
  EXPECT_TRUE(Registered);

  // A reopen does not restart them; a pause on the closed port stays off.
  Port.SetTracing(tlPause);
  EXPECT_EQ(tlOff, Port.Tracing());
  fs::remove(Folder / "port.trc");
  Port.SetOpen(true);
  EXPECT_EQ(tlOff, Port.Tracing());
  EXPECT_EQ(tlOff, Port.Logging());
  Port.SetOpen(false);
  EXPECT_FALSE(fs::exists(Folder / "port.trc"));
}

TEST_F(AdPortDeviceTest, TracingStateMachineOnAnOpenPort) {
  TApdComPort Port;
  Port.SetComNumber(3);
  const fs::path Trace = Folder / "t.trc";
  Port.SetTraceName(Trace.string());
  Port.SetTraceHex(false);
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  uint32_t Arrived = 0;
  // Bytes from the far end, once the port has read them (nothing takes them here).
  auto Receive = [&](const std::string& Text) {
    ASSERT_EQ(static_cast<ssize_t>(Text.size()), ::write(Three.Master, Text.data(), Text.size()));
    Arrived += static_cast<uint32_t>(Text.size());
    ASSERT_TRUE(PumpUntil([&] { return Port.Dispatcher()->InputUsed() == Arrived; }));
  };

  Port.SetTracing(tlPause); // nothing runs: stays off
  EXPECT_EQ(tlOff, Port.Tracing());
  Receive("unseen");
  // Clearing empties the ring and tracing goes on.
  Port.SetTracing(tlOn);
  Receive("one");
  Port.SetTracing(tlClear);
  EXPECT_EQ(tlOn, Port.Tracing());
  Receive("two");
  Port.SetTracing(tlDump);
  EXPECT_EQ(tlOff, Port.Tracing());
  EXPECT_EQ("Receive: \r\ntwo", FileText(Trace));

  // A pause leaves out what comes meanwhile.
  Port.SetTracing(tlOn);
  Receive("three");
  Port.SetTracing(tlPause);
  EXPECT_EQ(tlPause, Port.Tracing());
  Receive("paused");
  Port.SetTracing(tlOn);
  Receive("four");
  // Appending keeps what the file holds.
  Port.SetTracing(tlAppend);
  EXPECT_EQ(tlOff, Port.Tracing());
  EXPECT_EQ("Receive: \r\ntwoReceive: \r\nthreefour", FileText(Trace));

  // Clearing a paused trace empties it and keeps it paused.
  Port.SetTracing(tlOn);
  Receive("five");
  Port.SetTracing(tlPause);
  Port.SetTracing(tlClear);
  EXPECT_EQ(tlPause, Port.Tracing());
  Port.SetTracing(tlOn);
  Receive("six");
  Port.SetTracing(tlDump);
  EXPECT_EQ("Receive: \r\nsix", FileText(Trace));

  // A new size restarts the running trace with a ring of that many characters.
  Port.SetTracing(tlOn);
  Receive("lost");
  Port.SetTraceSize(4);
  EXPECT_EQ(tlOn, Port.Tracing());
  Receive("abcdefgh");
  Port.SetTracing(tlDump);
  EXPECT_EQ("Receive: \r\nefgh", FileText(Trace));
  Port.SetTraceSize(5000000);
  EXPECT_EQ(4000000u, Port.TraceSize());
}

TEST_F(AdPortDeviceTest, ComNumberChangeReopensOnTheNewDeviceWithItsTriggers) {
  TApdComPort Port;
  Port.SetComNumber(3);
  Port.SetTraceName((Folder / "c.trc").string());
  std::vector<uint16_t> Matches;
  Port.SetOnTriggerData([&](TObject*, uint16_t Handle) { Matches.push_back(Handle); });
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  const int32_t Trigger = Port.Dispatcher()->AddDataTrigger("RING", false);
  ASSERT_GT(Trigger, 0);
  Port.SetTracing(tlOn);
  TApdBaseDispatcher* Old = Port.Dispatcher();
  (void)Old;

  Port.SetComNumber(4);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ(4, Port.ComNumber());
  EXPECT_EQ("COM4", Port.DispatcherDeviceName());
  EXPECT_EQ(tlOn, Port.Tracing());
  // Port 3 is free again.
  Platform::TSerialDevice Probe;
  EXPECT_TRUE(Probe.Open(Three.Path));
  Probe.Close();
  ASSERT_EQ(4, ::write(Four.Master, "RING", 4));
  ASSERT_TRUE(PumpUntil([&] { return !Matches.empty(); }));
  EXPECT_EQ(Trigger, Matches[0]);
}

TEST_F(AdPortDeviceTest, ListenersAndEventsHearOpenAndClose) {
  TApdComPort Port;
  Port.SetComNumber(3);
  std::vector<std::string> Heard;
  TApdPortListener Simple;
  Simple.Simple = [&](TApdCustomComPort*, bool Opening) {
    Heard.push_back(Opening ? "simple open" : "simple close");
  };
  TApdPortListener Extended;
  Extended.WantsClosing = true;
  Extended.Extended = [&](TApdCustomComPort* P, TPortListenerKind Kind) {
    Heard.push_back("extended " + std::to_string(Kind) + " " + std::to_string(P->OpenState()));
  };
  TApdPortListener ByWindow;
  ByWindow.WantsClosing = true;
  ByWindow.Window = Platform::CreateHiddenWindow(
      [&](Platform::TWindowHandle, uint32_t Msg, uintptr_t, intptr_t) -> intptr_t {
        if (Msg >= ApwPortOpen && Msg <= ApwPortClosing)
          Heard.push_back("window " + std::to_string(Msg - ApwPortOpen));
        return 0;
      });
  ASSERT_NE(0u, ByWindow.Window);
  Port.AddListener(Simple);
  Port.AddListener(Extended);
  const int WindowId = Port.AddListener(ByWindow);
  Port.OnPortOpen = [&](TObject*) { Heard.push_back("OnPortOpen"); };
  Port.OnPortClose = [&](TObject*) { Heard.push_back("OnPortClose"); };
  Port.SetOpen(true);
  Port.SetOpen(false);
  EXPECT_EQ((std::vector<std::string>{"window 0", "extended 0 2", "simple open", "OnPortOpen",
                                      "window 2", "extended 1 1", "window 1", "extended 2 0",
                                      "simple close", "OnPortClose"}),
            Heard);
  Port.RemoveListener(WindowId);
  Platform::DestroyWindow(ByWindow.Window);
}

TEST_F(AdPortDeviceTest, ReopenPendingOnAClosingPort) {
  TApdComPort Port;
  Port.SetComNumber(3);
  TApdBaseDispatcher* First = nullptr;
  bool Closed = false;
  uint8_t StateInside = 0xFF;
  bool PendingInside = false;
  Port.SetOnTriggerAvail([&](TObject*, uint16_t) {
    if (Closed)
      return;
    Closed = true;
    Port.SetOpen(false);
    StateInside = Port.OpenState();
    Port.SetOpen(true);
    PendingInside = Port.ReopenPending();
  });
  Port.SetOpen(true);
  First = Port.Dispatcher();
  ASSERT_NE(nullptr, First);
  ASSERT_EQ(1, ::write(Three.Master, "x", 1));
  ASSERT_TRUE(PumpUntil([&] { return Closed; }));
  EXPECT_EQ(ostClosing, StateInside);
  EXPECT_TRUE(PendingInside);
  ASSERT_TRUE(PumpUntil([&] { return Port.OpenState() == ostOpen && !Port.ReopenPending(); }));
  EXPECT_TRUE(Port.Open());
  ASSERT_NE(nullptr, Port.Dispatcher());
  // The new dispatcher works on the device.
  ASSERT_EQ(2, ::write(Three.Master, "yz", 2));
  EXPECT_TRUE(PumpUntil([&] { return Port.Dispatcher()->InputUsed() == 2; }));
}

TEST_F(AdPortDeviceTest, DeferredCloseFinishesWithoutReopen) {
  TApdComPort Port;
  Port.SetComNumber(3);
  int Calls = 0;
  Port.SetOnTriggerAvail([&](TObject*, uint16_t) {
    ++Calls;
    Port.SetOpen(false);
    Port.SetOpen(true);  // changed our mind ...
    Port.SetOpen(false); // ... and back: no reopen
  });
  Port.SetOpen(true);
  ASSERT_EQ(1, ::write(Three.Master, "x", 1));
  ASSERT_TRUE(PumpUntil([&] { return Port.OpenState() == ostClosed; }));
  EXPECT_EQ(1, Calls);
  EXPECT_FALSE(Port.Open());
  EXPECT_FALSE(Port.ReopenPending());
  EXPECT_EQ(nullptr, Port.Dispatcher());
  EXPECT_EQ(0u, Port.NotifyWindow());
  Platform::TSerialDevice Probe;
  EXPECT_TRUE(Probe.Open(Three.Path));
}

TEST_F(AdPortDeviceTest, NoticesBecomeTheirEvents) {
  TApdComPort Port;
  Port.SetComNumber(3);
  std::vector<std::string> Heard;
  auto Say = [&](const std::string& What, int A, int B = -1) {
    Heard.push_back(What + " " + std::to_string(A) + (B >= 0 ? " " + std::to_string(B) : ""));
  };
  Port.SetOnTrigger([&](TObject* CP, uint16_t Msg, uint16_t Handle, uint16_t Data) {
    EXPECT_EQ(&Port, CP);
    Say("trigger " + std::to_string(Msg - ApwTriggerAvail), Handle, Data);
  });
  Port.SetOnTriggerAvail([&](TObject*, uint16_t Count) {
    char Buffer[16];
    Say("avail", Count, static_cast<int>(Port.Dispatcher()->GetBlock(Buffer, Count)));
  });
  Port.SetOnTriggerTimer([&](TObject*, uint16_t Handle) { Say("timer", Handle); });
  Port.SetOnTriggerStatus([&](TObject*, uint16_t Handle) { Say("status", Handle); });
  Port.SetOnTriggerOutbuffFree([&](TObject*) { Say("outbuff free", 0); });
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ(0, Port.LineErrorCode());
  EXPECT_FALSE(Port.BreakReceived());
  EXPECT_NO_THROW(Port.YieldDevice());

  ASSERT_EQ(2, ::write(Three.Master, "ab", 2));
  ASSERT_TRUE(PumpUntil([&] { return Heard.size() >= 2; }));
  EXPECT_EQ((std::vector<std::string>{"trigger 0 2 2", "avail 2 2"}), Heard);

  Heard.clear();
  const int32_t Timer = Port.Dispatcher()->AddTimerTrigger();
  ASSERT_GT(Timer, 0);
  ASSERT_EQ(0, Port.Dispatcher()->SetTimerTrigger(Timer, 1, true));
  ASSERT_TRUE(PumpUntil([&] { return Heard.size() >= 2; }));
  EXPECT_EQ(("trigger 2 " + std::to_string(Timer) + " 0"), Heard[0]);
  EXPECT_EQ(("timer " + std::to_string(Timer)), Heard[1]);

  Heard.clear();
  const int32_t Free = Port.Dispatcher()->AddStatusTrigger(stOutBuffFree);
  ASSERT_GT(Free, 0);
  ASSERT_EQ(0, Port.Dispatcher()->SetStatusTrigger(Free, 1, true)); // room now: fires at once
  ASSERT_TRUE(PumpUntil([&] { return Heard.size() >= 3; }));
  EXPECT_EQ(("trigger 3 " + std::to_string(Free)), Heard[0].substr(0, Heard[0].rfind(' ')));
  EXPECT_EQ(("status " + std::to_string(Free)), Heard[1]);
  EXPECT_EQ("outbuff free 0", Heard[2]);
}

TEST_F(AdPortDeviceTest, PortFreedInsideItsOwnEvent) {
  auto* Port = new TApdComPort;
  Port->SetComNumber(3);
  bool Freed = false;
  Port->SetOnTriggerAvail([&](TObject*, uint16_t) {
    if (!Freed) {
      Freed = true;
      delete Port;
    }
  });
  const int32_t Before = DispatcherListCount();
  Port->SetOpen(true);
  ASSERT_EQ(1, ::write(Three.Master, "x", 1));
  ASSERT_TRUE(PumpUntil([&] { return Freed; }));
  // The dispatcher left behind is freed once its threads have ended: the device comes free.
  Platform::TSerialDevice Probe;
  EXPECT_TRUE(PumpUntil([&] { return Probe.Open(Three.Path); }));
  EXPECT_TRUE(PumpUntil([&] { return DispatcherListCount() <= Before; }));
}

TEST_F(AdPortDeviceTest, HandlerExceptionsEndInTheHandler) {
  std::vector<std::string> Seen;
  TPortExceptionHandler Previous =
      SetPortExceptionHandler([&](const std::exception& E) { Seen.push_back(E.what()); });
  TApdComPort Port;
  Port.SetComNumber(3);
  Port.SetOnTriggerAvail([&](TObject*, uint16_t) { throw std::runtime_error("from handler"); });
  Port.SetOpen(true);
  ASSERT_EQ(1, ::write(Three.Master, "x", 1));
  EXPECT_TRUE(PumpUntil([&] { return !Seen.empty(); }));
  SetPortExceptionHandler(Previous);
  ASSERT_FALSE(Seen.empty());
  EXPECT_EQ("from handler", Seen[0]);
  EXPECT_TRUE(Port.Open());
}

// ---------------------------------------------------------------------------------------
// Closing against failures: dumps that cannot be written, handlers that do not return

// Lock files go to a folder of the test's own, so that their removal is seen.
class TLockFolder {
public:
  explicit TLockFolder(const fs::path& Path) : FPath(Path) {
    fs::create_directory(FPath);
    ::setenv("RINGLET_LOCK_DIR", FPath.c_str(), 1);
  }
  ~TLockFolder() { ::unsetenv("RINGLET_LOCK_DIR"); }
  bool Empty() const { return fs::is_empty(FPath); }

private:
  fs::path FPath;
};

// A port on COM3 tracing and logging into a folder that does not exist.
std::unique_ptr<TApdComPort> PortDumpingNowhere(const fs::path& Folder) {
  auto Port = std::make_unique<TApdComPort>();
  Port->SetComNumber(3);
  Port->SetTraceName((Folder / "missing" / "port.trc").string());
  Port->SetLogName((Folder / "missing" / "port.log").string());
  Port->SetTracing(tlOn);
  Port->SetLogging(tlOn);
  return Port;
}

TEST_F(AdPortDeviceTest, CloseWhoseDumpsFailStillClosesAndReportsAfterwards) {
  TLockFolder Locks(Folder / "locks");
  const int32_t Before = DispatcherListCount();
  auto Port = PortDumpingNowhere(Folder);
  int Closed = 0;
  Port->OnPortClose = [&](TObject*) { ++Closed; };
  Port->SetOpen(true);
  ASSERT_TRUE(Port->Open());
  EXPECT_FALSE(Locks.Empty());
  ASSERT_EQ(2, ::write(Three.Master, "hi", 2));
  ASSERT_TRUE(PumpUntil([&] { return Port->Dispatcher()->InputUsed() == 2; }));

  // File not found (2), raised once the port is closed.
  EXPECT_EQ(2, CodeOf<EInOutError>([&] { Port->SetOpen(false); }));
  EXPECT_FALSE(Port->Open());
  EXPECT_EQ(ostClosed, Port->OpenState());
  EXPECT_EQ(nullptr, Port->Dispatcher());
  EXPECT_EQ(0u, Port->NotifyWindow());
  EXPECT_EQ(1, Closed);
  EXPECT_EQ(tlOff, Port->Tracing());
  EXPECT_EQ(tlOff, Port->Logging());
  EXPECT_TRUE(Locks.Empty());
  EXPECT_EQ(Before, DispatcherListCount());
  Platform::TSerialDevice Probe;
  EXPECT_TRUE(Probe.Open(Three.Path));
  Probe.Close();

  // The port opens again as usual.
  Port->SetOpen(true);
  EXPECT_TRUE(Port->Open());
}

TEST_F(AdPortDeviceTest, PortChangeWhoseDumpsFailStillMovesToTheNewPort) {
  auto Port = PortDumpingNowhere(Folder);
  Port->SetOpen(true);
  ASSERT_TRUE(Port->Open());
  const int32_t Trigger = Port->Dispatcher()->AddDataTrigger("RING", false);
  EXPECT_EQ(2, CodeOf<EInOutError>([&] { Port->SetComNumber(4); }));
  EXPECT_EQ(4, Port->ComNumber());
  ASSERT_TRUE(Port->Open());
  EXPECT_EQ("COM4", Port->DispatcherDeviceName());
  TApdSavedTriggers Now;
  Port->Dispatcher()->SaveTriggers(Now);
  ASSERT_TRUE(Now.DataTriggers.has_value());
  ASSERT_EQ(1u, Now.DataTriggers->size());
  EXPECT_EQ(Trigger, (*Now.DataTriggers)[0].Handle);
  Platform::TSerialDevice Probe;
  EXPECT_TRUE(Probe.Open(Three.Path));
  Probe.Close();
  Port->SetLogging(tlOff);
  Port->SetTracing(tlOff);
}

TEST_F(AdPortDeviceTest, DestroyingAPortWhoseDumpsFailReleasesEverything) {
  TLockFolder Locks(Folder / "locks");
  std::vector<std::string> Reported;
  TPortExceptionHandler Previous =
      SetPortExceptionHandler([&](const std::exception& E) { Reported.push_back(E.what()); });
  const int32_t Before = DispatcherListCount();
  auto Port = PortDumpingNowhere(Folder);
  Port->SetOpen(true);
  ASSERT_TRUE(Port->Open());
  Port.reset();
  SetPortExceptionHandler(Previous);
  EXPECT_EQ(1u, Reported.size());
  EXPECT_TRUE(Locks.Empty());
  EXPECT_EQ(Before, DispatcherListCount());
  Platform::TSerialDevice Probe;
  EXPECT_TRUE(Probe.Open(Three.Path));
}

TEST_F(AdPortDeviceTest, DestroyingAPortWhoseHandlerNeverReturnsGivesUpOnIt) {
  TLockFolder Locks(Folder / "locks");
  const int32_t Before = DispatcherListCount();
  auto Port = std::make_unique<TApdComPort>();
  Port->SetComNumber(3);
  Port->SetOpen(true);
  ASSERT_TRUE(Port->Open());
  Platform::TEvent Entered{true};
  Platform::TEvent Release{true};
  const int Key = 0;
  // Runs on the dispatch thread and stays there until the end of the test.
  Port->Dispatcher()->RegisterMethodHandler(
      &Key,
      [&](uint32_t Msg, uintptr_t, intptr_t) {
        if (Msg == ApwTriggerAvail) {
          Entered.Set();
          Platform::WaitForEvent(Release);
        }
      },
      false);
  ASSERT_EQ(1, ::write(Three.Master, "x", 1));
  ASSERT_EQ(Platform::wrObject0, Platform::WaitForEvent(Entered, PatienceMs));

  // A watchdog lets the handler go if the destruction waits for it.
  Platform::TEvent Destroyed{true};
  std::atomic<bool> Waited{false};
  std::thread Watchdog([&] {
    if (Platform::WaitForEvent(Destroyed, PatienceMs) != Platform::wrObject0) {
      Waited.store(true);
      Release.Set();
    }
  });
  Port.reset();
  Destroyed.Set();
  Watchdog.join();
  EXPECT_FALSE(Waited.load()) << "destroying the port waited for a handler that never returns";
  EXPECT_TRUE(Locks.Empty());
  Platform::TSerialDevice Probe;
  EXPECT_TRUE(Probe.Open(Three.Path));

  // Meanwhile the thread's queue stays quiet: nothing comes back at once to ask again.
  int Handled = 0;
  for (int Round = 0; Round < 20; ++Round) {
    Platform::WaitMessage(10);
    for (int I = 0; I < 1000 && SafeYield(); ++I)
      ++Handled;
  }
  EXPECT_LT(Handled, 20) << "messages kept coming while the handler ran";

  // When the handler does return, what was left behind goes.
  Release.Set();
  EXPECT_TRUE(PumpUntil([&] { return DispatcherListCount() <= Before; }));
}

// The child's side of the test below: opens COM3, lets a handler get stuck on the dispatch
// thread and destroys the port. True when it got that far.
bool DestroyWithAStuckHandler(int Master) {
  // Unset and alive for as long as the process: the handler waits on it for good.
  static Platform::TEvent* Never = new Platform::TEvent(true);
  static Platform::TEvent* Entered = new Platform::TEvent(true);
  static const int Key = 0;
  auto* Port = new TApdComPort;
  Port->SetComNumber(3);
  Port->SetOpen(true);
  if (!Port->Open())
    return false;
  Port->Dispatcher()->RegisterMethodHandler(
      &Key,
      [](uint32_t Msg, uintptr_t, intptr_t) {
        if (Msg == ApwTriggerAvail) {
          Entered->Set();
          Platform::WaitForEvent(*Never);
        }
      },
      false);
  if (::write(Master, "x", 1) != 1 ||
      Platform::WaitForEvent(*Entered, PatienceMs) != Platform::wrObject0)
    return false;
  delete Port;
  return true;
}

TEST_F(AdPortDeviceTest, AProgramEndsWhileAHandlerNeverReturns) {
  int Report[2];
  ASSERT_EQ(0, ::pipe(Report));
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    ::close(Report[0]);
    const char Reached = DestroyWithAStuckHandler(Three.Master) ? 'y' : 'n';
    if (::write(Report[1], &Reached, 1) != 1)
      std::_Exit(1);
    // Ends the way a program does, static objects and all.
    std::exit(0);
  }
  ::close(Report[1]);
  int Status = 0;
  const bool Ended = ChildEndsWithin(Child, PatienceMs, Status);
  char Reached = 0;
  EXPECT_EQ(1, ::read(Report[0], &Reached, 1));
  ::close(Report[0]);
  EXPECT_EQ('y', Reached) << "the port was not destroyed with its handler stuck";
  EXPECT_TRUE(Ended) << "the program never ended";
  // A sanitizer may report the workers left behind at the end; what counts is that it ends.
  EXPECT_TRUE(WIFEXITED(Status)) << Status;
}

TEST_F(AdPortDeviceTest, AssignOntoAnOpenPortKeepsTheSourcesTriggers) {
  TApdComPort Source;
  Source.SetComNumber(3);
  Source.SetOpen(true);
  ASSERT_TRUE(Source.Open());
  const int32_t SourceTrigger = Source.Dispatcher()->AddDataTrigger("RING", false);
  ASSERT_GT(SourceTrigger, 0);
  Source.Dispatcher()->AddDataTrigger("OK", false);

  TApdComPort Target;
  Target.SetComNumber(4);
  Target.SetOpen(true);
  ASSERT_TRUE(Target.Open());
  ASSERT_GT(Target.Dispatcher()->AddDataTrigger("NO CARRIER", false), 0);

  Target.Assign(&Source);
  EXPECT_FALSE(Target.Open());
  Source.SetOpen(false); // the device is the target's now
  std::vector<uint16_t> Matches;
  Target.SetOnTriggerData([&](TObject*, uint16_t Handle) { Matches.push_back(Handle); });
  Target.SetOpen(true);
  ASSERT_TRUE(Target.Open());
  TApdSavedTriggers Now;
  Target.Dispatcher()->SaveTriggers(Now);
  ASSERT_TRUE(Now.DataTriggers.has_value());
  std::vector<std::string> Texts;
  for (const TApdDataTrigger& T : *Now.DataTriggers)
    Texts.emplace_back(T.Text);
  EXPECT_EQ((std::vector<std::string>{"RING", "OK"}), Texts);
  ASSERT_EQ(4, ::write(Three.Master, "RING", 4));
  ASSERT_TRUE(PumpUntil([&] { return !Matches.empty(); }));
  EXPECT_EQ(SourceTrigger, Matches[0]);
}

} // namespace
