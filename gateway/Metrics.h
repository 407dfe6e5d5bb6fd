// Counters, gauges and histograms, and their text in the Prometheus exposition format 0.0.4.
// Updates are atomics, safe from any thread and lock-free; families whose label values are
// known only as they come (an API route and its status code) find their child under a mutex of
// their own. The families are registered before the threads that update them start, and live
// as long as the registry.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkor::gateway {

// Label names and values, in the order they are rendered.
using Labels = std::vector<std::pair<std::string, std::string>>;

class Counter {
 public:
  void Add(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

class Gauge {
 public:
  void Set(std::int64_t value) { value_.store(value, std::memory_order_relaxed); }
  std::int64_t Value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> value_{0};
};

// Observations counted in fixed buckets: each bucket holds those up to its upper bound and
// above the bound before it; the text gives them cumulative, as the format wants.
class Histogram {
 public:
  explicit Histogram(std::vector<double> bounds);  // ascending upper bounds, +Inf implied
  void Observe(double value);

  struct Snapshot {
    std::vector<double> bounds;
    std::vector<std::uint64_t> cumulative;  // one per bound, then +Inf (== count)
    double sum = 0;
  };
  Snapshot Read() const;

 private:
  std::vector<double> bounds_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> counts_;  // bounds_.size() + 1
  std::atomic<double> sum_{0};
};

// Upper bounds start, start * factor, ... (count of them).
std::vector<double> ExponentialBuckets(double start, double factor, std::size_t count);

class MetricRegistry {
 public:
  // A metric of its own with fixed labels; the same name may be registered again with other
  // labels (the children of one family), with the same help text. References stay valid.
  Counter& AddCounter(const std::string& name, const std::string& help, Labels labels = {});
  Gauge& AddGauge(const std::string& name, const std::string& help, Labels labels = {});
  Histogram& AddHistogram(const std::string& name, const std::string& help,
                          std::vector<double> bounds, Labels labels = {});

  // A family whose children are made as their label values first come. The caller bounds the
  // values it passes.
  class CounterFamily {
   public:
    Counter& With(const Labels& labels);

   private:
    friend class MetricRegistry;
    std::mutex mutex_;
    std::map<Labels, Counter> children_;
  };
  class HistogramFamily {
   public:
    Histogram& With(const Labels& labels);

   private:
    friend class MetricRegistry;
    std::vector<double> bounds_;
    std::mutex mutex_;
    std::map<Labels, Histogram> children_;
  };
  CounterFamily& AddCounterFamily(const std::string& name, const std::string& help);
  HistogramFamily& AddHistogramFamily(const std::string& name, const std::string& help,
                                      std::vector<double> bounds);

  // Every family, in the order registered, as text/plain; version=0.0.4.
  std::string Render() const;

 private:
  enum class Type { kCounter, kGauge, kHistogram };
  struct Family {
    std::string name, help;
    Type type;
    std::vector<std::pair<Labels, const void*>> fixed;  // Counter, Gauge or Histogram
    CounterFamily* counters = nullptr;
    HistogramFamily* histograms = nullptr;
  };
  Family& FamilyFor(const std::string& name, const std::string& help, Type type);

  mutable std::mutex mutex_;  // the families' list; metrics themselves are atomics
  std::deque<Family> families_;
  std::deque<Counter> counters_;
  std::deque<Gauge> gauges_;
  std::deque<Histogram> histograms_;
  std::deque<CounterFamily> counterFamilies_;
  std::deque<HistogramFamily> histogramFamilies_;
};

// The content type of Render()'s text.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value as the format writes it between quotes: \\, \" and \n escaped.
std::string EscapeLabelValue(std::string_view value);

}  // namespace velkor::gateway
