#include "host/metrics.hpp"

#include <fmt/format.h>

#include <sys/mman.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>
#include <vector>

namespace host::metrics {
namespace {

// Upper bounds of the histogram buckets, in seconds.
constexpr std::array<double, 14> kBuckets{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                          0.25,  0.5,    1,     2.5,  5,     10,   30};
constexpr std::size_t kSlots = 2048;
constexpr std::size_t kSeriesText = 232;  // family name, NUL, labels
constexpr std::size_t kCount = kBuckets.size();
constexpr std::size_t kSum = kBuckets.size() + 1;
// Counters and gauges are held as fixed-point millionths, so sums of fractions stay exact.
constexpr double kScale = 1e6;

enum : std::uint32_t { empty = 0, claimed = 1, ready = 2 };

struct Slot {
    std::atomic<std::uint32_t> state;
    std::uint32_t kind;
    // A literal of the program: forked workers share its address.
    const char* help;
    char series[kSeriesText];
    std::atomic<std::int64_t> values[kBuckets.size() + 2];
};

Slot* table() {
    static Slot* slots = [] {
        auto* memory = new Slot[kSlots]();
        return memory;
    }();
    return slots;
}
Slot*& shared_table() {
    static Slot* slots = nullptr;
    return slots;
}
Slot* slots() {
    Slot* shared = shared_table();
    return shared ? shared : table();
}

// "name\0label=\"value\",..." on the caller's buffer; false when it does not fit.
bool series_text(const Family& family, Labels labels, std::array<char, kSeriesText>& out) {
    auto* end = fmt::format_to_n(out.data(), out.size() - 1, "{}", family.name).out;
    *end++ = '\0';
    bool first = true;
    for (const auto& [name, value] : labels) {
        const auto left = static_cast<std::size_t>(out.data() + out.size() - 1 - end);
        auto result = fmt::format_to_n(end, left, "{}{}=\"", first ? "" : ",", name);
        if (result.size >= left)
            return false;
        end = result.out;
        for (char c : value) {
            const bool escaped = c == '"' || c == '\\' || c == '\n';
            if (end + (escaped ? 3 : 2) > out.data() + out.size() - 1)
                return false;
            if (escaped)
                *end++ = '\\';
            *end++ = c == '\n' ? 'n' : c;
        }
        *end++ = '"';
        first = false;
    }
    *end = '\0';
    return true;
}

std::size_t series_size(const char* text) {
    const std::size_t name = std::strlen(text);
    return name + 1 + std::strlen(text + name + 1);
}

std::uint64_t hash_of(const char* text, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(text[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

// The slot of a series, claimed on first use; null when the table is full.
Slot* slot_for(const Family& family, Labels labels) {
    std::array<char, kSeriesText> text{};
    if (!series_text(family, labels, text))
        return nullptr;
    const std::size_t size = series_size(text.data());
    Slot* all = slots();
    const std::size_t start = hash_of(text.data(), size) % kSlots;
    for (std::size_t probe = 0; probe < kSlots; ++probe) {
        Slot& slot = all[(start + probe) % kSlots];
        std::uint32_t state = slot.state.load(std::memory_order_acquire);
        if (state == empty) {
            if (slot.state.compare_exchange_strong(state, claimed, std::memory_order_acq_rel)) {
                slot.kind = static_cast<std::uint32_t>(family.kind);
                slot.help = family.help;
                std::memcpy(slot.series, text.data(), size + 1);
                slot.state.store(ready, std::memory_order_release);
                return &slot;
            }
        }
        while (state == claimed)
            state = slot.state.load(std::memory_order_acquire);
        if (std::memcmp(slot.series, text.data(), size + 1) == 0)
            return &slot;
    }
    return nullptr;
}

void add_to(Slot* slot, double amount) {
    if (slot)
        slot->values[0].fetch_add(std::llround(amount * kScale), std::memory_order_relaxed);
}

std::string number(std::int64_t fixed_point) {
    return fmt::format("{}", static_cast<double>(fixed_point) / kScale);
}

void write_histogram(std::string& out, const Slot& slot, std::string_view name,
                     std::string_view labels) {
    const std::string_view comma = labels.empty() ? "" : ",";
    std::int64_t cumulative = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        cumulative += slot.values[i].load(std::memory_order_relaxed);
        fmt::format_to(std::back_inserter(out), "{}_bucket{{{}{}le=\"{}\"}} {}\n", name, labels,
                       comma, kBuckets[i], cumulative);
    }
    const auto count = slot.values[kCount].load(std::memory_order_relaxed);
    fmt::format_to(std::back_inserter(out), "{}_bucket{{{}{}le=\"+Inf\"}} {}\n", name, labels,
                   comma, count);
    const std::string braces = labels.empty() ? "" : fmt::format("{{{}}}", labels);
    fmt::format_to(std::back_inserter(out), "{}_sum{} {}\n{}_count{} {}\n", name, braces,
                   number(slot.values[kSum].load(std::memory_order_relaxed)), name, braces, count);
}

const char* type_name(std::uint32_t kind) {
    switch (static_cast<Kind>(kind)) {
        case Kind::counter:
            return "counter";
        case Kind::gauge:
            return "gauge";
        case Kind::histogram:
            return "histogram";
    }
    return "untyped";
}

}  // namespace

void share_between_processes() {
    if (shared_table())
        return;
    void* memory = ::mmap(nullptr, sizeof(Slot) * kSlots, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error("metrics: cannot map shared memory");
    shared_table() = new (memory) Slot[kSlots]();
}

void add(const Family& family, Labels labels, double amount) {
    add_to(slot_for(family, labels), amount);
}

void observe(const Family& family, Labels labels, double seconds) {
    Slot* slot = slot_for(family, labels);
    if (!slot)
        return;
    const auto bucket =
        std::lower_bound(kBuckets.begin(), kBuckets.end(), seconds) - kBuckets.begin();
    if (static_cast<std::size_t>(bucket) < kBuckets.size())
        slot->values[bucket].fetch_add(1, std::memory_order_relaxed);
    slot->values[kCount].fetch_add(1, std::memory_order_relaxed);
    slot->values[kSum].fetch_add(std::llround(seconds * kScale), std::memory_order_relaxed);
}

std::string exposition() {
    // Series grouped by family, families in the order of their first series' slot name.
    std::vector<const Slot*> ready_slots;
    Slot* all = slots();
    for (std::size_t i = 0; i < kSlots; ++i)
        if (all[i].state.load(std::memory_order_acquire) == ready)
            ready_slots.push_back(&all[i]);
    std::sort(ready_slots.begin(), ready_slots.end(), [](const Slot* a, const Slot* b) {
        const int by_name = std::strcmp(a->series, b->series);
        if (by_name != 0)
            return by_name < 0;
        return std::strcmp(a->series + std::strlen(a->series) + 1,
                           b->series + std::strlen(b->series) + 1) < 0;
    });
    std::string out;
    std::string_view family;
    for (const Slot* slot : ready_slots) {
        const std::string_view name(slot->series);
        const std::string_view labels(slot->series + name.size() + 1);
        if (name != family) {
            fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name,
                           slot->help, name, type_name(slot->kind));
            family = name;
        }
        if (static_cast<Kind>(slot->kind) == Kind::histogram) {
            write_histogram(out, *slot, name, labels);
        } else if (labels.empty()) {
            fmt::format_to(std::back_inserter(out), "{} {}\n", name,
                           number(slot->values[0].load(std::memory_order_relaxed)));
        } else {
            fmt::format_to(std::back_inserter(out), "{}{{{}}} {}\n", name, labels,
                           number(slot->values[0].load(std::memory_order_relaxed)));
        }
    }
    return out;
}

GaugeHold::GaugeHold(const Family& family, Labels labels) : slot_(slot_for(family, labels)) {
    add_to(static_cast<Slot*>(slot_), 1);
}

GaugeHold::~GaugeHold() {
    add_to(static_cast<Slot*>(slot_), -1);
}

}  // namespace host::metrics
