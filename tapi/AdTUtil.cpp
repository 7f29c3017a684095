// The telephony library loader, the wrappers and the record growing.
#include "tapi/AdTUtil.h"

#include "common/AdExcept.h"
#include "telephony/TapiNames.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

static_assert(std::size(TapiFunctionNames) == TapiEntryPointCount);

Platform::TLibraryHandle Library = nullptr;
void* Slots[TapiEntryPointCount] = {};
bool ExitHookSet = false;

void UnloadAtExit() {
  UnloadTapi();
}

// The common path of every loading wrapper: load, find the slot, call with the arguments
// unchanged. F is the exported function's own type, so a wrong argument list cannot compile.
template <TTapiEntryPoint Entry, class F, class... TArgs> LONG CallTapi(TArgs... Args) {
  if (!LoadTapi())
    return ecTapiLoadFail;
  void* Address = Slots[Entry];
  if (Address == nullptr)
    return ecTapiGetAddrFail;
  return reinterpret_cast<F>(Address)(Args...);
}

// The slot of a sizing wrapper, which does not load: nullptr with the reason in Result.
void* SizingSlot(TTapiEntryPoint Entry, LONG& Result) {
  if (Library == nullptr) {
    Result = ecTapiLoadFail;
    return nullptr;
  }
  if (Slots[Entry] == nullptr)
    Result = ecTapiGetAddrFail;
  return Slots[Entry];
}

// Allocate, call, grow to what TAPI asks for, call again - at most three calls. Call takes
// the record and returns TAPI's result.
template <class T, class TCall>
LONG GrowRecord(DWORD FirstSize, TTapiRecord<T>& Record, TCall Call) {
  Record.Reset();
  TTapiRecord<T> Block = TTapiRecord<T>::Allocate(FirstSize);
  if (!Block)
    return static_cast<LONG>(LINEERR_NOMEM);
  LONG Result = Call(Block.Get());
  if (static_cast<DWORD>(Result) == LINEERR_STRUCTURETOOSMALL) {
    Block = TTapiRecord<T>::Allocate(GrowRecordSize);
    if (!Block)
      return static_cast<LONG>(LINEERR_NOMEM);
    Result = Call(Block.Get());
    if (Result != 0)
      return Result; // the block goes with Block
  }
  // Compared with what is really allocated: a library that rewrote dwTotalSize must not make
  // a too-small block pass as complete.
  const DWORD Needed = Block->dwNeededSize;
  if (Needed <= Block.AllocatedSize()) {
    Record = std::move(Block);
    return Result;
  }
  if (Needed > MaxRecordSize)
    return static_cast<LONG>(LINEERR_NOMEM);
  Block = TTapiRecord<T>::Allocate(Needed);
  if (!Block)
    return static_cast<LONG>(LINEERR_NOMEM);
  Result = Call(Block.Get());
  if (Result != 0)
    return Result;
  Record = std::move(Block);
  return 0;
}

} // namespace

// ---------------------------------------------------------------------------------------
// The loader

bool LoadTapi() {
  if (Library != nullptr)
    return true;
  Platform::TLibraryHandle Loaded = Platform::LoadLibrary("TAPI32");
  if (Loaded == nullptr)
    return false;
  Library = Loaded;
  for (int I = 0; I < TapiEntryPointCount; ++I)
    Slots[I] = Platform::GetProcAddress(Library, TapiFunctionNames[I]);
  // Registered after the platform layer's own state exists, so it runs before that goes.
  if (!ExitHookSet) {
    ExitHookSet = true;
    std::atexit(UnloadAtExit);
  }
  return true;
}

void UnloadTapi() {
  if (Library == nullptr)
    return;
  std::fill(std::begin(Slots), std::end(Slots), nullptr);
  Platform::TLibraryHandle Loaded = Library;
  Library = nullptr;
  Platform::FreeLibrary(Loaded);
}

bool TapiLoaded() {
  return Library != nullptr;
}

Platform::TLibraryHandle TapiLibraryHandle() {
  return Library;
}

const char* TapiEntryPointName(TTapiEntryPoint Entry) {
  if (Entry < 0 || Entry >= TapiEntryPointCount)
    return "";
  return TapiFunctionNames[Entry];
}

void* TapiEntryPointAddress(TTapiEntryPoint Entry) {
  if (Entry < 0 || Entry >= TapiEntryPointCount)
    return nullptr;
  return Slots[Entry];
}

// ---------------------------------------------------------------------------------------
// The loading wrappers

LONG tuLineInitialize(LPHLINEAPP LineApp, HINSTANCE Instance, LINECALLBACK Callback, LPCSTR AppName,
                      LPDWORD NumDevs) {
  return CallTapi<tepLineInitialize, decltype(&::lineInitialize)>(LineApp, Instance, Callback,
                                                                  AppName, NumDevs);
}

LONG tuLineShutdown(HLINEAPP LineApp) {
  return CallTapi<tepLineShutdown, decltype(&::lineShutdown)>(LineApp);
}

LONG tuLineNegotiateAPIVersion(HLINEAPP LineApp, DWORD DeviceID, DWORD APILowVersion,
                               DWORD APIHighVersion, LPDWORD APIVersion,
                               LPLINEEXTENSIONID ExtensionID) {
  return CallTapi<tepLineNegotiateAPIVersion, decltype(&::lineNegotiateAPIVersion)>(
      LineApp, DeviceID, APILowVersion, APIHighVersion, APIVersion, ExtensionID);
}

