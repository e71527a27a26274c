#include "app/json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace app::json {

namespace {

constexpr size_t kMaxText = 1u << 20;
constexpr int kMaxDepth = 64;

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string Number(double n) {
    if (!std::isfinite(n)) return "null";
    if (n == std::floor(n) && std::fabs(n) < 9e15) {
        char text[32];
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(n));
        return text;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", n);
    return text;
}

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    std::optional<Value> Document() {
        Blank();
        std::optional<Value> v = Any(0);
        Blank();
        if (!v || at_ != s_.size()) return std::nullopt;
        return v;
    }

private:
    void Blank() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n')) ++at_;
    }
    bool Take(char c) {
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view w) {
        if (s_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }

    std::optional<Value> Any(int depth) {
        if (depth > kMaxDepth || at_ >= s_.size()) return std::nullopt;
        switch (s_[at_]) {
        case '{':
            return ObjectValue(depth);
        case '[':
            return ArrayValue(depth);
        case '"': {
            std::optional<std::string> text = String();
            if (!text) return std::nullopt;
            return Value(std::move(*text));
        }
        case 't':
            return Word("true") ? std::optional<Value>(Value(true)) : std::nullopt;
        case 'f':
            return Word("false") ? std::optional<Value>(Value(false)) : std::nullopt;
        case 'n':
            return Word("null") ? std::optional<Value>(Value()) : std::nullopt;
        default:
            return NumberValue();
        }
    }

    std::optional<Value> ObjectValue(int depth) {
        ++at_;
        Value object = Value::Object();
        Blank();
        if (Take('}')) return object;
        for (;;) {
            Blank();
            if (at_ >= s_.size() || s_[at_] != '"') return std::nullopt;
            std::optional<std::string> key = String();
            if (!key) return std::nullopt;
            Blank();
            if (!Take(':')) return std::nullopt;
            Blank();
            std::optional<Value> v = Any(depth + 1);
            if (!v) return std::nullopt;
            object.Set(*key, std::move(*v));
            Blank();
            if (Take('}')) return object;
            if (!Take(',')) return std::nullopt;
        }
    }

    std::optional<Value> ArrayValue(int depth) {
        ++at_;
        Value array = Value::Array();
        Blank();
        if (Take(']')) return array;
        for (;;) {
            Blank();
            std::optional<Value> v = Any(depth + 1);
            if (!v) return std::nullopt;
            array.Push(std::move(*v));
            Blank();
            if (Take(']')) return array;
            if (!Take(',')) return std::nullopt;
        }
    }

    std::optional<uint32_t> Hex4() {
        if (at_ + 4 > s_.size()) return std::nullopt;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[at_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
            else return std::nullopt;
        }
        return v;
    }

    std::optional<std::string> String() {
        ++at_;  // the opening quote
        std::string out;
        while (at_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[at_]);
            if (c == '"') {
                ++at_;
                return out;
            }
            if (c < 0x20) return std::nullopt;
            if (c != '\\') {
                const size_t n = Utf8Length(s_, at_);
                if (n == 0) return std::nullopt;
                out.append(s_.substr(at_, n));
                at_ += n;
                continue;
            }
            if (++at_ >= s_.size()) return std::nullopt;
            const char e = s_[at_++];
            switch (e) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                std::optional<uint32_t> cp = Hex4();
                if (!cp) return std::nullopt;
                if (*cp >= 0xD800 && *cp <= 0xDBFF) {
                    // A high surrogate must be followed by its low one.
                    if (!Word("\\u")) return std::nullopt;
                    std::optional<uint32_t> low = Hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
                    *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
                } else if (*cp >= 0xDC00 && *cp <= 0xDFFF) {
                    return std::nullopt;
                }
                AppendUtf8(out, *cp);
                break;
            }
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<Value> NumberValue() {
        const size_t start = at_;
        Take('-');
        if (Take('0')) {
        } else if (at_ < s_.size() && s_[at_] >= '1' && s_[at_] <= '9') {
            while (at_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[at_]))) ++at_;
        } else {
            return std::nullopt;
        }
        if (Take('.')) {
            if (at_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[at_]))) return std::nullopt;
            while (at_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[at_]))) ++at_;
        }
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            if (!Take('+')) Take('-');
            if (at_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[at_]))) return std::nullopt;
            while (at_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[at_]))) ++at_;
        }
        const std::string text(s_.substr(start, at_ - start));
        const double n = std::strtod(text.c_str(), nullptr);
        // A number beyond the doubles (1e400) cannot be written back as the same value.
        if (!std::isfinite(n)) return std::nullopt;
        return Value(n);
    }

    std::string_view s_;
    size_t at_ = 0;
};

const Value& NullValue() {
    static const Value null;
    return null;
}

}  // namespace

Value& Value::Set(const std::string& key, Value value) {
    kind_ = Kind::Object;
    for (auto& m : members_)
        if (m.first == key) {
            m.second = std::move(value);
            return *this;
        }
    members_.emplace_back(key, std::move(value));
    return *this;
}

Value& Value::Push(Value value) {
    kind_ = Kind::Array;
    items_.push_back(std::move(value));
    return *this;
}

const Value& Value::operator[](const std::string& key) const {
    for (const auto& m : members_)
        if (m.first == key) return m.second;
    return NullValue();
}

bool Value::Has(const std::string& key) const {
    for (const auto& m : members_)
        if (m.first == key) return true;
    return false;
}

std::string Value::Dump() const {
    switch (kind_) {
    case Kind::Null:
        return "null";
    case Kind::Bool:
        return bool_ ? "true" : "false";
    case Kind::Number:
        return Number(number_);
    case Kind::String:
        return Quote(string_);
    case Kind::Array: {
        std::string out = "[";
        for (size_t i = 0; i < items_.size(); ++i) out += (i ? "," : "") + items_[i].Dump();
        return out + "]";
    }
    case Kind::Object: {
        std::string out = "{";
        for (size_t i = 0; i < members_.size(); ++i)
            out += (i ? "," : "") + Quote(members_[i].first) + ":" + members_[i].second.Dump();
        return out + "}";
    }
    }
    return "null";
}

bool Value::operator==(const Value& other) const {
    if (kind_ != other.kind_) return false;
    switch (kind_) {
    case Kind::Null:
        return true;
    case Kind::Bool:
        return bool_ == other.bool_;
    case Kind::Number:
        return number_ == other.number_;
    case Kind::String:
        return string_ == other.string_;
    case Kind::Array:
        return items_ == other.items_;
    case Kind::Object:
        return members_ == other.members_;
    }
    return false;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            }
            }
            ++i;
        } else {
            const size_t n = Utf8Length(text, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
                ++i;
            } else {
                out.append(text.substr(i, n));
                i += n;
            }
        }
    }
    return out + "\"";
}

std::optional<Value> Parse(std::string_view text) {
    if (text.size() > kMaxText) return std::nullopt;
    return Parser(text).Document();
}

}  // namespace app::json
