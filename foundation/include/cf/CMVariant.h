#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cf/cf_export.h"

class CMVariant;
/// Ordered text-to-variant map.
using CMVariantMap = std::map<std::string, CMVariant>;
/// Sequence of variants.
using CMVariantList = std::vector<CMVariant>;

/// A tagged value: null, String, Int (32-bit), Double, Map or List. Copying,
/// comparing and destroying never recurse, so nesting of any depth is safe.
class CF_API CMVariant {
public:
    enum class ValueType : int { Null = 0, String, Int, Double, Map, List };

    CMVariant() = default;
    CMVariant(const char* text);
    CMVariant(std::string text);
    CMVariant(std::string_view text);
    CMVariant(int32_t value);
    CMVariant(double value);
    CMVariant(CMVariantMap map);
    CMVariant(CMVariantList list);
    // A bool or a stray pointer must never silently become an Int.
    CMVariant(bool) = delete;

    CMVariant(const CMVariant&);
    CMVariant(CMVariant&&) noexcept;
    CMVariant& operator=(const CMVariant&);
    CMVariant& operator=(CMVariant&&) noexcept;
    ~CMVariant();

    ValueType getValueType() const;
    bool isNull() const;

    /// String as is; Int and Double as decimal text; other kinds give "".
    std::string stringValue() const;
    /// Int as is; Double truncated and clamped to 32 bits; String parsed
    /// (0 when it is not a number); other kinds give 0.
    int32_t intValue() const;
    /// Double as is; Int widened; String parsed (0.0 when not a number).
    double doubleValue() const;
    /// A copy of the map; empty for other kinds.
    CMVariantMap mapValue() const;
    /// The map held; a shared empty map for other kinds.
    const CMVariantMap& mapRef() const;
    /// The list held; a shared empty list for other kinds.
    const CMVariantList& listRef() const;
    /// The list held; a value of another kind is first replaced by an empty list.
    CMVariantList& listRef();

    bool operator==(const CMVariant& other) const;
    bool operator!=(const CMVariant& other) const { return !(*this == other); }

private:
    struct Tree;  // the walks over nested values
    std::variant<std::monostate, std::string, int32_t, double, CMVariantMap, CMVariantList> value_;
};
