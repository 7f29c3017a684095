// AwUserLog: the dispatch log and the character trace of a dispatcher.
//
// Both recorders copy into a ring allocated when they start and format nothing until a dump
// is asked for, so recording on the dispatch thread costs one copy under MainLock. A dump
// writes the text file, then frees the ring and leaves the recorder off.
#include "port/AwUser.h"

#include "common/AdExcept.h"
#include "common/OoMisc.h"
#include "platform/LastError.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

constexpr uint32_t LogHeaderSize = sizeof(TApdLogEntryHeader);

// Column bookkeeping of the log table: the fixed part ends at column 44 and the data lines
// wrap before column 79; the trace wraps past column 78.
constexpr uint32_t LogDataIndent = 44;
constexpr uint32_t LogFirstColumn = 45;
constexpr uint32_t LogWrapColumn = 79;
constexpr uint32_t TraceWrapColumn = 78;
constexpr std::size_t MaxHeaderText = 80;

// Written out whenever this much text has gathered, so a large dump needs no large buffer.
constexpr std::size_t DumpChunk = 16384;

const char* const CrLf = "\r\n";

const char* CompilerText() {
#if defined(__clang__)
  return "Clang " __clang_version__;
#elif defined(__GNUC__)
  return "GCC " __VERSION__;
#else
  return "Unknown";
#endif
}

// The system running the program, as uname names it.
std::string OperatingSystemText() {
  utsname Name{};
  if (::uname(&Name) != 0) {
    return "Unknown";
  }
  std::string Text = std::string(Name.sysname) + " " + Name.release;
  if (Text.size() > MaxHeaderText) {
    Text.resize(MaxHeaderText);
  }
  return Text;
}

std::string DateTimeText() {
  std::time_t Now = std::time(nullptr);
  std::tm Local{};
  char Text[MaxHeaderText + 1] = {};
  if (::localtime_r(&Now, &Local) == nullptr ||
      std::strftime(Text, sizeof Text, "%d/%m/%y, %H:%M:%S", &Local) == 0) {
    return "";
  }
  return Text;
}

// Milliseconds as seconds with three decimals, at least four digits before the point.
std::string LogTimeText(uint32_t Ms) {
  char Digits[16];
  std::snprintf(Digits, sizeof Digits, "%07" PRIu32, Ms);
  std::string Text(Digits);
  Text.insert(Text.size() - 3, 1, '.');
  return Text;
}

// One byte as the dump shows it; the text's length is its width in columns. Plain writes
// the byte itself whatever it is (user entries of the log when everything else is in hex).
std::string RenderByte(uint8_t Byte, bool InHex, bool AllHex, bool Plain) {
  char Text[8];
  if (AllHex && !Plain) {
    std::snprintf(Text, sizeof Text, "[%02X]", Byte);
    return Text;
  }
  uint8_t Lowest = InHex ? 0x21 : 0x20;
  if (Plain || (Byte >= Lowest && Byte <= 0x7E)) {
    return std::string(1, static_cast<char>(Byte));
  }
  if (InHex) {
    std::snprintf(Text, sizeof Text, "[%02X]", Byte);
  } else {
    std::snprintf(Text, sizeof Text, "[%u]", Byte);
  }
  return Text;
}

const char* StatusTriggerName(uint8_t Type) {
  static const char* const Names[] = {"(Not active)",         "(Modem status)",
                                      "(Line status)",        "(Output buffer free)",
                                      "(Output buffer used)", "(Output sent)"};
  return Type < std::size(Names) ? Names[Type] : "";
}

std::string ModemBitNames(uint32_t Bits) {
  std::string Names;
  for (int32_t Bit = 0; Bit < 8; ++Bit) {
    if ((Bits & (1u << Bit)) != 0) {
      Names += MessageText(ecLogModemStatusBase + Bit);
    }
  }
  while (!Names.empty() && Names.back() == ' ') {
    Names.pop_back();
  }
  return "(" + Names + ")";
}

