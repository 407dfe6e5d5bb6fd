// The run's report as JSON: how it ended, the counts, and per device its identity, the state
// the host's replies left it in and every event record it reported.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "Simulator.h"

namespace velkor::sim {

inline constexpr char kReportFormat[] = "velkor-sim report 1";

nlohmann::ordered_json MakeReport(const Simulator& simulator, const Stats& stats);

// Writes the report, pretty-printed, through a temporary file renamed into place, so that a
// reader never sees half a report. False (with `error` set) when it cannot be written.
bool WriteReport(const std::string& path, const nlohmann::ordered_json& report, std::string& error);

}  // namespace velkor::sim
