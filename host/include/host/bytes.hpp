#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace host {

// An immutable byte string that shares its storage. A view into a database result or a Redis
// reply keeps that result alive through `owner`, so tile bodies travel from the driver's buffer
// to the socket without being copied. Copying a Bytes copies a pointer, never the data.
class Bytes {
  public:
    Bytes() = default;
    explicit Bytes(std::string owned)
        : owner_(std::make_shared<const std::string>(std::move(owned))),
          view_(*static_cast<const std::string*>(owner_.get())) {}
    Bytes(std::shared_ptr<const void> owner, std::string_view view)
        : owner_(std::move(owner)), view_(view) {}

    std::string_view view() const noexcept { return view_; }
    const char* data() const noexcept { return view_.data(); }
    std::size_t size() const noexcept { return view_.size(); }
    bool empty() const noexcept { return view_.empty(); }
    std::string str() const { return std::string(view_); }
    // The bytes from `pos` on (at most `count` of them), sharing this storage: no copy is made.
    Bytes slice(std::size_t pos, std::size_t count = std::string_view::npos) const {
        return Bytes(owner_, view_.substr(pos, count));
    }

    friend bool operator==(const Bytes& a, const Bytes& b) noexcept { return a.view_ == b.view_; }
    friend bool operator==(const Bytes& a, std::string_view b) noexcept { return a.view_ == b; }

  private:
    std::shared_ptr<const void> owner_;
    std::string_view view_;
};

}  // namespace host
