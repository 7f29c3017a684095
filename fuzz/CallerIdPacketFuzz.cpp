// CallerIdPacketFuzz: raw SDMF/MDMF caller-ID packets, decoded directly and as the hex line a
// modem sends them in.
//
// The first input byte tells the harness what to mend before the rest is taken as the packet,
// so that the fuzzer gets past the length and checksum as often as it fails them:
//   bit 0  set the checksum byte so that the packet adds up
//   bit 1  set the length byte to the body's real length (done before the checksum)
//   bit 2  write the hex line in lower case
// A packet that decodes must keep the parser's promises (CallerIdCheck.h); as a hex line the
// parser must report exactly that block, or exactly the decoder's reason for refusing it, by
// FeedLine and by FeedBytes alike.
#include "fuzz/CallerIdCheck.h"
#include "fuzz/FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

using namespace Telephony;

namespace {

std::string Mend(const uint8_t* data, size_t size) {
  const uint8_t mode = data[0];
  std::string packet(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((mode & 2) && packet.size() >= 3)
    packet[1] = static_cast<char>((packet.size() - 3) & 0xFF);
  if ((mode & 1) && !packet.empty()) {
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < packet.size(); ++i)
      sum += static_cast<uint8_t>(packet[i]);
    packet.back() = static_cast<char>((256 - sum % 256) % 256);
  }
  return packet;
}

std::string Hex(std::string_view bytes, bool lower) {
  std::string hex;
  char pair[3];
  for (unsigned char b : bytes) {
    std::snprintf(pair, sizeof pair, lower ? "%02x" : "%02X", b);
    hex += pair;
  }
  return hex;
}

// What the parser made of the packet's hex line must be what the decoder made of the packet.
void CheckLine(const TModemEvents& events, uint8_t type, bool decoded, const TCallerIdInfo& info,
               const std::string& error, const TModemParserOptions& options) {
  for (const auto& e : events)
    Fuzz::CheckEvent(e, options);
  Fuzz::Check(events.size() == 1, "a packet line gives one event", std::to_string(events.size()));
  const TModemEvent& e = events.front();
  if (type != 0x04 && type != 0x80) {
    Fuzz::Check(e.Kind == ekOther, "a packet of an unknown type is not understood", e.Line);
  } else if (decoded) {
    Fuzz::Check(e.Kind == ekCallerId, "a good packet line is a caller-ID block", e.Line);
    Fuzz::Check(e.CallerId == info, "a packet line gives the block the decoder gives", e.Line);
  } else {
    Fuzz::Check(e.Kind == ekBadData, "a bad packet line is reported as bad data", e.Line);
    Fuzz::Check(e.Text == error, "a bad packet line gives the decoder's reason", e.Text);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  const std::string packet = Mend(data, size);
  TCallerIdInfo info;
  std::string error;
  const bool decoded = DecodeCallerIdPacket(packet, info, error);
  if (decoded) {
    Fuzz::CheckCallerId(info);
    Fuzz::Check(info.Raw, "a decoded packet is marked raw");
  } else {
    Fuzz::Check(!error.empty(), "a refused packet says why");
    Fuzz::Check(info == TCallerIdInfo{}, "a refused packet gives an empty block", error);
  }
  Fuzz::Check(!Fuzz::HasControl(error), "a refusal's reason holds no control byte", error);

  TModemParserOptions options;
  // The parser looks for packets in hex lines of three bytes up to the longest packet.
  if (packet.size() < 3 || packet.size() * 2 > MaxPacketLineLength)
    return 0;
  const std::string line = Hex(packet, data[0] & 4);
  const auto type = static_cast<uint8_t>(packet[0]);
  TModemLineParser byLine(options);
  CheckLine(byLine.FeedLine(line, 0), type, decoded, info, error, options);
  TModemLineParser byBytes(options);
  CheckLine(byBytes.FeedBytes(line + "\r\n", 0), type, decoded, info, error, options);
  return 0;
}
