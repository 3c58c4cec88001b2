// CMVariant: a tagged value over std::variant with lenient conversions.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "cf/CMVariant.h"

namespace {

enum Index : std::size_t { kNull = 0, kString, kInt, kDouble, kMap, kList };

// Truncates toward zero and clamps to the 32-bit range; NaN gives 0.
int32_t clampToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

std::string_view trimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Parses the whole text (surrounding blanks allowed) as a decimal number;
// false when anything else is left over.
bool parseNumber(std::string_view text, double& out) {
    text = trimBlanks(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    // Integers first: exact for every 64-bit value, which a double is not.
    int64_t whole = 0;
    auto [ptr, ec] = std::from_chars(text.data(), end, whole);
    if (ec == std::errc() && ptr == end) {
        out = static_cast<double>(whole);
        return true;
    }
    double real = 0.0;
    auto [rptr, rec] = std::from_chars(text.data(), end, real);
    if (rptr != end) return false;
    if (rec == std::errc::result_out_of_range) {
        // Overflow saturates to infinity, underflow to zero; strtod knows which.
        out = std::strtod(std::string(text).c_str(), nullptr);
        return true;
    }
    if (rec != std::errc()) return false;
    out = real;
    return true;
}

const CMVariantList& emptyList() {
    static const CMVariantList kEmpty;
    return kEmpty;
}

}  // namespace

CMVariant::CMVariant(const char* text) {
    if (text != nullptr) value_ = std::string(text);
}
CMVariant::CMVariant(std::string text) : value_(std::move(text)) {}
CMVariant::CMVariant(std::string_view text) : value_(std::string(text)) {}
CMVariant::CMVariant(int32_t value) : value_(value) {}
CMVariant::CMVariant(double value) : value_(value) {}
CMVariant::CMVariant(CMVariantMap map) : value_(std::move(map)) {}
CMVariant::CMVariant(CMVariantList list) : value_(std::move(list)) {}

CMVariant::CMVariant(const CMVariant&) = default;
CMVariant::CMVariant(CMVariant&&) noexcept = default;
CMVariant& CMVariant::operator=(const CMVariant&) = default;
CMVariant& CMVariant::operator=(CMVariant&&) noexcept = default;
CMVariant::~CMVariant() = default;

CMVariant::ValueType CMVariant::getValueType() const {
    switch (value_.index()) {
        case kString:
            return ValueType::String;
        case kInt:
            return ValueType::Int;
        case kDouble:
            return ValueType::Double;
        case kMap:
            return ValueType::Map;
        case kList:
            return ValueType::List;
        default:
            return ValueType::Null;
    }
}

bool CMVariant::isNull() const { return value_.index() == kNull; }

std::string CMVariant::stringValue() const {
    switch (value_.index()) {
        case kString:
            return std::get<kString>(value_);
        case kInt:
            return std::to_string(std::get<kInt>(value_));
        case kDouble: {
            // Shortest text that reads back as the same double.
            char buffer[64];
            auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::get<kDouble>(value_));
            return ec == std::errc() ? std::string(buffer, ptr) : std::string();
        }
        default:
            return {};
    }
}

int32_t CMVariant::intValue() const {
    switch (value_.index()) {
        case kInt:
            return std::get<kInt>(value_);
        case kDouble:
            return clampToInt32(std::get<kDouble>(value_));
        case kString: {
            double parsed = 0.0;
            return parseNumber(std::get<kString>(value_), parsed) ? clampToInt32(parsed) : 0;
        }
        default:
            return 0;
    }
}

double CMVariant::doubleValue() const {
    switch (value_.index()) {
        case kInt:
            return std::get<kInt>(value_);
        case kDouble:
            return std::get<kDouble>(value_);
        case kString: {
            double parsed = 0.0;
            return parseNumber(std::get<kString>(value_), parsed) ? parsed : 0.0;
        }
        default:
            return 0.0;
    }
}

CMVariantMap CMVariant::mapValue() const {
    if (const auto* map = std::get_if<kMap>(&value_)) return *map;
    return {};
}

const CMVariantList& CMVariant::listRef() const {
    if (const auto* list = std::get_if<kList>(&value_)) return *list;
    return emptyList();
}

CMVariantList& CMVariant::listRef() {
    if (value_.index() != kList) value_.emplace<kList>();
    return std::get<kList>(value_);
}

bool CMVariant::operator==(const CMVariant& other) const { return value_ == other.value_; }
