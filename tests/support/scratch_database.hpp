#pragma once

#include "support.hpp"

#include <string>
#include <vector>

namespace kavara::test {

// A database of the test's own on the shared server, so that tests which write never disturb
// the shared "kavara" database; dropped again when the object goes.
class ScratchDatabase {
  public:
    explicit ScratchDatabase(const std::string& purpose);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    const std::string& url() const noexcept { return url_; }
    // Every row of the result, each field as text (null as empty). Throws on failure.
    std::vector<std::vector<std::string>> rows(const std::string& sql) const;
    // The first field of the first row.
    std::string value(const std::string& sql) const;
    long long number(const std::string& sql) const;

  private:
    std::string name_;
    std::string url_;
};

}  // namespace kavara::test
