// SerialDevice: one serial line on termios, opened by path for exclusive use.
//
// Open() takes the device for this object alone: a second opener (in any process, root
// included) is refused with errAccessDenied, as is a device whose UUCP lock file names
// another live process; a lock file left by a dead process is removed.  The line is put into
// raw mode on open and the terminal settings found then are restored on close.
// Failures return false (or -1, or swFailed) and set the thread's last error (LastError.h).
//
// Pseudo-terminals have no modem lines: HasModemLines() says so, modem status reads as 0 and
// setting DTR/RTS does nothing; none of that is a failure.  A device that vanishes (USB
// unplugged, pty master closed) is "gone": Gone() turns true, every call fails with
// errDeviceNotConnected and WaitEvent() returns swGone at once; never "no data yet".
//
// Threads: one thread may wait while others read, write, query or Cancel(); Close() and
// Detach() end a wait in progress (swCancelled), let calls in progress leave, and refuse
// calls made meanwhile (errInvalidHandle, swFailed).
#pragma once

#include "platform/Sync.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

struct termios;

namespace Platform {

// The numbering of the members follows the comm-state values callers already use.
enum TParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits : uint8_t { sbOne, sbOneHalf, sbTwo };
enum TDtrControl : uint8_t { dtrOff, dtrOn, dtrHandshake };
enum TRtsControl : uint8_t { rtsOff, rtsOn, rtsHandshake, rtsToggle };

// Line settings as this layer applies them.  What termios cannot express is kept and read
// back as it was set: DTR handshake and DSR output flow (the tty layer has neither; DTR is
// held on), the Xon/Xoff limits (the driver picks its own), RTS toggle (asked of the driver's
// RS-485 mode where it has one).  CtsOutFlow and rtsHandshake both mean CRTSCTS, which does
// both directions.  One and a half stop bits exist only with 5 data bits; two stop bits with
// 5 data bits are what the UART sends as one and a half and read back that way.
struct TLineSettings {
  uint32_t Baud = 9600; // any rate; rates without a Bnnn constant go through BOTHER
  uint8_t DataBits = 8; // 5..8
  TParity Parity = paNone;
  TStopBits StopBits = sbOne;
  TDtrControl DtrControl = dtrOn;
  TRtsControl RtsControl = rtsOn;
  bool CtsOutFlow = false; // output waits for CTS
  bool DsrOutFlow = false; // output waits for DSR
  bool XonXoffOut = false; // the peer's Xoff stops our output (IXON)
  bool XonXoffIn = false;  // we send Xoff when our input fills (IXOFF)
  uint8_t XonChar = 0x11;
  uint8_t XoffChar = 0x13;
  uint16_t XonLimit = 0;
  uint16_t XoffLimit = 0;

  bool operator==(const TLineSettings&) const = default;
};

// Events WaitEvent() reports (the comm-event numbering).  seRxChar means bytes arrived since
// the previous wait returned, not merely that unread bytes remain; seTxEmpty means the output
// queue ran empty after a write.
inline constexpr uint32_t seRxChar = 0x0001;
inline constexpr uint32_t seTxEmpty = 0x0004;
inline constexpr uint32_t seCts = 0x0008;
inline constexpr uint32_t seDsr = 0x0010;
inline constexpr uint32_t seDcd = 0x0020;
inline constexpr uint32_t seBreak = 0x0040;
inline constexpr uint32_t seError = 0x0080; // framing, parity or overrun
inline constexpr uint32_t seRing = 0x0100;

// Modem status bits (the 8250 modem-status layout).
inline constexpr uint32_t msCtsOn = 0x10;
inline constexpr uint32_t msDsrOn = 0x20;
inline constexpr uint32_t msRingOn = 0x40;
inline constexpr uint32_t msDcdOn = 0x80;

// Line-error bits (the comm-error numbering).
inline constexpr uint32_t leRxOver = 0x01; // receive buffer overflow
inline constexpr uint32_t leOverrun = 0x02;
inline constexpr uint32_t leParity = 0x04;
inline constexpr uint32_t leFrame = 0x08;
inline constexpr uint32_t leBreak = 0x10;

enum TSerialWait { swEvents, swTimeout, swCancelled, swGone, swFailed };

class TSerialDevice {
public:
  TSerialDevice();
  ~TSerialDevice();
  TSerialDevice(const TSerialDevice&) = delete;
  TSerialDevice& operator=(const TSerialDevice&) = delete;

