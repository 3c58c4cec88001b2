// CMVariant: a tagged value over std::variant with lenient conversions.
// Nested values are copied, compared and destroyed with explicit work lists:
// a value handed over by a host may be nested deeper than any call stack.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

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

const CMVariantMap& emptyMap() {
    static const CMVariantMap kEmpty;
    return kEmpty;
}

}  // namespace

struct CMVariant::Tree {
    static bool isContainer(const CMVariant& value) {
        const std::size_t index = value.value_.index();
        return index == kMap || index == kList;
    }

    static bool isNonEmptyContainer(const CMVariant& value) {
        if (const auto* list = std::get_if<kList>(&value.value_)) return !list->empty();
        if (const auto* map = std::get_if<kMap>(&value.value_)) return !map->empty();
        return false;
    }

    /// Calls visit on every child of value, in order.
    template <typename Value, typename Visit>
    static void forEachChild(Value& value, Visit&& visit) {
        if (auto* list = std::get_if<kList>(&value.value_)) {
            for (auto& child : *list) visit(child);
        } else if (auto* map = std::get_if<kMap>(&value.value_)) {
            for (auto& entry : *map) visit(entry.second);
        }
    }

    /// Moves every non-empty container among value's children to pending,
    /// leaving null in its place; value then holds one level only.
    static void detachNested(CMVariant& value, std::vector<CMVariant>& pending) {
        forEachChild(value, [&](CMVariant& child) {
            if (!isNonEmptyContainer(child)) return;
            pending.push_back(std::move(child));
            child.value_.emplace<kNull>();
        });
    }

    /// Takes root's tree apart level by level, so each node is destroyed with
    /// children of one level at most.
    static void release(CMVariant& root) noexcept {
        std::vector<CMVariant> pending;
        try {
            detachNested(root, pending);
            while (!pending.empty()) {
                CMVariant node(std::move(pending.back()));
                pending.pop_back();
                detachNested(node, pending);
            }
        } catch (...) {
            // Out of memory for the work list: what is left goes the ordinary
            // (recursive) way, which a tree this deep and that short of memory
            // at the same time is unlikely to meet.
        }
    }

    /// Copies from into to (null), every container level by level.
    static void copy(const CMVariant& from, CMVariant& to) {
        std::vector<std::pair<const CMVariant*, CMVariant*>> pending{{&from, &to}};
        while (!pending.empty()) {
            const auto [source, target] = pending.back();
            pending.pop_back();
            // Containers among the children are made empty now and filled
            // later; their places do not move once the container is complete.
            if (const auto* list = std::get_if<kList>(&source->value_)) {
                auto& copied = target->value_.emplace<kList>();
                copied.reserve(list->size());
                for (const CMVariant& child : *list) {
                    if (isContainer(child))
                        copied.emplace_back();
                    else
                        copied.push_back(child);
                }
                for (std::size_t i = 0; i < list->size(); ++i)
                    if (isContainer((*list)[i])) pending.emplace_back(&(*list)[i], &copied[i]);
            } else if (const auto* map = std::get_if<kMap>(&source->value_)) {
                auto& copied = target->value_.emplace<kMap>();
                for (const auto& [key, child] : *map) {
                    auto added =
                        copied.emplace_hint(copied.end(), key, isContainer(child) ? CMVariant() : child);
                    if (isContainer(child)) pending.emplace_back(&child, &added->second);
                }
            } else {
                target->value_ = source->value_;
            }
        }
    }

