// Serial devices on termios: exclusive open, line settings, modem lines, queues, the event
// wait and the recognition of a device that has gone away.
#include "platform/SerialDevice.h"

#include "platform/DeviceHolder.h"
#include "platform/LastError.h"
#include "platform/SerialDeviceDetail.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace Platform {

namespace {

using TClock = std::chrono::steady_clock;

// The one place where a call interrupted by a signal is repeated.  The callable works out
// its own arguments each time, so a poll() repeated here keeps its deadline.
template <class TCall> auto RetryEintr(TCall call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) {
      return result;
    }
  }
}

// The errno values of a device that is no longer there: USB unplugged, tty hung up, pty
// master closed.
bool IsGoneErrno(int err) {
  return err == EIO || err == ENXIO || err == ENODEV;
}

// Pseudo-terminals and some drivers answer the modem-line ioctls with these.
bool IsNoLinesErrno(int err) {
  return err == ENOTTY || err == EINVAL;
}

struct TBaudCode {
  uint32_t Baud;
  speed_t Code;
};

constexpr TBaudCode BaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

speed_t CodeOfBaud(uint32_t baud) {
  for (const auto& entry : BaudCodes) {
    if (entry.Baud == baud) {
      return entry.Code;
    }
  }
  return B0;
}

uint32_t BaudOfCode(speed_t code) {
  for (const auto& entry : BaudCodes) {
    if (entry.Code == code) {
      return entry.Baud;
    }
  }
  return 0;
}

int RemainingMs(TClock::time_point deadline, bool infinite) {
  if (infinite) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Lets queued output leave for at most timeoutMs; 0 or an errno value.
int DrainOutput(int fd, uint32_t timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
      return errno;
    }
    if (queued == 0) {
      // The driver's queue is empty; tcdrain() now only waits for the last character.
      return RetryEintr([&] { return tcdrain(fd); }) == 0 ? 0 : errno;
    }
    const int left = RemainingMs(deadline, timeoutMs == INFINITE);
    if (left == 0) {
      return ETIMEDOUT;
    }
    const int slice =
        left < 0 ? TSerialDevice::EventPollMs : std::min(left, TSerialDevice::EventPollMs);
    RetryEintr([&] { return poll(nullptr, 0, slice); });
  }
}

// UUCP lock files: "LCK..<name>" holding the owner's pid as ten characters and a newline.

std::string LockDirectory() {
  if (const char* dir = std::getenv("RINGLET_LOCK_DIR")) {
    return dir; // tests point this at a folder of their own; empty turns lock files off
  }
  for (const char* dir : {"/run/lock", "/var/lock"}) {
    if (access(dir, W_OK | X_OK) == 0) {
      return dir;
    }
  }
  return {};
}