  // Opens the device at path (symbolic links are followed; the lock file is named after the
  // device itself).  Errors: errFileNotFound, errPathNotFound, errAccessDenied (in use or
  // locked), errInvalidFunction (not a terminal), errBusy (this object is already open).
  bool Open(const std::string& path);
  // Takes over a terminal descriptor opened elsewhere (a line handed over by its owner):
  // it is made non-blocking and raw, and closed by Close().  A lock file that names this
  // process is removed on close as if this object had made it.  On failure the descriptor
  // stays the caller's.
  bool Adopt(int fd);
  // Restores the saved settings, releases the locks and closes.  Output still queued gets
  // CloseDrainMs to leave; what is stuck behind flow control then is dropped, so that close
  // never hangs in the kernel.  Safe when not open.
  void Close();
  // Gives up the descriptor without closing, restoring or unlocking it (for a hand-over);
  // -1 when not open.
  int Detach();

  // What the device is for, in the words a message about a device held by this process uses
  // (DeviceHolder.h); noted for the descriptor while it is open. Set before Open or Adopt.
  void SetPurpose(const std::string& purpose) { FPurpose = purpose; }
  // The live or dead process the UUCP lock file of the device at path names; 0 for none.
  static long LockOwner(const std::string& path);

  bool IsOpen() const;
  int Handle() const;       // -1 when not open
  std::string Path() const; // as opened (links resolved); the tty's name when adopted
  bool Gone() const { return FGone.load(); }

  bool GetLineSettings(TLineSettings& settings);
  // Applies at once (no drain: callers that care drain first).  Invalid values give
  // errInvalidParameter and change nothing.
  bool SetLineSettings(const TLineSettings& settings);

  bool HasModemLines() const;
  // ms* bits of CTS, DSR, RI and DCD; 0 without modem lines.
  bool GetModemStatus(uint32_t& status);
  bool SetDtr(bool on);
  bool SetRts(bool on);
  bool SetBreak(bool on);

  bool PurgeInput();
  bool PurgeOutput();
  // Bytes waiting to be read / not yet sent; -1 on failure.
  int InQueue();
  int OutQueue();
  // Waits until everything written has left; errSemTimeout when timeoutMs passes first.
  bool Drain(uint32_t timeoutMs);
  // le* bits of the line errors since the previous call (from the driver's error counters;
  // 0 where the driver keeps none, as on a pseudo-terminal).  Driver queue sizes are fixed
  // by the kernel, so there is nothing to size.
  bool TakeLineErrors(uint32_t& errors);

  // Non-blocking.  Result: bytes moved, 0 when nothing is there / no room, -1 on failure.
  int Read(void* buffer, std::size_t count);
  int Write(const void* buffer, std::size_t count);

  // Waits for any se* event in mask, a Cancel() or the time-out (INFINITE: none); the events
  // seen are stored in events.  Modem-line, break and error events are sampled every
  // EventPollMs while asked for, and only where the device has modem lines.
  TSerialWait WaitEvent(uint32_t mask, uint32_t& events, uint32_t timeoutMs = INFINITE);
  // Ends the wait in progress with swCancelled; with none in progress, the next one of the
  // same open (opening again forgets it).
  void Cancel();

  static constexpr int EventPollMs = 20;
  static constexpr int CloseDrainMs = 2000;

private:
  struct TCounters {
    uint32_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
    uint32_t Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufOverrun = 0;
    uint32_t Lines = 0; // ms* bits, for drivers that keep no counters
  };

  std::shared_lock<std::shared_mutex> CheckOpen() const;
  // Records a failed system call's error as the last error (a vanished device is gone from
  // then on) and returns false; Succeeded(result) does so unless result is 0.
  bool Fail(int err);
  bool Succeeded(int result);
  bool SetModemLine(int bit, bool on);
  bool TakeOver(int fd, const std::string& path, const std::string& lockPath);
  void Release(bool closeDevice);
  void ForgetCancels();
  bool ReadCounters(int fd, TCounters& counters) const;
  uint32_t PendingEvents(int fd, uint32_t mask, bool& inputWaiting, bool& sample, int& err);

  mutable std::shared_mutex FUseLock; // shared by calls, exclusive for open and close
  mutable std::mutex FStateLock;      // the small state shared by waiter, reader and writer
  int FCancelFd = -1;
  int FCancelErr = 0;
  int FFd = -1;
  std::string FPath;
  std::string FLockPath;
  std::string FPurpose;
  std::unique_ptr<termios> FSaved;
  bool FHasModemLines = false;
  bool FHasCounters = false;
  bool FRs485Set = false;
  bool FExclusiveSet = false; // TIOCEXCL is ours to clear
  std::atomic<bool> FGone{false};
  std::atomic<bool> FClosing{false};
  // Guarded by FStateLock.
  TLineSettings FSettings;
  int FInputSeen = 0;
  bool FTxPending = false;
  TCounters FEventBase;
  TCounters FErrorBase;
};

} // namespace Platform
