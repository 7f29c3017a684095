// CallerIdFuzz: the modem output parser on any byte stream, as a modem might send it.
//
// The input is the stream itself (the seeds are transcripts of real modems). A few control
// bytes, which the parser would drop anyway, are the harness's own directives instead:
//   0x01  250 ms pass                     0x04  the owner ends the call (EndCall)
//   0x02  the waiting block's pause ends  0x05  the owner resets the parser
//   0x03  the call gap passes              0x06  one read from the device ends here
// All other bytes reach the parser. The stream is fed twice, to two parsers: in reads of
// varying sizes through FeedBytes, and line by line through FeedLine. Every event of either
// must keep the parser's promises (CallerIdCheck.h), a pause that ends (every deadline passed)
// must report the waiting block (or merge it into the caller's earlier report), and - unless a line
// was too long, where the two entry points count differently - both must give the same events.
#include "fuzz/CallerIdCheck.h"
#include "fuzz/FuzzSupport.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

using namespace Telephony;

namespace {

enum TDirective : uint8_t {
  drTick = 0x01,
  drPause = 0x02,
  drGap = 0x03,
  drEndCall = 0x04,
  drReset = 0x05,
  drRead = 0x06
};

// A waiting block passes through at most this many deadlines before it is reported.
constexpr int MaxDeadlineSteps = 4;

// Read sizes cycle through these, so that line ends fall at every place of a read.
constexpr std::array<size_t, 6> ReadSizes = {1, 3, 7, 16, 2, 64};

class THarness {
public:
  void Byte(char c) {
    FChunk.push_back(c);
    LineByte(c);
    if (FChunk.size() >= ReadSizes[FReads % ReadSizes.size()])
      Read();
  }

  void Directive(uint8_t d) {
    Read();
    switch (d) {
    case drTick:
      FNow += 250;
      break;
    case drPause:
      Pause();
      break;
    case drGap:
      FNow += FOptions.CallGapMs;
      Take(FBytes.Poll(FNow), FByteEvents);
      Take(FLines.Poll(FNow), FLineEvents);
      break;
    case drEndCall:
      Take(FBytes.EndCall(), FByteEvents);
      Take(FLines.EndCall(), FLineEvents);
      break;
    case drReset:
      FBytes.Reset();
      FLines.Reset();
      FPartial.clear();
      break;
    }
  }

  void Finish() {
    Read();
    Pause();
    if (!FTooLong)
      Fuzz::CheckSameEvents(FByteEvents, FLineEvents);
  }

private:
  void Take(TModemEvents events, TModemEvents& into) {
    for (auto& e : events) {
      Fuzz::CheckEvent(e, FOptions);
      into.push_back(std::move(e));
    }
  }

  // One read as the device would hand it over; the line parser sees the same moment.
  void Read() {
    if (FChunk.empty())
      return;
    Take(FBytes.FeedBytes(FChunk, FNow), FByteEvents);
    Take(FLines.Poll(FNow), FLineEvents);
    for (const std::string& line : FDoneLines)
      Take(FLines.FeedLine(line, FNow), FLineEvents);
    FDoneLines.clear();
    FChunk.clear();
    ++FReads;
  }

  // Any line end ends a line: empty lines mean nothing, so CR LF needs no pairing here.
  void LineByte(char c) {
    if (c != '\r' && c != '\n') {
      FPartial.push_back(c);
      FTooLong = FTooLong || FPartial.size() > FOptions.MaxLineLength;
      return;
    }
    FDoneLines.push_back(std::move(FPartial));
    FPartial.clear();
  }

  // A block may wait in steps (the pause, then LateFieldMs for a field it lacks); the pause
  // ends when every deadline has passed, and by then the block must have been reported.
  void Pause() {
    auto deadline = FBytes.NextDeadline();
    const bool waiting = deadline.has_value();
    const size_t before = FByteEvents.size();
    for (int step = 0; step < MaxDeadlineSteps; ++step) {
      if (!FTooLong)
        Fuzz::Check(deadline == FLines.NextDeadline(), "bytes and lines wait for the same pause");
      FNow = deadline ? std::max(FNow, *deadline) : FNow + FOptions.PauseMs;
      Take(FBytes.Poll(FNow), FByteEvents);
      Take(FLines.Poll(FNow), FLineEvents);
      deadline = FBytes.NextDeadline();
      if (!deadline)
        break;
    }
    // A block of the caller already reported may merge into that report and change nothing.
    bool reported = false, earlier = false;
    for (size_t i = 0; i < FByteEvents.size(); ++i)
      (i < before ? earlier : reported) |= FByteEvents[i].Kind == ekCallerId;
    Fuzz::Check(!waiting || reported || earlier, "the end of a pause reports the waiting block");
    Fuzz::Check(!FBytes.NextDeadline(), "nothing waits after the pause has been reported");
  }

  TModemParserOptions FOptions;
  TModemLineParser FBytes{FOptions};
  TModemLineParser FLines{FOptions};
  TModemEvents FByteEvents, FLineEvents;
  std::string FChunk, FPartial;
  std::vector<std::string> FDoneLines;
  uint64_t FNow = 1000;
  size_t FReads = 0;
  bool FTooLong = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  THarness harness;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] >= drTick && data[i] <= drRead)
      harness.Directive(data[i]);
    else
      harness.Byte(static_cast<char>(data[i]));
  }
  harness.Finish();
  return 0;
}
