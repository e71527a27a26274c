// JSON values for the program's machine output (one event per line) and for the supervisor that
// reads the events of the programs it runs. Texts from a device may hold anything: what is
// written is always valid JSON (controls escaped, invalid UTF-8 replaced by U+FFFD), and what is
// read is bounded in depth and size and never fails by more than saying so.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::json {

class Value {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : kind_(Kind::Bool), bool_(b) {}
    Value(int n) : kind_(Kind::Number), number_(n) {}
    Value(int64_t n) : kind_(Kind::Number), number_(static_cast<double>(n)) {}
    Value(uint64_t n) : kind_(Kind::Number), number_(static_cast<double>(n)) {}
    Value(double n) : kind_(Kind::Number), number_(n) {}
    Value(const char* s) : kind_(Kind::String), string_(s) {}
    Value(std::string s) : kind_(Kind::String), string_(std::move(s)) {}
    Value(std::string_view s) : kind_(Kind::String), string_(s) {}

    static Value Array() {
        Value v;
        v.kind_ = Kind::Array;
        return v;
    }
    static Value Object() {
        Value v;
        v.kind_ = Kind::Object;
        return v;
    }

    Kind kind() const { return kind_; }
    bool IsNull() const { return kind_ == Kind::Null; }
    bool IsString() const { return kind_ == Kind::String; }
    bool IsNumber() const { return kind_ == Kind::Number; }
    bool IsObject() const { return kind_ == Kind::Object; }
    bool IsArray() const { return kind_ == Kind::Array; }
    bool IsBool() const { return kind_ == Kind::Bool; }

    bool AsBool() const { return bool_; }
    double AsNumber() const { return number_; }
    int64_t AsInt() const { return static_cast<int64_t>(number_); }
    const std::string& AsString() const { return string_; }
    const std::vector<Value>& Items() const { return items_; }
    // Members in the order they were set.
    const std::vector<std::pair<std::string, Value>>& Members() const { return members_; }

    // Object: sets a member (replacing one of the same name); returns *this for chaining.
    Value& Set(const std::string& key, Value value);
    // Array: appends.
    Value& Push(Value value);
    // Object: the member, or null when there is none (or this is no object).
    const Value& operator[](const std::string& key) const;
    bool Has(const std::string& key) const;

    // Compact JSON text (one line).
    std::string Dump() const;

    bool operator==(const Value& other) const;

private:
    Kind kind_ = Kind::Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<Value> items_;
    std::vector<std::pair<std::string, Value>> members_;
};

// A JSON string literal of text: quotes, backslashes and controls escaped, valid UTF-8 kept,
// every invalid byte replaced by U+FFFD.
std::string Quote(std::string_view text);

// Parses one JSON text (leading and trailing blanks allowed). Nothing when it is not JSON, is
// nested deeper than 64 levels, or is longer than 1 MiB.
std::optional<Value> Parse(std::string_view text);

}  // namespace app::json
