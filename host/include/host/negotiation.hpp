#pragma once

#include "host/http.hpp"

#include <string_view>

namespace host::http {

// True when Accept-Encoding names gzip (or "*") with a weight above zero.
bool accepts_gzip(const Request& request);

// True when an If-None-Match value names `tag` (compared weakly, as that header is) or is "*".
bool matches_entity_tag(std::string_view if_none_match, std::string_view tag);

}  // namespace host::http
