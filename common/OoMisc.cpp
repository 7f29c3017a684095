// OoMisc: objects, persistence and the component tree.
#include "common/OoMisc.h"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <typeinfo>

namespace {

char LowerAscii(char C) {
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

bool SameText(const std::string& A, const std::string& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return LowerAscii(X) == LowerAscii(Y);
         });
}

void EraseValue(std::vector<TComponent*>& List, const TComponent* Value) {
  List.erase(std::remove(List.begin(), List.end(), Value), List.end());
}

// A component seen at the start of a walk, with a token that tells whether it still exists
// when its turn comes.
struct TWalkEntry {
  TComponent* Component;
  std::weak_ptr<char> Life;
};

} // namespace

// ---------------------------------------------------------------------------------------
// TObject, TPersistent

std::string TObject::ClassName() const {
  const char* Raw = typeid(*this).name();
  int Status = 0;
  std::unique_ptr<char, void (*)(void*)> Demangled(
      abi::__cxa_demangle(Raw, nullptr, nullptr, &Status), std::free);
  return (Status == 0 && Demangled) ? std::string(Demangled.get()) : std::string(Raw);
}

void TPersistent::Assign(TPersistent* Source) {
  if (Source == nullptr) {
    throw EConvertError("Cannot assign a nil to a " + ClassName());
  }
  Source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* Dest) {
  throw EConvertError("Cannot assign a " + ClassName() + " to a " +
                      (Dest != nullptr ? Dest->ClassName() : std::string("nil")));
}

// ---------------------------------------------------------------------------------------
// TComponent: life and ownership

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) {
    AOwner->Attach(this);
  }
}

TComponent::~TComponent() {
  MarkDestroying();
  DestroyComponents();
  // After a Free() this finds nothing left to tell; after a plain delete it tells the
  // partners and the owner's components now.
  AnnounceDeparture();
}

void TComponent::Free() {
  MarkDestroying();
  AnnounceDeparture();
  delete this;
}

void TComponent::MarkDestroying() {
  if ((FComponentState & csDestroying) != 0) {
    return;
  }
  FComponentState |= csDestroying;
  for (TComponent* Child : FComponents) {
    Child->MarkDestroying();
  }
}

void TComponent::AnnounceDeparture() {
  // Taken one at a time: a partner's handler may free other partners, which then leave
  // this list themselves.
  while (!FFreeNotifies.empty()) {
    TComponent* Partner = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    EraseValue(Partner->FFreeNotifies, this);
    Partner->Notification(this, opRemove);
  }
  if (FOwner != nullptr) {
    FOwner->RemoveComponent(this);
  }
}

void TComponent::Attach(TComponent* AComponent) {
  if ((FComponentState & csDestroying) != 0) {
    throw EComponentError("Cannot add a component to " + ClassName() +
                          " while it is being destroyed");
  }
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  if ((FComponentState & csDesigning) != 0) {
    AComponent->SetDesigning(true);
  }
  if (FLoadingDepth > 0) {
    AComponent->FComponentState |= csLoading;
  }
}

void TComponent::Detach(TComponent* AComponent) {
  EraseValue(FComponents, AComponent);
  AComponent->FOwner = nullptr;
}

bool TComponent::Owns(const TComponent* AComponent) const {
  return std::find(FComponents.begin(), FComponents.end(), AComponent) != FComponents.end();
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount()) {
    throw std::out_of_range("Component index out of range (" + std::to_string(Index) + ")");
  }
  return FComponents[static_cast<size_t>(Index)];
}

int TComponent::IndexOfComponent(const TComponent* AComponent) const {
  auto It = std::find(FComponents.begin(), FComponents.end(), AComponent);
  return It == FComponents.end() ? -1 : static_cast<int>(It - FComponents.begin());
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) {
    return nullptr;
  }
  for (TComponent* Child : FComponents) {
    if (SameText(Child->FName, AName)) {
      return Child;
    }
  }
  return nullptr;
}

bool TComponent::NameTaken(const std::string& AName, const TComponent* Except) const {
  for (const TComponent* Child : FComponents) {
    if (Child != Except && SameText(Child->FName, AName)) {
      return true;
    }
  }
  return false;
}

void TComponent::SetName(const std::string& NewName) {
  if (NewName == FName) {
    return;
  }
  if (!NewName.empty() && FOwner != nullptr && FOwner->NameTaken(NewName, this)) {
    throw EComponentError("A component named " + NewName + " already exists");
  }
  FName = NewName;
}

