#pragma once

// Counters, gauges and histograms of the whole server in the Prometheus text format. The figures
// live in one table of fixed size; when it is made shared before the workers are forked, every
// worker counts into the same table and any of them can answer a scrape with the sums. Series are
// told apart by their labels, which must come from small fixed sets (route templates, layer
// names, statuses), never from clients' addresses or raw paths. Recording allocates nothing.

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace host::metrics {

enum class Kind { counter, gauge, histogram };

struct Family {
    const char* name;
    Kind kind;
    const char* help;
};

using Labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// Requests refused by a rate limit; every module's limiter counts here, by limit.
inline constexpr Family kRateLimitRefusals{"kavara_rate_limit_refusals_total", Kind::counter,
                                           "Requests refused by a per-client rate limit."};
// Failures of the shared servers, by server and kind.
inline constexpr Family kBackendErrors{"kavara_backend_errors_total", Kind::counter,
                                       "Failed Redis commands and PostgreSQL statements."};

// Adds to a counter or a gauge (a gauge may go down).
void add(const Family& family, Labels labels, double amount = 1);

// Counts a failed PostgreSQL statement under kBackendErrors: `kind` "timeout" when it ran out of
// time, "statement" for any other failure.
inline void count_postgresql_error(std::string_view kind) {
    add(kBackendErrors, {{"server", "postgresql"}, {"kind", kind}});
}

// Maps the table into memory that forked children share. Call once, before forking; without it
// the process counts in a table of its own.
void share_between_processes();

// Records one observation of a histogram, in seconds.
void observe(const Family& family, Labels labels, double seconds);

// Every series recorded so far, in the text exposition format.
std::string exposition();

// Raises a gauge while alive, and lowers it again when destroyed.
class GaugeHold {
  public:
    GaugeHold(const Family& family, Labels labels);
    ~GaugeHold();
    GaugeHold(const GaugeHold&) = delete;
    GaugeHold& operator=(const GaugeHold&) = delete;

  private:
    void* slot_;
};

}  // namespace host::metrics
