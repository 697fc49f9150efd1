#pragma once
// The one Installer of a run, shared between the worker, which builds, runs and releases it,
// and the window's close handler, which may ask it to stop. The object is destroyed by
// whichever side lets go of it last, so it is destroyed exactly once and never while in use.
#include <memory>

#include "installer.h"
#include "threads.h"

class InstallerSlot {
 public:
  // The worker publishes a new installer. Refused (false) once a close was requested: the
  // worker then stops instead of starting a run nobody waits for.
  bool publish(std::shared_ptr<Installer> installer);
  // The worker lets go of the published installer.
  void clear();
  // The close handler takes the published installer (null if none) and marks the run closed.
  std::shared_ptr<Installer> closeRequest();
  [[nodiscard]] bool closed() const;

 private:
  mutable CriticalSection mutex_;
  std::shared_ptr<Installer> installer_;
  bool closed_ = false;
};
