// Messages: per-thread message queues and hidden windows.
//
// Contract:
// - Every thread that calls one of these functions for its own queue gets a message queue
//   (created on first use). A hidden window is a handle plus a procedure, owned by the thread
//   that created it; only that thread runs its procedure. Handles are never reused, so a
//   stale handle simply fails.
// - PostMessage/PostThreadMessage/BroadcastMessage work from any thread and return at once.
//   SendMessageTimeout blocks until the owner's thread has run the procedure or the time-out
//   passed; to a window of the calling thread it calls the procedure directly. While a
//   sender waits it serves sends addressed to its own thread, so two threads that send to
//   each other do not deadlock. A send that is still waiting when its time-out passes is
//   withdrawn and never delivered later, and so is one whose sender leaves by an exception
//   (a send it served while waiting threw); one already running finishes and its result is
//   dropped.
// - Sends from other threads are served whenever the owner pumps (PeekMessage, GetMessage,
//   WaitMessage, or while it waits in a send of its own).
// - When a thread ends, its queue and windows go with it: later posts fail, waiting senders
//   are released with false. Procedures are not called during that teardown.
// - QueueWakeDescriptor() is readable exactly while the calling thread's queue has work
//   (posted messages, a pending quit or incoming sends); poll it, never read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace Platform {

using TWindowHandle = uintptr_t; // 0 = no window

struct TMessage {
  TWindowHandle Window = 0; // 0 for a thread message
  uint32_t Message = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

// Message numbers callers depend on keep their usual values.
constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_DESTROY = 0x0002; // sent to the procedure by DestroyWindow
constexpr uint32_t WM_QUERYENDSESSION = 0x0011;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_USER = 0x0400;

// Time-out value that means "wait as long as it takes".
constexpr uint32_t MessageWaitInfinite = 0xFFFFFFFF;

using TWindowProc = std::function<intptr_t(TWindowHandle, uint32_t, uintptr_t, intptr_t)>;

// Window classes, by name (compared without regard to ASCII case). Registering a name twice
// fails; unregistering fails while windows of the class exist.
bool RegisterWindowClass(const std::string& name, TWindowProc proc);
bool UnregisterWindowClass(const std::string& name);
bool IsWindowClassRegistered(const std::string& name);

// Top-level hidden windows owned by the calling thread. 0 on failure (unknown class, empty
// procedure).
TWindowHandle CreateHiddenWindow(const std::string& className, void* userData = nullptr);
TWindowHandle CreateHiddenWindow(TWindowProc proc, void* userData = nullptr);
// Only the owning thread may destroy a window. It first sends WM_DESTROY to the procedure,
// then drops the window's posted messages and fails the sends still waiting for it.
bool DestroyWindow(TWindowHandle window);
bool IsWindow(TWindowHandle window);
void* GetWindowData(TWindowHandle window); // nullptr when the window is gone
bool SetWindowData(TWindowHandle window, void* data);
uint64_t WindowThreadId(TWindowHandle window); // 0 when the window is gone

// Posting, from any thread. False when the window or thread (queue) is gone.
bool PostMessage(TWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
bool PostThreadMessage(uint64_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Posts to every window of the process; returns how many were reached.
size_t BroadcastMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
// Marks the calling thread's queue to return WM_QUIT (wParam = exitCode) once its posted
// messages are taken.
void PostQuitMessage(int exitCode);

// Sending. False (result 0) when the window is or goes away, the owner thread ends, or the
// time-out passes before the procedure has returned.
bool SendMessageTimeout(TWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                        uint32_t timeoutMs, intptr_t* result);
intptr_t SendMessage(TWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Pumping on the calling thread. PeekMessage serves pending sends first, then returns the
// oldest posted message (or WM_QUIT when a quit is pending and nothing else is posted).
bool PeekMessage(TMessage& message, bool remove);
// Blocks until a posted message arrives, serving sends meanwhile; false for WM_QUIT.
bool GetMessage(TMessage& message);
// Runs the procedure of the message's window; 0 for thread messages and vanished windows.
intptr_t DispatchMessage(const TMessage& message);
void TranslateMessage(const TMessage& message); // nothing to translate for hidden windows
// Waits until a posted message, quit or sent message is waiting, or the time-out passed.
// Does not serve sends itself. True when work is waiting.
bool WaitMessage(uint32_t timeoutMs);

int QueueWakeDescriptor();
uint64_t CurrentThreadId(); // never 0, never reused within the process

} // namespace Platform