// /dev/ttyUSB0 -> "ttyUSB0", /dev/pts/3 -> "pts_3" (a bare "3" would say nothing).
std::string LockName(const std::string& devicePath) {
  std::string name;
  if (devicePath.rfind("/dev/", 0) == 0) {
    name = devicePath.substr(5);
  } else {
    name = devicePath.substr(devicePath.find_last_of('/') + 1);
  }
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

std::string LockPathOf(const std::string& devicePath) {
  const std::string dir = LockDirectory();
  if (dir.empty() || devicePath.empty()) {
    return {};
  }
  return dir + "/LCK.." + LockName(devicePath);
}

constexpr long LockMissing = -1;
constexpr long LockUnreadable = -2; // someone's we cannot look into: theirs, not stale

// The pid in a lock file, 0 when it holds none, or one of the two values above.
long ReadLockPid(const std::string& lockPath) {
  FILE* file = std::fopen(lockPath.c_str(), "re");
  if (!file) {
    return errno == ENOENT ? LockMissing : LockUnreadable;
  }
  char text[32] = {};
  const size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[length] = '\0';
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  if (end == text || pid <= 0) {
    return 0;
  }
  while (*end == ' ' || *end == '\n' || *end == '\r') {
    ++end;
  }
  return *end == '\0' ? pid : 0;
}

bool ProcessAlive(long pid) {
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Takes the lock file of devicePath: errSuccess with lockPath set (left empty where lock
// files cannot be made), or errAccessDenied when a live process other than us holds it.
// The file is written whole under a temporary name and linked into place, so nobody ever
// reads half a lock.
uint32_t AcquireLockFile(const std::string& devicePath, std::string& lockPath) {
  lockPath.clear();
  const std::string path = LockPathOf(devicePath);
  if (path.empty()) {
    return errSuccess;
  }
  std::string temp = path.substr(0, path.find_last_of('/') + 1) + "LTMP.XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    return errSuccess; // not writable after all: flock and TIOCEXCL still keep us alone
  }
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
  const bool written = RetryEintr([&] { return write(fd, text, length); }) == length;
  fchmod(fd, 0644);
  close(fd);
  uint32_t result = errAccessDenied;
  for (int attempt = 0; written && attempt < 4; ++attempt) {
    if (link(temp.c_str(), path.c_str()) == 0) {
      lockPath = path;
      result = errSuccess;
      break;
    }
    if (errno != EEXIST) {
      result = errSuccess; // a file system without hard links: go without the file
      break;
    }
    const long owner = ReadLockPid(path);
    if (owner == LockMissing) {
      continue; // removed meanwhile
    }
    if (owner == LockUnreadable) {
      break;
    }
    if (owner == static_cast<long>(getpid())) {
      lockPath = path; // left by a descriptor of ours that was handed on and closed
      result = errSuccess;
      break;
    }
    if (owner > 0 && ProcessAlive(owner)) {
      break;
    }
    unlink(path.c_str()); // its process is gone (or it names none): stale
  }
  if (!written) {
    result = errSuccess;
  }
  unlink(temp.c_str());
  return result;
}

void ReleaseLockFile(const std::string& lockPath) {
  if (!lockPath.empty() && ReadLockPid(lockPath) == static_cast<long>(getpid())) {
    unlink(lockPath.c_str());
  }
}

} // namespace

namespace Detail {

// Raw mode with two choices of our own: a break is reported as an event rather than a NUL
// in the data (IGNBRK), and VMIN stays 1 so that an empty non-blocking read says EAGAIN;
// with VMIN 0 it would return 0, which must mean a hang-up.  CLOCAL because the modem
// lines are ours to watch: without it a carrier drop hangs the tty up, and a modem's
// NO CARRIER would end the device.
void MakeRaw(termios& settings) {
  settings.c_iflag &=
      ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | INPCK | IUCLC | IMAXBEL);
  settings.c_iflag |= IGNBRK;
  settings.c_oflag &= ~OPOST;
  settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
}

void SettingsToTermios(const TLineSettings& settings, termios& result) {
  MakeRaw(result);
  result.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
  result.c_cflag |= Sizes[std::clamp<int>(settings.DataBits, 5, 8) - 5];
  switch (settings.Parity) {
  case paOdd:
    result.c_cflag |= PARENB | PARODD;
    break;
  case paEven:
    result.c_cflag |= PARENB;
    break;
  case paMark:
    result.c_cflag |= PARENB | CMSPAR | PARODD;
    break;
  case paSpace:
    result.c_cflag |= PARENB | CMSPAR;
    break;
  default:
    break;
  }
  if (settings.StopBits != sbOne) {
    result.c_cflag |= CSTOPB; // with 5 data bits the UART makes that one and a half
  }
  if (settings.CtsOutFlow || settings.RtsControl == rtsHandshake) {
    result.c_cflag |= CRTSCTS;
  }
  result.c_iflag &= ~(IXON | IXOFF);
  if (settings.XonXoffOut) {
    result.c_iflag |= IXON;
  }
  if (settings.XonXoffIn) {
    result.c_iflag |= IXOFF;
  }
  result.c_cc[VSTART] = settings.XonChar;
  result.c_cc[VSTOP] = settings.XoffChar;
}

void SettingsFromTermios(const termios& source, TLineSettings& settings) {
  switch (source.c_cflag & CSIZE) {
  case CS5:
    settings.DataBits = 5;
    break;
  case CS6:
    settings.DataBits = 6;
    break;
  case CS7:
    settings.DataBits = 7;
    break;
  default:
    settings.DataBits = 8;
    break;
  }
  if (!(source.c_cflag & PARENB)) {
    settings.Parity = paNone;
  } else if (source.c_cflag & CMSPAR) {
    settings.Parity = source.c_cflag & PARODD ? paMark : paSpace;
  } else {
    settings.Parity = source.c_cflag & PARODD ? paOdd : paEven;
  }
  if (!(source.c_cflag & CSTOPB)) {
    settings.StopBits = sbOne;
  } else {
    settings.StopBits = settings.DataBits == 5 ? sbOneHalf : sbTwo;
  }
  if (source.c_cflag & CRTSCTS) {
    if (!settings.CtsOutFlow && settings.RtsControl != rtsHandshake) {
      settings.CtsOutFlow = true; // set behind our back: it does both
      settings.RtsControl = rtsHandshake;
    }
  } else {
    settings.CtsOutFlow = false;
    if (settings.RtsControl == rtsHandshake) {
      settings.RtsControl = rtsOn;
    }
  }
  settings.XonXoffOut = source.c_iflag & IXON;
  settings.XonXoffIn = source.c_iflag & IXOFF;
  settings.XonChar = source.c_cc[VSTART];
  settings.XoffChar = source.c_cc[VSTOP];
}

} // namespace Detail

