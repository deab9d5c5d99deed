#include "clocksetter/server_table.h"

namespace orvane {

const ServerTable& TimeServers() {
  // Public US servers answering RFC 868 on TCP port 37, spread over three sites so that one
  // site's outage does not take them all. Order matters: ties go to the lower row.
  static const ServerTable table = {
      "129.6.15.28_time-a-g.nist.gov_NIST, Gaithersburg, Maryland",
      "129.6.15.29_time-b-g.nist.gov_NIST, Gaithersburg, Maryland",
      "132.163.97.1_time-a-wwv.nist.gov_WWV, Fort Collins, Colorado",
      "132.163.96.1_time-a-b.nist.gov_NIST, Boulder, Colorado",
      "128.138.140.44_utcnist.colorado.edu_University of Colorado, Boulder",
  };
  return table;
}

std::string AddressOf(const ServerEntry& entry) { return entry.substr(0, entry.find('_')); }

std::size_t ChooseFastest(const std::array<std::int16_t, kServerCount>& results) {
  std::size_t best = 0;
  for (std::size_t j = 1; j < kServerCount; ++j)
    if (results[j] < results[best]) best = j;
  return best;
}

std::string ProbeDisplayText(std::int16_t probeResult) {
  if (probeResult < 0) return "(bad)";
  return "(" + std::to_string(probeResult) + "ms)";
}

}  // namespace orvane
