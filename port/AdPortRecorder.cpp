// The serial port component's trace and log: one state machine, one set of operations,
// carried out by the dispatcher.
#include "port/AdPort.h"

#include <algorithm>

// What the trace and the log each bring: the port's fields and the dispatcher's operations.
// Starting and clearing the log report nothing, so their results read as success.
struct TApdCustomComPort::TRecorder {
  TTraceLogState TApdCustomComPort::*State;
  uint32_t TApdCustomComPort::*Size;
  uint32_t MaxSize;
  std::string TApdCustomComPort::*Name;
  bool TApdCustomComPort::*Hex;
  bool TApdCustomComPort::*AllHex;
  int32_t (*Start)(TApdBaseDispatcher& D, uint32_t Size);
  int32_t (*Clear)(TApdBaseDispatcher& D);
  int32_t (TApdBaseDispatcher::*Write)(const std::string& Name, bool InHex, bool AllHex);
  int32_t (TApdBaseDispatcher::*Append)(const std::string& Name, bool InHex, bool AllHex);
  void (TApdBaseDispatcher::*Discard)();
  void (TApdBaseDispatcher::*Resume)();
  void (TApdBaseDispatcher::*Pause)();
};

const TApdCustomComPort::TRecorder TApdCustomComPort::TraceRecorder = {
    &TApdCustomComPort::FTracing,
    &TApdCustomComPort::FTraceSize,
    MaxTraceSize,
    &TApdCustomComPort::FTraceName,
    &TApdCustomComPort::FTraceHex,
    &TApdCustomComPort::FTraceAllHex,
    [](TApdBaseDispatcher& D, uint32_t Size) { return D.StartTrace(Size); },
    [](TApdBaseDispatcher& D) { return D.ClearTrace(); },
    &TApdBaseDispatcher::WriteTrace,
    &TApdBaseDispatcher::AppendTrace,
    &TApdBaseDispatcher::DiscardTrace,
    &TApdBaseDispatcher::ResumeTrace,
    &TApdBaseDispatcher::PauseTrace,
};

const TApdCustomComPort::TRecorder TApdCustomComPort::LogRecorder = {
    &TApdCustomComPort::FLogging,
    &TApdCustomComPort::FLogSize,
    MaxLogSize,
    &TApdCustomComPort::FLogName,
    &TApdCustomComPort::FLogHex,
    &TApdCustomComPort::FLogAllHex,
    [](TApdBaseDispatcher& D, uint32_t Size) {
      D.StartLog(Size);
      return int32_t{0};
    },
    [](TApdBaseDispatcher& D) {
      D.ClearLog();
      return int32_t{0};
    },
    &TApdBaseDispatcher::WriteLog,
    &TApdBaseDispatcher::AppendLog,
    &TApdBaseDispatcher::DiscardLog,
    &TApdBaseDispatcher::ResumeLog,
    &TApdBaseDispatcher::PauseLog,
};

void TApdCustomComPort::SetRecorderState(const TRecorder& R, TTraceLogState Value) {
  TTraceLogState& State = this->*R.State;
  if (Value == State && !FForceApply)
    return;
  if (FOpenState != ostOpen) {
    State = (Value == tlOn) ? tlOn : tlOff;
    return;
  }
  const bool Running = State == tlOn || State == tlPause;
  switch (Value) {
  case tlOff:
    if (Running)
      RecorderStop(R);
    break;
  case tlOn:
    if (State == tlPause)
      RecorderResume(R);
    else
      RecorderStart(R, this->*R.Size);
    break;
  case tlDump:
  case tlAppend:
    if (Running) {
      RecorderResume(R);
      RecorderWrite(R, Value == tlAppend, this->*R.Name, this->*R.Hex);
    }
    break;
  case tlClear:
    if (Running)
      RecorderClear(R);
    break;
  case tlPause:
    if (State == tlOn)
      RecorderPause(R);
    break;
  }
}

void TApdCustomComPort::SetRecorderSize(const TRecorder& R, uint32_t Value) {
  this->*R.Size = std::min(Value, R.MaxSize);
  const TTraceLogState Previous = this->*R.State;
  if (FOpenState == ostOpen && (Previous == tlOn || Previous == tlPause)) {
    RecorderStop(R);
    SetRecorderState(R, Previous);
  }
}

