// The line device: construction and destruction, properties, the links to port, display and
// log, the device list and the choice of a line, the modem configuration, the voice check and
// the event window.
#include "tapi/AdTapi.h"

#include "common/AdExcept.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <unistd.h>

namespace {

std::mutex GlobalsLock;
TExceptionHandlerSlot AppExceptionHandlers;
TDeviceChooser* InstalledChooser = nullptr;

// The first T among Owner's components, depth first through each component's own, for which
// Accept holds.
template <class T, class F> T* FindComponentOf(TComponent* Owner, F Accept) {
  if (Owner == nullptr)
    return nullptr;
  for (int I = 0; I < Owner->ComponentCount(); ++I) {
    TComponent* Item = Owner->Components(I);
    if (auto* Found = dynamic_cast<T*>(Item); Found != nullptr && Accept(Found))
      return Found;
    if (T* Inner = FindComponentOf<T>(Item, Accept))
      return Inner;
  }
  return nullptr;
}

} // namespace

TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler Handler) {
  return AppExceptionHandlers.Set(std::move(Handler));
}

void HandleApplicationException(const std::exception& E) {
  AppExceptionHandlers.Handle(E);
}

TDeviceChooser* SetDeviceChooser(TDeviceChooser* Chooser) {
  std::lock_guard<std::mutex> Guard(GlobalsLock);
  TDeviceChooser* Previous = InstalledChooser;
  InstalledChooser = Chooser;
  return Previous;
}

TDeviceChooser* DeviceChooser() {
  std::lock_guard<std::mutex> Guard(GlobalsLock);
  return InstalledChooser;
}

// ---------------------------------------------------------------------------------------
// Construction and destruction

TApdCustomTapiDevice::TApdCustomTapiDevice(TComponent* AOwner) : TApdBaseComponent(AOwner) {
  SetLive(this, true);
  if (auto* Display = FindComponentOf<TApdAbstractTapiStatus>(
          AOwner, [](TApdAbstractTapiStatus* S) { return S->TapiDevice() == nullptr; }))
    SetStatusDisplay(Display);
  if (auto* Log = FindComponentOf<TApdTapiLog>(
          AOwner, [](TApdTapiLog* L) { return L->TapiDevice() == nullptr; }))
    SetTapiLog(Log);
  if ((ComponentState() & csDesigning) == 0) {
    InitTapi();
    BuildDeviceList();
  }
  FEventWindow = Platform::CreateHiddenWindow(
      [this](Platform::TWindowHandle, uint32_t Message, uintptr_t WParam, intptr_t LParam) {
        return EventWindowProc(Message, WParam, LParam);
      });
}

TApdCustomTapiDevice::~TApdCustomTapiDevice() {
  // Closing the line below pumps and reports; the owner that set the handlers may be half
  // destroyed already, so none of them runs from here on.
  ClearEvents();
  try {
    SetLineOpen(false);
    ShutdownTapi();
  } catch (const std::exception& E) {
    HandleApplicationException(E);
  }
  StopWatchingFarEnd(); // the port may outlive us: nothing of ours stays in it
  FDeviceList.clear();
  FCallInfo.Reset();
  if (FEventWindow != 0)
    Platform::DestroyWindow(FEventWindow);
  FEventWindow = 0;
  SetLive(this, false);
}

void TApdCustomTapiDevice::ClearEvents() {
  OnTapiStatus = nullptr;
  OnTapiLog = nullptr;
  OnTapiPortOpen = nullptr;
  OnTapiPortClose = nullptr;
  OnTapiConnect = nullptr;
  OnTapiFail = nullptr;
  OnTapiDTMF = nullptr;
  OnTapiCallerID = nullptr;
  OnTapiWaveNotify = nullptr;
  OnTapiWaveSilence = nullptr;
  OnTapiAnswering = nullptr;
}

// ---------------------------------------------------------------------------------------
// Links to the port, the display and the log

void TApdCustomTapiDevice::SwitchPortMode(TApdCustomComPort* Port) {
  if (Port != nullptr && Port->TapiMode() == tmAuto) {
    Port->SetTapiMode(tmOn);
    Port->SetAutoOpen(false);
    Port->SetOpen(false);
  }
}

void TApdCustomTapiDevice::Loaded() {
  TApdBaseComponent::Loaded();
  if (FComPort == nullptr)
    SetComPort(FindComPort(Owner()));
  SwitchPortMode(FComPort);
}

