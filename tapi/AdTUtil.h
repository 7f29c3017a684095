// AdTUtil: the run-time loader of the telephony library "TAPI32", one thin wrapper per line
// function the program calls, the growing of TAPI's variable-size records, and checked readers
// for the variable parts of such records.
//
// Contract:
// - The library is loaded the first time a loading wrapper (or LoadTapi) needs it; a failed
//   load caches nothing and is tried again by the next call. A loaded library fills a table
//   of 38 entry points in a fixed order (TAPI 1.4's 37 line functions, then lineDevSpecific,
//   which carries Ringlet's own operations); a name the library lacks leaves only its own slot
//   empty. The library stays loaded until the program ends (an exit hook, registered at the
//   first successful load, calls UnloadTapi); lineShutdown does not unload it.
// - Loading wrappers return -13931 (ecTapiLoadFail) when the library cannot be loaded,
//   -13932 (ecTapiGetAddrFail) when it lacks the function, else TAPI's 32-bit result
//   unchanged: 0, a LINEERR value, or a positive request id. They never raise.
// - Sizing wrappers hand out a zero-filled record they allocated and grew (first try at the
//   record's 1.4 size, 1024 bytes after LINEERR_STRUCTURETOOSMALL, then exactly dwNeededSize;
//   never a fourth call). TTapiRecord owns it, so it is released on every path.
// - Readers never read outside the smaller of the record's dwTotalSize and the block really
//   allocated; a part that does not lie wholly inside gives empty text.
// - All of it belongs to the thread that runs the telephony work (the user-interface thread);
//   nothing here locks.
#pragma once

#include "platform/DynLib.h"
#include "telephony/Tapi.h"

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------------------
// The loader

// The entry-point table, in the order the library is searched.
enum TTapiEntryPoint : int {
  tepLineGenerateTone,
  tepLineMonitorTones,
  tepLineSetCallParams,
  tepLineHandoff,
  tepLineMonitorMedia,
  tepLineGenerateDigits,
  tepLineMonitorDigits,
  tepLineInitialize,
  tepLineShutdown,
  tepLineNegotiateAPIVersion,
  tepLineGetDevCaps,
  tepLineOpen,
  tepLineMakeCall,
  tepLineAccept,
  tepLineAnswer,
  tepLineDeallocateCall,
  tepLineDrop,
  tepLineClose,
  tepLineGetCountry,
  tepLineConfigDialog,
  tepLineConfigDialogEdit,
  tepLineGetID,
  tepLineSetStatusMessages,
  tepLineGetStatusMessages,
  tepLineGetAddressCaps,
  tepLineGetAddressStatus,
  tepLineGetLineDevStatus,
  tepLineGetDevConfig,
  tepLineSetDevConfig,
  tepLineGetCallInfo,
  tepLineGetCallStatus,
  tepLineSetMediaMode,
  tepLineTranslateAddress,
  tepLineTranslateDialog,
  tepLineSetCurrentLocation,
  tepLineSetTollList,
  tepLineGetTranslateCaps,
  tepLineDevSpecific,
};
inline constexpr int TapiEntryPointCount = 38;

// Loads "TAPI32" unless it is loaded; true when it is loaded afterwards.
bool LoadTapi();
// Releases the library and empties every slot; the next wrapper call loads it again. Called
// at program end; tests call it to start from nothing.
void UnloadTapi();
bool TapiLoaded();
// The loaded library (for looking up more symbols), or nullptr.
Platform::TLibraryHandle TapiLibraryHandle();
// The exported name of an entry point ("lineInitialize"), and its slot (nullptr when empty).
const char* TapiEntryPointName(TTapiEntryPoint Entry);
void* TapiEntryPointAddress(TTapiEntryPoint Entry);

// ---------------------------------------------------------------------------------------
// The loading wrappers: TAPI's arguments and results, in TAPI's order

LONG tuLineInitialize(LPHLINEAPP LineApp, HINSTANCE Instance, LINECALLBACK Callback, LPCSTR AppName,
                      LPDWORD NumDevs);
LONG tuLineShutdown(HLINEAPP LineApp);
LONG tuLineNegotiateAPIVersion(HLINEAPP LineApp, DWORD DeviceID, DWORD APILowVersion,
                               DWORD APIHighVersion, LPDWORD APIVersion,
                               LPLINEEXTENSIONID ExtensionID);
LONG tuLineOpen(HLINEAPP LineApp, DWORD DeviceID, LPHLINE Line, DWORD APIVersion, DWORD ExtVersion,
                DWORD_PTR CallbackInstance, DWORD Privileges, DWORD MediaModes,
                const LINECALLPARAMS* CallParams);
LONG tuLineMakeCall(HLINE Line, LPHCALL Call, LPCSTR DestAddress, DWORD CountryCode,
                    const LINECALLPARAMS* CallParams);
LONG tuLineAccept(HCALL Call, LPCSTR UserUserInfo, DWORD Size);
LONG tuLineAnswer(HCALL Call, LPCSTR UserUserInfo, DWORD Size);
LONG tuLineDeallocateCall(HCALL Call);
LONG tuLineDrop(HCALL Call, LPCSTR UserUserInfo, DWORD Size);
LONG tuLineClose(HLINE Line);
LONG tuLineGetID(HLINE Line, DWORD AddressID, HCALL Call, DWORD Select, LPVARSTRING DeviceID,
                 LPCSTR DeviceClass);