LONG tuLineOpen(HLINEAPP LineApp, DWORD DeviceID, LPHLINE Line, DWORD APIVersion, DWORD ExtVersion,
                DWORD_PTR CallbackInstance, DWORD Privileges, DWORD MediaModes,
                const LINECALLPARAMS* CallParams) {
  return CallTapi<tepLineOpen, decltype(&::lineOpen)>(LineApp, DeviceID, Line, APIVersion,
                                                      ExtVersion, CallbackInstance, Privileges,
                                                      MediaModes, CallParams);
}

LONG tuLineMakeCall(HLINE Line, LPHCALL Call, LPCSTR DestAddress, DWORD CountryCode,
                    const LINECALLPARAMS* CallParams) {
  return CallTapi<tepLineMakeCall, decltype(&::lineMakeCall)>(Line, Call, DestAddress, CountryCode,
                                                              CallParams);
}

LONG tuLineAccept(HCALL Call, LPCSTR UserUserInfo, DWORD Size) {
  return CallTapi<tepLineAccept, decltype(&::lineAccept)>(Call, UserUserInfo, Size);
}

LONG tuLineAnswer(HCALL Call, LPCSTR UserUserInfo, DWORD Size) {
  return CallTapi<tepLineAnswer, decltype(&::lineAnswer)>(Call, UserUserInfo, Size);
}

LONG tuLineDeallocateCall(HCALL Call) {
  return CallTapi<tepLineDeallocateCall, decltype(&::lineDeallocateCall)>(Call);
}

LONG tuLineDrop(HCALL Call, LPCSTR UserUserInfo, DWORD Size) {
  return CallTapi<tepLineDrop, decltype(&::lineDrop)>(Call, UserUserInfo, Size);
}

LONG tuLineClose(HLINE Line) {
  return CallTapi<tepLineClose, decltype(&::lineClose)>(Line);
}

LONG tuLineGetID(HLINE Line, DWORD AddressID, HCALL Call, DWORD Select, LPVARSTRING DeviceID,
                 LPCSTR DeviceClass) {
  return CallTapi<tepLineGetID, decltype(&::lineGetID)>(Line, AddressID, Call, Select, DeviceID,
                                                        DeviceClass);
}

LONG tuLineSetStatusMessages(HLINE Line, DWORD LineStates, DWORD AddressStates) {
  return CallTapi<tepLineSetStatusMessages, decltype(&::lineSetStatusMessages)>(Line, LineStates,
                                                                                AddressStates);
}

LONG tuLineGetDevConfig(DWORD DeviceID, LPVARSTRING DeviceConfig, LPCSTR DeviceClass) {
  return CallTapi<tepLineGetDevConfig, decltype(&::lineGetDevConfig)>(DeviceID, DeviceConfig,
                                                                      DeviceClass);
}

LONG tuLineMonitorDigits(HCALL Call, DWORD DigitModes) {
  return CallTapi<tepLineMonitorDigits, decltype(&::lineMonitorDigits)>(Call, DigitModes);
}

LONG tuLineDevSpecific(HLINE Line, DWORD AddressID, HCALL Call, LPVOID Params, DWORD Size) {
  return CallTapi<tepLineDevSpecific, decltype(&::lineDevSpecific)>(Line, AddressID, Call, Params,
                                                                    Size);
}

// ---------------------------------------------------------------------------------------
// Records

TTapiRecord<VARSTRING> NewVarString(size_t Size) {
  return TTapiRecord<VARSTRING>::Allocate(Size);
}

LONG tuLineGetDevCaps(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion,
                      TTapiRecord<LINEDEVCAPS>& Record) {
  Record.Reset();
  LONG Result = 0;
  auto Function =
      reinterpret_cast<decltype(&::lineGetDevCaps)>(SizingSlot(tepLineGetDevCaps, Result));
  if (Function == nullptr)
    return Result;
  return GrowRecord(DevCapsFirstSize, Record, [&](LINEDEVCAPS* Caps) {
    return Function(LineApp, DeviceID, APIVersion, ExtVersion, Caps);
  });
}

LONG tuLineGetCallInfo(HCALL Call, TTapiRecord<LINECALLINFO>& Record) {
  Record.Reset();
  LONG Result = 0;
  auto Function =
      reinterpret_cast<decltype(&::lineGetCallInfo)>(SizingSlot(tepLineGetCallInfo, Result));
  if (Function == nullptr)
    return Result;
  return GrowRecord(CallInfoFirstSize, Record,
                    [&](LINECALLINFO* Info) { return Function(Call, Info); });
}

LONG tuLineGetCallStatus(HCALL Call, TTapiRecord<LINECALLSTATUS>& Record) {
  Record.Reset();
  LONG Result = 0;
  auto Function =
      reinterpret_cast<decltype(&::lineGetCallStatus)>(SizingSlot(tepLineGetCallStatus, Result));
  if (Function == nullptr)
    return Result;
  return GrowRecord(CallStatusFirstSize, Record,
                    [&](LINECALLSTATUS* Status) { return Function(Call, Status); });
}

std::string_view TapiRecordBytes(const void* Block, size_t BlockSize, DWORD Size, DWORD Offset) {
  if (Block == nullptr || Size == 0 || BlockSize < sizeof(DWORD))
    return {};
  DWORD Total = 0;
  std::memcpy(&Total, Block, sizeof Total);
  const size_t Bound = std::min<size_t>(Total, BlockSize);
  // Compared in 64 bits: Offset + Size may not fit 32.
  if (static_cast<uint64_t>(Offset) + Size > Bound)
    return {};
  return std::string_view(static_cast<const char*>(Block) + Offset, Size);
}

std::string TapiRecordText(const void* Block, size_t BlockSize, DWORD Size, DWORD Offset) {
  const std::string_view Bytes = TapiRecordBytes(Block, BlockSize, Size, Offset);
  return std::string(Bytes.substr(0, Bytes.find('\0')));
}
