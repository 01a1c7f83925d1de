#include "session/candidate_snapshot.hpp"

#include "session/usb_candidate.hpp"

namespace corvane {

CandidateSnapshot candidate_snapshot(UsbHost& host) {
  CandidateSnapshot snapshot;
  auto devices = host.list_devices();
  if (!devices) return snapshot;
  for (const auto& candidate : find_candidates(*devices)) {
    snapshot.emplace(candidate.bus_number, candidate.address);
  }
  return snapshot;
}

}  // namespace corvane
