// The exported line functions: argument checks that need no state, and a guard so that no
// exception ever crosses into a C caller. Functions this service does not offer say so.
#define RINGLET_TAPI_BUILD 1
#include "telephony/LineService.h"
#include "telephony/Tapi.h"

#include <cstring>
#include <new>

using Telephony::TLineService;

namespace {

template <class F> LONG Guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return static_cast<LONG>(LINEERR_NOMEM);
  } catch (...) {
    return static_cast<LONG>(LINEERR_OPERATIONFAILED);
  }
}

LONG Unavailable() {
  return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}

// Lines still open when the library is unloaded are closed first, so no reader thread runs
// code that is about to vanish.
struct TUnloadGuard {
  ~TUnloadGuard() { TLineService::DestroyInstance(); }
} UnloadGuard;

} // namespace

extern "C" {

LONG lineGenerateTone(HCALL, DWORD, DWORD, DWORD, const LINEGENERATETONE*) {
  return Unavailable();
}
LONG lineMonitorTones(HCALL, const LINEMONITORTONE*, DWORD) {
  return Unavailable();
}
LONG lineSetCallParams(HCALL, DWORD, DWORD, DWORD, const LINEDIALPARAMS*) {
  return Unavailable();
}
LONG lineHandoff(HCALL, LPCSTR, DWORD) {
  return Unavailable();
}
LONG lineMonitorMedia(HCALL, DWORD) {
  return Unavailable();
}
LONG lineGenerateDigits(HCALL, DWORD, LPCSTR, DWORD) {
  return Unavailable();
}
LONG lineMonitorDigits(HCALL, DWORD) {
  return Unavailable();
}

LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                    LPDWORD lpdwNumDevs) {
  return Guarded([&] {
    return TLineService::Instance().Initialize(lphLineApp, lpfnCallback, lpszAppName, lpdwNumDevs);
  });
}

LONG lineShutdown(HLINEAPP hLineApp) {
  return Guarded([&] { return TLineService::Instance().Shutdown(hLineApp); });
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                             LPLINEEXTENSIONID lpExtensionID) {
  return Guarded([&] {
    return TLineService::Instance().NegotiateApiVersion(
        hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, lpdwAPIVersion, lpExtensionID);
  });
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LPLINEDEVCAPS lpLineDevCaps) {
  return Guarded([&] {
    return TLineService::Instance().GetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion,
                                               lpLineDevCaps);
  });
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
              DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
              DWORD dwMediaModes, const LINECALLPARAMS*) {
  return Guarded([&] {
    return TLineService::Instance().Open(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion,
                                         dwCallbackInstance, dwPrivileges, dwMediaModes);
  });
}

LONG lineMakeCall(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD,
                  const LINECALLPARAMS*) {
  return Guarded(
      [&] { return TLineService::Instance().MakeCall(hLine, lphCall, lpszDestAddress); });
}

// User-user information needs an ISDN line; a modem line has nowhere to send it.
LONG lineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  if (lpsUserUserInfo && dwSize)
    return static_cast<LONG>(LINEERR_USERUSERINFOTOOBIG);
  return Guarded([&] { return TLineService::Instance().Accept(hCall); });
}

LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  if (lpsUserUserInfo && dwSize)
    return static_cast<LONG>(LINEERR_USERUSERINFOTOOBIG);
  return Guarded([&] { return TLineService::Instance().Answer(hCall); });
}

LONG lineDeallocateCall(HCALL hCall) {
  return Guarded([&] { return TLineService::Instance().DeallocateCall(hCall); });
}

LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
  if (lpsUserUserInfo && dwSize)
    return static_cast<LONG>(LINEERR_USERUSERINFOTOOBIG);
  return Guarded([&] { return TLineService::Instance().Drop(hCall); });
}

// Ringlet's own operations; the first DWORD of lpParams says which.
LONG lineClose(HLINE hLine) {
  return Guarded([&] { return TLineService::Instance().Close(hLine); });
}

LONG lineGetCountry(DWORD, DWORD, LPLINECOUNTRYLIST) {
  return Unavailable();
}
LONG lineConfigDialog(DWORD, HWND, LPCSTR) {
  return Unavailable();
}
LONG lineConfigDialogEdit(DWORD, HWND, LPCSTR, const void*, DWORD, LPVARSTRING) {
  return Unavailable();
}

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
               LPCSTR lpszDeviceClass) {
  return Guarded([&] {
    return TLineService::Instance().GetId(hLine, dwAddressID, hCall, dwSelect, lpDeviceID,
                                          lpszDeviceClass);
  });
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
  return Guarded([&] {
    return TLineService::Instance().SetStatusMessages(hLine, dwLineStates, dwAddressStates);
  });
}

LONG lineGetStatusMessages(HLINE hLine, LPDWORD lpdwLineStates, LPDWORD lpdwAddressStates) {
  return Guarded([&] {
    return TLineService::Instance().GetStatusMessages(hLine, lpdwLineStates, lpdwAddressStates);
  });
}

LONG lineGetAddressCaps(HLINEAPP, DWORD, DWORD, DWORD, DWORD, LPLINEADDRESSCAPS) {
  return Unavailable();
}
LONG lineGetAddressStatus(HLINE, DWORD, LPLINEADDRESSSTATUS) {
  return Unavailable();
}

LONG lineGetLineDevStatus(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus) {
  return Guarded([&] { return TLineService::Instance().GetLineDevStatus(hLine, lpLineDevStatus); });
}

LONG lineGetDevConfig(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig, LPCSTR lpszDeviceClass) {
  return Guarded([&] {
    return TLineService::Instance().GetDevConfig(dwDeviceID, lpDeviceConfig, lpszDeviceClass);
  });
}

LONG lineSetDevConfig(DWORD, const void*, DWORD, LPCSTR) {
  return Unavailable();
}

LONG lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo) {
  return Guarded([&] { return TLineService::Instance().GetCallInfo(hCall, lpCallInfo); });
}

LONG lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus) {
  return Guarded([&] { return TLineService::Instance().GetCallStatus(hCall, lpCallStatus); });
}

LONG lineSetMediaMode(HCALL, DWORD) {
  return Unavailable();
}
LONG lineTranslateAddress(HLINEAPP, DWORD, DWORD, LPCSTR, DWORD, DWORD, LPLINETRANSLATEOUTPUT) {
  return Unavailable();
}
LONG lineTranslateDialog(HLINEAPP, DWORD, DWORD, HWND, LPCSTR) {
  return Unavailable();
}
LONG lineSetCurrentLocation(HLINEAPP, DWORD) {
  return Unavailable();
}
LONG lineSetTollList(HLINEAPP, DWORD, LPCSTR, DWORD) {
  return Unavailable();
}
LONG lineGetTranslateCaps(HLINEAPP, DWORD, LPLINETRANSLATECAPS) {
  return Unavailable();
}

LONG lineDevSpecific(HLINE hLine, DWORD dwAddressID, HCALL hCall, LPVOID lpParams, DWORD dwSize) {
  return Guarded([&] {
    return TLineService::Instance().DevSpecific(hLine, dwAddressID, hCall, lpParams, dwSize);
  });
}

} // extern "C"