void TComponent::SetDesigning(bool Value, bool SetChildren) {
  if (Value) {
    FComponentState |= csDesigning;
  } else {
    FComponentState &= ~static_cast<TComponentState>(csDesigning);
  }
  if (SetChildren) {
    for (TComponent* Child : FComponents) {
      Child->SetDesigning(Value, true);
    }
  }
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent->FOwner == this) {
    return;
  }
  for (const TComponent* Up = this; Up != nullptr; Up = Up->FOwner) {
    if (Up == AComponent) {
      throw EComponentError("A component cannot own itself or its owners");
    }
  }
  if (((FComponentState | AComponent->FComponentState) & csDestroying) != 0) {
    throw EComponentError("Cannot move a component into or out of one being destroyed");
  }
  if (!AComponent->FName.empty() && NameTaken(AComponent->FName, nullptr)) {
    throw EComponentError("A component named " + AComponent->FName + " already exists");
  }
  std::weak_ptr<char> Life = AComponent->FLife;
  if (AComponent->FOwner != nullptr) {
    AComponent->FOwner->RemoveComponent(AComponent);
    // The old owner's components were told and may have freed or adopted it meanwhile.
    if (Life.expired() || AComponent->FOwner != nullptr) {
      return;
    }
  }
  Attach(AComponent);
  Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent->FOwner != this) {
    return;
  }
  // Out of the list before anyone hears of it, so no handler can reach it through us.
  Detach(AComponent);
  Notification(AComponent, opRemove);
}

void TComponent::DestroyComponents() {
  // Free() takes each out of the list; anything a handler adds meanwhile goes too.
  while (!FComponents.empty()) {
    FComponents.back()->Free();
  }
}

// ---------------------------------------------------------------------------------------
// TComponent: notifications

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) {
    return;
  }
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
    FFreeNotifies.push_back(AComponent);
  }
  auto& Theirs = AComponent->FFreeNotifies;
  if (std::find(Theirs.begin(), Theirs.end(), this) == Theirs.end()) {
    Theirs.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) {
    return;
  }
  EraseValue(FFreeNotifies, AComponent);
  EraseValue(AComponent->FFreeNotifies, this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent != nullptr) {
    RemoveFreeNotification(AComponent);
  }
  if (FComponents.empty()) {
    return;
  }
  // Handlers may free or move components, this one's or the announced one; walk a copy and
  // skip whatever is gone or no longer ours.
  std::vector<TWalkEntry> Walk;
  Walk.reserve(FComponents.size());
  for (TComponent* Child : FComponents) {
    Walk.push_back({Child, Child->FLife});
  }
  std::weak_ptr<char> Subject;
  if (AComponent != nullptr) {
    Subject = AComponent->FLife;
  }
  std::weak_ptr<char> Self = FLife;
  for (auto It = Walk.rbegin(); It != Walk.rend(); ++It) {
    if (Self.expired() || (AComponent != nullptr && Subject.expired())) {
      return;
    }
    if (It->Life.expired() || It->Component->FOwner != this) {
      continue;
    }
    It->Component->Notification(AComponent, Operation);
  }
}

// ---------------------------------------------------------------------------------------
// TComponent: loading

void TComponent::BeginLoading() {
  if (FLoadingDepth++ > 0) {
    return;
  }
  FComponentState |= csLoading;
  for (TComponent* Child : FComponents) {
    Child->FComponentState |= csLoading;
  }
}

void TComponent::EndLoading() {
  if (FLoadingDepth == 0 || --FLoadingDepth > 0) {
    return;
  }
  std::vector<TWalkEntry> Walk;
  for (TComponent* Child : FComponents) {
    if ((Child->FComponentState & csLoading) != 0) {
      Walk.push_back({Child, Child->FLife});
    }
  }
  std::weak_ptr<char> Self = FLife;
  std::exception_ptr First;
  for (const TWalkEntry& Entry : Walk) {
    if (Self.expired()) {
      break;
    }
    if (Entry.Life.expired() || Entry.Component->FOwner != this) {
      continue;
    }
    try {
      Entry.Component->Loaded();
    } catch (...) {
      if (!First) {
        First = std::current_exception();
      }
    }
    // An override that forgot the base call must not leave it loading for good: while
    // loading, failures are not reported.
    if (!Entry.Life.expired()) {
      Entry.Component->FComponentState &= ~static_cast<TComponentState>(csLoading);
    }
  }
  if (!Self.expired()) {
    try {
      Loaded();
    } catch (...) {
      if (!First) {
        First = std::current_exception();
      }
    }
    if (!Self.expired()) {
      FComponentState &= ~static_cast<TComponentState>(csLoading);
    }
  }
  if (First) {
    std::rethrow_exception(First);
  }
}

void TComponent::Loaded() {
  FComponentState &= ~static_cast<TComponentState>(csLoading);
}
