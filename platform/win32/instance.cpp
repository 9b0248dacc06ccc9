// The module instance handle: stored by the entry point before anything else, read by the backend.
#include "platform/win32/instance.h"

#include <atomic>

#include "platform/ui.h"

namespace korvel::platform {

namespace {
std::atomic<HINSTANCE> storedInstance{nullptr};
}  // namespace

void setModuleInstance(void* instance) { storedInstance.store(static_cast<HINSTANCE>(instance)); }

HINSTANCE win32::storedModuleInstance() {
  HINSTANCE instance = storedInstance.load();
  return instance ? instance : ::GetModuleHandleA(nullptr);
}

}  // namespace korvel::platform
