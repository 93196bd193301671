#pragma once

#include "host/http.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

namespace host::http {

// The media type of a file name by its extension; "application/octet-stream" when unknown.
std::string_view media_type_for(std::string_view file_name);

// Serves the files of one directory (a built web page). "/" is its index.html. Paths are
// percent-decoded and must stay inside the root: "..", hidden names, back-slashes, NUL bytes and
// symbolic links leading out (or to hidden names) are refused as if the file did not exist; the
// gzip copy beside a file is held to the same rules. Answers carry an ETag and honour
// If-None-Match; names with a content hash ("name-0123abcd.js", as the page's build writes them)
// are cached for a year, index pages must be revalidated, anything else for an hour.
class StaticFiles {
  public:
    // Throws std::invalid_argument when `root` is not a directory.
    explicit StaticFiles(const std::filesystem::path& root);

    const std::filesystem::path& root() const noexcept { return root_; }

    // The answer for a GET of `request.path`, or nothing when no file matches.
    std::optional<Response> serve(const Request& request) const;

  private:
    std::optional<std::filesystem::path> resolve(std::string_view request_path) const;
    // The canonical path of a regular file inside the root, reached without a hidden name, or
    // nothing.
    std::optional<std::filesystem::path> servable(const std::filesystem::path& path) const;
    std::filesystem::path root_;
};

}  // namespace host::http