void TApdCustomTapiDevice::SetComPort(TApdCustomComPort* Value) {
  if (Value == FComPort)
    return;
  StopWatchingFarEnd();
  FComPort = Value;
  if (Value != nullptr)
    FreeNotification(Value);
}

void TApdCustomTapiDevice::AttachStatus(TApdAbstractTapiStatus* Value) {
  FStatusDisplay = Value;
  if (Value != nullptr) {
    FreeNotification(Value);
    Value->SetTapiDevice(this);
  }
}

void TApdCustomTapiDevice::AttachLog(TApdTapiLog* Value) {
  FTapiLog = Value;
  if (Value != nullptr) {
    FreeNotification(Value);
    Value->SetTapiDevice(this);
  }
}

void TApdCustomTapiDevice::SetStatusDisplay(TApdAbstractTapiStatus* Value) {
  if (Value == FStatusDisplay)
    return;
  // The display we leave no longer reports for us.
  if (FStatusDisplay != nullptr && FStatusDisplay->TapiDevice() == this)
    FStatusDisplay->FTapiDevice = nullptr;
  AttachStatus(Value);
}

void TApdCustomTapiDevice::SetTapiLog(TApdTapiLog* Value) {
  if (Value == FTapiLog)
    return;
  if (FTapiLog != nullptr && FTapiLog->TapiDevice() == this)
    FTapiLog->FTapiDevice = nullptr;
  AttachLog(Value);
}

void TApdCustomTapiDevice::Notification(TComponent* AComponent, TOperation Operation) {
  TApdBaseComponent::Notification(AComponent, Operation);
  if (AComponent == this)
    return;
  if (Operation == opRemove) {
    // The departing object may already be partly destroyed: compare pointers only.
    if (AComponent == FComPort) {
      FComPort = nullptr;
      FFarEndListener = 0; // went with the port
      FFarEndTrigger = 0;
    }
    if (AComponent == FStatusDisplay)
      FStatusDisplay = nullptr;
    if (AComponent == FTapiLog)
      FTapiLog = nullptr;
    return;
  }
  if (auto* Port = dynamic_cast<TApdCustomComPort*>(AComponent)) {
    if (FComPort == nullptr)
      SetComPort(Port);
    SwitchPortMode(FComPort);
  } else if (auto* Display = dynamic_cast<TApdAbstractTapiStatus*>(AComponent)) {
    if (FStatusDisplay == nullptr && Display->TapiDevice() == nullptr)
      SetStatusDisplay(Display);
  } else if (auto* Log = dynamic_cast<TApdTapiLog*>(AComponent)) {
    if (FTapiLog == nullptr && Log->TapiDevice() == nullptr)
      SetTapiLog(Log);
  }
}

void TApdCustomTapiDevice::Assign(TPersistent* Source) {
  auto* Other = dynamic_cast<TApdCustomTapiDevice*>(Source);
  if (Other == nullptr || Other == this)
    return;
  FDeviceList.clear();
  FDialing = Other->FDialing;
  FSelectedDevice = Other->FSelectedDevice;
  FListedCount = Other->FListedCount;
  FLineOpen = Other->FLineOpen;
  FMaxAttempts = Other->FMaxAttempts;
  FAnswerOnRing = Other->FAnswerOnRing;
  FAttempt = Other->FAttempt;
  FRetryWait = Other->FRetryWait;
  FShowTapiDevices = Other->FShowTapiDevices;
  FComPort = Other->FComPort;
  FStatusDisplay = Other->FStatusDisplay;
  FTapiLog = Other->FTapiLog;
  // References we now hold must be cleared when their components go.
  for (TComponent* Linked :
       {static_cast<TComponent*>(FComPort), static_cast<TComponent*>(FStatusDisplay),
        static_cast<TComponent*>(FTapiLog)})
    if (Linked != nullptr)
      FreeNotification(Linked);
  FCallInfo.Reset();
  if (Other->FCallInfo) {
    const size_t Size = Other->FCallInfo.AllocatedSize();
    FCallInfo = TTapiRecord<LINECALLINFO>::Allocate(Size);
    if (FCallInfo)
      std::memcpy(FCallInfo.Get(), Other->FCallInfo.Get(), Size);
  }
}