TSerialDevice::TSerialDevice() {
  FCancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FCancelFd < 0) {
    FCancelErr = errno;
  }
}

TSerialDevice::~TSerialDevice() {
  Close();
  if (FCancelFd >= 0) {
    close(FCancelFd);
  }
}

namespace {

// The ms* bits of the TIOCM_* modem lines.
uint32_t ModemStatusBits(int lines) {
  return (lines & TIOCM_CTS ? msCtsOn : 0) | (lines & TIOCM_DSR ? msDsrOn : 0) |
         (lines & TIOCM_RI ? msRingOn : 0) | (lines & TIOCM_CD ? msDcdOn : 0);
}

} // namespace

// Every call but Open, Adopt, Close and Detach starts here: the returned hold owns the lock
// when the device can be used, and is empty (the last error set) when it cannot. Once a close
// has begun no new call gets in, so a thread that keeps calling cannot hold the close off.
std::shared_lock<std::shared_mutex> TSerialDevice::CheckOpen() const {
  if (FClosing.load()) {
    SetLastError(errInvalidHandle);
    return {};
  }
  std::shared_lock use(FUseLock);
  if (FFd < 0 || FGone.load()) {
    SetLastError(FFd < 0 ? errInvalidHandle : errDeviceNotConnected);
    return {};
  }
  return use;
}

bool TSerialDevice::Fail(int err) {
  if (IsGoneErrno(err)) {
    FGone.store(true);
    SetLastError(errDeviceNotConnected);
  } else {
    SetLastErrorFromErrno(err);
  }
  return false;
}

bool TSerialDevice::Succeeded(int result) {
  return result == 0 || Fail(errno);
}