// One entry of the log table with its line end.
std::string FormatLogEntry(const TApdLogEntryHeader& Header, const uint8_t* Data, bool InHex,
                           bool AllHex) {
  std::string Kind = MessageText(ecLogKindBase + Header.Kind);
  std::string SubKind = MessageText(ecLogSubKindBase + Header.SubKind);
  std::string Time = LogTimeText(Header.Time);
  std::string Line(Time.size() + Kind.size() + SubKind.size() + 64, '\0');
  int N = std::snprintf(Line.data(), Line.size(), "%8s  %-8s  %-12s  %08" PRIx32 "  ", Time.c_str(),
                        Kind.c_str(), SubKind.c_str(), Header.Data);
  Line.resize(N > 0 ? static_cast<std::size_t>(N) : 0);

  if (Header.Length == 0) {
    if (Header.Kind == dtTelnet) {
      Line += "[";
      if (Header.Data <= 42) {
        Line += MessageText(ecLogTelnetOptionBase + static_cast<int32_t>(Header.Data));
      }
      Line += "]";
    }
  } else if ((Header.Kind == dtTriggerAlloc || Header.Kind == dtTriggerDispose) &&
             Header.SubKind == dstStatusTrigger) {
    Line += StatusTriggerName(Data[0]);
  } else {
    bool Plain = AllHex && Header.Kind == dtUser;
    uint32_t Column = LogFirstColumn;
    for (uint32_t I = 0; I < Header.Length; ++I) {
      std::string Text = RenderByte(Data[I], InHex, AllHex, Plain);
      Column += static_cast<uint32_t>(Text.size());
      if (Column >= LogWrapColumn) {
        Line += CrLf;
        Line.append(LogDataIndent, ' ');
        Column = LogFirstColumn + static_cast<uint32_t>(Text.size());
      }
      Line += Text;
    }
  }
  // The bit set is in the data value, so the names follow whether bytes came with it or not.
  if (Header.SubKind == dstModemStatus) {
    Line += ModemBitNames(Header.Data);
  }
  Line += CrLf;
  return Line;
}

// A dump's output file. Write failures are kept and reported by Close(), so a full disk is
// never reported as a written file.
class TDumpFile {
public:
  TDumpFile() = default;
  TDumpFile(const TDumpFile&) = delete;
  TDumpFile& operator=(const TDumpFile&) = delete;
  ~TDumpFile() {
    if (FHandle >= 0) {
      ::close(FHandle);
    }
  }

  // 0 or the negated error number of the failed open.
  int32_t Open(const std::string& FileName, bool Append) {
    int Flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (Append ? O_APPEND : O_TRUNC);
    // The data of an answered call is the caller's: a new log is the user's alone.
    FHandle = ::open(FileName.c_str(), Flags, 0600);
    if (FHandle < 0) {
      return -static_cast<int32_t>(Platform::SetLastErrorFromErrno(errno));
    }
    return 0;
  }

  // Collects Text, writing out once a chunk has gathered.
  void Write(const std::string& Text) {
    FPending += Text;
    if (FPending.size() >= DumpChunk) {
      Flush();
    }
  }

  // 0, or the negated error number of the first failed write or of the close.
  int32_t Close() {
    Flush();
    int Handle = FHandle;
    FHandle = -1;
    if (::close(Handle) != 0 && FError == 0) {
      FError = -static_cast<int32_t>(Platform::SetLastErrorFromErrno(errno));
    }
    return FError;
  }

private:
  void Flush() {
    const char* P = FPending.data();
    std::size_t Left = FPending.size();
    while (Left > 0 && FError == 0) {
      ssize_t N = ::write(FHandle, P, Left);
      if (N < 0) {
        if (errno == EINTR) {
          continue;
        }
        FError = -static_cast<int32_t>(Platform::SetLastErrorFromErrno(errno));
        break;
      }
      P += N;
      Left -= static_cast<std::size_t>(N);
    }
    FPending.clear();
  }

  int FHandle = -1;
  int32_t FError = 0;
  std::string FPending;
};

// Copies Count bytes into a ring at Head, wrapping at its end; Head advances.
void CopyIntoRing(uint8_t* Ring, uint32_t Size, uint32_t& Head, const uint8_t* Bytes,
                  uint32_t Count) {
  uint32_t First = std::min(Count, Size - Head);
  std::memcpy(Ring + Head, Bytes, First);
  std::memcpy(Ring, Bytes + First, Count - First);
  Head = (Head + Count) % Size;
}

// Copies Count bytes out of a ring from Tail (Bytes nullptr: skips them); Tail advances.
void CopyOutOfRing(const uint8_t* Ring, uint32_t Size, uint32_t& Tail, uint8_t* Bytes,
                   uint32_t Count) {
  if (Bytes != nullptr) {
    uint32_t First = std::min(Count, Size - Tail);
    std::memcpy(Bytes, Ring + Tail, First);
    std::memcpy(Bytes + First, Ring, Count - First);
  }
  Tail = (Tail + Count) % Size;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Dispatch log

void TApdBaseDispatcher::StartLog(uint32_t Size) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (LogRing) {
    ClearLog();
    return;
  }
  // The scratch buffer takes any entry the ring can hold, whatever the queue sizes are.
  uint32_t ScratchSize = std::max({InQueueSize, OutQueueSize, Size, 1u});
  LogRing.reset(new (std::nothrow) uint8_t[std::max(Size, 1u)]);
  LogScratch.reset(new (std::nothrow) uint8_t[ScratchSize]);
  if (!LogRing || !LogScratch) {
    DiscardLog();
    return;
  }
  LogRingSize = Size;
  LogScratchSize = ScratchSize;
  LogHead = 0;
  LogTail = 0;
  LogFree = Size;
  LoggingOn = true;
}

