// OoMisc: the component model every part of the communications layer stands on, event
// slots, and a few shared routines (millisecond clock, 55 ms tick timers, one message pump
// step, bit and file tests).
//
// Contract of the component model:
// - An owner owns its components in creation order and frees them in reverse order when it
//   is destroyed (after its own derived destructors have run). A component destroyed on its
//   own leaves its owner first.
// - A component that joins or leaves an owner is announced to the owner and all its
//   components through Notification (opInsert / opRemove). FreeNotification links two
//   components anywhere in the tree so that each is told (opRemove) when the other goes.
//   Whoever holds a reference to another component clears it in Notification; a component
//   may hear of one departure twice (as a sibling and as a partner), so clearing must be
//   idempotent. Compare pointers there: after a plain `delete` the departing object is
//   already reduced to its TComponent part, so casts to its class fail. Free() (and an
//   owner destroying its components) announces the departure while the object is whole.
// - Components are created with CreateComponent<T>(Owner, ...), so that the insert
//   notification sees the finished object; a plain `new T(Owner)` joins the owner silently.
// - Notifications may free other components or move them between owners; every walk over
//   the tree tolerates that. Freeing the component being announced, from inside its own
//   announcement, is not allowed.
// - BeginLoading()/EndLoading() bracket the creation of an owner's components from a form
//   description: csLoading is set meanwhile, then Loaded() runs on each in creation order.
// - Everything here belongs to the thread that created the components; none of it locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------------------
// Objects and components

enum TComponentStateFlag : unsigned { csLoading = 1, csDesigning = 2, csDestroying = 4 };
using TComponentState = unsigned;

enum TOperation { opInsert, opRemove };

// Raised for misuse of the component tree (duplicate names, ownership cycles).
class EComponentError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Raised by Assign when the source cannot be copied into the target.
class EConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  // The dynamic class name, readable ("TApdComPort"), for messages.
  std::string ClassName() const;
};

class TPersistent : public TObject {
public:
  // Copies the published state of Source into this object. The default asks Source to
  // AssignTo this object, and fails with EConvertError when neither side knows how.
  virtual void Assign(TPersistent* Source);

protected:
  virtual void AssignTo(TPersistent* Dest);
};

class TComponent : public TPersistent {
public:
  // Joins AOwner (when given) as its last component, without announcing it; prefer
  // CreateComponent<T>, which announces the finished component.
  explicit TComponent(TComponent* AOwner = nullptr);
  // Tells free-notification partners, destroys the owned components (last first) and
  // leaves the owner, which announces the removal to the remaining components.
  ~TComponent() override;

  // The usual way to destroy a component: marks it and everything it owns csDestroying,
  // tells its partners and its owner's components while it is still whole, then deletes it
  // (its derived destructors see csDestroying and Owner() == nullptr).
  void Free();

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  // The Index-th owned component in creation order; throws std::out_of_range when Index is
  // outside 0..ComponentCount()-1.
  TComponent* Components(int Index) const;
  // Position of AComponent among the owned components, -1 when not owned here.
  int IndexOfComponent(const TComponent* AComponent) const;
  // The owned component with this name (case-insensitive), or nullptr.
  TComponent* FindComponent(const std::string& AName) const;

  const std::string& Name() const { return FName; }
  // Names are unique (case-insensitive) among the components of one owner; an empty name
  // is always allowed. A clash throws EComponentError and keeps the old name.
  void SetName(const std::string& NewName);

  TComponentState ComponentState() const { return FComponentState; }
  // Design mode for this component and, by default, everything it owns.
  void SetDesigning(bool Value, bool SetChildren = true);

  // Takes AComponent over from its current owner (if any) and announces it (opInsert).
  // Inserting this component or one of its owners throws EComponentError.
  void InsertComponent(TComponent* AComponent);
  // Releases AComponent (the caller now owns it) and announces the removal (opRemove).
  void RemoveComponent(TComponent* AComponent);
  // Frees every owned component, last first.
  void DestroyComponents();

  // Links this component and AComponent: each is told (opRemove) when the other goes away.
  void FreeNotification(TComponent* AComponent);
  // Undoes FreeNotification in both directions.
  void RemoveFreeNotification(TComponent* AComponent);

  // Loading from a form description: BeginLoading sets csLoading on this component and on
  // every component it owns or comes to own until EndLoading, which calls Loaded() on each
  // loading component in creation order and then on this one. csLoading is off afterwards
  // even when a Loaded() throws (the first exception is passed on after all have run).
  void BeginLoading();
  void EndLoading();
  bool IsLoading() const { return (FComponentState & csLoading) != 0; }

  // Called once loading has finished; the base clears csLoading. Overrides call it first.
  virtual void Loaded();
  // Told about AComponent joining or leaving this component's owner (or this component),
  // or about a free-notification partner going away. The base forgets the free
  // notification on opRemove and passes the call on to every owned component.
  virtual void Notification(TComponent* AComponent, TOperation Operation);

protected:
  void SetComponentStateFlags(TComponentState Flags) { FComponentState |= Flags; }
  void ClearComponentStateFlags(TComponentState Flags) { FComponentState &= ~Flags; }

private:
  void MarkDestroying();
  void AnnounceDeparture();
  void Detach(TComponent* AComponent);
  void Attach(TComponent* AComponent);
  bool Owns(const TComponent* AComponent) const;
  bool NameTaken(const std::string& AName, const TComponent* Except) const;

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
  std::string FName;
  TComponentState FComponentState = 0;
  int FLoadingDepth = 0;
  // Expires when this object is gone: walks over the tree hold weak references to it.
  std::shared_ptr<char> FLife = std::make_shared<char>(0);
};