// ---------------------------------------------------------------------------------------
// Properties with setters of their own

void TApdCustomTapiDevice::SetSelectedDevice(const std::string& Value) {
  FSelectedDevice = Value;
  if (FEnableVoice)
    VoiceCheck();
}

void TApdCustomTapiDevice::SetEnableVoice(bool Value) {
  FEnableVoice = Value;
  if (Value && !FSelectedDevice.empty())
    VoiceCheck();
}

void TApdCustomTapiDevice::SetFilterUnsupportedDevices(bool Value) {
  if (Value == FFilterUnsupportedDevices)
    return;
  FFilterUnsupportedDevices = Value;
  BuildDeviceList();
}

// ---------------------------------------------------------------------------------------
// Lines

bool TApdCustomTapiDevice::Negotiate(HLINEAPP App, DWORD ID) {
  return tuLineNegotiateAPIVersion(App, ID, TAPI_VERSION_1_4, TAPI_VERSION_1_4, &FAPIVersion,
                                   &FExtensionID) == 0;
}

// There is no wave device layer on this platform (nothing plays or records), so no line
// offers wave input or output: a voice-only line never passes the filter.
bool TApdCustomTapiDevice::HasWaveDevice(DWORD /*ID*/, const LINEDEVCAPS& /*Caps*/) {
  return false;
}

void TApdCustomTapiDevice::BuildDeviceList() {
  InitTapi();
  FDeviceList.clear();
  FListedCount = 0;
  for (DWORD ID = 0; ID < FDeviceCount; ++ID) {
    if (!Negotiate(FLineApp, ID))
      continue;
    TTapiRecord<LINEDEVCAPS> Caps;
    if (tuLineGetDevCaps(FLineApp, ID, FAPIVersion, 0, Caps) != 0 || !Caps)
      break;
    std::string Name =
        TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset);
    bool Keep = true;
    if (FFilterUnsupportedDevices) {
      const DWORD Modes = Caps->dwMediaModes;
      if ((Modes & LINEMEDIAMODE_DATAMODEM) == 0 &&
          !((Modes & LINEMEDIAMODE_AUTOMATEDVOICE) != 0 && HasWaveDevice(ID, *Caps)))
        Keep = false;
      if ((Caps->dwLineFeatures & LINEFEATURE_MAKECALL) == 0)
        Keep = false;
    }
    if (Keep && !Name.empty())
      FDeviceList.push_back(Name);
    FListedCount = static_cast<int>(FDeviceList.size());
  }
}

int TApdCustomTapiDevice::FindDeviceID(const std::string& Name) {
  InitTapi();
  if (Name.empty() || FDeviceCount == 0)
    return -1;
  for (DWORD ID = 0; ID < FDeviceCount; ++ID) {
    if (!Negotiate(FLineApp, ID))
      continue;
    TTapiRecord<LINEDEVCAPS> Caps;
    CheckTapi(tuLineGetDevCaps(FLineApp, ID, FAPIVersion, 0, Caps));
    if (!Caps)
      return -1;
    if (TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset) == Name)
      return static_cast<int>(ID);
  }
  return -1;
}

void TApdCustomTapiDevice::ResolveDeviceID() {
  FDeviceID = FindDeviceID(FSelectedDevice);
  if (FDeviceID != -1)
    return;
  // The count can disagree with the list after Assign; only a name really listed is taken.
  if (FListedCount == 1 && FSelectedDevice.empty() && !FDeviceList.empty()) {
    FDeviceID = 0;
    SetSelectedDevice(FDeviceList.front());
    return;
  }
  if (!FShowPorts && !FShowTapiDevices)
    throw ETapiNoSelect(ecTapiNoSelect);
  TDeviceChooser* Chooser = DeviceChooser();
  if (Chooser == nullptr)
    throw ETapiNoSelect(ecTapiNoSelect);
  TDeviceChooserRequest Request;
  Request.ShowTapiDevices = true;
  Request.ShowPorts = false;
  const TDeviceChooserResult Result = Chooser->Choose(Request);
  if (Result.ModalResult != 1)
    throw ETapiNoSelect(ecTapiNoSelect);
  FSelectedDevice = Result.SelectedDevice;
  FDeviceID = FindDeviceID(FSelectedDevice);
}

