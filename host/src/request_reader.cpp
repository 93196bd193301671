#include "host/request_reader.hpp"

#include "request_message.hpp"

#include <boost/asio/buffer.hpp>

#include <cctype>

namespace host::http {

namespace bhttp = boost::beast::http;

namespace detail {

Request to_request(Message& message, std::string client) {
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos)
        request.query = request.target.substr(question + 1);
    for (const auto& field : message) {
        std::string name(field.name_string());
        for (auto& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        request.headers.emplace_back(std::move(name), std::string(field.value()));
    }
    request.body = std::move(message.body());
    request.client_host = std::move(client);
    return request;
}

std::string forwarded_for(const Message& message) {
    std::string list;
    const auto [first, last] = message.equal_range("X-Forwarded-For");
    for (auto line = first; line != last; ++line)
        list.append(list.empty() ? "" : ", ").append(line->value());
    return list;
}

unsigned status_for_read_error(const boost::system::error_code& ec) {
    if (ec == bhttp::error::header_limit)
        return 431;
    if (ec == bhttp::error::body_limit)
        return 413;
    return 400;
}

}  // namespace detail

ReadOutcome read_request(std::string_view bytes, const std::string& peer,
                         const ServerOptions& options) {
    bhttp::request_parser<bhttp::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(options.header_limit));
    parser.body_limit(options.body_limit);
    parser.eager(true);
    ReadOutcome outcome;
    boost::system::error_code ec;
    while (!parser.is_done() && outcome.used < bytes.size()) {
        const auto taken = parser.put(
            boost::asio::buffer(bytes.data() + outcome.used, bytes.size() - outcome.used), ec);
        outcome.used += taken;
        if (ec == bhttp::error::need_more) {
            ec = {};
            break;  // everything the peer sent is in: the end of the bytes decides below
        }
        if (ec) {
            outcome.refusal = detail::status_for_read_error(ec);
            return outcome;
        }
    }
    if (!parser.is_done()) {
        // A peer that closes an idle connection sent no request; one that stops inside a
        // request is answered 400, as the server does.
        if (!parser.got_some())
            return outcome;
        parser.put_eof(ec);
        if (ec)
            outcome.refusal = detail::status_for_read_error(ec);
        if (ec || !parser.is_done())
            return outcome;
    }
    auto& message = parser.get();
    outcome.keep_alive = message.keep_alive();
    const std::string client =
        client_address(peer, detail::forwarded_for(message), options.trusted_proxies);
    outcome.request = detail::to_request(message, client);
    return outcome;
}

}  // namespace host::http
