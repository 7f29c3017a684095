// The line device's reports: status steps and log codes, the digit and wave notifications,
// the status display base and the call log with its history file.
#include "tapi/AdTapi.h"

#include "common/AdExcept.h"
#include "platform/LastError.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------
// Reports of the device

void TApdCustomTapiDevice::DoStatus(bool First, bool Last, DWORD Device, DWORD Message,
                                    DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3) {
  if (FStatusSuppressed)
    return;
  if (FStatusDisplay != nullptr)
    FStatusDisplay->UpdateDisplay(First, Last, Device, Message, static_cast<DWORD>(Param1),
                                  static_cast<DWORD>(Param2), static_cast<DWORD>(Param3));
  // The end-of-call step carries nothing an application handler could use.
  if (Message != 0 || Param1 != 0 || Param2 != 0 || Param3 != 0)
    OnTapiStatus(this, First, Last, static_cast<int>(Device), static_cast<int>(Message),
                 static_cast<int>(Param1), static_cast<int>(Param2), static_cast<int>(Param3));
}

void TApdCustomTapiDevice::DoLog(TTapiLogCode Code) {
  if (FTapiLog != nullptr)
    FTapiLog->UpdateLog(Code);
  OnTapiLog(this, Code);
}

// Nothing here starts playback or recording, so every notification is the last of its kind:
// a finished buffer ends the playback, a data block ends the recording.
void TApdCustomTapiDevice::WaveNotification(uint32_t Message) {
  TWaveMessage Wave;
  switch (Message) {
  case MM_WOM_OPEN:
    Wave = waPlayOpen;
    break;
  case MM_WOM_DONE:
    FWavePlaying = false;
    Wave = waPlayDone;
    break;
  case MM_WOM_CLOSE:
    Wave = waPlayClose;
    break;
  case MM_WIM_OPEN:
    Wave = waRecordOpen;
    break;
  case MM_WIM_DATA:
    Wave = waDataReady;
    break;
  case MM_WIM_CLOSE:
    Wave = waRecordClose;
    break;
  default:
    return;
  }
  OnTapiWaveNotify(this, Wave);
}

// ---------------------------------------------------------------------------------------
// Status display

TApdAbstractTapiStatus::TApdAbstractTapiStatus(TComponent* AOwner) : TApdBaseComponent(AOwner) {
  FCaption = "Call Progress";
}

TApdAbstractTapiStatus::~TApdAbstractTapiStatus() {
  if (FTapiDevice != nullptr && FTapiDevice->StatusDisplay() == this)
    FTapiDevice->FStatusDisplay = nullptr;
  FTapiDevice = nullptr;
}

void TApdAbstractTapiStatus::InitDisplay() {
  CreateDisplay();
  if (FDisplay != nullptr) {
    FPosition = FDisplay->Position();
    FCtl3D = FDisplay->Ctl3D();
    FVisible = FDisplay->Visible();
    FCaption = FDisplay->Caption();
  }
}

void TApdAbstractTapiStatus::DoneDisplay() {
  DestroyDisplay();
  FDisplay = nullptr;
}

void TApdAbstractTapiStatus::SetPosition(TPosition Value) {
  if (Value == FPosition)
    return;
  FPosition = Value;
  if (FDisplay != nullptr)
    FDisplay->SetPosition(Value);
}

void TApdAbstractTapiStatus::SetCtl3D(bool Value) {
  if (Value == FCtl3D)
    return;
  FCtl3D = Value;
  if (FDisplay != nullptr)
    FDisplay->SetCtl3D(Value);
}

void TApdAbstractTapiStatus::SetVisible(bool Value) {
  if (Value == FVisible)
    return;
  FVisible = Value;
  if (FDisplay != nullptr)
    FDisplay->SetVisible(Value);
}

void TApdAbstractTapiStatus::SetCaption(const std::string& Value) {
  if (Value == FCaption)
    return;
  FCaption = Value;
  if (FDisplay != nullptr)
    FDisplay->SetCaption(Value);
}

void TApdAbstractTapiStatus::SetTapiDevice(TApdCustomTapiDevice* Value) {
  if (Value == FTapiDevice)
    return;
  FTapiDevice = Value;
  if (Value != nullptr)
    FreeNotification(Value);
}

void TApdAbstractTapiStatus::Notification(TComponent* AComponent, TOperation Operation) {
  TApdBaseComponent::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == FTapiDevice)
    FTapiDevice = nullptr;
}

// ---------------------------------------------------------------------------------------
// Call log

std::string TapiLogText(TTapiLogCode Log, const std::string& DialNumber) {
  switch (Log) {
  case ltapiCallStart:
    return "call started";
  case ltapiCallFinish:
    return "call finished\r\n";
  case ltapiDial:
    return "  dialing " + DialNumber;
  case ltapiAccept:
    return "  accepting";
  case ltapiAnswer:
    return "  answering";
  case ltapiConnect:
    return "  connected";
  case ltapiCancel:
    return "  cancelled";
  case ltapiDrop:
    return "  dropped";
  case ltapiBusy:
    return "  busy";
  case ltapiDialFail:
    return "  dial failed";
  case ltapiReceivedDigit:
    return "  received digit";
  case ltapiNone:
    break;
  }
  return {};
}

TApdTapiLog::TApdTapiLog(TComponent* AOwner) : TApdBaseComponent(AOwner) {}

TApdTapiLog::~TApdTapiLog() {
  if (FTapiDevice != nullptr && FTapiDevice->TapiLog() == this)
    FTapiDevice->FTapiLog = nullptr;
  FTapiDevice = nullptr;
}

void TApdTapiLog::SetTapiDevice(TApdCustomTapiDevice* Value) {
  if (Value == FTapiDevice)
    return;
  FTapiDevice = Value;
  if (Value != nullptr)
    FreeNotification(Value);
}

void TApdTapiLog::Notification(TComponent* AComponent, TOperation Operation) {
  TApdBaseComponent::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == FTapiDevice)
    FTapiDevice = nullptr;
}

void TApdTapiLog::UpdateLog(TTapiLogCode Log) {
  if (FTapiHistoryName.empty())
    return;
  std::string Line;
  if (Log != ltapiNone) {
    char Stamp[128];
    const std::time_t Now = std::time(nullptr);
    std::tm Local{};
    localtime_r(&Now, &Local);
    if (std::strftime(Stamp, sizeof Stamp, "%x %X", &Local) == 0)
      Stamp[0] = '\0';
    const std::string DialNumber;
    Line = std::string(Stamp) + " : " + TapiLogText(Log, DialNumber) + "\r\n";
  }
  const int File =
      ::open(FTapiHistoryName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (File < 0)
    CheckException(this, -static_cast<int32_t>(Platform::ErrorFromErrno(errno)));
  int Error = 0;
  size_t Done = 0;
  while (Done < Line.size()) {
    const ssize_t Written = ::write(File, Line.data() + Done, Line.size() - Done);
    if (Written < 0) {
      if (errno == EINTR)
        continue;
      Error = errno;
      break;
    }
    Done += static_cast<size_t>(Written);
  }
  if (::close(File) != 0 && Error == 0 && errno != EINTR)
    Error = errno;
  if (Error != 0)
    CheckException(this, -static_cast<int32_t>(Platform::ErrorFromErrno(Error)));
}