void TApdBaseDispatcher::ClearLog() {
  Platform::TCriticalSectionGuard Main(MainLock);
  LogHead = 0;
  LogTail = 0;
  LogFree = LogRingSize;
}

void TApdBaseDispatcher::PauseLog() {
  Platform::TCriticalSectionGuard Main(MainLock);
  LoggingOn = false;
}

void TApdBaseDispatcher::ResumeLog() {
  Platform::TCriticalSectionGuard Main(MainLock);
  LoggingOn = LogRing != nullptr;
}

void TApdBaseDispatcher::DiscardLog() {
  Platform::TCriticalSectionGuard Main(MainLock);
  LoggingOn = false;
  LogRing.reset();
  LogScratch.reset();
  LogScratchSize = 0;
  LogRingSize = 0;
  LogHead = 0;
  LogTail = 0;
  LogFree = 0;
}

bool TApdBaseDispatcher::PutLogBytes(const void* Bytes, uint32_t Count) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (!LogRing || Count >= LogRingSize) {
    return false;
  }
  TApdLogEntryHeader Dropped;
  uint32_t DroppedLength;
  while (LogFree < Count && LogFree != LogRingSize) {
    TakeLogEntry(Dropped, nullptr, DroppedLength);
  }
  CopyIntoRing(LogRing.get(), LogRingSize, LogHead, static_cast<const uint8_t*>(Bytes), Count);
  LogFree -= Count;
  return true;
}

// Data nullptr skips the data bytes (an entry dropped to make room).
bool TApdBaseDispatcher::TakeLogEntry(TApdLogEntryHeader& Header, uint8_t* Data, uint32_t& Length) {
  Platform::TCriticalSectionGuard Main(MainLock);
  Length = 0;
  if (!LogRing || LogFree == LogRingSize) {
    return true;
  }
  CopyOutOfRing(LogRing.get(), LogRingSize, LogTail, reinterpret_cast<uint8_t*>(&Header),
                LogHeaderSize);
  LogFree += LogHeaderSize;
  if (Header.Length != 0) {
    CopyOutOfRing(LogRing.get(), LogRingSize, LogTail, Data, Header.Length);
    LogFree += Header.Length;
    Length = Header.Length;
  }
  return false;
}

void TApdBaseDispatcher::AddLogEntry(uint8_t Kind, uint8_t SubKind, uint32_t DataLength,
                                     const void* DataBytes, uint32_t DataValue) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (!LoggingOn || !LogRing) {
    return;
  }
  if (DataBytes == nullptr) {
    DataLength = 0;
  }
  // Header and data are stored as one piece: room is made for both before either is
  // written, so dropping old entries can never take away this entry's own header.
  if (uint64_t{LogHeaderSize} + DataLength >= LogRingSize) {
    return;
  }
  TApdLogEntryHeader Header;
  Header.Kind = Kind;
  Header.SubKind = SubKind;
  Header.Time = AdTimeGetTime() - LogStartTime;
  Header.Data = DataValue;
  Header.Length = DataLength;
  TApdLogEntryHeader Dropped;
  uint32_t DroppedLength;
  while (LogFree < LogHeaderSize + DataLength && LogFree != LogRingSize) {
    TakeLogEntry(Dropped, nullptr, DroppedLength);
  }
  PutLogBytes(&Header, LogHeaderSize);
  if (DataLength > 0) {
    PutLogBytes(DataBytes, DataLength);
  }
}

int32_t TApdBaseDispatcher::DumpLog(const std::string& FileName, bool Append, bool InHex,
                                    bool AllHex) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (!LogRing || LogFree == LogRingSize) {
    DiscardLog();
    return 0;
  }
  LoggingOn = false;

  TDumpFile File;
  if (int32_t Result = File.Open(FileName, Append); Result != 0) {
    return Result;
  }
  std::string Header;
  Header += std::string("ORVO ") + "v4.06" + CrLf;
  Header += std::string("Compiler : ") + CompilerText() + CrLf;
  Header += "Operating System : " + OperatingSystemText() + CrLf;
  Header += "Device: " + FDeviceName + CrLf;
  Header += "Date/time: " + DateTimeText() + CrLf;
  Header += MessageText(ecLogHeaderTitles) + CrLf;
  Header += MessageText(ecLogHeaderRule) + CrLf;
  File.Write(Header);

  TApdLogEntryHeader Entry;
  uint32_t Length;
  while (!TakeLogEntry(Entry, LogScratch.get(), Length)) {
    File.Write(FormatLogEntry(Entry, LogScratch.get(), InHex, AllHex));
  }
  int32_t Result = File.Close();
  DiscardLog();
  return Result;
}

