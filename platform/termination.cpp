#include "platform/termination.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace crateline::platform {
namespace {

std::atomic<int> g_signal{0};

#ifdef _WIN32
HANDLE DoneEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_signal.store(SIGINT);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_signal.store(SIGTERM);
      // The process ends when this returns: give the work its moment to remove its files.
      WaitForSingleObject(DoneEvent(), 4500);
      return TRUE;
    default:
      return FALSE;
  }
}
#else
extern "C" void OnSignal(int signal) {
  g_signal.store(signal);
}
#endif

}  // namespace

void InstallTerminationHandlers() {
#ifdef _WIN32
  DoneEvent();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
#endif
}

bool TerminationRequested() {
  return g_signal.load() != 0;
}

int TerminationSignal() {
  return g_signal.load();
}

void TerminationHandled() {
#ifdef _WIN32
  SetEvent(DoneEvent());
#endif
}

void RequestTermination(int signal) {
  g_signal.store(signal);
}

void ClearTerminationRequest() {
  g_signal.store(0);
}

}  // namespace crateline::platform
