// TapiRecords: filling the caller's variable-size records without ever writing past
// dwTotalSize.
//
// Contract: FillRecord copies a fixed part and its variable parts (each located by a
// Size/Offset field pair) into the caller's record. dwNeededSize always tells what the whole
// record needs. A record smaller than its fixed part gets LINEERR_STRUCTURETOOSMALL (and only
// dwNeededSize, when there is room for it). A record with room for the fixed part but not for
// all variable parts is filled partially: the fixed part with every Size/Offset pair zero and
// dwUsedSize the fixed size, result 0 - the caller sees dwNeededSize > dwTotalSize and grows.
// Records may sit at any alignment: all access is by memcpy.
#pragma once

#include "telephony/Tapi.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace Telephony {

template <class T> struct TVarPart {
  DWORD T::*Size;
  DWORD T::*Offset;
  std::string_view Bytes;
};

// The total size a record would need with these parts.
template <class T> size_t NeededSize(const std::vector<TVarPart<T>>& parts) {
  size_t needed = sizeof(T);
  for (const TVarPart<T>& part : parts)
    needed += part.Bytes.size();
  return needed;
}

// The caller's dwTotalSize, read without assuming alignment; 0 for a null record.
template <class T> DWORD TotalSizeOf(const T* record) {
  DWORD total = 0;
  if (record)
    std::memcpy(&total, record, sizeof total);
  return total;
}

template <class T> LONG FillRecord(T* record, T fixed, const std::vector<TVarPart<T>>& parts) {
  if (!record)
    return static_cast<LONG>(LINEERR_INVALPOINTER);
  const DWORD total = TotalSizeOf(record);
  const DWORD needed = static_cast<DWORD>(NeededSize(parts));
  auto* bytes = reinterpret_cast<unsigned char*>(record);
  if (total < sizeof(T)) {
    if (total >= 2 * sizeof(DWORD))
      std::memcpy(bytes + sizeof(DWORD), &needed, sizeof needed);
    return static_cast<LONG>(LINEERR_STRUCTURETOOSMALL);
  }
  fixed.dwTotalSize = total;
  fixed.dwNeededSize = needed;
  DWORD used = sizeof(T);
  const bool allFit = needed <= total;
  for (const TVarPart<T>& part : parts) {
    const DWORD size = static_cast<DWORD>(part.Bytes.size());
    if (!allFit || size == 0) {
      fixed.*part.Size = 0;
      fixed.*part.Offset = 0;
      continue;
    }
    std::memcpy(bytes + used, part.Bytes.data(), size);
    fixed.*part.Size = size;
    fixed.*part.Offset = used;
    used += size;
  }
  fixed.dwUsedSize = used;
  std::memcpy(record, &fixed, sizeof(T));
  return 0;
}

// A string as TAPI counts it: its bytes and the terminating zero.
inline std::string WithZero(std::string_view text) {
  std::string out(text);
  out.push_back('\0');
  return out;
}

// A VARSTRING whose string is `data` in the given format.
inline LONG FillVarString(VARSTRING* record, DWORD format, std::string_view data) {
  VARSTRING fixed{};
  fixed.dwStringFormat = format;
  return FillRecord(record, fixed, {{&VARSTRING::dwStringSize, &VARSTRING::dwStringOffset, data}});
}

} // namespace Telephony
