#include <windows.h>

#include "window/app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  return runPondrel(instance, showCommand);
}
