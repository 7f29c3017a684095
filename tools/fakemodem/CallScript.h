// CallScript: the calls fakemodem plays and the command language that describes them.
//
// A TCall says who calls, how the line rings and how the caller ID looks on the wire.
// ParseCommand turns one line of a scenario (a --script file or standard input) into a
// TScriptCommand; it never throws, bad input gives ckInvalid with a reason. The caller-ID
// block of a call is given either as the formatted lines a modem prints (FormattedCallerId)
// or as a raw MDMF packet in hex (MdmfHex), with a correct checksum.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace FakeModem {

struct TCall {
  std::string Number = "4075551212";
  std::string Name = "Chmielewski Joh";
  char NumberAbsent = 0; // 'P' private, 'O' out of area, 0: the number is sent
  char NameAbsent = 0;
  std::string Date; // "MMDD"; empty: today
  std::string Time; // "HHMM"; empty: now
  int Rings = 4;    // rings before the caller gives up
  uint64_t SpacingMs = 6000;
  bool CidFirst = false;   // caller ID before the first RING (UK style)
  bool NoCid = false;      // a line without caller-ID service: rings only
  bool NumberOnly = false; // no NAME line
  bool Compact = false;    // "NMBR=x" instead of "NMBR = x"
  std::string RawHex;      // sent as the caller-ID block instead of the formatted lines
  std::string Distinctive; // "A" gives "RING A"
  // The orders in which real modems interleave caller ID and rings.
  int SplitAt = 0;        // the block's first SplitAt lines before the first RING, the rest after
  bool RepeatCid = false; // the block again after the second RING
  bool NameFirst = false; // NAME before DATE, TIME and NMBR
  bool MaskLate = false;  // the number sent, then masked: "NMBR = number" then "NMBR = O"
  std::string MesgHex;    // a "MESG = HEX" line after the other fields
};

enum TCommandKind {
  ckNone,    // blank line or comment
  ckInvalid, // Error says why
  ckCall,
  ckSleep,
  ckGarbage,
  ckLongLine,
  ckSilent,
  ckWake,
  ckVanish,
  ckDemo,
  ckConnect,
  ckData,
  ckHangup,
  ckSay,
  ckQuit
};

struct TScriptCommand {
  TCommandKind Kind = ckNone;
  TCall Call;
  uint64_t Number = 0; // sleep: ms; garbage, longline: bytes
  std::string Text;    // data, say: bytes to send (escapes decoded); connect: the rate
  std::string Error;
};

// Parses one scenario line; defaults supplies the ring count and spacing of calls.
TScriptCommand ParseCommand(const std::string& line, const TCall& defaults);

// The lines a formatting modem prints for the call's caller ID, without line ends, in the
// call's order. date and time are used where the call names none.
std::vector<std::string> FormattedCallerId(const TCall& call, const std::string& date,
                                           const std::string& time);

// The call's caller ID as one MDMF packet (type 0x80) in upper-case hex.
std::string MdmfHex(const TCall& call, const std::string& date, const std::string& time);

// Decodes \r \n \t \\ \" and \xHH.
std::string DecodeEscapes(const std::string& text);
// Makes bytes printable on one line: the reverse of DecodeEscapes.
std::string EncodeEscapes(const std::string& bytes);

// A plausible call for the demo mode, the n-th of an endless varied sequence.
TCall DemoCall(uint64_t n, const TCall& defaults);

// The text of --help's command section.
const char* CommandHelp();

} // namespace FakeModem
