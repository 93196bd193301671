#pragma once

// The step from Beast's parsed message to the request the handlers see, shared by the server's
// connections and the reader of whole byte strings.

#include "host/http.hpp"

#include <boost/beast/http.hpp>

#include <string>

namespace host::http::detail {

using Message = boost::beast::http::request<boost::beast::http::string_body>;

// Moves the body out of `message`; the message is not read again.
Request to_request(Message& message, std::string client);

// Every X-Forwarded-For line of `message`, in order, as one list: a proxy may add a line of its
// own after the client's instead of extending it.
std::string forwarded_for(const Message& message);

// The answer to a request that could not be read: 431, 413 or 400.
unsigned status_for_read_error(const boost::system::error_code& ec);

}  // namespace host::http::detail
