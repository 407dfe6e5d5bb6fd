// Runs every benchmark, then prints each figure against its floor: the exchange against the
// cipher's own cost, the voice bank compile against plain I/O of the same bytes, and the cost
// per record of the record functions.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

// Collects each benchmark's CPU time in nanoseconds (the machine is shared, and these loops use
// one core and never wait): the median of its repetitions where it has them, else its one run.
// The compile and its floor wait for the disk, so they report wall time in their counters.
class Collector : public benchmark::ConsoleReporter {
 public:
  Collector() : ConsoleReporter(OO_Tabular) {}  // plain text: the output goes into logs
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        const double ns =
            run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        std::string name = run.run_name.function_name;
        if (!run.report_label.empty()) {
          name += "/" + run.report_label;
        }
        if (median || !times.count(name)) {
          times[name] = ns;
        }
        for (const auto& [counter, value] : run.counters) {
          counters[name + "." + counter] = value;
        }
      }
    }
  }
  std::map<std::string, double> times;
  std::map<std::string, double> counters;
};

void Ratio(const Collector& c, const char* what, const char* a, const char* b, double target) {
  if (!c.times.count(a) || !c.times.count(b)) {
    return;
  }
  const double ratio = c.times.at(a) / c.times.at(b);
  if (target > 0) {
    std::printf("%-44s %10.3f  (target at most %.1f: %s)\n", what, ratio, target,
                ratio <= target ? "met" : "NOT met");
  } else {
    std::printf("%-44s %10.3f\n", what, ratio);
  }
}

void PerRecord(const Collector& c, const char* what, const char* name, int records) {
  if (c.times.count(name)) {
    std::printf("%-44s %10.1f ns\n", what, c.times.at(name) / records);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  std::printf("\n");
  Ratio(collector, "(a) exchange / (b) cipher floor", "a_exchange", "b_cipher_floor", 1.2);
  Ratio(collector, "set-up per call / cached contexts", "b0_cipher_fetched_per_call",
        "b_cipher_floor", 0);
  Ratio(collector, "re-key per call / cached contexts", "b1_cipher_rekeyed_per_call",
        "b_cipher_floor", 0);
  const auto& e = collector.counters;
  if (e.count("e_compile_vs_io_floor.ratio")) {
    const double ratio = e.at("e_compile_vs_io_floor.ratio");
    std::printf("%-44s %10.3f  (target at most 1.3: %s; %.2f ms against %.2f ms)\n",
                "(e) compile / I/O floor", ratio, ratio <= 1.3 ? "met" : "NOT met",
                e.at("e_compile_vs_io_floor.compile_ms"), e.at("e_compile_vs_io_floor.floor_ms"));
  }
  PerRecord(collector, "(c) GetEvents, current device, per record", "c_get_events_255/current",
            255);
  PerRecord(collector, "(c) GetEvents, legacy device, per record", "c_get_events_255/legacy", 255);
  PerRecord(collector, "(d) SendCards of 88, per card", "d_send_cards_88", 88);
  PerRecord(collector, "(d) GetCards of 88, per card", "d_get_cards_88", 88);
  return 0;
}
