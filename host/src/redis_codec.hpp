#pragma once

// The wire format of the Redis client. hiredis is used only here, as the reply parser; requests
// are written by encode_command itself, straight into the buffer that goes out (hiredis's
// encoder would hand back a copy of its own). The client does its own I/O on the event loop.

#include "host/redis.hpp"

#include <hiredis/hiredis.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host::redis::detail {

// A decoded reply tree. Shared, because the Bytes cut out of it keep the whole tree alive
// instead of copying their strings.
using ReplyPtr = std::shared_ptr<const redisReply>;

// The protocol text of one command; binary-safe. An empty command is refused, since the server
// answers nothing to it and the replies would get out of step.
std::string encode_command(const std::vector<std::string_view>& args);
// The same, written at the end of `out`: a request of several commands is built in one buffer.
void append_command(std::string& out, const std::vector<std::string_view>& args);

// Incremental reply parser. Bytes may be fed in pieces of any size; `next` hands out each reply
// once it is complete.
class ReplyReader {
  public:
    ReplyReader();
    ~ReplyReader();
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    void feed(std::string_view bytes);
    // The next complete reply, or nullptr while more input is needed. Malformed input throws
    // RedisError; the reader is unusable afterwards.
    ReplyPtr next();

  private:
    [[noreturn]] void throw_reader_error() const;

    redisReader* reader_;
};

bool is_error(const redisReply& reply) noexcept;
bool is_nil(const redisReply& reply) noexcept;
std::string_view text_of(const redisReply& reply) noexcept;

// Converts `node`, a part of the tree held by `owner`, into a Reply whose strings point into
// the tree. An error reply anywhere in it throws ReplyError with the server's message.
Reply to_reply(const ReplyPtr& owner, const redisReply& node);

}  // namespace host::redis::detail
