// The property-list values behind the C interface: one heap object per value with an atomic reference
// count. Values are immutable, so reading them needs no lock.
#include "Platform/AudioServer/PropertyList/PropertyList.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct PLValue {
    explicit PLValue(PLType t, size_t d = 1)
        : type(t)
        , depth(d) {}
    virtual ~PLValue() = default;
    PLValue(const PLValue&) = delete;
    PLValue& operator=(const PLValue&) = delete;

    mutable std::atomic<uint32_t> references{1};
    const PLType type;
    const size_t depth;
};

namespace {

struct StringValue final : PLValue {
    explicit StringValue(std::string s)
        : PLValue(PLTypeString)
        , text(std::move(s)) {}
    const std::string text;
};

struct NumberValue final : PLValue {
    explicit NumberValue(int64_t v)
        : PLValue(PLTypeNumber)
        , isFloat(false)
        , integer(v) {}
    explicit NumberValue(double v)
        : PLValue(PLTypeNumber)
        , isFloat(true)
        , real(v) {}
    const bool isFloat;
    const int64_t integer = 0;
    const double real = 0;
};

struct BooleanValue final : PLValue {
    explicit BooleanValue(bool v)
        : PLValue(PLTypeBoolean)
        , value(v) {}
    const bool value;
};

struct DataValue final : PLValue {
    DataValue(const void* bytes, size_t length)
        : PLValue(PLTypeData)
        , data(static_cast<const unsigned char*>(bytes), static_cast<const unsigned char*>(bytes) + length) {}
    const std::vector<unsigned char> data;
};

// One more than the deepest of the values a container holds.
size_t containerDepth(const PLRef* values, size_t count) {
    size_t deepest = 0;
    for (size_t i = 0; i < count; ++i) {
        deepest = std::max(deepest, values[i]->depth);
    }
    return deepest + 1;
}

struct ArrayValue final : PLValue {
    ArrayValue(std::vector<PLRef> v, size_t d)
        : PLValue(PLTypeArray, d)
        , values(std::move(v)) {}
    ~ArrayValue() override {
        for (PLRef value : values) {
            PLRelease(value);
        }
    }
    const std::vector<PLRef> values;
};

struct DictionaryValue final : PLValue {
    explicit DictionaryValue(size_t d)
        : PLValue(PLTypeDictionary, d) {}
    ~DictionaryValue() override {
        for (auto& entry : entries) {
            PLRelease(entry.second);
        }
    }
    // Creation order for iteration; the index answers lookups without a scan.
    std::vector<std::pair<std::string, PLRef>> entries;
    std::unordered_map<std::string_view, size_t> index;
};

template <typename T>
const T* as(PLRef value, PLType type) {
    return value != nullptr && value->type == type ? static_cast<const T*>(value) : nullptr;
}

// Rejects what is not well-formed UTF-8 (overlong forms, surrogates, values above U+10FFFF), so that
// every string handed across the plug-in boundary can be shown as text.
bool isValidUTF8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        size_t extra;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// An integer and a float are equal when the float holds exactly that integer.
bool sameNumber(const NumberValue* a, const NumberValue* b) {
    if (!a->isFloat && !b->isFloat) {
        return a->integer == b->integer;
    }
    if (a->isFloat && b->isFloat) {
        return a->real == b->real;
    }
    const NumberValue* f = a->isFloat ? a : b;
    const NumberValue* i = a->isFloat ? b : a;
    constexpr double two63 = 9223372036854775808.0;
    if (!std::isfinite(f->real) || std::trunc(f->real) != f->real || f->real < -two63 || f->real >= two63) {
        return false;
    }
    return static_cast<int64_t>(f->real) == i->integer;
}

template <typename T, typename... Args>
PLRef make(Args&&... args) {
    return new (std::nothrow) T(std::forward<Args>(args)...);
}

} // namespace