LONG tuLineSetStatusMessages(HLINE Line, DWORD LineStates, DWORD AddressStates);
LONG tuLineGetDevConfig(DWORD DeviceID, LPVARSTRING DeviceConfig, LPCSTR DeviceClass);
LONG tuLineMonitorDigits(HCALL Call, DWORD DigitModes);
// Ringlet's own operations (RINGLET_DEVSPECIFIC_... in telephony/Tapi.h); a library of an older
// kind lacks it: -13932.
LONG tuLineDevSpecific(HLINE Line, DWORD AddressID, HCALL Call, LPVOID Params, DWORD Size);

// ---------------------------------------------------------------------------------------
// Owned variable-size records

// First-try sizes: the 1.4 layouts of the records (and of two records nothing grows here).
inline constexpr DWORD DevCapsFirstSize = 240;
inline constexpr DWORD CallInfoFirstSize = 296;
inline constexpr DWORD CallStatusFirstSize = 36;
inline constexpr DWORD TranslateOutputFirstSize = 40;
inline constexpr DWORD TranslateCapsFirstSize = 44;
inline constexpr DWORD FourthRecordFirstSize = 88;
// The size of the second try after LINEERR_STRUCTURETOOSMALL.
inline constexpr DWORD GrowRecordSize = 1024;
// The size of the VARSTRING buffers handed to lineGetID and lineGetDevConfig.
inline constexpr DWORD VarStringBufferSize = 1028;
// A library asking for more than this is faulty: the wrapper gives up with LINEERR_NOMEM
// instead of trusting it.
inline constexpr DWORD MaxRecordSize = 16 * 1024 * 1024;

// A zero-filled block holding a TAPI record T (its first DWORD is dwTotalSize), together with
// the size really allocated. Move-only; releases the block when it goes.
template <class T> class TTapiRecord {
public:
  TTapiRecord() = default;

  // A zero-filled block of Size bytes (at least sizeof(T)) with dwTotalSize set to Size;
  // empty when Size is out of range or memory is short.
  static TTapiRecord Allocate(size_t Size) {
    TTapiRecord Result;
    if (Size < sizeof(T) || Size > MaxRecordSize)
      return Result;
    Result.FBlock.reset(static_cast<T*>(std::calloc(1, Size)));
    if (Result.FBlock) {
      Result.FSize = Size;
      Result.FBlock->dwTotalSize = static_cast<DWORD>(Size);
    }
    return Result;
  }

  T* Get() const { return FBlock.get(); }
  T* operator->() const { return FBlock.get(); }
  T& operator*() const { return *FBlock; }
  explicit operator bool() const { return FBlock != nullptr; }
  // Bytes actually allocated (0 when empty): the bound that holds whatever the record says.
  size_t AllocatedSize() const { return FBlock ? FSize : 0; }
  void Reset() {
    FBlock.reset();
    FSize = 0;
  }

private:
  struct TFree {
    void operator()(T* Block) const { std::free(Block); }
  };
  std::unique_ptr<T, TFree> FBlock;
  size_t FSize = 0;
};

// A VARSTRING buffer for lineGetID / lineGetDevConfig, its total size set.
TTapiRecord<VARSTRING> NewVarString(size_t Size = VarStringBufferSize);

// ---------------------------------------------------------------------------------------
// The sizing wrappers

// Each sets Record to the grown record or to nothing and returns TAPI's last result. A first
// call failing with anything but LINEERR_STRUCTURETOOSMALL that leaves dwNeededSize at 0
// hands the block out together with the error. They expect a successful tuLineInitialize
// earlier in the process and never load the library themselves; without it they return
// -13931 (not loaded) or -13932 (function missing) and hand out nothing.
LONG tuLineGetDevCaps(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion,
                      TTapiRecord<LINEDEVCAPS>& Record);
LONG tuLineGetCallInfo(HCALL Call, TTapiRecord<LINECALLINFO>& Record);
LONG tuLineGetCallStatus(HCALL Call, TTapiRecord<LINECALLSTATUS>& Record);

// ---------------------------------------------------------------------------------------
// Checked readers of variable parts

// The Size bytes at Offset of a record, when they lie wholly inside both its dwTotalSize and
// BlockSize (the bytes really there); otherwise empty. Block may be null (empty result).
std::string_view TapiRecordBytes(const void* Block, size_t BlockSize, DWORD Size, DWORD Offset);
// The same part as text: its bytes up to the first zero (TAPI counts the terminating zero).
std::string TapiRecordText(const void* Block, size_t BlockSize, DWORD Size, DWORD Offset);

template <class T>
std::string_view TapiRecordBytes(const TTapiRecord<T>& Record, DWORD T::*SizeField,
                                 DWORD T::*OffsetField) {
  if (!Record)
    return {};
  return TapiRecordBytes(Record.Get(), Record.AllocatedSize(), Record.Get()->*SizeField,
                         Record.Get()->*OffsetField);
}

template <class T>
std::string TapiRecordText(const TTapiRecord<T>& Record, DWORD T::*SizeField,
                           DWORD T::*OffsetField) {
  if (!Record)
    return {};
  return TapiRecordText(Record.Get(), Record.AllocatedSize(), Record.Get()->*SizeField,
                        Record.Get()->*OffsetField);
}