bool TSerialDevice::Open(const std::string& path) {
  std::unique_lock use(FUseLock);
  if (FFd >= 0) {
    SetLastError(errBusy);
    return false;
  }
  if (FCancelFd < 0) {
    SetLastErrorFromErrno(FCancelErr);
    return false;
  }
  const int fd =
      RetryEintr([&] { return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  uint32_t error = errSuccess;
  bool exclusive = false;
  termios probe{};
  // Each step fails with its own errno; the first and the last map it alike.
  if (tcgetattr(fd, &probe) != 0) { // NOLINT(bugprone-branch-clone)
    error = ErrorFromErrno(errno);
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Held by another descriptor, in this process or another: root passes TIOCEXCL, not this.
    error = errno == EWOULDBLOCK ? errAccessDenied : ErrorFromErrno(errno);
  } else if (ioctl(fd, TIOCEXCL) != 0) {
    error = ErrorFromErrno(errno);
  } else {
    exclusive = true;
  }
  std::string devicePath = path;
  if (char* real = realpath(path.c_str(), nullptr)) {
    devicePath = real;
    std::free(real);
  }
  std::string lockPath;
  if (error == errSuccess) {
    error = AcquireLockFile(devicePath, lockPath);
  }
  if (error == errSuccess && !TakeOver(fd, devicePath, lockPath)) {
    error = GetLastError();
    ReleaseLockFile(lockPath);
  }
  if (error != errSuccess) {
    if (exclusive) {
      ioctl(fd, TIOCNXCL);
    }
    close(fd);
    SetLastError(error);
    return false;
  }
  FExclusiveSet = true;
  return true;
}

bool TSerialDevice::Adopt(int fd) {
  std::unique_lock use(FUseLock);
  if (FFd >= 0) {
    SetLastError(errBusy);
    return false;
  }
  if (FCancelFd < 0) {
    SetLastErrorFromErrno(FCancelErr);
    return false;
  }
  termios probe{};
  if (fd < 0 || tcgetattr(fd, &probe) != 0) {
    SetLastErrorFromErrno(fd < 0 ? EBADF : errno);
    return false;
  }
  char name[256] = {};
  std::string devicePath;
  if (ttyname_r(fd, name, sizeof name) == 0) {
    devicePath = name;
  }
  std::string lockPath = LockPathOf(devicePath);
  if (lockPath.empty() || ReadLockPid(lockPath) != static_cast<long>(getpid())) {
    lockPath.clear();
  }
  return TakeOver(fd, devicePath, lockPath);
}

// Common to Open and Adopt: saves the settings, goes raw, learns what the driver offers.
bool TSerialDevice::TakeOver(int fd, const std::string& path, const std::string& lockPath) {
  auto saved = std::make_unique<termios>();
  if (tcgetattr(fd, saved.get()) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  int lines = 0;
  bool hasLines = true;
  if (ioctl(fd, TIOCMGET, &lines) != 0) {
    if (!IsNoLinesErrno(errno)) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    hasLines = false;
    lines = 0;
  }
  serial_icounter_struct counts{};
  const bool hasCounters = ioctl(fd, TIOCGICOUNT, &counts) == 0;

  termios raw = *saved;
  Detail::MakeRaw(raw);
  raw.c_iflag &= ~(IXON | IXOFF); // software flow only when asked for
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }

  // A cancel left from the previous open (a stop that cancelled after the device was closed)
  // must not end the first wait of this one.
  ForgetCancels();
  if (!FPurpose.empty())
    NoteDescriptorPurpose(fd, FPurpose);
  FFd = fd;
  FPath = path;
  FLockPath = lockPath;
  FSaved = std::move(saved);
  FHasModemLines = hasLines;
  FHasCounters = hasCounters;
  FRs485Set = false;
  FGone.store(false);
  TCounters base;
  ReadCounters(fd, base);
  std::lock_guard state(FStateLock);
  FSettings = TLineSettings();
  FSettings.DtrControl = !hasLines || (lines & TIOCM_DTR) ? dtrOn : dtrOff;
  FSettings.RtsControl = raw.c_cflag & CRTSCTS              ? rtsHandshake
                         : !hasLines || (lines & TIOCM_RTS) ? rtsOn
                                                            : rtsOff;
  FSettings.CtsOutFlow = raw.c_cflag & CRTSCTS;
  // Bytes already waiting count as news for the first wait, so that none are left behind.
  FInputSeen = 0;
  FTxPending = false;
  FEventBase = base;
  FErrorBase = base;
  return true;
}

void TSerialDevice::ForgetCancels() {
  uint64_t count = 0;
  while (RetryEintr([&] { return read(FCancelFd, &count, sizeof count); }) > 0) {
  }
}

void TSerialDevice::Release(bool closeDevice) {
  const int fd = FFd;
  ForgetDescriptorPurpose(fd);
  if (closeDevice && !FGone.load()) {
    // Give queued output its chance, then drop what flow control holds back: close() would
    // otherwise sit in the kernel's closing wait.
    if (DrainOutput(fd, CloseDrainMs) == ETIMEDOUT) {
      tcflush(fd, TCOFLUSH);
    }
    if (FRs485Set) {
      serial_rs485 rs485{};
      if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
        rs485.flags &= ~SER_RS485_ENABLED;
        ioctl(fd, TIOCSRS485, &rs485);
      }
    }
    if (FSaved) {
      tcsetattr(fd, TCSANOW, FSaved.get());
    }
    if (FExclusiveSet) {
      ioctl(fd, TIOCNXCL); // an adopted line may have other descriptors still in use
    }
  }
  if (closeDevice) {
    close(fd); // never retried: Linux releases the descriptor even when close() fails
    ReleaseLockFile(FLockPath);
  }
  FFd = -1;
  FPath.clear();
  FLockPath.clear();
  FSaved.reset();
  FHasModemLines = false;
  FHasCounters = false;
  FRs485Set = false;
  FExclusiveSet = false;
  FGone.store(false);
  ForgetCancels();
}

void TSerialDevice::Close() {
  FClosing.store(true);
  Cancel(); // a wait in progress lets go of the device
  std::unique_lock use(FUseLock);
  if (FFd >= 0) {
    Release(true);
  } else if (FCancelFd >= 0) {
    ForgetCancels();
  }
  FClosing.store(false);
}

int TSerialDevice::Detach() {
  FClosing.store(true);
  Cancel();
  std::unique_lock use(FUseLock);
  const int fd = FFd;
  if (fd >= 0) {
    Release(false);
  } else if (FCancelFd >= 0) {
    ForgetCancels();
  }
  FClosing.store(false);
  return fd;
}

long TSerialDevice::LockOwner(const std::string& path) {
  std::string devicePath = path;
  if (char* real = realpath(path.c_str(), nullptr)) {
    devicePath = real;
    std::free(real);
  }
  const std::string lockPath = LockPathOf(devicePath);
  const long pid = lockPath.empty() ? 0 : ReadLockPid(lockPath);
  return pid > 0 ? pid : 0;
}

bool TSerialDevice::IsOpen() const {
  std::shared_lock use(FUseLock);
  return FFd >= 0;
}

int TSerialDevice::Handle() const {
  std::shared_lock use(FUseLock);
  return FFd;
}

std::string TSerialDevice::Path() const {
  std::shared_lock use(FUseLock);
  return FPath;
}

bool TSerialDevice::HasModemLines() const {
  std::shared_lock use(FUseLock);
  return FHasModemLines;
}

bool TSerialDevice::GetLineSettings(TLineSettings& settings) {
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  termios current{};
  if (!Succeeded(tcgetattr(FFd, &current))) {
    return false;
  }
  TLineSettings result;
  {
    std::lock_guard state(FStateLock);
    result = FSettings;
  }
  uint32_t baud = 0;
  if (Detail::GetActualBaud(FFd, baud) != 0 || baud == 0) {
    baud = BaudOfCode(cfgetospeed(&current));
  }
  result.Baud = baud;
  Detail::SettingsFromTermios(current, result);
  settings = result;
  return true;
}

bool TSerialDevice::SetLineSettings(const TLineSettings& settings) {
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  const bool valid =
      settings.Baud > 0 && settings.DataBits >= 5 && settings.DataBits <= 8 &&
      settings.Parity <= paSpace && settings.StopBits <= sbTwo &&
      settings.DtrControl <= dtrHandshake && settings.RtsControl <= rtsToggle &&
      (settings.StopBits != sbOneHalf || settings.DataBits == 5) &&
      (!(settings.XonXoffIn || settings.XonXoffOut) || settings.XonChar != settings.XoffChar);
  if (!valid) {
    SetLastError(errInvalidParameter);
    return false;
  }
  termios old{};
  if (!Succeeded(tcgetattr(FFd, &old))) {
    return false;
  }
  termios wanted = old;
  Detail::SettingsToTermios(settings, wanted);
  const speed_t code = CodeOfBaud(settings.Baud);
  cfsetispeed(&wanted, code != B0 ? code : B38400);
  cfsetospeed(&wanted, code != B0 ? code : B38400);
  if (!Succeeded(tcsetattr(FFd, TCSANOW, &wanted))) {
    return false;
  }
  if (code == B0) {
    if (int err = Detail::SetArbitraryBaud(FFd, settings.Baud)) {
      tcsetattr(FFd, TCSANOW, &old); // leave the line as it was
      return Fail(err);
    }
  }

  if (FHasModemLines) {
    int dtr = TIOCM_DTR;
    ioctl(FFd, settings.DtrControl == dtrOff ? TIOCMBIC : TIOCMBIS, &dtr);
    if (settings.RtsControl != rtsToggle) {
      int rts = TIOCM_RTS;
      ioctl(FFd, settings.RtsControl == rtsOff ? TIOCMBIC : TIOCMBIS, &rts);
    }
  }
  // RTS toggling is the driver's RS-485 mode where it has one; elsewhere it stays recorded.
  serial_rs485 rs485{};
  if (settings.RtsControl == rtsToggle && ioctl(FFd, TIOCGRS485, &rs485) == 0) {
    rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~SER_RS485_RTS_AFTER_SEND;
    FRs485Set = ioctl(FFd, TIOCSRS485, &rs485) == 0;
  } else if (settings.RtsControl != rtsToggle && FRs485Set && ioctl(FFd, TIOCGRS485, &rs485) == 0) {
    rs485.flags &= ~SER_RS485_ENABLED;
    ioctl(FFd, TIOCSRS485, &rs485);
    FRs485Set = false;
  }
  std::lock_guard state(FStateLock);
  FSettings = settings;
  return true;
}

bool TSerialDevice::GetModemStatus(uint32_t& status) {
  status = 0;
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  if (!FHasModemLines) {
    return true;
  }
  int lines = 0;
  if (!Succeeded(ioctl(FFd, TIOCMGET, &lines))) {
    return false;
  }
  status = ModemStatusBits(lines);
  return true;
}

bool TSerialDevice::SetDtr(bool on) {
  return SetModemLine(TIOCM_DTR, on);
}

bool TSerialDevice::SetRts(bool on) {
  return SetModemLine(TIOCM_RTS, on);
}

// A device without modem lines (a pseudo-terminal) takes the change as done.
bool TSerialDevice::SetModemLine(int bit, bool on) {
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  if (FHasModemLines && ioctl(FFd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0 && !IsNoLinesErrno(errno)) {
    return Fail(errno);
  }
  return true;
}

bool TSerialDevice::SetBreak(bool on) {
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  if (ioctl(FFd, on ? TIOCSBRK : TIOCCBRK) != 0 && !IsNoLinesErrno(errno)) {
    return Fail(errno);
  }
  return true;
}

bool TSerialDevice::PurgeInput() {
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  std::lock_guard state(FStateLock);
  if (!Succeeded(tcflush(FFd, TCIFLUSH))) {
    return false;
  }
  FInputSeen = 0;
  return true;
}

bool TSerialDevice::PurgeOutput() {
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  return Succeeded(tcflush(FFd, TCOFLUSH));
}

int TSerialDevice::InQueue() {
  const auto use = CheckOpen();
  if (!use) {
    return -1;
  }
  int count = 0;
  if (ioctl(FFd, FIONREAD, &count) != 0) {
    Fail(errno);
    return -1;
  }
  return count;
}

int TSerialDevice::OutQueue() {
  const auto use = CheckOpen();
  if (!use) {
    return -1;
  }
  int count = 0;
  if (ioctl(FFd, TIOCOUTQ, &count) != 0) {
    Fail(errno);
    return -1;
  }
  return count;
}

bool TSerialDevice::Drain(uint32_t timeoutMs) {
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  if (int err = DrainOutput(FFd, timeoutMs)) {
    return Fail(err);
  }
  return true;
}

bool TSerialDevice::ReadCounters(int fd, TCounters& counters) const {
  counters = TCounters();
  if (FHasCounters) {
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) {
      return false;
    }
    counters.Cts = counts.cts;
    counters.Dsr = counts.dsr;
    counters.Ring = counts.rng;
    counters.Dcd = counts.dcd;
    counters.Frame = counts.frame;
    counters.Overrun = counts.overrun;
    counters.Parity = counts.parity;
    counters.Break = counts.brk;
    counters.BufOverrun = counts.buf_overrun;
  } else if (FHasModemLines) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
      return false;
    }
    counters.Lines = ModemStatusBits(lines);
  }
  return true;
}

