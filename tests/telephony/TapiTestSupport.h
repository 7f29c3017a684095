// Test support for the telephony service: loads libtapi32.so the way the line device component
// does (dlopen, symbols by name), plays a modem on a pseudo-terminal, writes the service's
// configuration file, and pumps the registering thread's queue until a condition holds.
// Every wait has a generous upper bound and fails the test when it passes.
#pragma once

#include "platform/Messages.h"
#include "telephony/Tapi.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace TapiTest {

using TestSupport::GenerousMs;
using TestSupport::TTempFolder;

inline const char* LibraryPath() {
  return RINGLET_BUILD_DIR "/telephony/libtapi32.so";
}

// The exported functions, looked up by name as the component does.
struct TTapi {
  void* Library = nullptr;
  decltype(&lineInitialize) Initialize = nullptr;
  decltype(&lineShutdown) Shutdown = nullptr;
  decltype(&lineNegotiateAPIVersion) Negotiate = nullptr;
  decltype(&lineGetDevCaps) GetDevCaps = nullptr;
  decltype(&lineOpen) Open = nullptr;
  decltype(&lineClose) Close = nullptr;
  decltype(&lineSetStatusMessages) SetStatusMessages = nullptr;
  decltype(&lineAccept) Accept = nullptr;
  decltype(&lineAnswer) Answer = nullptr;
  decltype(&lineDrop) Drop = nullptr;
  decltype(&lineDeallocateCall) Deallocate = nullptr;
  decltype(&lineMakeCall) MakeCall = nullptr;
  decltype(&lineGetCallInfo) GetCallInfo = nullptr;
  decltype(&lineGetCallStatus) GetCallStatus = nullptr;
  decltype(&lineGetID) GetID = nullptr;
  decltype(&lineGetDevConfig) GetDevConfig = nullptr;
  decltype(&lineMonitorDigits) MonitorDigits = nullptr;
  decltype(&lineDevSpecific) DevSpecific = nullptr;
  decltype(&lineGetLineDevStatus) GetLineDevStatus = nullptr;
};

template <class F> void Resolve(void* library, F& slot, const char* name) {
  slot = reinterpret_cast<F>(dlsym(library, name));
  if (!slot)
    throw std::runtime_error(std::string("libtapi32.so lacks ") + name);
}

inline TTapi& Tapi() {
  static TTapi tapi = [] {
    TTapi t;
    t.Library = dlopen(LibraryPath(), RTLD_NOW | RTLD_LOCAL);
    if (!t.Library)
      throw std::runtime_error(std::string("cannot load libtapi32.so: ") + dlerror());
    Resolve(t.Library, t.Initialize, "lineInitialize");
    Resolve(t.Library, t.Shutdown, "lineShutdown");
    Resolve(t.Library, t.Negotiate, "lineNegotiateAPIVersion");
    Resolve(t.Library, t.GetDevCaps, "lineGetDevCaps");
    Resolve(t.Library, t.Open, "lineOpen");
    Resolve(t.Library, t.Close, "lineClose");
    Resolve(t.Library, t.SetStatusMessages, "lineSetStatusMessages");
    Resolve(t.Library, t.Accept, "lineAccept");
    Resolve(t.Library, t.Answer, "lineAnswer");
    Resolve(t.Library, t.Drop, "lineDrop");
    Resolve(t.Library, t.Deallocate, "lineDeallocateCall");
    Resolve(t.Library, t.MakeCall, "lineMakeCall");
    Resolve(t.Library, t.GetCallInfo, "lineGetCallInfo");
    Resolve(t.Library, t.GetCallStatus, "lineGetCallStatus");
    Resolve(t.Library, t.GetID, "lineGetID");
    Resolve(t.Library, t.GetDevConfig, "lineGetDevConfig");
    Resolve(t.Library, t.MonitorDigits, "lineMonitorDigits");
    Resolve(t.Library, t.DevSpecific, "lineDevSpecific");
    Resolve(t.Library, t.GetLineDevStatus, "lineGetLineDevStatus");
    return t;
  }();
  return tapi;
}

// ---- A modem on the master side of a pseudo-terminal -------------------------------------

class TModemPeer {
public:
  TModemPeer() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
      throw std::runtime_error("no pseudo-terminal");
    FSlavePath = ptsname(FMaster);
    // Holding the slave open keeps the master readable while the service has it closed.
    FSlave = open(FSlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    FThread = std::thread([this] { Run(); });
  }
  ~TModemPeer() {
    {
      std::lock_guard lock(FLock);
      FStop = true;
    }
    if (FThread.joinable())
      FThread.join();
    CloseFds();
  }

  const std::string& SlavePath() const { return FSlavePath; }