// Creates a T owned by AOwner (the first constructor argument) and announces it to the
// owner's components once it is fully constructed.
template <class T, class... TArgs> T* CreateComponent(TComponent* AOwner, TArgs&&... Args) {
  static_assert(std::is_base_of_v<TComponent, T>, "T must be a component");
  T* Result = new T(AOwner, std::forward<TArgs>(Args)...);
  if (AOwner != nullptr && Result->Owner() == AOwner) {
    AOwner->Notification(Result, opInsert);
  }
  return Result;
}

// The base of every component of the communications layer. Version is published so that it
// shows and streams, but it is fixed.
class TApdBaseComponent : public TComponent {
public:
  explicit TApdBaseComponent(TComponent* AOwner = nullptr) : TComponent(AOwner) {}

  std::string Version() const { return "v4.06"; }
  void SetVersion(const std::string& /*Value*/) {}
};

// ---------------------------------------------------------------------------------------
// Event slots

template <class TSignature> class TEventSlot;

// A handler that may be empty: calling an empty slot does nothing and returns R{}. The
// handler is kept alive while it runs, so it may reassign or clear its own slot.
template <class R, class... TArgs> class TEventSlot<R(TArgs...)> {
public:
  using THandler = std::function<R(TArgs...)>;

  TEventSlot() = default;
  TEventSlot(std::nullptr_t) {}
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TEventSlot> &&
                                              !std::is_same_v<std::decay_t<F>, std::nullptr_t>>>
  TEventSlot(F&& Handler) {
    Set(THandler(std::forward<F>(Handler)));
  }

  TEventSlot& operator=(std::nullptr_t) {
    FHandler.reset();
    return *this;
  }
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TEventSlot> &&
                                              !std::is_same_v<std::decay_t<F>, std::nullptr_t>>>
  TEventSlot& operator=(F&& Handler) {
    Set(THandler(std::forward<F>(Handler)));
    return *this;
  }

  bool Assigned() const { return FHandler != nullptr; }
  explicit operator bool() const { return Assigned(); }
  void Clear() { FHandler.reset(); }

  R operator()(TArgs... Args) const {
    std::shared_ptr<const THandler> Keep = FHandler;
    if (!Keep) {
      if constexpr (std::is_void_v<R>) {
        return;
      } else {
        return R{};
      }
    }
    return (*Keep)(std::forward<TArgs>(Args)...);
  }

private:
  void Set(THandler&& Handler) {
    if (Handler) {
      FHandler = std::make_shared<const THandler>(std::move(Handler));
    } else {
      FHandler.reset();
    }
  }

  std::shared_ptr<const THandler> FHandler;
};

// The usual event shape: the component that raises it.
using TNotifyEvent = TEventSlot<void(TObject* Sender)>;

// ---------------------------------------------------------------------------------------
// Shared routines

// Milliseconds of the monotonic high-resolution counter, wrapping at 2^32.
uint32_t AdTimeGetTime();

// 55 ms ticks. The current tick is AdTimeGetTime() / 55 unless a test installs its own
// source; passing nullptr restores the clock. Returns the previous source (nullptr for the
// clock). Safe to call from any thread.
using TTickSource = uint32_t (*)();
TTickSource SetTickSource(TTickSource Source);
uint32_t CurrentTicks();

// Ticks the counter covers before it wraps (2^32 ms / 55, rounded down), and the longest
// timer, half of that, so that a wrap of the counter is never mistaken for a distant expiry.
constexpr uint32_t TicksPerWrap = 78090314;
constexpr uint32_t MaxTimerTicks = 39045157;

struct TEventTimer {
  uint32_t StartTicks = 0;
  uint32_t ExpireTicks = 0;
};

// Starts ET now for Ticks ticks (at most MaxTimerTicks).
void NewTimer(TEventTimer& ET, uint32_t Ticks);
// Whether a timer (start, expiry) has run out at tick Now: Now is past the expiry, or the
// counter has wrapped since the start (Now below Start) and Now, counted on from before the
// wrap, is past the expiry. Across a wrap a timer may run out up to one tick late.
bool TickTimerExpired(uint32_t StartTicks, uint32_t ExpireTicks, uint32_t Now);
bool TimerExpired(const TEventTimer& ET);
// Ticks to go until the expiry tick (0 at it or after), and ticks since the start, both
// counted across a wrap.
uint32_t TimerTicksRemaining(const TEventTimer& ET);
uint32_t TimerTicksElapsed(const TEventTimer& ET);

// One step of the calling thread's message pump: takes one message if there is one; a quit
// message is posted again (so the main loop still sees it); any other message is
// translated and dispatched. Returns whether a message was dispatched (false for none and
// for a quit), so `while (SafeYield()) {}` drains the queue and stops at a quit.
bool SafeYield();

// Lets a front end run its own event processing at every pump step of the calling thread
// (the Qt program processes its pending events there, so waits that pump never freeze the
// window). The hook runs before the message is taken. Per thread; returns the thread's
// previous hook; nullptr removes it.
using TYieldHook = void (*)();
TYieldHook SetYieldHook(TYieldHook Hook);

// Whether the two masks share a bit.
constexpr bool FlagIsSet(uint32_t Flags, uint32_t FlagMask) {
  return (Flags & FlagMask) != 0;
}

// Whether a file of this name exists (a folder is not a file); nullptr and "" do not.
bool ExistsFile(const char* FileName);