bool TSerialDevice::TakeLineErrors(uint32_t& errors) {
  errors = 0;
  const auto use = CheckOpen();
  if (!use) {
    return false;
  }
  if (!FHasCounters) {
    return true;
  }
  TCounters now;
  if (!ReadCounters(FFd, now)) {
    return Fail(errno);
  }
  std::lock_guard state(FStateLock);
  errors = (now.BufOverrun != FErrorBase.BufOverrun ? leRxOver : 0) |
           (now.Overrun != FErrorBase.Overrun ? leOverrun : 0) |
           (now.Parity != FErrorBase.Parity ? leParity : 0) |
           (now.Frame != FErrorBase.Frame ? leFrame : 0) |
           (now.Break != FErrorBase.Break ? leBreak : 0);
  FErrorBase = now;
  return true;
}

int TSerialDevice::Read(void* buffer, std::size_t count) {
  const auto use = CheckOpen();
  if (!use) {
    return -1;
  }
  if (count == 0) {
    return 0;
  }
  count = std::min<std::size_t>(count, INT_MAX);
  std::lock_guard state(FStateLock); // keeps FInputSeen in step with the queue
  const ssize_t got = RetryEintr([&] { return read(FFd, buffer, count); });
  if (got > 0) {
    FInputSeen = std::max(0, FInputSeen - static_cast<int>(got));
    return static_cast<int>(got);
  }
  if (got < 0) {
    if (errno == EAGAIN) {
      return 0;
    }
    Fail(errno);
    return -1;
  }
  // In raw mode (VMIN 1) only a hung-up tty reads 0; the descriptor may be shared with
  // someone who changed that, so ask poll() before calling the device gone.
  pollfd probe{FFd, POLLIN, 0};
  if (RetryEintr([&] { return poll(&probe, 1, 0); }) > 0 &&
      (probe.revents & (POLLHUP | POLLERR | POLLNVAL))) {
    Fail(EIO);
    return -1;
  }
  return 0;
}