int32_t TApdBaseDispatcher::WriteLog(const std::string& FileName, bool InHex, bool AllHex) {
  return DumpLog(FileName, false, InHex, AllHex);
}

int32_t TApdBaseDispatcher::AppendLog(const std::string& FileName, bool InHex, bool AllHex) {
  return DumpLog(FileName, true, InHex, AllHex);
}

// ---------------------------------------------------------------------------------------
// Trace

int32_t TApdBaseDispatcher::StartTrace(uint32_t Capacity) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (TraceRing) {
    ClearTrace();
  } else {
    if (Capacity > MaxTraceCapacity) {
      return ecBadArgument;
    }
    TraceRing.reset(new (std::nothrow) uint8_t[size_t{2} * std::max(Capacity, 1u)]());
    if (!TraceRing) {
      return ecOutOfMemory;
    }
    TraceCapacity = Capacity;
    TraceHead = 0;
    TraceWrapped = false;
  }
  TracingOn = true;
  return 0;
}

int32_t TApdBaseDispatcher::ClearTrace() {
  Platform::TCriticalSectionGuard Main(MainLock);
  TraceHead = 0;
  TraceWrapped = false;
  return 0;
}

void TApdBaseDispatcher::PauseTrace() {
  Platform::TCriticalSectionGuard Main(MainLock);
  TracingOn = false;
}

void TApdBaseDispatcher::ResumeTrace() {
  Platform::TCriticalSectionGuard Main(MainLock);
  TracingOn = TraceRing != nullptr;
}

void TApdBaseDispatcher::DiscardTrace() {
  Platform::TCriticalSectionGuard Main(MainLock);
  TracingOn = false;
  TraceRing.reset();
  TraceCapacity = 0;
  TraceHead = 0;
  TraceWrapped = false;
}

void TApdBaseDispatcher::AddTraceEntry(char Tag, uint8_t Ch) {
  AddTraceBytes(Tag, &Ch, 1);
}

void TApdBaseDispatcher::AddTraceBytes(char Tag, const void* Data, uint32_t Count) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (!TracingOn || !TraceRing || TraceCapacity == 0 || Data == nullptr) {
    return;
  }
  const auto* Bytes = static_cast<const uint8_t*>(Data);
  for (uint32_t I = 0; I < Count; ++I) {
    TraceRing[size_t{2} * TraceHead] = static_cast<uint8_t>(Tag);
    TraceRing[size_t{2} * TraceHead + 1] = Bytes[I];
    if (++TraceHead == TraceCapacity) {
      TraceHead = 0;
      TraceWrapped = true;
    }
  }
}

int32_t TApdBaseDispatcher::DumpTrace(const std::string& FileName, bool Append, bool InHex,
                                      bool AllHex) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (!TraceRing) {
    return 0;
  }
  TracingOn = false;
  if (!TraceWrapped && TraceHead == 0) {
    DiscardTrace();
    return 0;
  }
  TDumpFile File;
  if (int32_t Result = File.Open(FileName, Append); Result != 0) {
    DiscardTrace();
    return Result;
  }

  uint32_t Count = TraceWrapped ? TraceCapacity : TraceHead;
  uint32_t Index = TraceWrapped ? TraceHead : 0;
  uint32_t Column = 0;
  uint8_t BlockTag = 0;
  std::string Text;
  for (uint32_t I = 0; I < Count; ++I) {
    uint8_t Tag = TraceRing[size_t{2} * Index];
    uint8_t Ch = TraceRing[size_t{2} * Index + 1];
    if (I == 0 || Tag != BlockTag) {
      if (I != 0) {
        Text += "\r\n\r\n";
        Column = 0;
      }
      if (Tag == 'T') {
        Text += "Transmit: ";
      } else if (Tag == 'R') {
        Text += "Receive: ";
      } else {
        Text += "Special-";
        Text += static_cast<char>(Tag);
        Text += ": ";
      }
      Text += CrLf;
      BlockTag = Tag;
    }
    std::string Shown = RenderByte(Ch, InHex, AllHex, false);
    Column += static_cast<uint32_t>(Shown.size());
    if (Column > TraceWrapColumn) {
      Text += CrLf;
      Column = static_cast<uint32_t>(Shown.size());
    }
    Text += Shown;
    if (Text.size() >= DumpChunk) {
      File.Write(Text);
      Text.clear();
    }
    Index = Index + 1 == TraceCapacity ? 0 : Index + 1;
  }
  File.Write(Text);
  int32_t Result = File.Close();
  DiscardTrace();
  return Result;
}

int32_t TApdBaseDispatcher::WriteTrace(const std::string& FileName, bool InHex, bool AllHex) {
  return DumpTrace(FileName, false, InHex, AllHex);
}

int32_t TApdBaseDispatcher::AppendTrace(const std::string& FileName, bool InHex, bool AllHex) {
  return DumpTrace(FileName, true, InHex, AllHex);
}
