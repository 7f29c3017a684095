// The body of GuardedHandler: no exception may cross a Qt event handler.
#pragma once

#include "tapi/AdTapi.h"

#include <exception>
#include <new>
#include <stdexcept>

template <class F> void GuardedHandler(F&& Body) {
  try {
    Body();
  } catch (const std::exception& E) {
    HandleApplicationException(E);
  } catch (...) {
    HandleApplicationException(std::runtime_error("Unknown exception"));
  }
}