  void Send(const std::string& text) {
    std::lock_guard lock(FLock);
    if (FMaster >= 0 && write(FMaster, text.data(), text.size()) < 0)
      ADD_FAILURE() << "peer write failed";
  }
  // A result line as a verbose modem frames it.
  void SendLine(const std::string& line) { Send("\r\n" + line + "\r\n"); }

  void SetSilent(bool silent) {
    std::lock_guard lock(FLock);
    FSilent = silent;
  }
  void Refuse(const std::string& command) {
    std::lock_guard lock(FLock);
    FRefused.insert(command);
  }
  // The command is taken and never answered.
  void Ignore(const std::string& command) {
    std::lock_guard lock(FLock);
    FIgnored.insert(command);
  }
  // In data mode nothing is taken for a command: bytes are only recorded, until "+++" escapes
  // back to command mode with OK.
  void SetDataMode(bool on) {
    std::lock_guard lock(FLock);
    FDataMode = on;
  }
  void SetFaxClasses(const std::string& classes) {
    std::lock_guard lock(FLock);
    FClasses = classes;
  }
  // Text written in one piece with the OK that ends the line's initialisation (the answer to
  // AT+FCLASS=?), as when a call starts just as the modem answers; sent once.
  void SetAfterInit(const std::string& text) {
    std::lock_guard lock(FLock);
    FAfterInit = text;
  }

  // Closes the master: for the service the device has vanished.
  void Vanish() {
    {
      std::lock_guard lock(FLock);
      FStop = true;
    }
    if (FThread.joinable())
      FThread.join();
    CloseFds();
  }

  std::vector<std::string> Commands() {
    std::lock_guard lock(FLock);
    return FCommands;
  }
  size_t CountCommand(const std::string& command) {
    std::lock_guard lock(FLock);
    return static_cast<size_t>(std::count(FCommands.begin(), FCommands.end(), command));
  }
  bool WaitCommand(const std::string& command, size_t count = 1, int timeoutMs = GenerousMs) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return static_cast<size_t>(std::count(FCommands.begin(), FCommands.end(), command)) >= count;
    });
  }
  bool WaitReceived(const std::string& text, int timeoutMs = GenerousMs) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return FReceived.find(text) != std::string::npos; });
  }

private:
  void Run() {
    std::string line;
    for (;;) {
      {
        std::lock_guard lock(FLock);
        if (FStop)
          return;
      }
      pollfd fd{FMaster, POLLIN, 0};
      if (poll(&fd, 1, 20) <= 0 || !(fd.revents & POLLIN))
        continue;
      char buffer[512];
      const ssize_t count = read(FMaster, buffer, sizeof buffer);
      if (count <= 0)
        continue;
      std::lock_guard lock(FLock);
      FReceived.append(buffer, static_cast<size_t>(count));
      if (FDataMode)
        TakeData(std::string(buffer, static_cast<size_t>(count)), line);
      else
        TakeCommands(std::string(buffer, static_cast<size_t>(count)), line);
      FChanged.notify_all();
    }
  }

  void TakeData(const std::string& bytes, std::string& data) {
    data += bytes;
    if (data.find("+++") == std::string::npos)
      return;
    FCommands.push_back("+++");
    FDataMode = false;
    data.clear();
    Reply("OK");
  }

  void TakeCommands(const std::string& bytes, std::string& line) {
    for (char c : bytes) {
      if (c != '\r' && c != '\n') {
        line += c;
        if (line.size() >= 3 && line.compare(line.size() - 3, 3, "+++") == 0) {
          FCommands.push_back("+++");
          line.clear();
          Reply("OK");
        }
        continue;
      }
      if (line.empty())
        continue;
      FCommands.push_back(line);
      Answer(line);
      line.clear();
    }
  }

  void Answer(const std::string& command) {
    if (FSilent || command.size() < 2 || strncasecmp(command.c_str(), "AT", 2) != 0 ||
        FIgnored.count(command))
      return;
    if (FRefused.count(command)) {
      Reply("ERROR");
    } else if (command == "AT+FCLASS=?") {
      Reply(FClasses);
      const std::string last = "\r\nOK\r\n" + std::exchange(FAfterInit, std::string());
      if (write(FMaster, last.data(), last.size()) < 0)
        ADD_FAILURE() << "peer reply failed";
    } else if (command != "ATA" && command.rfind("ATD", 0) != 0) {
      Reply("OK"); // ATA and ATD wait for the test to say how the call goes
    }
  }

  void Reply(const std::string& text) {
    const std::string framed = "\r\n" + text + "\r\n";
    if (write(FMaster, framed.data(), framed.size()) < 0)
      ADD_FAILURE() << "peer reply failed";
  }

  void CloseFds() {
    std::lock_guard lock(FLock);
    if (FMaster >= 0)
      close(FMaster);
    if (FSlave >= 0)
      close(FSlave);
    FMaster = FSlave = -1;
  }

  std::mutex FLock;
  std::condition_variable FChanged;
  int FMaster = -1;
  int FSlave = -1;
  std::string FSlavePath;
  bool FStop = false;
  bool FSilent = false;
  bool FDataMode = false;
  std::string FClasses = "0,1,2";
  std::string FAfterInit;
  std::set<std::string> FRefused;
  std::set<std::string> FIgnored;
  std::string FReceived;
  std::vector<std::string> FCommands;
  std::thread FThread;
};

