// NcidServer: the server side of the NCID client protocol over TCP, so that the NCID clients
// people already run on their computers and phones show this monitor's calls.
//
// Contract:
// - A client that connects gets "200 Server: ringlet (NCID) <version>", "210 API: 1.0 Feature
//   Set 1" (calls, the stored calls, rings and messages; none of the gateway, client hang-up or
//   job features of the later sets), the stored calls as "CIDLOG:" lines and "250 End of call log"
//   (or "252 Call log empty"), "OPT: hangup" when the monitor hangs up on blocked callers, then
//   "300 End of connection startup"; each call after that as one "CID:" line, at its first report
//   (an update of a call is not sent: the clients would show it as another call). A blocked call,
//   one the monitor hung up on, is a "HUP:" line instead ("HUPLOG:" in the stored calls), as NCID
//   servers send the calls they hang up on.
// - Fields never carry '*', a line break or another control character from the telephone
//   line; withheld and out-of-area callers and missing names use NCID's words. LINE is the
//   line's id, never its full name: clients read the fields as a list of words, in which a
//   blank would split the value. The id is the one LineIds gives for the line's name, else the
//   name; either way blanks and '*' become '_', control characters go, "-" when nothing is left.
// - Each ring of a line is "CIDINFO: *LINE*<id>*RING*<n>*TIME*<hh:mm:ss>*" to every client, and
//   the end of its ringing the same with RING 0 (Ringing).
// - Clients may send lines: "GOODBYE" closes the connection; "MSG: <text>" is sent on to every
//   client as "MSG: <text>", the text without control characters and cut to
//   MaxMessageLength bytes (an empty one is dropped); everything else is read and not
//   answered. A line longer than MaxLineLength drops the client. At most MaxClients are
//   served; one more is closed at once. A client whose unsent output passes
//   ClientBufferLimit (it stopped reading) is dropped: it never delays another client.
// - Deliver may be called from any thread and returns at once; all socket work happens on the
//   server's own thread, started by Start and ended by Stop or the destructor.
#pragma once

#include "calls/CallRecord.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TNcidOptions {
  std::string Address = "127.0.0.1"; // numeric IPv4 or IPv6
  uint16_t Port = 3333;              // 0 picks a free port (see BoundPort)
  size_t MaxClients = 32;
  size_t MaxLineLength = 1024;
  size_t ClientBufferLimit = size_t{256} * 1024;
  size_t CallLogLimit = 1000;                 // the newest calls sent at connect
  size_t MaxMessageLength = 256;              // of a client's MSG text sent on
  std::map<std::string, std::string> LineIds; // line name -> the id clients see in LINE
  std::string Version;
  bool HangUp = false; // blocked callers are hung up on: announced as "OPT: hangup"
  // The stored calls, oldest first; called on the server's thread at each connect.
  std::function<std::vector<TCallRecord>()> CallLog;
};

// "ADDR:PORT" with a numeric IPv4 address, or "[ADDR]:PORT" for IPv6. False with the reason
// in Error when the text is not such an address.
bool ParseListenAddress(const std::string& Text, std::string& Address, uint16_t& Port,
                        std::string& Error);

// The id of a line in LINE fields (see above).
std::string NcidLineId(const std::string& Line,
                       const std::map<std::string, std::string>& LineIds = {});
// The protocol line of a call ("CID:" or "CIDLOG:" as Prefix), without its line end.
std::string NcidCallLine(const std::string& Prefix, const TCallRecord& Call,
                         const std::map<std::string, std::string>& LineIds = {});
// The protocol line of a ring (Ring 0: the ringing stopped), without its line end.
std::string NcidRingLine(const TRingReport& Report,
                         const std::map<std::string, std::string>& LineIds = {});
// The label of a call's line as it happens (Log false: "CID:" or "HUP:") or in the stored
// calls (Log true: "CIDLOG:" or "HUPLOG:").
const char* NcidLabel(const TCallRecord& Call, bool Log);

class TNcidServer : public TCallOutlet {
public:
  explicit TNcidServer(TNcidOptions Options);
  ~TNcidServer() override;
  TNcidServer(const TNcidServer&) = delete;
  TNcidServer& operator=(const TNcidServer&) = delete;

  // Binds, listens and starts the server's thread. "" on success, else why not.
  std::string Start();
  void Stop();
  uint16_t BoundPort() const { return FBoundPort; }

  void Deliver(const TCallRecord& Call) override;
  void Ringing(const TRingReport& Report) override;

private:
  struct TClient {
    int Socket = -1;
    std::string In;
    std::string Out;
  };

  void Run();
  void Wake();
  void Send(std::string Line);
  void Relay(const std::string& Text);
  void AcceptClients();
  void TakeCalls();
  bool ReadClient(TClient& Client);
  bool WriteClient(TClient& Client);
  void Greet(TClient& Client);
  void CloseClients();

  TNcidOptions FOptions;
  int FListener = -1;
  int FWake = -1;
  uint16_t FBoundPort = 0;
  std::thread FThread;
  std::atomic<bool> FStopping{false};
  std::mutex FLock;
  std::deque<std::string> FCalls; // lines waiting for the server's thread
  std::vector<TClient> FClients;  // the server's thread only
  std::string FRelayed;           // messages of clients to send on (the server's thread only)
};
