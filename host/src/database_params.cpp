#include "database_params.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace host::database {
namespace {

bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9');
}

// Identifiers may also hold '$' after the first character, which matters for telling a
// dollar quote from a name such as price$eur.
bool is_identifier_char(char c) {
    return is_name_char(c) || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// Scans one statement and copies it to `out`, replacing named parameters. The SQL lexical
// rules it follows are the ones that can hide a colon: quotes, comments and dollar quotes.
class NamedParamScanner {
  public:
    NamedParamScanner(std::string_view sql, const Params& params) : sql_(sql), params_(params) {}

    TranslatedSql run() {
        result_.sql.reserve(sql_.size());
        while (pos_ < sql_.size())
            step();
        return std::move(result_);
    }

  private:
    char at(std::size_t index) const { return index < sql_.size() ? sql_[index] : '\0'; }

    void step() {
        char c = sql_[pos_];
        char next = at(pos_ + 1);
        if (c == '\'') {
            copy_quoted('\'', escape_string_prefix());
        } else if (c == '"') {
            copy_quoted('"', false);
        } else if (c == '-' && next == '-') {
            copy_line_comment();
        } else if (c == '/' && next == '*') {
            copy_block_comment();
        } else if (c == '$' && !after_identifier()) {
            copy_dollar_quoted_or_sign();
        } else if (c == ':' && next == ':') {
            copy(2);
        } else if (c == ':' && is_name_start(next)) {
            replace_name();
        } else {
            copy(plain_run());
        }
    }

    // The characters from here up to the next one that may start a quote, a comment or a name;
    // at least one.
    std::size_t plain_run() const {
        std::size_t end = pos_ + 1;
        while (end < sql_.size() && !is_special(sql_[end]))
            ++end;
        return end - pos_;
    }

    static bool is_special(char c) {
        return c == '\'' || c == '"' || c == '-' || c == '/' || c == '$' || c == ':';
    }

    void copy(std::size_t count) {
        count = std::min(count, sql_.size() - pos_);
        result_.sql.append(sql_.substr(pos_, count));
        pos_ += count;
    }

    bool after_identifier() const { return pos_ > 0 && is_identifier_char(sql_[pos_ - 1]); }

    // E'...' strings treat a backslash as an escape, so \' does not end them.
    bool escape_string_prefix() const {
        if (pos_ == 0 || (sql_[pos_ - 1] != 'E' && sql_[pos_ - 1] != 'e'))
            return false;
        return pos_ == 1 || !is_identifier_char(sql_[pos_ - 2]);
    }

    // A doubled quote inside is an escaped quote; scanning it as a close and a reopen gives
    // the same text, so it needs no case of its own.
    void copy_quoted(char quote, bool backslash_escapes) {
        std::size_t end = pos_ + 1;
        while (end < sql_.size() && sql_[end] != quote) {
            end += (backslash_escapes && sql_[end] == '\\') ? 2 : 1;
        }
        copy(end + 1 - pos_);
    }

    void copy_line_comment() {
        std::size_t end = sql_.find('\n', pos_);
        copy(end == std::string_view::npos ? sql_.size() - pos_ : end + 1 - pos_);
    }

    // Block comments nest in PostgreSQL.
    void copy_block_comment() {
        std::size_t end = pos_ + 2;
        int depth = 1;
        while (end < sql_.size() && depth > 0) {
            if (sql_[end] == '/' && at(end + 1) == '*') {
                ++depth;
                end += 2;
            } else if (sql_[end] == '*' && at(end + 1) == '/') {
                --depth;
                end += 2;
            } else {
                ++end;
            }
        }
        copy(end - pos_);
    }

    // $tag$ ... $tag$ (the tag may be empty); anything else with a '$', such as the
    // positional parameter $1, is plain text.
    void copy_dollar_quoted_or_sign() {
        std::size_t tag_end = pos_ + 1;
        if (is_name_start(at(tag_end))) {
            while (is_name_char(at(tag_end)))
                ++tag_end;
        }
        if (at(tag_end) != '$') {
            copy(1);
            return;
        }
        std::string_view tag = sql_.substr(pos_, tag_end + 1 - pos_);
        std::size_t close = sql_.find(tag, tag_end + 1);
        copy(close == std::string_view::npos ? sql_.size() - pos_ : close + tag.size() - pos_);
    }

    void replace_name() {
        std::size_t end = pos_ + 1;
        while (is_name_char(at(end)))
            ++end;
        std::string_view name = sql_.substr(pos_ + 1, end - pos_ - 1);
        result_.sql += '$';
        result_.sql += std::to_string(number_of(name));
        pos_ = end;
    }

    std::size_t number_of(std::string_view name) {
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == name)
                return i + 1;
        }
        names_.push_back(name);
        result_.values.push_back(&value_of(name));
        return names_.size();
    }

    const Value& value_of(std::string_view name) const {
        for (const auto& [key, value] : params_) {
            if (key == name)
                return value;
        }
        throw std::invalid_argument("no value for the statement parameter :" + std::string(name));
    }

    std::string_view sql_;
    const Params& params_;
    std::size_t pos_ = 0;
    std::vector<std::string_view> names_;
    TranslatedSql result_;
};

// The shortest text that reads back as the same double; PostgreSQL's spelling of the
// non-finite values, which every numeric type accepts.
std::string real_text(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;  // 32 characters hold every double
    return std::string(buffer, end);
}

std::optional<std::string> value_text(const Value& value) {
    return std::visit(
        [](const auto& v) -> std::optional<std::string> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return std::nullopt;
            } else if constexpr (std::is_same_v<T, bool>) {
                return std::string(v ? "true" : "false");
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return std::to_string(v);
            } else if constexpr (std::is_same_v<T, double>) {
                return real_text(v);
            } else {
                if (v.find('\0') != std::string::npos) {
                    throw std::invalid_argument("a text parameter cannot hold a NUL byte");
                }
                return v;
            }
        },
        value);
}

}  // namespace

TranslatedSql translate_named_params(std::string_view sql, const Params& params) {
    return NamedParamScanner(sql, params).run();
}

TextParams to_text_params(const std::vector<const Value*>& values) {
    TextParams texts;
    texts.reserve(values.size());
    for (const Value* value : values)
        texts.push_back(value_text(*value));
    return texts;
}

}  // namespace host::database