extern "C" {

PLRef PLRetain(PLRef value) {
    if (value != nullptr) {
        value->references.fetch_add(1, std::memory_order_relaxed);
    }
    return value;
}

void PLRelease(PLRef value) {
    if (value != nullptr && value->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete value;
    }
}

PLType PLGetType(PLRef value) {
    return value != nullptr ? value->type : PLTypeNone;
}

size_t PLGetDepth(PLRef value) {
    return value != nullptr ? value->depth : 0;
}

uint32_t PLGetRetainCount(PLRef value) {
    return value != nullptr ? value->references.load(std::memory_order_relaxed) : 0;
}

bool PLEqual(PLRef a, PLRef b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    if (a == b) {
        return true;
    }
    if (a->type != b->type) {
        return false;
    }
    switch (a->type) {
    case PLTypeString:
        return static_cast<const StringValue*>(a)->text == static_cast<const StringValue*>(b)->text;
    case PLTypeNumber:
        return sameNumber(static_cast<const NumberValue*>(a), static_cast<const NumberValue*>(b));
    case PLTypeBoolean:
        return static_cast<const BooleanValue*>(a)->value == static_cast<const BooleanValue*>(b)->value;
    case PLTypeData:
        return static_cast<const DataValue*>(a)->data == static_cast<const DataValue*>(b)->data;
    case PLTypeArray: {
        const auto& x = static_cast<const ArrayValue*>(a)->values;
        const auto& y = static_cast<const ArrayValue*>(b)->values;
        if (x.size() != y.size()) {
            return false;
        }
        for (size_t i = 0; i < x.size(); ++i) {
            if (!PLEqual(x[i], y[i])) {
                return false;
            }
        }
        return true;
    }
    case PLTypeDictionary: {
        auto* x = static_cast<const DictionaryValue*>(a);
        auto* y = static_cast<const DictionaryValue*>(b);
        if (x->entries.size() != y->entries.size()) {
            return false;
        }
        for (const auto& [key, value] : x->entries) {
            auto found = y->index.find(key);
            if (found == y->index.end() || !PLEqual(value, y->entries[found->second].second)) {
                return false;
            }
        }
        return true;
    }
    case PLTypeNone:
        break;
    }
    return false;
}

PLRef PLStringCreate(const char* utf8) {
    return utf8 != nullptr ? PLStringCreateWithBytes(utf8, std::strlen(utf8)) : nullptr;
}

PLRef PLStringCreateWithBytes(const char* utf8, size_t length) {
    if (utf8 == nullptr && length != 0) {
        return nullptr;
    }
    if (length != 0 && !isValidUTF8(reinterpret_cast<const unsigned char*>(utf8), length)) {
        return nullptr;
    }
    return make<StringValue>(length != 0 ? std::string(utf8, length) : std::string());
}

const char* PLStringGetUTF8(PLRef string) {
    auto* s = as<StringValue>(string, PLTypeString);
    return s != nullptr ? s->text.c_str() : nullptr;
}

size_t PLStringGetLength(PLRef string) {
    auto* s = as<StringValue>(string, PLTypeString);
    return s != nullptr ? s->text.size() : 0;
}

PLRef PLNumberCreateInt64(int64_t value) {
    return make<NumberValue>(value);
}

PLRef PLNumberCreateFloat64(double value) {
    return make<NumberValue>(value);
}

bool PLNumberIsFloat(PLRef number) {
    auto* n = as<NumberValue>(number, PLTypeNumber);
    return n != nullptr && n->isFloat;
}

bool PLNumberGetInt64(PLRef number, int64_t* out) {
    auto* n = as<NumberValue>(number, PLTypeNumber);
    if (n == nullptr || out == nullptr) {
        return false;
    }
    if (!n->isFloat) {
        *out = n->integer;
    } else if (std::isnan(n->real)) {
        *out = 0;
    } else if (n->real >= 9223372036854775808.0) {
        *out = std::numeric_limits<int64_t>::max();
    } else if (n->real < -9223372036854775808.0) {
        *out = std::numeric_limits<int64_t>::min();
    } else {
        *out = static_cast<int64_t>(n->real);
    }
    return true;
}

bool PLNumberGetInt32(PLRef number, int32_t* out) {
    int64_t wide;
    if (out == nullptr || !PLNumberGetInt64(number, &wide)) {
        return false;
    }
    constexpr int64_t lo = std::numeric_limits<int32_t>::min();
    constexpr int64_t hi = std::numeric_limits<int32_t>::max();
    *out = static_cast<int32_t>(wide < lo ? lo : wide > hi ? hi : wide);
    return true;
}

bool PLNumberGetFloat64(PLRef number, double* out) {
    auto* n = as<NumberValue>(number, PLTypeNumber);
    if (n == nullptr || out == nullptr) {
        return false;
    }
    *out = n->isFloat ? n->real : static_cast<double>(n->integer);
    return true;
}

bool PLNumberGetFloat32(PLRef number, float* out) {
    double wide;
    if (out == nullptr || !PLNumberGetFloat64(number, &wide)) {
        return false;
    }
    *out = static_cast<float>(wide);
    return true;
}

PLRef PLBooleanCreate(bool value) {
    return make<BooleanValue>(value);
}

bool PLBooleanGetValue(PLRef boolean) {
    auto* b = as<BooleanValue>(boolean, PLTypeBoolean);
    return b != nullptr && b->value;
}

PLRef PLDataCreate(const void* bytes, size_t length) {
    if (bytes == nullptr && length != 0) {
        return nullptr;
    }
    static const unsigned char none = 0;
    return make<DataValue>(length != 0 ? bytes : &none, length);
}

const void* PLDataGetBytes(PLRef data) {
    auto* d = as<DataValue>(data, PLTypeData);
    return d != nullptr ? d->data.data() : nullptr;
}

size_t PLDataGetLength(PLRef data) {
    auto* d = as<DataValue>(data, PLTypeData);
    return d != nullptr ? d->data.size() : 0;
}

PLRef PLArrayCreate(const PLRef* values, size_t count) {
    if (values == nullptr && count != 0) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        if (values[i] == nullptr) {
            return nullptr;
        }
    }
    const size_t depth = containerDepth(values, count);
    if (depth > PL_MAX_DEPTH) {
        return nullptr;
    }
    std::vector<PLRef> held;
    held.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        held.push_back(PLRetain(values[i]));
    }
    PLRef made = make<ArrayValue>(std::move(held), depth);
    if (made == nullptr) {
        for (size_t i = 0; i < count; ++i) {
            PLRelease(values[i]);
        }
    }
    return made;
}

