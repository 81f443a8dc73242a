#pragma once
// Property lists: a small value model, reading XML and binary property lists
// (through libplist) and writing them in the XML format, version 1.0, the way
// the platform's own writer lays them out (tabs, sorted keys).
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::plist {

struct Value;
using Array = std::vector<Value>;
using Dict = std::map<std::string, Value>;  // keys sorted by bytes, as the writer emits them
struct Data {
    std::string bytes;
    bool operator==(const Data&) const = default;
};
using Date = std::chrono::system_clock::time_point;

struct Value {
    std::variant<bool, int64_t, double, std::string, Data, Date, Array, Dict> v;

    Value() : v(Dict{}) {}
    Value(bool b) : v(b) {}
    Value(int i) : v(int64_t{i}) {}
    Value(int64_t i) : v(i) {}
    Value(double d) : v(d) {}
    Value(const char* s) : v(std::string(s)) {}
    Value(std::string s) : v(std::move(s)) {}
    Value(Data d) : v(std::move(d)) {}
    Value(Date d) : v(d) {}
    Value(Array a) : v(std::move(a)) {}
    Value(Dict d) : v(std::move(d)) {}

    // Typed views: nullptr when the value is of another type.
    const bool* asBool() const { return std::get_if<bool>(&v); }
    const int64_t* asInteger() const { return std::get_if<int64_t>(&v); }
    const double* asReal() const { return std::get_if<double>(&v); }
    const std::string* asString() const { return std::get_if<std::string>(&v); }
    const Data* asData() const { return std::get_if<Data>(&v); }
    const Date* asDate() const { return std::get_if<Date>(&v); }
    const Array* asArray() const { return std::get_if<Array>(&v); }
    const Dict* asDict() const { return std::get_if<Dict>(&v); }
    Dict* asDict() { return std::get_if<Dict>(&v); }

    // The value under key when this is a dictionary holding it; else nullptr.
    const Value* get(const std::string& key) const;

    bool operator==(const Value&) const = default;
};

// XML or binary, told apart by the content. Nothing for anything else.
std::optional<Value> parse(std::string_view bytes);
std::string toXml(const Value& value);
std::string toBinary(const Value& value);

}  // namespace platform::plist
