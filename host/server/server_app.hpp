#pragma once

#include "host/router.hpp"

#include <filesystem>
#include <memory>

namespace kavara::server {

// The application of kavara-server: the deliverables loaded and their routes mounted, the API
// document, the site-plan routes and, when `web_root` names a folder, the demo page's files
// (GET / and every path no route claims). Throws when a deliverable fails to load.
std::unique_ptr<host::http::App> build_app(const std::filesystem::path& web_root = {});

}  // namespace kavara::server
