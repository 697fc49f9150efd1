#pragma once
// What the installation steps share of a run: the window they ask questions in and hide, and
// the close request that ends them. The window's side is implemented in window/.
#include <windows.h>

#include <atomic>

class HeldFiles;
class SignaturePrefetch;

// The progress window as the installation sees it.
class InstallationWindow {
 public:
  // Shows string `textId` with the caption string 103 in a box owned by the window; returns the
  // box's answer, 0 when it cannot be shown.
  virtual int ask(unsigned textId, unsigned style) = 0;
  // Hides the window while an installer program's own windows take over.
  virtual void hide() = 0;

 protected:
  ~InstallationWindow() = default;
};

struct RunControl {
  InstallationWindow* window;  // null: nothing is shown, and no question can be asked
  const std::atomic<bool>& cancel;
  HeldFiles* held = nullptr;  // where checked files are held until their use; null: not held
  bool quiet = false;         // the installer service shows nothing either
  SignaturePrefetch* prefetch = nullptr;  // checks made while the payload unpacked; null: none

  // The window's answer; IDNO without a box after a close request, 0 without a window.
  [[nodiscard]] int ask(unsigned textId, unsigned style) const {
    if (cancel) return IDNO;
    return window ? window->ask(textId, style) : 0;
  }
  void hide() const {
    if (window) window->hide();
  }
  [[nodiscard]] bool cancelled() const { return cancel.load(); }
};
