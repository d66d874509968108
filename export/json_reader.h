// A small JSON reader for the broker's payloads in the programs without Qt (the
// gateway): the whole text into a tree, with the depth and size bounded so that a
// hostile payload cannot exhaust the stack. Pure code over strings. Qt-free.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace json {

struct Member;

struct Value {
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
    Type type = Type::kNull;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Value> items;                            // an array's
    std::vector<Member> members;  // an object's, in order

    // The member named key of an object; nullptr when there is none (or no object).
    const Value* Get(std::string_view key) const;
    // The member as a number or a string; nothing when missing, null or of another type.
    std::optional<double> Number(std::string_view key) const;
    std::optional<std::string> String(std::string_view key) const;
};

// Apart from Value: a pair's members must be complete where it is named.
struct Member {
    std::string name;
    Value value;
};

// False with a reason ("unexpected 'x' at 12", "nesting deeper than 32") for anything
// that is not one whole JSON value.
bool Parse(std::string_view text, Value* out, std::string* error);

}  // namespace json
