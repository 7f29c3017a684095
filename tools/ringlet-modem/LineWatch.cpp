// LineWatch: list and watch over libtapi32.so. See LineWatch.h.
#include "LineWatch.h"

#include "platform/Messages.h"
#include "platform/Text.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <set>
#include <vector>

namespace RingletModem {

namespace {

constexpr uint32_t ReopenIntervalMs = 5000;

const char* TapiErrorName(LONG result) {
  switch (static_cast<DWORD>(result)) {
  case LINEERR_BADDEVICEID:
    return "bad device id";
  case LINEERR_INUSE:
    return "in use";
  case LINEERR_NODEVICE:
    return "no device";
  case LINEERR_NODRIVER:
    return "modem does not answer";
  case LINEERR_OPERATIONFAILED:
    return "operation failed";
  case LINEERR_RESOURCEUNAVAIL:
    return "resource unavailable";
  case LINEERR_INCOMPATIBLEAPIVERSION:
    return "incompatible API version";
  default:
    return "failed";
  }
}

std::string ErrorText(LONG result) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
  return std::string(TapiErrorName(result)) + " (" + code + ")";
}

// The bytes of a Size/Offset pair, the terminating NUL dropped; empty when they do not fit.
std::string Field(const void* record, DWORD total, DWORD size, DWORD offset) {
  if (size == 0 || offset < sizeof(DWORD) || offset > total || size > total - offset)
    return {};
  const char* p = static_cast<const char*>(record) + offset;
  std::string s(p, size);
  if (!s.empty() && s.back() == '\0')
    s.pop_back();
  return s;
}

// A record of the TAPI kind, grown until the service's dwNeededSize fits.
template <typename TRecord, typename TFill>
std::vector<uint64_t> GrowRecord(TFill fill, LONG& result) {
  std::vector<uint64_t> buffer((sizeof(TRecord) + 1024) / 8 + 1);
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto* record = reinterpret_cast<TRecord*>(buffer.data());
    std::memset(buffer.data(), 0, buffer.size() * 8);
    record->dwTotalSize = static_cast<DWORD>(buffer.size() * 8);
    result = fill(record);
    if (result != 0 || record->dwNeededSize <= record->dwTotalSize)
      return buffer;
    buffer.resize(record->dwNeededSize / 8 + 1);
  }
  return buffer;
}

struct TSession {
  HLINEAPP App = 0;
  DWORD NumDevs = 0;
};

// The callback has no context of its own beyond the instance; the watcher is reached
// through it.
class TWatcher;

void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
              DWORD_PTR p3);

bool Initialize(TSession& session, LINECALLBACK callback) {
  LONG r = lineInitialize(&session.App, nullptr, callback, "ringlet-modem", &session.NumDevs);
  if (r != 0) {
    std::fprintf(stderr, "ringlet-modem: lineInitialize: %s\n", ErrorText(r).c_str());
    return false;
  }
  return true;
}

std::string LineName(HLINEAPP app, DWORD device, DWORD* mediaModes) {
  LONG r = 0;
  auto buffer = GrowRecord<LINEDEVCAPS>(
      [&](LINEDEVCAPS* caps) { return lineGetDevCaps(app, device, TAPI_VERSION_1_4, 0, caps); }, r);
  if (r != 0)
    return "(" + ErrorText(r) + ")";
  auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
  if (mediaModes)
    *mediaModes = caps->dwMediaModes;
  return Field(caps, caps->dwTotalSize, caps->dwLineNameSize, caps->dwLineNameOffset);
}

class TWatcher {
public:
  explicit TWatcher(std::FILE* out) : FOut(out) {}

  bool Start() {
    if (!Initialize(FSession, Callback))
      return false;
    if (FSession.NumDevs == 0) {
      std::fprintf(stderr, "ringlet-modem: no lines configured (run ringlet-modem detect)\n");
      return false;
    }
    for (DWORD d = 0; d < FSession.NumDevs; ++d) {
      FNames[d] = LineName(FSession.App, d, nullptr);
      FClosed.insert(d);
    }
    OpenClosedLines();
    return true;
  }

