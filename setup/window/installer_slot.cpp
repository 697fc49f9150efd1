#include "window/installer_slot.h"

bool InstallerSlot::publish(std::shared_ptr<Installer> installer) {
  Lock lock(mutex_);
  if (closed_) return false;
  installer_ = std::move(installer);
  return true;
}

void InstallerSlot::clear() {
  std::shared_ptr<Installer> released;
  {
    Lock lock(mutex_);
    released = std::move(installer_);
  }
  // `released` may be the last reference: the installer goes outside the lock.
}

std::shared_ptr<Installer> InstallerSlot::closeRequest() {
  Lock lock(mutex_);
  closed_ = true;
  return std::move(installer_);
}

bool InstallerSlot::closed() const {
  Lock lock(mutex_);
  return closed_;
}