size_t PLArrayGetCount(PLRef array) {
    auto* a = as<ArrayValue>(array, PLTypeArray);
    return a != nullptr ? a->values.size() : 0;
}

PLRef PLArrayGetValueAtIndex(PLRef array, size_t index) {
    auto* a = as<ArrayValue>(array, PLTypeArray);
    return a != nullptr && index < a->values.size() ? a->values[index] : nullptr;
}

PLRef PLDictionaryCreate(const char* const* keys, const PLRef* values, size_t count) {
    if ((keys == nullptr || values == nullptr) && count != 0) {
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        if (keys[i] == nullptr || values[i] == nullptr ||
            !isValidUTF8(reinterpret_cast<const unsigned char*>(keys[i]), std::strlen(keys[i]))) {
            return nullptr;
        }
    }
    const size_t depth = containerDepth(values, count);
    if (depth > PL_MAX_DEPTH) {
        return nullptr;
    }
    auto* dictionary = new (std::nothrow) DictionaryValue(depth);
    if (dictionary == nullptr) {
        return nullptr;
    }
    dictionary->entries.reserve(count);
    // Keys live in entries; reserving first keeps the views in the index valid.
    for (size_t i = 0; i < count; ++i) {
        std::string_view key(keys[i]);
        auto found = dictionary->index.find(key);
        if (found != dictionary->index.end()) {
            PLRelease(std::exchange(dictionary->entries[found->second].second, PLRetain(values[i])));
            continue;
        }
        dictionary->entries.emplace_back(std::string(key), PLRetain(values[i]));
        dictionary->index.emplace(dictionary->entries.back().first, dictionary->entries.size() - 1);
    }
    return dictionary;
}

size_t PLDictionaryGetCount(PLRef dictionary) {
    auto* d = as<DictionaryValue>(dictionary, PLTypeDictionary);
    return d != nullptr ? d->entries.size() : 0;
}

PLRef PLDictionaryGetValue(PLRef dictionary, const char* key) {
    auto* d = as<DictionaryValue>(dictionary, PLTypeDictionary);
    if (d == nullptr || key == nullptr) {
        return nullptr;
    }
    auto found = d->index.find(std::string_view(key));
    return found != d->index.end() ? d->entries[found->second].second : nullptr;
}

const char* PLDictionaryGetKeyAtIndex(PLRef dictionary, size_t index) {
    auto* d = as<DictionaryValue>(dictionary, PLTypeDictionary);
    return d != nullptr && index < d->entries.size() ? d->entries[index].first.c_str() : nullptr;
}

PLRef PLDictionaryGetValueAtIndex(PLRef dictionary, size_t index) {
    auto* d = as<DictionaryValue>(dictionary, PLTypeDictionary);
    return d != nullptr && index < d->entries.size() ? d->entries[index].second : nullptr;
}

} // extern "C"