  void Stop() {
    for (auto& [device, line] : FLines)
      lineClose(line);
    FLines.clear();
    if (FSession.App)
      lineShutdown(FSession.App);
    FSession.App = 0;
  }

  // Reopens what closed; called at start and every few seconds.
  void OpenClosedLines() {
    for (auto it = FClosed.begin(); it != FClosed.end();) {
      DWORD device = *it;
      HLINE line = 0;
      DWORD version = 0;
      LINEEXTENSIONID ext{};
      lineNegotiateAPIVersion(FSession.App, device, TAPI_VERSION_1_4, TAPI_VERSION_1_4, &version,
                              &ext);
      LONG r = lineOpen(FSession.App, device, &line, TAPI_VERSION_1_4, 0,
                        reinterpret_cast<DWORD_PTR>(this), LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_DATAMODEM, nullptr);
      if (r != 0) {
        if (!FReported.count(device))
          std::fprintf(stderr, "ringlet-modem: line %u \"%s\": %s; retrying\n", device,
                       FNames[device].c_str(), ErrorText(r).c_str());
        FReported.insert(device);
        ++it;
        continue;
      }
      lineSetStatusMessages(
          line, LINEDEVSTATE_RINGING | LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_INSERVICE, 0);
      std::fprintf(stderr, "ringlet-modem: watching line %u \"%s\"\n", device,
                   FNames[device].c_str());
      FLines[device] = line;
      FReported.erase(device);
      it = FClosed.erase(it);
    }
  }

  bool AnyClosed() const { return !FClosed.empty(); }

  void OnMessage(DWORD device, DWORD message, DWORD_PTR p1) {
    switch (message) {
    case LINE_CALLSTATE:
      OnCallState(device, static_cast<DWORD>(p1));
      break;
    case LINE_CALLINFO:
      if (p1 & LINECALLINFOSTATE_CALLERID)
        OnCallerId(device);
      break;
    case LINE_LINEDEVSTATE:
      if (p1 & LINEDEVSTATE_OUTOFSERVICE)
        std::fprintf(stderr, "ringlet-modem: a line is out of service\n");
      break;
    case LINE_CLOSE:
      OnLineClosed(device);
      break;
    default:
      break;
    }
  }

private:
  void OnCallState(HCALL call, DWORD state) {
    if (state == LINECALLSTATE_OFFERING) {
      FCalls.emplace(call, false);
    } else if (state == LINECALLSTATE_IDLE) {
      auto it = FCalls.find(call);
      if (it != FCalls.end() && !it->second)
        Print("(no caller ID)", "");
      FCalls.erase(call);
      lineDeallocateCall(call);
    }
  }

  void OnCallerId(HCALL call) {
    bool& printed = FCalls[call];
    if (printed)
      return; // one row per call: a later update of the same caller is not a new call
    LONG r = 0;
    auto buffer = GrowRecord<LINECALLINFO>(
        [&](LINECALLINFO* info) { return lineGetCallInfo(call, info); }, r);
    if (r != 0) {
      std::fprintf(stderr, "ringlet-modem: lineGetCallInfo: %s\n", ErrorText(r).c_str());
      return;
    }
    std::string number, name;
    CallerTexts(reinterpret_cast<LINECALLINFO*>(buffer.data()), number, name);
    Print(number, name);
    printed = true;
  }

  void OnLineClosed(HLINE line) {
    for (auto it = FLines.begin(); it != FLines.end(); ++it) {
      if (it->second == line) {
        std::fprintf(stderr, "ringlet-modem: line %u \"%s\" closed; reopening when it is back\n",
                     it->first, FNames[it->first].c_str());
        FClosed.insert(it->first);
        FReported.insert(it->first);
        FLines.erase(it);
        return;
      }
    }
  }

