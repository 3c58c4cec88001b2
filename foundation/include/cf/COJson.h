#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "cf/cf_export.h"

class CMVariant;
class COJson;

/// Builds a document from a variant: Map to object (keys in map order), List
/// to array, String, Int, Double to their JSON kinds, null to null.
/// The caller owns the result.
CF_API std::unique_ptr<COJson> cfCreateCOJsonFromCMVariant(const CMVariant& value);

/// Anything that can be sent as a JSON request body.
class CF_API ICOJsonValue {
public:
    virtual ~ICOJsonValue();
    /// Compact JSON text of the value; always valid UTF-8 (each ill-formed
    /// sequence in a string or key is written as U+FFFD).
    virtual std::string obtainJsonString() const = 0;
};

/// Kind codes reported by COJsonValue::obtainType.
enum COJsonType : int {
    COJsonTypeNone = 0,  ///< absent value (failed lookup)
    COJsonTypeObject = 1,
    COJsonTypeArray = 2,
    COJsonTypeString = 3,
    COJsonTypeInteger = 4,
    COJsonTypeDouble = 5,
    COJsonTypeBoolean = 6,
    COJsonTypeNull = 7,
};

/// Non-owning handle to one value inside a COJson document. Cheap to copy;
/// valid while the document lives. A failed lookup gives an absent handle
/// (`exists()` false) on which every reader answers empty and every writer
/// does nothing.
class CF_API COJsonValue final : public ICOJsonValue {
public:
    COJsonValue() = default;

    bool exists() const { return value_ != nullptr; }
    explicit operator bool() const { return exists(); }

    /// True when the handle points into a document that holds valid JSON.
    bool getIsValidJson() const;
    int obtainType() const;

    /// Member of an object by key; absent for a missing key or a non-object.
    COJsonValue obtainMember(std::string_view key) const;
    int32_t obtainArraySize() const;
    /// Item of an array; absent when out of range or not an array.
    COJsonValue obtainArrayItem(int32_t index) const;

    /// Text of a string; "" for other kinds.
    std::string obtainString() const;
    /// View of a string's bytes, valid while the document lives; empty otherwise.
    std::string_view obtainStringView() const;
    /// Integer value clamped to 32 bits; 0 for other kinds.
    int32_t obtainInt() const;
    int64_t obtainInt64() const;
    double obtainDouble() const;
    bool obtainBool() const;

    /// Adds a member (null until given a value) and returns it. A null value
    /// becomes an object first; other non-objects give an absent handle.
    COJsonValue addKeyValue(std::string_view key);
    /// Appends an item (null until given a value) and returns it. A null
    /// value becomes an array first; other non-arrays give an absent handle.
    COJsonValue addArrayItem();
    void makeArray();
    void makeObject();
    void setString(std::string_view text);
    void setInt(int32_t value);
    void setInt64(int64_t value);
    void setDouble(double value);
    void setBool(bool value);
    void setNull();

    std::string obtainJsonString() const override;

private:
    friend class COJson;
    COJsonValue(void* value, COJson* doc) : value_(value), doc_(doc) {}
    void* value_ = nullptr;  // rapidjson value inside doc_
    COJson* doc_ = nullptr;
};

/// A JSON document: empty (its root becomes an object or an array by first
/// use) or parsed from text. Invalid text never throws: getIsValidJson is false.
/// A lone surrogate escape in a string reads as U+FFFD; other bytes are kept as
/// they are, valid UTF-8 or not.
class CF_API COJson final : public ICOJsonValue {
public:
    COJson();
    explicit COJson(std::string_view text);
    ~COJson() override;
    COJson(const COJson&) = delete;
    COJson& operator=(const COJson&) = delete;

    bool getIsValidJson() const;
    COJsonValue obtainRoot();
    std::string obtainJsonString() const override;

    // Shorthands on the root.
    int obtainType() { return obtainRoot().obtainType(); }
    COJsonValue obtainMember(std::string_view key) { return obtainRoot().obtainMember(key); }
    COJsonValue addKeyValue(std::string_view key) { return obtainRoot().addKeyValue(key); }
    COJsonValue addArrayItem() { return obtainRoot().addArrayItem(); }

private:
    friend class COJsonValue;
    friend struct COJsonAccess;  // the library's own builders reach the document
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
