#include "app/process_end.h"

#include "app/console.h"
#include "app/failure.h"
#include "platform/platform.h"

namespace tarnwick {

void EndProcess(int status) {
  HandOverHeldOutput();
  TakePendingIoCode();
  platform::ExitProcess(status);
}

}  // namespace tarnwick
