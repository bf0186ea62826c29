// status.json bytes -> StatusReport, as the administration tool reads the daemon's last result.
// Every input must end in a report or the shared decoder's error, and a report that decodes must
// survive its own encoding unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tavra/status_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tavra::StatusReport report;
  try {
    report = tavra::StatusReport::decode(bytes);
  } catch (const tavra::FileApplier::DecodingError&) {
    return 0;
  }
  if (!(tavra::StatusReport::decode(report.encode()) == report)) __builtin_trap();
  (void)report.summary();
  return 0;
}
