// The metrics registry's text as a Prometheus scraper reads it: HELP and TYPE once per family,
// label values escaped, histogram buckets cumulative up to +Inf, which equals the count; and
// updates from several threads at once all counted.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Metrics.h"

namespace velkor::gateway {
namespace {

TEST(MetricsText, FamiliesLabelsAndBucketsAsTheFormatWants) {
  MetricRegistry registry;
  registry.AddCounter("t_sent_total", "Sent, by kind.", {{"kind", "a"}}).Add(3);
  registry.AddCounter("t_sent_total", "Sent, by kind.", {{"kind", "q\"b\\s\nn"}});
  registry.AddGauge("t_open", "Open now.\nSecond line \\ here.").Set(-2);
  Histogram& seconds = registry.AddHistogram("t_seconds", "Time taken.", {0.005, 0.5, 2});
  for (const double v : {0.001, 0.005, 0.3, 0.4, 9.0}) {  // on a bound counts in that bucket
    seconds.Observe(v);
  }
  auto& requests = registry.AddCounterFamily("t_requests_total", "Requests.");
  requests.With({{"route", "/b/{id}"}, {"code", "404"}}).Add();
  requests.With({{"route", "/a"}, {"code", "200"}}).Add(2);
  requests.With({{"route", "/a"}, {"code", "200"}}).Add();
  auto& latency = registry.AddHistogramFamily("t_latency_seconds", "Latency.", {1});
  latency.With({{"route", "/a"}}).Observe(0.5);

  EXPECT_EQ(registry.Render(),
            "# HELP t_sent_total Sent, by kind.\n"
            "# TYPE t_sent_total counter\n"
            "t_sent_total{kind=\"a\"} 3\n"
            "t_sent_total{kind=\"q\\\"b\\\\s\\nn\"} 0\n"
            "# HELP t_open Open now.\\nSecond line \\\\ here.\n"
            "# TYPE t_open gauge\n"
            "t_open -2\n"
            "# HELP t_seconds Time taken.\n"
            "# TYPE t_seconds histogram\n"
            "t_seconds_bucket{le=\"0.005\"} 2\n"
            "t_seconds_bucket{le=\"0.5\"} 4\n"
            "t_seconds_bucket{le=\"2\"} 4\n"
            "t_seconds_bucket{le=\"+Inf\"} 5\n"
            "t_seconds_sum 9.706\n"
            "t_seconds_count 5\n"
            "# HELP t_requests_total Requests.\n"
            "# TYPE t_requests_total counter\n"
            "t_requests_total{route=\"/a\",code=\"200\"} 3\n"
            "t_requests_total{route=\"/b/{id}\",code=\"404\"} 1\n"
            "# HELP t_latency_seconds Latency.\n"
            "# TYPE t_latency_seconds histogram\n"
            "t_latency_seconds_bucket{route=\"/a\",le=\"1\"} 1\n"
            "t_latency_seconds_bucket{route=\"/a\",le=\"+Inf\"} 1\n"
            "t_latency_seconds_sum{route=\"/a\"} 0.5\n"
            "t_latency_seconds_count{route=\"/a\"} 1\n");
}

TEST(MetricsText, ARegistrationThatCannotBeRenderedIsRefused) {
  MetricRegistry registry;
  registry.AddCounter("t_total", "A counter.");
  EXPECT_THROW(registry.AddGauge("t_total", "Now a gauge."), std::invalid_argument);
  EXPECT_THROW(registry.AddCounterFamily("t_total", "Now a family."), std::invalid_argument);
  EXPECT_THROW(registry.AddHistogram("t_seconds", "Unordered.", {1, 0.5}), std::invalid_argument);
}

TEST(MetricsText, UpdatesFromManyThreadsAreAllCounted) {
  MetricRegistry registry;
  Counter& counter = registry.AddCounter("t_total", "Counted.");
  Histogram& histogram = registry.AddHistogram("t_size", "Sizes.", {1, 2});
  auto& family = registry.AddCounterFamily("t_family_total", "By thread parity.");
  constexpr int kThreads = 4, kEach = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        counter.Add();
        histogram.Observe(2);
        family.With({{"parity", t % 2 ? "odd" : "even"}}).Add();
        if (i % 1000 == 0) {
          registry.Render();  // a scrape meanwhile
        }
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(counter.Value(), std::uint64_t{kThreads * kEach});
  const Histogram::Snapshot s = histogram.Read();
  EXPECT_EQ(s.cumulative, (std::vector<std::uint64_t>{0, kThreads * kEach, kThreads * kEach}));
  EXPECT_EQ(s.sum, 2.0 * kThreads * kEach);
  EXPECT_NE(registry.Render().find("t_family_total{parity=\"odd\"} 10000\n"), std::string::npos);
}

}  // namespace
}  // namespace velkor::gateway
