#include "redis_codec.hpp"

#include <charconv>
#include <stdexcept>
#include <string>

namespace host::redis::detail {

namespace {

void append_decimal(std::string& out, std::size_t value) {
    char digits[20];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;  // 20 digits hold every size
    out.append(digits, end);
}

}  // namespace

// The protocol's request form: "*<count>\r\n", then "$<length>\r\n<bytes>\r\n" per argument.
// Written straight into one buffer sized up front, so a tile's bytes are copied once.
void append_command(std::string& out, const std::vector<std::string_view>& args) {
    if (args.empty())
        throw std::invalid_argument("a Redis command needs at least its name");
    std::size_t size = 1 + 20 + 2;
    for (auto arg : args)
        size += 1 + 20 + 2 + arg.size() + 2;
    out.reserve(out.size() + size);
    out += '*';
    append_decimal(out, args.size());
    out += "\r\n";
    for (auto arg : args) {
        out += '$';
        append_decimal(out, arg.size());
        out += "\r\n";
        out.append(arg);
        out += "\r\n";
    }
}

std::string encode_command(const std::vector<std::string_view>& args) {
    std::string out;
    append_command(out, args);
    return out;
}

namespace {

// hiredis allocates an array's element slots as soon as it reads the array's length, so a
// reply that merely claims a billion elements would take gigabytes before any of them came. No
// reply this client reads comes near this (SCAN pages and transactions hold a few hundred).
constexpr int kMaxArrayElements = 1 << 20;

const redisReplyObjectFunctions* library_functions = nullptr;

void* create_bounded_array(const redisReadTask* task, int elements) {
    if (elements < 0 || elements > kMaxArrayElements)
        return nullptr;  // the reader fails as out of memory, and the connection is dropped
    return library_functions->createArray(task, elements);
}

// hiredis's own reply builders, with the array length bounded.
redisReplyObjectFunctions* bounded_functions(const redisReader* reader) {
    static redisReplyObjectFunctions functions = [reader] {
        library_functions = reader->fn;
        redisReplyObjectFunctions bounded = *reader->fn;
        bounded.createArray = create_bounded_array;
        return bounded;
    }();
    return &functions;
}

}  // namespace

// hiredis words its own messages ("Protocol error, got ..."); they are passed on as they are.
void ReplyReader::throw_reader_error() const {
    if (reader_->err == REDIS_ERR_OOM)
        throw RedisError("Reply too large: an array of more than " +
                         std::to_string(kMaxArrayElements) + " elements, or out of memory");
    throw RedisError(redisReaderGetError(reader_));
}

ReplyReader::ReplyReader() : reader_(redisReaderCreate()) {
    if (!reader_)
        throw std::bad_alloc();
    reader_->fn = bounded_functions(reader_);
}

ReplyReader::~ReplyReader() {
    redisReaderFree(reader_);
}

void ReplyReader::feed(std::string_view bytes) {
    if (redisReaderFeed(reader_, bytes.data(), bytes.size()) != REDIS_OK)
        throw_reader_error();
}

ReplyPtr ReplyReader::next() {
    void* reply = nullptr;
    if (redisReaderGetReply(reader_, &reply) != REDIS_OK)
        throw_reader_error();
    if (!reply)
        return nullptr;
    return ReplyPtr(static_cast<const redisReply*>(reply),
                    [](const redisReply* r) { freeReplyObject(const_cast<redisReply*>(r)); });
}

bool is_error(const redisReply& reply) noexcept {
    return reply.type == REDIS_REPLY_ERROR;
}

bool is_nil(const redisReply& reply) noexcept {
    return reply.type == REDIS_REPLY_NIL;
}

std::string_view text_of(const redisReply& reply) noexcept {
    return reply.str ? std::string_view(reply.str, reply.len) : std::string_view();
}

Reply to_reply(const ReplyPtr& owner, const redisReply& node) {
    Reply reply;
    switch (node.type) {
        case REDIS_REPLY_ERROR:
            throw ReplyError(std::string(text_of(node)));
        case REDIS_REPLY_STRING:
            reply.type = Reply::Type::string;
            reply.str = Bytes(owner, text_of(node));
            break;
        case REDIS_REPLY_STATUS:
            reply.type = Reply::Type::status;
            reply.str = Bytes(owner, text_of(node));
            break;
        case REDIS_REPLY_INTEGER:
            reply.type = Reply::Type::integer;
            reply.integer = node.integer;
            break;
        case REDIS_REPLY_ARRAY:
            reply.type = Reply::Type::array;
            reply.elements.reserve(node.elements);
            for (std::size_t i = 0; i < node.elements; ++i)
                reply.elements.push_back(to_reply(owner, *node.element[i]));
            break;
        case REDIS_REPLY_NIL:
            break;
        default:
            throw RedisError("Protocol error: unknown reply type " + std::to_string(node.type));
    }
    return reply;
}

}  // namespace host::redis::detail
