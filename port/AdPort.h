// AdPort: the serial port component, first cut - the part of it the line device component
// needs to hand an answered call's modem over.
//
// Contract of this cut:
// - TapiMode says where the device comes from: tmOn takes the handle the line device stored
//   in TapiHandle (a file descriptor, -1 for none). Opening with tmOn and no handle raises
//   ENotOpenedByTapi (-2012); opening in another mode without a ComNumber raises
//   ENoPortSelected (-2011). While loading (or designing), Open only remembers the wish; it
//   is carried out by Loaded().
// - An open port owns the handle it took: closing (or destroying) the port closes it and
//   sets TapiHandle back to -1, so a stale descriptor is never taken twice.
// - There is no dispatcher yet: opening in a mode other than tmOn marks the port open without
//   a device. The dispatcher's device name (DispatcherDeviceName, used in the dispatch log)
//   exists while the port is open: "COM<n>" on opening, replaceable afterwards.
// - FlushInBuffer/FlushOutBuffer discard pending input/output of the open device (tcflush).
//   On a closed port they first open it when AutoOpen is set (and not loading), else raise
//   ECommNotOpen (-2007); a device error raises the exception of its code.
// - Everything belongs to the thread that owns the component tree.
#pragma once

#include "common/OoMisc.h"

#include <cstdint>
#include <string>

enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };

enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

class TApdCustomComPort : public TApdBaseComponent {
public:
  explicit TApdCustomComPort(TComponent* AOwner = nullptr);
  ~TApdCustomComPort() override;

  uint16_t ComNumber() const { return FComNumber; }
  // On an open port: closes it, stores the number and opens it again.
  void SetComNumber(uint16_t Value);

  bool AutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool Value) { FAutoOpen = Value; }

  TTapiMode TapiMode() const { return FTapiMode; }
  void SetTapiMode(TTapiMode Value) { FTapiMode = Value; }

  int TapiHandle() const { return FTapiHandle; }
  void SetTapiHandle(int Value) { FTapiHandle = Value; }

  bool Open() const { return FOpen; }
  void SetOpen(bool Value);

  // The device name the dispatcher writes to its log; "" while the port is closed (there is
  // no dispatcher then, and setting it does nothing).
  const std::string& DispatcherDeviceName() const { return FDispatcherDeviceName; }
  void SetDispatcherDeviceName(const std::string& Value);

  void FlushInBuffer();
  void FlushOutBuffer();

  // The descriptor the open port works on (-1 when it has none).
  int DeviceHandle() const { return FDeviceHandle; }

  void Loaded() override;

private:
  void DoOpen();
  void DoClose();
  void Flush(int Queue);

  uint16_t FComNumber = 0;
  bool FAutoOpen = true;
  TTapiMode FTapiMode = tmAuto;
  int FTapiHandle = -1;
  bool FOpen = false;
  bool FOpenAfterLoad = false;
  int FDeviceHandle = -1;
  bool FOwnsDeviceHandle = false;
  std::string FDispatcherDeviceName;
};

// The published form of the port; it adds nothing.
class TApdComPort : public TApdCustomComPort {
public:
  using TApdCustomComPort::TApdCustomComPort;
};

// The first port among Owner's components in component order; a component that is not a
// port is searched the same way among its own components, and a port found there is the
// result. nullptr when there is none (or Owner is nullptr).
TApdCustomComPort* FindComPort(TComponent* Owner);
