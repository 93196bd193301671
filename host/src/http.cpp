#include "host/http.hpp"

#include <boost/beast/http/status.hpp>

#include <algorithm>
#include <cctype>

namespace host::http {
namespace {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view find_header(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (iequals(key, name))
            return value;
    return {};
}

}  // namespace

std::string_view Request::header(std::string_view name) const {
    return find_header(headers, name);
}

std::string_view Response::header(std::string_view name) const {
    return find_header(headers, name);
}

Response raw_response(Bytes body, std::string media_type, Headers headers, unsigned status) {
    return Response{status, std::move(body), std::move(media_type), std::move(headers)};
}

Response json_response(const nlohmann::ordered_json& body, unsigned status) {
    // Replace invalid UTF-8 rather than failing the answer on a stray byte in data.
    return Response{status,
                    Bytes(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)),
                    "application/json",
                    {}};
}

Response empty_response(unsigned status) {
    return Response{status, Bytes(), "", {}};
}

Response error_response(unsigned status, std::string_view detail) {
    return json_response(nlohmann::ordered_json{{"detail", detail}}, status);
}

std::string_view reason_phrase(unsigned status) {
    // Beast's table holds the phrase of every registered status.
    namespace bhttp = boost::beast::http;
    const bhttp::status known = bhttp::int_to_status(status);
    if (known == bhttp::status::unknown)
        return "Unknown";
    const auto phrase = bhttp::obsolete_reason(known);
    return {phrase.data(), phrase.size()};
}

}  // namespace host::http
