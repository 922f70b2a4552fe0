// JsonValue: a parsed JSON document. Scalars are held inline; strings, arrays
// and objects live on the heap, so a value is 16 bytes and a large array of
// numbers costs little more than its text.
//
// Objects keep their members in ascending byte order of the keys (compared as
// unsigned bytes; a prefix sorts first), with unique keys: when a text repeats
// a key, the last occurrence wins.
#ifndef TALPEN_JSON_VALUE_H_
#define TALPEN_JSON_VALUE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talpen::json {

enum class JsonKind : uint8_t { Null, Bool, Number, String, Array, Object };

// The three classes of JSON numbers. Unsigned: an integer literal without '-'
// up to 2^64-1. Negative: an integer literal with '-' from -1 down to -2^63.
// Double: everything else (fraction, exponent, "-0", out-of-range integers),
// always finite.
enum class NumberClass : uint8_t { Unsigned, Negative, Double };

class JsonValue {
 public:
  struct Member;

  JsonValue() noexcept : kind_(JsonKind::Null), nclass_(NumberClass::Unsigned) {
    p_.u = 0;
  }
  ~JsonValue();
  JsonValue(const JsonValue& other);  // deep copy
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;

  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b);
  static JsonValue unsigned_integer(uint64_t u);
  // REQUIRES: i < 0
  static JsonValue negative_integer(int64_t i);
  // REQUIRES: d is finite
  static JsonValue floating(double d);
  static JsonValue string(std::string s);
  static JsonValue array(std::vector<JsonValue> elements);
  // Members in any order; of repeated keys the last in the vector wins.
  static JsonValue object(std::vector<Member> members);

  JsonKind kind() const { return kind_; }
  bool is_null() const { return kind_ == JsonKind::Null; }
  bool is_bool() const { return kind_ == JsonKind::Bool; }
  bool is_number() const { return kind_ == JsonKind::Number; }
  bool is_string() const { return kind_ == JsonKind::String; }
  bool is_array() const { return kind_ == JsonKind::Array; }
  bool is_object() const { return kind_ == JsonKind::Object; }

  // Each REQUIRES the matching kind (and number class).
  bool as_bool() const { return p_.b; }
  NumberClass number_class() const { return nclass_; }
  uint64_t as_unsigned() const { return p_.u; }
  int64_t as_negative() const { return p_.i; }
  double as_double() const { return p_.d; }
  const std::string& as_string() const { return *p_.s; }
  const std::vector<JsonValue>& elements() const { return *p_.a; }
  // Ascending byte order of keys, keys unique.
  const std::vector<Member>& members() const { return *p_.o; }

  // The member with exactly this key, or null when absent or not an object.
  const JsonValue* find(std::string_view key) const;

  // Structural equality; doubles compare by bit pattern.
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  void release() noexcept;

  JsonKind kind_;
  NumberClass nclass_;
  union {
    bool b;
    uint64_t u;
    int64_t i;
    double d;
    std::string* s;
    std::vector<JsonValue>* a;
    std::vector<Member>* o;
  } p_;
};

struct JsonValue::Member {
  std::string key;
  JsonValue value;
};

}  // namespace talpen::json

#endif  // TALPEN_JSON_VALUE_H_