int TApdCustomTapiDevice::ChooseDevice() {
  TDeviceChooser* Chooser = DeviceChooser();
  if (Chooser == nullptr)
    return 2;
  TDeviceChooserRequest Request;
  Request.ShowTapiDevices = FShowTapiDevices;
  Request.FilterUnsupportedDevices = FFilterUnsupportedDevices;
  Request.ShowPorts = FShowPorts;
  Request.EnableVoice = FEnableVoice;
  Request.TapiMode = FComPort == nullptr ? tmAuto : FComPort->TapiMode();
  if (Request.TapiMode == tmOff)
    Request.ComNumber = FComPort->ComNumber();
  else
    Request.SelectedDevice = FSelectedDevice;
  const TDeviceChooserResult Result = Chooser->Choose(Request);
  if (Result.ModalResult != 1)
    return 2;
  if (FComPort != nullptr && Result.TapiMode == tmOff) {
    FComPort->SetTapiMode(tmOff);
    FComPort->SetComNumber(Result.ComNumber);
  } else if (Result.TapiMode != tmOff) {
    if (FComPort != nullptr)
      FComPort->SetTapiMode(Result.TapiMode);
    FSelectedDevice = Result.SelectedDevice;
    SetEnableVoice(FEnableVoice);
  }
  return 1;
}

TapiConfigRec TApdCustomTapiDevice::ReadModemConfig() {
  TTapiRecord<VARSTRING> Buffer = NewVarString(VarStringBufferSize);
  if (!Buffer)
    throw EOutOfMemory();
  ResolveDeviceID();
  CheckTapi(tuLineGetDevConfig(static_cast<DWORD>(FDeviceID), Buffer.Get(), "comm/datamodem"));
  TapiConfigRec Config;
  const std::string_view Data =
      TapiRecordBytes(Buffer, &VARSTRING::dwStringSize, &VARSTRING::dwStringOffset);
  // A string larger than the record's data field is cut to it rather than overrun it.
  Config.DataSize = static_cast<uint32_t>(std::min(Data.size(), sizeof Config.Data));
  std::memcpy(Config.Data, Data.data(), Config.DataSize);
  return Config;
}

void TApdCustomTapiDevice::VoiceCheck() {
  HLINEAPP App = 0;
  DWORD Count = 0;
  CheckTapi(tuLineInitialize(&App, nullptr, &TapiLineCallback, "", &Count));
  try {
    ResolveDeviceID();
    if (FDeviceID >= 0 && Negotiate(App, static_cast<DWORD>(FDeviceID))) {
      TTapiRecord<LINEDEVCAPS> Caps;
      CheckTapi(tuLineGetDevCaps(App, static_cast<DWORD>(FDeviceID), FAPIVersion, 0, Caps));
      if (!Caps || (Caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) == 0) {
        FEnableVoice = false;
        throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
      }
      FEnableVoice = true;
    }
  } catch (...) {
    FEnableVoice = false;
    tuLineShutdown(App);
    throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
  }
  tuLineShutdown(App);
}

// ---------------------------------------------------------------------------------------
// The event window

intptr_t TApdCustomTapiDevice::EventWindowProc(uint32_t Message, uintptr_t WParam,
                                               intptr_t LParam) {
  try {
    switch (Message) {
    case MM_WOM_OPEN:
    case MM_WOM_DONE:
    case MM_WOM_CLOSE:
    case MM_WIM_OPEN:
    case MM_WIM_DATA:
    case MM_WIM_CLOSE:
      WaveNotification(Message);
      break;
    default:
      break;
    }
    if (Message == TapiEventMessage)
      DeferredEvent(WParam, LParam);
    return DispatchWindowMessage(Message, WParam, LParam);
  } catch (const std::exception& E) {
    HandleApplicationException(E);
  } catch (...) {
    HandleApplicationException(std::runtime_error("Unknown exception"));
  }
  return 0;
}

intptr_t TApdCustomTapiDevice::DispatchWindowMessage(uint32_t Message, uintptr_t /*WParam*/,
                                                     intptr_t /*LParam*/) {
  return Message == Platform::WM_QUERYENDSESSION ? 1 : 0;
}

void TApdCustomTapiDevice::PostEvent(uintptr_t Which, intptr_t LParam) {
  if (FEventWindow != 0)
    Platform::PostMessage(FEventWindow, TapiEventMessage, Which, LParam);
}