int TSerialDevice::Write(const void* buffer, std::size_t count) {
  const auto use = CheckOpen();
  if (!use) {
    return -1;
  }
  if (count == 0) {
    return 0;
  }
  count = std::min<std::size_t>(count, INT_MAX);
  const ssize_t put = RetryEintr([&] { return write(FFd, buffer, count); });
  if (put < 0) {
    if (errno == EAGAIN) {
      return 0;
    }
    Fail(errno);
    return -1;
  }
  if (put > 0) {
    std::lock_guard state(FStateLock);
    FTxPending = true;
  }
  return static_cast<int>(put);
}

void TSerialDevice::Cancel() {
  if (FCancelFd >= 0) {
    const uint64_t one = 1;
    RetryEintr([&] { return write(FCancelFd, &one, sizeof one); });
  }
}

// The events that have happened since the previous wait returned.  inputWaiting: unread
// bytes are in the queue (so poll() cannot tell us of more); sample: something must be
// looked at again every EventPollMs.  err is set when a query failed.
uint32_t TSerialDevice::PendingEvents(int fd, uint32_t mask, bool& inputWaiting, bool& sample,
                                      int& err) {
  uint32_t events = 0;
  inputWaiting = false;
  sample = false;
  err = 0;
  std::lock_guard state(FStateLock);
  if (mask & seRxChar) {
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0) {
      err = errno;
      return 0;
    }
    // Our own reads keep FInputSeen in step, so a queue that shrank was read or purged
    // through another descriptor (a line handed over): what is there now may well be new.
    if (count > FInputSeen || (count > 0 && count < FInputSeen)) {
      events |= seRxChar;
    }
    FInputSeen = count;
    inputWaiting = count > 0;
    sample = inputWaiting && !(events & seRxChar);
  }
  if ((mask & seTxEmpty) && FTxPending) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
      err = errno;
      return 0;
    }
    // A pty always reports an empty queue, so room to write is asked for as well: a full
    // pty must not read as drained.
    pollfd room{fd, POLLOUT, 0};
    if (queued == 0 && poll(&room, 1, 0) > 0 && (room.revents & POLLOUT)) {
      events |= seTxEmpty;
      FTxPending = false;
    } else {
      sample = true;
    }
  }
  const uint32_t lineEvents = seCts | seDsr | seDcd | seRing | seBreak | seError;
  if ((mask & lineEvents) && (FHasCounters || FHasModemLines)) {
    TCounters now;
    if (!ReadCounters(fd, now)) {
      err = errno;
      return 0;
    }
    const TCounters& was = FEventBase;
    if (FHasCounters) {
      events |= (now.Cts != was.Cts ? seCts : 0) | (now.Dsr != was.Dsr ? seDsr : 0) |
                (now.Dcd != was.Dcd ? seDcd : 0) | (now.Ring != was.Ring ? seRing : 0) |
                (now.Break != was.Break ? seBreak : 0) |
                (now.Frame != was.Frame || now.Overrun != was.Overrun || now.Parity != was.Parity ||
                         now.BufOverrun != was.BufOverrun
                     ? seError
                     : 0);
    } else {
      const uint32_t changed = now.Lines ^ was.Lines;
      events |= (changed & msCtsOn ? seCts : 0) | (changed & msDsrOn ? seDsr : 0) |
                (changed & msDcdOn ? seDcd : 0) | ((changed & now.Lines & msRingOn) ? seRing : 0);
    }
    FEventBase = now;
    sample = true;
  }
  return events & mask;
}

