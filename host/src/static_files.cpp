#include "host/static_files.hpp"

#include "host/negotiation.hpp"
#include "text.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace host::http {
namespace fs = std::filesystem;

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 17> kMediaTypes{{
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".json", "application/json"},
    {".map", "application/json"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".webp", "image/webp"},
    {".ico", "image/x-icon"},
    {".pbf", "application/x-protobuf"},
    {".woff2", "font/woff2"},
    {".txt", "text/plain; charset=utf-8"},
    {".wasm", "application/wasm"},
    {".pdf", "application/pdf"},
}};

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        int high = hex_value(text[i + 1]);
        int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// Segments a page may name: no parent or current directory, no hidden files, nothing that a
// file system could read as a separator or a terminator.
bool acceptable_segment(std::string_view segment) {
    if (segment.empty() || segment.front() == '.')
        return false;
    for (char c : segment)
        if (c == '\\' || c == '\0' || static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}

// Whether `path` lies below `root` with no hidden name on the way (both canonical).
bool is_visible_inside(const fs::path& path, const fs::path& root) {
    auto [root_end, path_it] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    if (root_end != root.end() || path_it == path.end())
        return false;
    return std::none_of(path_it, path.end(),
                        [](const fs::path& name) { return name.native().front() == '.'; });
}

std::string cache_control_for(const fs::path& file) {
    static const std::regex hashed(R"(.+-[0-9a-f]{8,}\.[A-Za-z0-9]+)");
    const std::string name = file.filename().string();
    if (file.extension() == ".html")
        return "no-cache";
    if (std::regex_match(name, hashed))
        return "public, max-age=31536000, immutable";
    return "public, max-age=3600";
}

using detail::trim_blanks;

// Size and modification time identify a version of a file well enough for revalidation.
std::string entity_tag(std::uintmax_t size, fs::file_time_type modified) {
    std::ostringstream tag;
    tag << '"' << std::hex << size << '-' << modified.time_since_epoch().count() << '"';
    return tag.str();
}

std::optional<std::string> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return content;
}

}  // namespace

std::string_view media_type_for(std::string_view file_name) {
    const auto dot = file_name.rfind('.');
    if (dot != std::string_view::npos) {
        std::string extension(file_name.substr(dot));
        for (char& c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const auto& [known, type] : kMediaTypes)
            if (extension == known)
                return type;
    }
    return "application/octet-stream";
}

StaticFiles::StaticFiles(const fs::path& root) {
    std::error_code ec;
    root_ = fs::canonical(root, ec);
    if (ec || !fs::is_directory(root_))
        throw std::invalid_argument("web root '" + root.string() + "' is not a directory");
}

std::optional<fs::path> StaticFiles::resolve(std::string_view request_path) const {
    auto decoded = percent_decode(request_path);
    if (!decoded || decoded->empty() || decoded->front() != '/')
        return std::nullopt;
    fs::path relative;
    std::string_view rest(*decoded);
    rest.remove_prefix(1);
    if (rest.empty())
        relative = "index.html";
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        std::string_view segment = rest.substr(0, slash);
        if (!acceptable_segment(segment))
            return std::nullopt;
        relative /= std::string(segment);
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
        if (rest.empty())
            relative /= "index.html";  // "/docs/" is the index of that folder
    }
    return servable(root_ / relative);
}

std::optional<fs::path> StaticFiles::servable(const fs::path& path) const {
    std::error_code ec;
    fs::path file = fs::canonical(path, ec);
    if (ec || !is_visible_inside(file, root_) || !fs::is_regular_file(file, ec))
        return std::nullopt;
    return file;
}

std::optional<Response> StaticFiles::serve(const Request& request) const {
    if (request.method != "GET")
        return std::nullopt;
    auto file = resolve(request.path);
    if (!file)
        return std::nullopt;
    // The page's build writes a gzip copy beside each text file; clients that take gzip get it,
    // when the copy passes the same checks as the file itself.
    fs::path variant = *file;
    variant += ".gz";
    const std::optional<fs::path> gzip_copy =
        accepts_gzip(request) ? servable(variant) : std::nullopt;
    const bool compressed = gzip_copy.has_value();
    const fs::path& sent = compressed ? *gzip_copy : *file;
    std::error_code ec;
    const auto size = fs::file_size(sent, ec);
    const auto modified = fs::last_write_time(sent, ec);
    if (ec)
        return std::nullopt;
    const std::string tag = entity_tag(size, modified);
    Headers headers{{"Cache-Control", cache_control_for(*file)},
                    {"ETag", tag},
                    {"Vary", "Accept-Encoding"},
                    {"X-Content-Type-Options", "nosniff"}};
    if (compressed)
        headers.emplace_back("Content-Encoding", "gzip");
    if (auto condition = request.header("if-none-match");
        !condition.empty() && matches_entity_tag(condition, tag)) {
        Response not_modified = empty_response(304);
        not_modified.headers = std::move(headers);
        return not_modified;
    }
    auto content = read_file(sent);
    if (!content)
        return std::nullopt;
    return raw_response(Bytes(std::move(*content)), std::string(media_type_for(file->string())),
                        std::move(headers));
}

}  // namespace host::http
