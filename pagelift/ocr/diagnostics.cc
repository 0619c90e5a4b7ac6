#include "pagelift/ocr/diagnostics.h"

#include <fcntl.h>
#include <leptonica/allheaders.h>
#include <unistd.h>

namespace ocr {
namespace {

void dropMessage(const char*) {}

}  // namespace

void silenceImagingMessages() {
  setMsgSeverity(L_SEVERITY_NONE);
  leptSetStderrHandler(dropMessage);
}

int divertStandardError() {
  const int original = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return original;
  dup2(null, STDERR_FILENO);
  close(null);
  return original;
}

}  // namespace ocr