// ---- Configuration -----------------------------------------------------------------------

// Fast timings for tests: a ring time-out of 1.5 s (long enough for a slow, sanitised run to
// keep up with rings sent 0.25 s apart), commands of 2 s, no idle check.
inline std::string LineSection(const std::string& section, const std::string& name,
                               const std::string& device, const std::string& extra = "") {
  // The first occurrence of a key counts, so the extra keys go before the test defaults.
  return "[" + section + "]\nName=" + name + "\nDevice=" + device + "\n" + extra +
         "RingTimeout=1.5\nCommandTimeout=2\nCheckInterval=0\nCallerIdPause=0.2\n"
         "EscapeGuard=0.1\n\n";
}

inline void WriteConfig(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
  setenv("RINGLET_TELEPHONY_CONFIG", path.c_str(), 1);
}

// ---- The registering thread --------------------------------------------------------------

struct TLineMsg {
  DWORD Device;
  DWORD Message;
  DWORD_PTR Instance;
  DWORD_PTR Param1, Param2, Param3;
};

// Messages the callback received, in order; only the registering (test) thread touches it.
inline std::vector<TLineMsg>& Received() {
  static std::vector<TLineMsg> received;
  return received;
}
// Runs inside the callback, after the message is recorded (re-entrant calls allowed).
inline std::function<void(const TLineMsg&)>& OnMessage() {
  static std::function<void(const TLineMsg&)> handler;
  return handler;
}

inline void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                     DWORD_PTR p3) {
  const TLineMsg msg{device, message, instance, p1, p2, p3};
  Received().push_back(msg);
  if (OnMessage())
    OnMessage()(msg);
}

inline void PumpOnce(uint32_t waitMs) {
  Platform::TMessage message;
  while (Platform::PeekMessage(message, true))
    Platform::DispatchMessage(message);
  Platform::WaitMessage(waitMs);
}

inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = GenerousMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    PumpOnce(20);
  }
  return true;
}

// Pumps for a while, for checks that something does NOT arrive.
inline void PumpFor(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end)
    PumpOnce(10);
}

// Index of the first message at or after `from` matching message (and param1 unless ~0).
inline int FindMsg(DWORD message, DWORD_PTR param1 = ~DWORD_PTR{0}, size_t from = 0) {
  const auto& all = Received();
  for (size_t i = from; i < all.size(); ++i)
    if (all[i].Message == message && (param1 == ~DWORD_PTR{0} || all[i].Param1 == param1))
      return static_cast<int>(i);
  return -1;
}

inline bool WaitMsg(DWORD message, DWORD_PTR param1 = ~DWORD_PTR{0}, size_t from = 0,
                    int timeoutMs = GenerousMs) {
  return PumpUntil([&] { return FindMsg(message, param1, from) >= 0; }, timeoutMs);
}

inline size_t CountMsg(DWORD message, DWORD_PTR param1 = ~DWORD_PTR{0}) {
  size_t count = 0;
  for (const TLineMsg& msg : Received())
    if (msg.Message == message && (param1 == ~DWORD_PTR{0} || msg.Param1 == param1))
      ++count;
  return count;
}

// A record of `size` bytes with dwTotalSize set, followed by guard bytes that must survive.
struct TRecordBuffer {
  static constexpr size_t Guard = 64;
  std::vector<unsigned char> Bytes;
  explicit TRecordBuffer(DWORD size) : Bytes(size + Guard, 0xAB) {
    std::memset(Bytes.data(), 0, size);
    std::memcpy(Bytes.data(), &size, sizeof size);
    FSize = size;
  }
  template <class T> T* As() { return reinterpret_cast<T*>(Bytes.data()); }
  bool GuardIntact() const {
    return std::all_of(Bytes.begin() + FSize, Bytes.end(),
                       [](unsigned char b) { return b == 0xAB; });
  }
  std::string StringAt(DWORD offset, DWORD size) const {
    return std::string(reinterpret_cast<const char*>(Bytes.data()) + offset, size);
  }

private:
  DWORD FSize;
};

} // namespace TapiTest
