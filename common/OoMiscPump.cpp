// OoMisc: one step of the calling thread's message pump.
#include "common/OoMisc.h"

#include "platform/Messages.h"

namespace {

thread_local TYieldHook YieldHook = nullptr;

} // namespace

TYieldHook SetYieldHook(TYieldHook Hook) {
  TYieldHook Previous = YieldHook;
  YieldHook = Hook;
  return Previous;
}

bool SafeYield() {
  if (YieldHook != nullptr) {
    YieldHook();
  }
  Platform::TMessage Msg;
  if (!Platform::PeekMessage(Msg, true)) {
    return false;
  }
  if (Msg.Message == Platform::WM_QUIT) {
    // The loop that waits here is not the main loop: hand the quit back so that the main
    // loop still ends.
    Platform::PostQuitMessage(static_cast<int>(Msg.WParam));
    return false;
  }
  Platform::TranslateMessage(Msg);
  Platform::DispatchMessage(Msg);
  return true;
}
