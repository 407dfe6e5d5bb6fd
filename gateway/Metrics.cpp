#include "Metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace velkor::gateway {
namespace {

std::string Number(double value) {
  if (std::isinf(value)) {
    return value > 0 ? "+Inf" : "-Inf";
  }
  if (std::isnan(value)) {
    return "NaN";
  }
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : "NaN";
}

// HELP text: backslashes and line feeds escaped.
std::string EscapeHelp(std::string_view help) {
  std::string out;
  out.reserve(help.size());
  for (const char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// {a="x",b="y"}, with `extra` (the bucket's le) last; nothing at all for no labels.
std::string LabelText(const Labels& labels, const char* extraName = nullptr,
                      const std::string& extraValue = {}) {
  if (labels.empty() && extraName == nullptr) {
    return {};
  }
  std::string out = "{";
  for (const auto& [name, value] : labels) {
    out += (out.size() > 1 ? "," : "") + name + "=\"" + EscapeLabelValue(value) + "\"";
  }
  if (extraName != nullptr) {
    out += (out.size() > 1 ? "," : "") + std::string(extraName) + "=\"" + extraValue + "\"";
  }
  return out + "}";
}

void RenderHistogram(std::string& out, const std::string& name, const Labels& labels,
                     const Histogram& histogram) {
  const Histogram::Snapshot s = histogram.Read();
  for (std::size_t i = 0; i < s.bounds.size(); ++i) {
    out += name + "_bucket" + LabelText(labels, "le", Number(s.bounds[i])) + " " +
           std::to_string(s.cumulative[i]) + "\n";
  }
  const std::string count = std::to_string(s.cumulative.back());
  out += name + "_bucket" + LabelText(labels, "le", "+Inf") + " " + count + "\n";
  out += name + "_sum" + LabelText(labels) + " " + Number(s.sum) + "\n";
  out += name + "_count" + LabelText(labels) + " " + count + "\n";
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)),
      counts_(std::make_unique<std::atomic<std::uint64_t>[]>(bounds_.size() + 1)) {
  if (!std::is_sorted(bounds_.begin(), bounds_.end()) ||
      std::adjacent_find(bounds_.begin(), bounds_.end()) != bounds_.end()) {
    throw std::invalid_argument("histogram bounds must ascend");
  }
}

void Histogram::Observe(double value) {
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin());
  counts_[bucket].fetch_add(1, std::memory_order_relaxed);
  double sum = sum_.load(std::memory_order_relaxed);
  while (!sum_.compare_exchange_weak(sum, sum + value, std::memory_order_relaxed)) {
  }
}

Histogram::Snapshot Histogram::Read() const {
  Snapshot s;
  s.bounds = bounds_;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i <= bounds_.size(); ++i) {
    total += counts_[i].load(std::memory_order_relaxed);
    s.cumulative.push_back(total);
  }
  s.sum = sum_.load(std::memory_order_relaxed);
  return s;
}

std::vector<double> ExponentialBuckets(double start, double factor, std::size_t count) {
  std::vector<double> bounds;
  for (double bound = start; bounds.size() < count; bound *= factor) {
    bounds.push_back(bound);
  }
  return bounds;
}

Counter& MetricRegistry::CounterFamily::With(const Labels& labels) {
  std::lock_guard lock(mutex_);
  return children_.try_emplace(labels).first->second;
}

Histogram& MetricRegistry::HistogramFamily::With(const Labels& labels) {
  std::lock_guard lock(mutex_);
  return children_.try_emplace(labels, bounds_).first->second;
}

MetricRegistry::Family& MetricRegistry::FamilyFor(const std::string& name, const std::string& help,
                                                  Type type) {
  for (Family& family : families_) {
    if (family.name == name) {
      if (family.type != type || family.counters != nullptr || family.histograms != nullptr) {
        throw std::invalid_argument("metric " + name + " registered twice as another kind");
      }
      return family;
    }
  }
  return families_.emplace_back(Family{name, help, type, {}, nullptr, nullptr});
}

Counter& MetricRegistry::AddCounter(const std::string& name, const std::string& help,
                                    Labels labels) {
  std::lock_guard lock(mutex_);
  Counter& counter = counters_.emplace_back();
  FamilyFor(name, help, Type::kCounter).fixed.emplace_back(std::move(labels), &counter);
  return counter;
}

Gauge& MetricRegistry::AddGauge(const std::string& name, const std::string& help, Labels labels) {
  std::lock_guard lock(mutex_);
  Gauge& gauge = gauges_.emplace_back();
  FamilyFor(name, help, Type::kGauge).fixed.emplace_back(std::move(labels), &gauge);
  return gauge;
}

Histogram& MetricRegistry::AddHistogram(const std::string& name, const std::string& help,
                                        std::vector<double> bounds, Labels labels) {
  std::lock_guard lock(mutex_);
  Histogram& histogram = histograms_.emplace_back(std::move(bounds));
  FamilyFor(name, help, Type::kHistogram).fixed.emplace_back(std::move(labels), &histogram);
  return histogram;
}

MetricRegistry::CounterFamily& MetricRegistry::AddCounterFamily(const std::string& name,
                                                                const std::string& help) {
  std::lock_guard lock(mutex_);
  Family& family = FamilyFor(name, help, Type::kCounter);
  if (!family.fixed.empty()) {
    throw std::invalid_argument("metric " + name + " registered twice as another kind");
  }
  family.counters = &counterFamilies_.emplace_back();
  return *family.counters;
}

MetricRegistry::HistogramFamily& MetricRegistry::AddHistogramFamily(const std::string& name,
                                                                    const std::string& help,
                                                                    std::vector<double> bounds) {
  Histogram check(bounds);  // throws for bounds out of order, before anything is registered
  std::lock_guard lock(mutex_);
  Family& family = FamilyFor(name, help, Type::kHistogram);
  if (!family.fixed.empty()) {
    throw std::invalid_argument("metric " + name + " registered twice as another kind");
  }
  family.histograms = &histogramFamilies_.emplace_back();
  family.histograms->bounds_ = std::move(bounds);
  return *family.histograms;
}

std::string MetricRegistry::Render() const {
  static constexpr const char* kTypeNames[] = {"counter", "gauge", "histogram"};
  std::string out;
  std::lock_guard lock(mutex_);
  for (const Family& family : families_) {
    out += "# HELP " + family.name + " " + EscapeHelp(family.help) + "\n";
    out += "# TYPE " + family.name + " " + kTypeNames[static_cast<int>(family.type)] + "\n";
    for (const auto& [labels, metric] : family.fixed) {
      switch (family.type) {
        case Type::kCounter:
          out += family.name + LabelText(labels) + " " +
                 std::to_string(static_cast<const Counter*>(metric)->Value()) + "\n";
          break;
        case Type::kGauge:
          out += family.name + LabelText(labels) + " " +
                 std::to_string(static_cast<const Gauge*>(metric)->Value()) + "\n";
          break;
        case Type::kHistogram:
          RenderHistogram(out, family.name, labels, *static_cast<const Histogram*>(metric));
          break;
      }
    }
    if (family.counters != nullptr) {
      std::lock_guard children(family.counters->mutex_);
      for (const auto& [labels, counter] : family.counters->children_) {
        out += family.name + LabelText(labels) + " " + std::to_string(counter.Value()) + "\n";
      }
    }
    if (family.histograms != nullptr) {
      std::lock_guard children(family.histograms->mutex_);
      for (const auto& [labels, histogram] : family.histograms->children_) {
        RenderHistogram(out, family.name, labels, histogram);
      }
    }
  }
  return out;
}

}  // namespace velkor::gateway
