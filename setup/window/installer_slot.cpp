#include "window/installer_slot.h"

bool InstallerSlot::publish(std::shared_ptr<Installer> installer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  installer_ = std::move(installer);
  return true;
}

void InstallerSlot::clear() {
  std::shared_ptr<Installer> released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released = std::move(installer_);
  }
  // `released` may be the last reference: the installer goes outside the lock.
}

std::shared_ptr<Installer> InstallerSlot::closeRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  return std::move(installer_);
}

bool InstallerSlot::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}