// Each operation does nothing while the port is closing; on a closed port it needs the
// dispatcher (which AutoOpen provides).
TApdBaseDispatcher* TApdCustomComPort::RecorderDispatcher() {
  return Closing() ? nullptr : RequireDispatcher();
}

void TApdCustomComPort::RecorderStart(const TRecorder& R, uint32_t Size) {
  if (Closing())
    return;
  if (Size != 0)
    this->*R.Size = std::min(Size, R.MaxSize);
  if (TApdBaseDispatcher* D = RequireDispatcher()) {
    Check(R.Start(*D, this->*R.Size));
    this->*R.State = tlOn;
  }
}

void TApdCustomComPort::RecorderWrite(const TRecorder& R, bool Append, const std::string& Name,
                                      bool InHex) {
  if (TApdBaseDispatcher* D = RecorderDispatcher()) {
    const int32_t Result = (D->*(Append ? R.Append : R.Write))(Name, InHex, this->*R.AllHex);
    this->*R.State = tlOff;
    Check(Result);
  }
}

void TApdCustomComPort::RecorderClear(const TRecorder& R) {
  if (TApdBaseDispatcher* D = RecorderDispatcher())
    Check(R.Clear(*D));
}

void TApdCustomComPort::RecorderStop(const TRecorder& R) {
  if (TApdBaseDispatcher* D = RecorderDispatcher()) {
    (D->*R.Discard)();
    this->*R.State = tlOff;
  }
}

void TApdCustomComPort::RecorderResume(const TRecorder& R) {
  if (TApdBaseDispatcher* D = RecorderDispatcher()) {
    (D->*R.Resume)();
    this->*R.State = tlOn;
  }
}

void TApdCustomComPort::RecorderPause(const TRecorder& R) {
  if (TApdBaseDispatcher* D = RecorderDispatcher()) {
    (D->*R.Pause)();
    this->*R.State = tlPause;
  }
}

void TApdCustomComPort::SetTracing(TTraceLogState Value) {
  SetRecorderState(TraceRecorder, Value);
}
void TApdCustomComPort::SetTraceSize(uint32_t Value) {
  SetRecorderSize(TraceRecorder, Value);
}
void TApdCustomComPort::SetLogging(TTraceLogState Value) {
  SetRecorderState(LogRecorder, Value);
}
void TApdCustomComPort::SetLogSize(uint32_t Value) {
  SetRecorderSize(LogRecorder, Value);
}

void TApdCustomComPort::TraceStart(uint32_t Size) {
  RecorderStart(TraceRecorder, Size);
}
void TApdCustomComPort::TraceDump(const std::string& Name, bool InHex) {
  RecorderWrite(TraceRecorder, false, Name, InHex);
}
void TApdCustomComPort::TraceAppend(const std::string& Name, bool InHex) {
  RecorderWrite(TraceRecorder, true, Name, InHex);
}
void TApdCustomComPort::TraceClear() {
  RecorderClear(TraceRecorder);
}
void TApdCustomComPort::TraceStop() {
  RecorderStop(TraceRecorder);
}
void TApdCustomComPort::TraceResume() {
  RecorderResume(TraceRecorder);
}
void TApdCustomComPort::TracePause() {
  RecorderPause(TraceRecorder);
}
void TApdCustomComPort::LogStart(uint32_t Size) {
  RecorderStart(LogRecorder, Size);
}
void TApdCustomComPort::LogDump(const std::string& Name, bool InHex) {
  RecorderWrite(LogRecorder, false, Name, InHex);
}
void TApdCustomComPort::LogAppend(const std::string& Name, bool InHex) {
  RecorderWrite(LogRecorder, true, Name, InHex);
}
void TApdCustomComPort::LogClear() {
  RecorderClear(LogRecorder);
}
void TApdCustomComPort::LogStop() {
  RecorderStop(LogRecorder);
}
void TApdCustomComPort::LogResume() {
  RecorderResume(LogRecorder);
}
void TApdCustomComPort::LogPause() {
  RecorderPause(LogRecorder);
}