  void Print(const std::string& number, const std::string& name) {
    std::fprintf(FOut, "%s\n", CallRow(number, name).c_str());
    std::fflush(FOut);
  }

  std::FILE* FOut;
  TSession FSession;
  std::map<DWORD, std::string> FNames;
  std::map<DWORD, HLINE> FLines; // device id -> open line
  std::set<DWORD> FClosed;
  std::set<DWORD> FReported;    // failures already told, so retries stay quiet
  std::map<HCALL, bool> FCalls; // call -> row printed
};

void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
  // Messages about the registration itself carry no instance.
  if (instance)
    reinterpret_cast<TWatcher*>(instance)->OnMessage(device, message, p1);
}

void IgnoreCallback(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

void PumpMessages() {
  Platform::TMessage message;
  while (Platform::PeekMessage(message, true)) {
    Platform::TranslateMessage(message);
    Platform::DispatchMessage(message);
  }
}

} // namespace

void CallerTexts(const LINECALLINFO* info, std::string& number, std::string& name) {
  const DWORD flags = info->dwCallerIDFlags;
  auto absent = [&]() -> std::string {
    if (flags & LINECALLPARTYID_BLOCKED)
      return "Caller ID Blocked";
    if (flags & LINECALLPARTYID_OUTOFAREA)
      return "Out of Area Call";
    if (flags & LINECALLPARTYID_UNKNOWN)
      return "Unknown";
    if (flags & LINECALLPARTYID_UNAVAIL)
      return "Unavailable";
    return {};
  };
  const DWORD total = info->dwTotalSize;
  number = (flags & LINECALLPARTYID_ADDRESS)
               ? Field(info, total, info->dwCallerIDSize, info->dwCallerIDOffset)
               : absent();
  name = (flags & LINECALLPARTYID_NAME)
             ? Field(info, total, info->dwCallerIDNameSize, info->dwCallerIDNameOffset)
             : absent();
  number = std::string(Platform::Trim(number));
  name = std::string(Platform::Trim(name));
}

std::string CallRow(const std::string& number, const std::string& name) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%d/%m/%Y  %H:%M:%S", &tm);
  return std::string(stamp) + "  " + number + "  " + name;
}

int ListLines(std::FILE* out) {
  TSession session;
  if (!Initialize(session, IgnoreCallback))
    return 1;
  if (session.NumDevs == 0)
    std::fprintf(out, "no lines configured\n");
  for (DWORD d = 0; d < session.NumDevs; ++d) {
    DWORD media = 0;
    std::string name = LineName(session.App, d, &media);
    std::string modes;
    if (media & LINEMEDIAMODE_DATAMODEM)
      modes += "data modem";
    if (media & LINEMEDIAMODE_AUTOMATEDVOICE)
      modes += modes.empty() ? "voice" : ", voice";
    std::fprintf(out, "%u  %s  (%s)\n", d, name.c_str(), modes.empty() ? "-" : modes.c_str());
  }
  lineShutdown(session.App);
  return 0;
}

int WatchLines(std::FILE* out, int stopFd) {
  TWatcher watcher(out);
  if (!watcher.Start()) {
    watcher.Stop();
    return 1;
  }
  auto lastReopen = std::chrono::steady_clock::now();
  for (;;) {
    PumpMessages();
    pollfd fds[2] = {{Platform::QueueWakeDescriptor(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    int n = poll(fds, 2, watcher.AnyClosed() ? 500 : -1);
    if (n < 0 && errno != EINTR)
      break;
    if (n > 0 && (fds[1].revents & (POLLIN | POLLHUP)))
      break;
    auto now = std::chrono::steady_clock::now();
    if (watcher.AnyClosed() && now - lastReopen >= std::chrono::milliseconds(ReopenIntervalMs)) {
      lastReopen = now;
      watcher.OpenClosedLines();
    }
  }
  watcher.Stop();
  PumpMessages();
  return 0;
}

} // namespace RingletModem
