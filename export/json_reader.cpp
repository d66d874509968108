#include "export/json_reader.h"

#include <cstdlib>

namespace json {

namespace {

constexpr int kMaxDepth = 32;

class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) {}

    bool Document(Value* out, std::string* error) {
        if (!ReadValue(out, 0) || (SkipSpace(), pos_ != s_.size())) {
            if (error_.empty())
                error_ = "unexpected '" + std::string(1, s_[pos_]) + "' at " + std::to_string(pos_);
            *error = error_;
            return false;
        }
        return true;
    }

private:
    void SkipSpace() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool Fail(const std::string& why) {
        if (error_.empty()) error_ = why + " at " + std::to_string(pos_);
        return false;
    }
    bool Literal(std::string_view word) {
        if (s_.substr(pos_, word.size()) != word) return Fail("bad literal");
        pos_ += word.size();
        return true;
    }

    bool ReadValue(Value* v, int depth) {
        if (depth > kMaxDepth) return Fail("nesting deeper than " + std::to_string(kMaxDepth));
        SkipSpace();
        if (pos_ >= s_.size()) return Fail("unexpected end");
        const char c = s_[pos_];
        switch (c) {
            case 'n':
                v->type = Value::Type::kNull;
                return Literal("null");
            case 't':
                v->type = Value::Type::kBool;
                v->boolean = true;
                return Literal("true");
            case 'f':
                v->type = Value::Type::kBool;
                return Literal("false");
            case '"':
                v->type = Value::Type::kString;
                return ReadString(&v->string);
            case '[':
                return ReadArray(v, depth);
            case '{':
                return ReadObject(v, depth);
            default:
                return ReadNumber(v);
        }
    }

    bool ReadNumber(Value* v) {
        const size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        while (pos_ < s_.size() &&
               ((s_[pos_] >= '0' && s_[pos_] <= '9') || s_[pos_] == '.' || s_[pos_] == 'e' ||
                s_[pos_] == 'E' || s_[pos_] == '+' || s_[pos_] == '-'))
            ++pos_;
        const std::string text(s_.substr(start, pos_ - start));
        char* end = nullptr;
        v->number = std::strtod(text.c_str(), &end);
        if (text.empty() || text == "-" || end != text.c_str() + text.size()) {
            pos_ = start;
            return Fail("bad number");
        }
        v->type = Value::Type::kNumber;
        return true;
    }

    static void AppendUtf8(std::string* out, unsigned cp) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xc0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xe0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            *out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            *out += static_cast<char>(0xf0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            *out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }

    bool Hex4(unsigned* cp) {
        if (pos_ + 4 > s_.size()) return Fail("bad escape");
        *cp = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = s_[pos_++];
            *cp <<= 4;
            if (h >= '0' && h <= '9')
                *cp |= static_cast<unsigned>(h - '0');
            else if ((h | 0x20) >= 'a' && (h | 0x20) <= 'f')
                *cp |= static_cast<unsigned>((h | 0x20) - 'a' + 10);
            else
                return Fail("bad escape");
        }
        return true;
    }

    bool ReadString(std::string* out) {
        ++pos_;  // the quote
        out->clear();
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= s_.size()) break;
            const char e = s_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    *out += e;
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'n':
                    *out += '\n';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'u': {
                    unsigned cp = 0;
                    if (!Hex4(&cp)) return false;
                    if (cp >= 0xd800 && cp < 0xdc00 && s_.substr(pos_, 2) == "\\u") {
                        pos_ += 2;
                        unsigned lo = 0;
                        if (!Hex4(&lo)) return false;
                        if (lo >= 0xdc00 && lo < 0xe000)
                            cp = 0x10000 + ((cp - 0xd800) << 10) + (lo - 0xdc00);
                        else
                            cp = 0xfffd;
                    } else if (cp >= 0xd800 && cp < 0xe000) {
                        cp = 0xfffd;  // a lone surrogate
                    }
                    AppendUtf8(out, cp);
                    break;
                }
                default:
                    return Fail("bad escape");
            }
        }
        return Fail("unterminated string");
    }

    bool ReadArray(Value* v, int depth) {
        v->type = Value::Type::kArray;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            v->items.emplace_back();
            if (!ReadValue(&v->items.back(), depth + 1)) return false;
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return Fail("expected , or ]");
        }
    }

    bool ReadObject(Value* v, int depth) {
        v->type = Value::Type::kObject;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("expected a name");
            v->members.emplace_back();
            if (!ReadString(&v->members.back().name)) return false;
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("expected :");
            ++pos_;
            if (!ReadValue(&v->members.back().value, depth + 1)) return false;
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return Fail("expected , or }");
        }
    }

    std::string_view s_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace

const Value* Value::Get(std::string_view key) const {
    for (const auto& [name, value] : members)
        if (name == key) return &value;
    return nullptr;
}

std::optional<double> Value::Number(std::string_view key) const {
    const Value* v = Get(key);
    if (v == nullptr || v->type != Type::kNumber) return std::nullopt;
    return v->number;
}

std::optional<std::string> Value::String(std::string_view key) const {
    const Value* v = Get(key);
    if (v == nullptr || v->type != Type::kString) return std::nullopt;
    return v->string;
}

bool Parse(std::string_view text, Value* out, std::string* error) {
    *out = Value();
    return Reader(text).Document(out, error);
}

}  // namespace json
