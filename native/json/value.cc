#include "json/value.h"

#include <algorithm>
#include <cstring>

namespace talpen::json {

JsonValue::~JsonValue() { release(); }

void JsonValue::release() noexcept {
  switch (kind_) {
    case JsonKind::String: delete p_.s; break;
    case JsonKind::Array: delete p_.a; break;
    case JsonKind::Object: delete p_.o; break;
    default: break;
  }
  kind_ = JsonKind::Null;
  p_.u = 0;
}

JsonValue::JsonValue(const JsonValue& other) : kind_(JsonKind::Null), nclass_(other.nclass_) {
  p_.u = 0;
  switch (other.kind_) {
    case JsonKind::String: p_.s = new std::string(*other.p_.s); break;
    case JsonKind::Array: p_.a = new std::vector<JsonValue>(*other.p_.a); break;
    case JsonKind::Object: p_.o = new std::vector<Member>(*other.p_.o); break;
    default: p_ = other.p_; break;
  }
  kind_ = other.kind_;
}

JsonValue::JsonValue(JsonValue&& other) noexcept : kind_(other.kind_), nclass_(other.nclass_), p_(other.p_) {
  other.kind_ = JsonKind::Null;
  other.p_.u = 0;
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);
    *this = std::move(copy);
  }
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    release();
    kind_ = other.kind_;
    nclass_ = other.nclass_;
    p_ = other.p_;
    other.kind_ = JsonKind::Null;
    other.p_.u = 0;
  }
  return *this;
}

JsonValue JsonValue::boolean(bool b) {
  JsonValue v;
  v.kind_ = JsonKind::Bool;
  v.p_.b = b;
  return v;
}

JsonValue JsonValue::unsigned_integer(uint64_t u) {
  JsonValue v;
  v.kind_ = JsonKind::Number;
  v.nclass_ = NumberClass::Unsigned;
  v.p_.u = u;
  return v;
}

JsonValue JsonValue::negative_integer(int64_t i) {
  JsonValue v;
  v.kind_ = JsonKind::Number;
  v.nclass_ = NumberClass::Negative;
  v.p_.i = i;
  return v;
}

JsonValue JsonValue::floating(double d) {
  JsonValue v;
  v.kind_ = JsonKind::Number;
  v.nclass_ = NumberClass::Double;
  v.p_.d = d;
  return v;
}

JsonValue JsonValue::string(std::string s) {
  JsonValue v;
  v.p_.s = new std::string(std::move(s));
  v.kind_ = JsonKind::String;
  return v;
}

JsonValue JsonValue::array(std::vector<JsonValue> elements) {
  JsonValue v;
  v.p_.a = new std::vector<JsonValue>(std::move(elements));
  v.kind_ = JsonKind::Array;
  return v;
}

JsonValue JsonValue::object(std::vector<Member> members) {
  // Sorting once at the end keeps reading a large object O(n log n) whatever
  // the order of its keys; a stable sort keeps repeated keys in text order so
  // the last one can win.
  auto less = [](const Member& a, const Member& b) { return a.key < b.key; };
  if (!std::is_sorted(members.begin(), members.end(), less)) {
    std::stable_sort(members.begin(), members.end(), less);
  }
  size_t out = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i].key == members[i + 1].key) continue;
    if (out != i) members[out] = std::move(members[i]);
    ++out;
  }
  members.resize(out);
  JsonValue v;
  v.p_.o = new std::vector<Member>(std::move(members));
  v.kind_ = JsonKind::Object;
  return v;
}

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind_ != JsonKind::Object) return nullptr;
  const auto& m = *p_.o;
  auto it = std::lower_bound(m.begin(), m.end(), key,
                             [](const Member& a, std::string_view k) { return std::string_view(a.key) < k; });
  if (it != m.end() && it->key == key) return &it->value;
  return nullptr;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case JsonKind::Null: return true;
    case JsonKind::Bool: return a.p_.b == b.p_.b;
    case JsonKind::Number:
      if (a.nclass_ != b.nclass_) return false;
      return std::memcmp(&a.p_.u, &b.p_.u, sizeof(uint64_t)) == 0;
    case JsonKind::String: return *a.p_.s == *b.p_.s;
    case JsonKind::Array: return *a.p_.a == *b.p_.a;
    case JsonKind::Object: {
      const auto& x = *a.p_.o;
      const auto& y = *b.p_.o;
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (x[i].key != y[i].key || !(x[i].value == y[i].value)) return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace talpen::json
