#include "avatar/sync.h"

#include <algorithm>
#include <cmath>

#include "common/errors.h"

namespace halvane::avatar {

double queued_seconds(double reading) { return std::isfinite(reading) && reading > 0.0 ? reading : 0.0; }

double picture_release_time(double now, double queued_s, long samples, double rate, double lead_s) {
  if (rate == 0.0) throw ZeroDivisionError("float division by zero");
  const double voice_s = static_cast<double>(samples) / rate;
  return now + std::max(queued_s - voice_s, 0.0) - lead_s;
}

}  // namespace halvane::avatar
