#include "app/program.h"

#include <new>

#include "app/command_line.h"
#include "app/failure.h"
#include "app/failure_report.h"
#include "app/front_end.h"
#include "app/process_end.h"
#include "platform/platform.h"

namespace tarnwick {

void RunProgram(int argc, const char* const* argv) {
  platform::PrepareProcess();
  try {
    RunFrontEnd(ArgumentsFromList(argc, argv));
  } catch (const Failure& failure) {
    ReportUncaughtFailure(failure.kind(), failure.message(), failure.location());
  } catch (const std::bad_alloc&) {
    ReportUncaughtFailure("OutOfMemory", "Out of memory", CallerLocation());
  } catch (const std::exception& failure) {
    ReportUncaughtFailure("InternalFailure", failure.what(), CallerLocation());
  }
  EndProcess(0);
}

}  // namespace tarnwick
