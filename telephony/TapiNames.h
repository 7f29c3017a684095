// TapiNames: the names of the line functions the telephony library exports, one list for the
// loader and for every check of the library's exports.
//
// Contract: every name is exported by libtapi32.so; the order is the loader's entry-point
// table (tapi/AdTUtil.h, TTapiEntryPoint), which indexes this list.
#pragma once

inline constexpr const char* TapiFunctionNames[] = {
    "lineGenerateTone",
    "lineMonitorTones",
    "lineSetCallParams",
    "lineHandoff",
    "lineMonitorMedia",
    "lineGenerateDigits",
    "lineMonitorDigits",
    "lineInitialize",
    "lineShutdown",
    "lineNegotiateAPIVersion",
    "lineGetDevCaps",
    "lineOpen",
    "lineMakeCall",
    "lineAccept",
    "lineAnswer",
    "lineDeallocateCall",
    "lineDrop",
    "lineClose",
    "lineGetCountry",
    "lineConfigDialog",
    "lineConfigDialogEdit",
    "lineGetID",
    "lineSetStatusMessages",
    "lineGetStatusMessages",
    "lineGetAddressCaps",
    "lineGetAddressStatus",
    "lineGetLineDevStatus",
    "lineGetDevConfig",
    "lineSetDevConfig",
    "lineGetCallInfo",
    "lineGetCallStatus",
    "lineSetMediaMode",
    "lineTranslateAddress",
    "lineTranslateDialog",
    "lineSetCurrentLocation",
    "lineSetTollList",
    "lineGetTranslateCaps",
    "lineDevSpecific",
};