TSerialWait TSerialDevice::WaitEvent(uint32_t mask, uint32_t& events, uint32_t timeoutMs) {
  events = 0;
  const auto use = CheckOpen();
  if (!use) {
    return FGone.load() ? swGone : swFailed;
  }
  const int fd = FFd;
  const bool infinite = timeoutMs == INFINITE;
  const auto deadline = TClock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
  for (bool first = true;; first = false) {
    bool inputWaiting = false;
    bool sample = false;
    int err = 0;
    const uint32_t seen = PendingEvents(fd, mask, inputWaiting, sample, err);
    if (err != 0) {
      Fail(err);
      return FGone.load() ? swGone : swFailed;
    }
    if (seen != 0) {
      events = seen;
      return swEvents;
    }
    const int left = RemainingMs(deadline, infinite);
    if (left == 0 && !first) {
      SetLastError(errSemTimeout);
      return swTimeout;
    }
    // Unread input keeps POLLIN up, so it is not asked for then; hang-ups come regardless.
    pollfd fds[2] = {{FCancelFd, POLLIN, 0},
                     {fd, static_cast<short>((mask & seRxChar) && !inputWaiting ? POLLIN : 0), 0}};
    const int ready = RetryEintr([&] {
      int slice = RemainingMs(deadline, infinite);
      if (sample) {
        slice = slice < 0 ? EventPollMs : std::min(slice, EventPollMs);
      }
      return poll(fds, 2, slice);
    });
    if (ready < 0) {
      Fail(errno);
      return swFailed;
    }
    if (fds[0].revents & POLLIN) {
      ForgetCancels();
      SetLastError(errOperationAborted);
      return swCancelled;
    }
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // Bytes that came before the hang-up are still news; after them the device is gone.
      int count = 0;
      if (ioctl(fd, FIONREAD, &count) != 0) {
        Fail(IsGoneErrno(errno) ? errno : EIO);
        return swGone;
      }
      std::lock_guard state(FStateLock);
      if ((mask & seRxChar) && count > FInputSeen) {
        FInputSeen = count;
        events = seRxChar;
        return swEvents;
      }
      if (count == 0) {
        FGone.store(true);
      }
      SetLastError(errDeviceNotConnected);
      return swGone; // unread bytes stay readable until the reads find the end
    }
  }
}

} // namespace Platform
