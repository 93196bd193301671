#include "host/http.hpp"

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
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 304:
            return "Not Modified";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 422:
            return "Unprocessable Entity";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return "Unknown";
    }
}

}  // namespace host::http
