#pragma once
// The progress window as a run's steps see it: the unpacking's percentage arrives as
// WM_PROGRESS, the installation's questions are boxes the window owns, and the window hides
// while an installer program runs.
#include <windows.h>

#include <cstdint>

#include "installation/run_control.h"
#include "payload/unpack_payload.h"

class WindowProgress final : public ProgressSink {
 public:
  explicit WindowProgress(HWND window) : window_(window) {}
  void progress(std::int32_t percent) override;

 private:
  HWND window_;
};

// Questions and answers are logged.
class WindowQuestions final : public InstallationWindow {
 public:
  explicit WindowQuestions(HWND window) : window_(window) {}
  // The text of string `textId` with the caption string 103.
  int ask(unsigned textId, unsigned style) override;
  void hide() override;

 private:
  HWND window_;
};

// A quiet run's: nobody is asked, every question is answered No, and there is nothing to hide.
class QuietQuestions final : public InstallationWindow {
 public:
  int ask(unsigned textId, unsigned style) override;
  void hide() override {}
};
