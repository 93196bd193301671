#pragma once

// What the site-plan tests share: a database of their own holding the plots of fixture.sql,
// sessions on it or on the shared seeded database, and requests answered by the site-plan routes
// in-process.

#include "scratch_database.hpp"

#include "host/database.hpp"
#include "host/http.hpp"
#include "host/router.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace kavara::test::site_plans {

// The scratch database with the schema and fixture.sql, made once per test program and dropped
// at its end, so that the shared "kavara" database is never written to.
const ScratchDatabase& fixture_database();

// A pool on the database of `url`, one per database for the whole program.
std::shared_ptr<host::database::Pool> pool_for(const std::string& url);

// Requests answered by the site-plan routes mounted as the server mounts them, whose sessions
// come from the pool of `url`.
void route_requests_to(const std::string& url);
host::http::Request get_request(std::string_view target);
host::http::Response get(std::string_view target);
const host::http::App& app();

nlohmann::ordered_json json_body(const host::http::Response& response);
std::string detail(const host::http::Response& response);

}  // namespace kavara::test::site_plans