    /// Same kinds and same values all the way down.
    static bool equal(const CMVariant& left, const CMVariant& right) {
        std::vector<std::pair<const CMVariant*, const CMVariant*>> pending;
        const CMVariant* a = &left;
        const CMVariant* b = &right;
        for (;;) {
            if (a->value_.index() != b->value_.index()) return false;
            if (const auto* list = std::get_if<kList>(&a->value_)) {
                const auto& other = std::get<kList>(b->value_);
                if (list->size() != other.size()) return false;
                for (std::size_t i = 0; i < list->size(); ++i) {
                    if (isContainer((*list)[i]))
                        pending.emplace_back(&(*list)[i], &other[i]);
                    else if (!equalLeaves((*list)[i], other[i]))
                        return false;
                }
            } else if (const auto* map = std::get_if<kMap>(&a->value_)) {
                const auto& other = std::get<kMap>(b->value_);
                if (map->size() != other.size()) return false;
                for (auto x = map->begin(), y = other.begin(); x != map->end(); ++x, ++y) {
                    if (x->first != y->first) return false;
                    if (isContainer(x->second))
                        pending.emplace_back(&x->second, &y->second);
                    else if (!equalLeaves(x->second, y->second))
                        return false;
                }
            } else if (!equalLeaves(*a, *b)) {
                return false;
            }
            if (pending.empty()) return true;
            std::tie(a, b) = pending.back();
            pending.pop_back();
        }
    }

    /// Equality of two values of which at least one is no container.
    static bool equalLeaves(const CMVariant& a, const CMVariant& b) {
        if (a.value_.index() != b.value_.index()) return false;
        switch (a.value_.index()) {
            case kString:
                return std::get<kString>(a.value_) == std::get<kString>(b.value_);
            case kInt:
                return std::get<kInt>(a.value_) == std::get<kInt>(b.value_);
            case kDouble:
                return std::get<kDouble>(a.value_) == std::get<kDouble>(b.value_);
            case kNull:
                return true;
            default:
                return false;  // a container beside a leaf of another kind never gets here
        }
    }
};

CMVariant::CMVariant(const char* text) {
    if (text != nullptr) value_ = std::string(text);
}
CMVariant::CMVariant(std::string text) : value_(std::move(text)) {}
CMVariant::CMVariant(std::string_view text) : value_(std::string(text)) {}
CMVariant::CMVariant(int32_t value) : value_(value) {}
CMVariant::CMVariant(double value) : value_(value) {}
CMVariant::CMVariant(CMVariantMap map) : value_(std::move(map)) {}
CMVariant::CMVariant(CMVariantList list) : value_(std::move(list)) {}

CMVariant::CMVariant(const CMVariant& other) {
    if (!Tree::isContainer(other)) {
        value_ = other.value_;
        return;
    }
    // Built aside: should an allocation fail half-way, the partial tree is
    // released by CMVariant's own destructor, not the member's recursive one.
    CMVariant copy;
    Tree::copy(other, copy);
    value_ = std::move(copy.value_);
}

CMVariant::CMVariant(CMVariant&&) noexcept = default;

CMVariant& CMVariant::operator=(const CMVariant& other) {
    if (this != &other) *this = CMVariant(other);
    return *this;
}

CMVariant& CMVariant::operator=(CMVariant&& other) noexcept {
    if (this != &other) {
        // The old tree is released by a variant of its own; other may well be
        // part of it, and stays alive until the move below is done.
        CMVariant old(std::move(*this));
        value_ = std::move(other.value_);
    }
    return *this;
}

CMVariant::~CMVariant() {
    if (Tree::isNonEmptyContainer(*this)) Tree::release(*this);
}

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

CMVariantMap CMVariant::mapValue() const { return mapRef(); }

const CMVariantMap& CMVariant::mapRef() const {
    if (const auto* map = std::get_if<kMap>(&value_)) return *map;
    return emptyMap();
}

const CMVariantList& CMVariant::listRef() const {
    if (const auto* list = std::get_if<kList>(&value_)) return *list;
    return emptyList();
}

CMVariantList& CMVariant::listRef() {
    if (value_.index() != kList) {
        const CMVariant old(std::move(*this));  // a map's tree goes the iterative way
        value_.emplace<kList>();
    }
    return std::get<kList>(value_);
}

bool CMVariant::operator==(const CMVariant& other) const { return Tree::equal(*this, other); }
