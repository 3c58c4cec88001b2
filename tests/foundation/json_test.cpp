#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "cf/CMVariant.h"
#include "cf/COJson.h"

namespace {

TEST(JsonTest, BuildersKeepTheOrderOfAdding) {
    COJson body;
    EXPECT_TRUE(body.getIsValidJson());
    EXPECT_EQ(body.obtainJsonString(), "null");
    body.addKeyValue("model").setString("m1");
    body.addKeyValue("temperature").setDouble(0.5);
    COJsonValue messages = body.addKeyValue("messages");
    messages.makeArray();
    COJsonValue first = messages.addArrayItem();
    COJsonValue role = first.addKeyValue("role");
    COJsonValue content = first.addKeyValue("content");
    // Handles kept from earlier adds must survive the containers growing.
    for (int i = 0; i < 40; ++i) messages.addArrayItem().setInt(i);
    for (int i = 0; i < 40; ++i) first.addKeyValue(std::string(1, 'k').append(std::to_string(i))).setNull();
    role.setString("user");
    content.setString("hi");
    body.addKeyValue("a").setBool(true);
    body.addKeyValue("big").setInt64(std::numeric_limits<int64_t>::min());
    body.addKeyValue("nan").setDouble(std::nan(""));

    COJson parsed(body.obtainJsonString());
    ASSERT_TRUE(parsed.getIsValidJson());
    const std::string text = parsed.obtainJsonString();
    EXPECT_EQ(text, body.obtainJsonString());
    EXPECT_EQ(
        text.rfind(R"({"model":"m1","temperature":0.5,"messages":[{"role":"user","content":"hi","k0":null)",
                   0),
        0u);
    EXPECT_NE(text.find(R"(,39],"a":true,"big":-9223372036854775808,"nan":null})"), std::string::npos);
    EXPECT_EQ(parsed.obtainMember("messages").obtainArraySize(), 41);
}

TEST(JsonTest, BuildersOnOtherKindsGiveAbsentHandles) {
    COJson array;
    array.addArrayItem().setString("x");
    EXPECT_FALSE(array.addKeyValue("k").exists());
    EXPECT_EQ(array.obtainJsonString(), R"(["x"])");

    COJson object;
    COJsonValue name = object.addKeyValue("name");
    name.setString("v");
    EXPECT_FALSE(name.addArrayItem().exists());
    EXPECT_FALSE(name.addKeyValue("k").exists());
    name.makeObject();
    name.addKeyValue("inner").setInt(1);
    EXPECT_EQ(object.obtainJsonString(), R"({"name":{"inner":1}})");

    // Resetting a container leaves handles into its old children absent.
    COJson reset;
    COJsonValue list = reset.addKeyValue("list");
    COJsonValue item = list.addArrayItem();
    COJsonValue field = item.addKeyValue("f");
    list.setString("gone");
    EXPECT_EQ(item.obtainType(), COJsonTypeNone);
    EXPECT_EQ(field.obtainType(), COJsonTypeNone);
    field.setInt(1);
    EXPECT_FALSE(field.addKeyValue("k").exists());
    EXPECT_EQ(reset.obtainJsonString(), R"({"list":"gone"})");

    COJsonValue absent;
    absent.setString("ignored");
    EXPECT_FALSE(absent.addKeyValue("k").exists());
    EXPECT_FALSE(absent.addArrayItem().exists());
    EXPECT_EQ(absent.obtainJsonString(), "");
}

TEST(JsonTest, InvalidTextGivesAnInvalidDocument) {
    const std::string deep(100000, '[');
    const std::string cases[] = {
        "",      "   ", "{", R"({"a":)", R"({"a":1} x)", "[1,]", "nul", R"("abc)", std::string("{}\0{}", 5),
        "1e400", deep,
    };
    for (const auto& text : cases) {
        COJson json(text);
        EXPECT_FALSE(json.getIsValidJson()) << text.substr(0, 20);
        EXPECT_FALSE(json.obtainRoot().getIsValidJson());
        EXPECT_EQ(json.obtainMember("a").obtainType(), COJsonTypeNone);
        EXPECT_EQ(json.obtainRoot().obtainArraySize(), 0);
    }
}

TEST(JsonTest, DeepValidNestingParsesAndSerialises) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    COJson json(deep);
    ASSERT_TRUE(json.getIsValidJson());
    EXPECT_EQ(json.obtainJsonString(), deep);
}

TEST(JsonTest, KindsOfParsedValues) {
    COJson json(R"({"o":{},"a":[],"s":"t","i":-5,"big":18446744073709551615,"neg":-9223372036854775808,
                    "i32":4294967296,"d":1.5,"whole":2.0,"t":true,"f":false,"n":null})");
    ASSERT_TRUE(json.getIsValidJson());
    const struct {
        const char* key;
        int type;
    } kinds[] = {{"o", COJsonTypeObject},  {"a", COJsonTypeArray},      {"s", COJsonTypeString},
                 {"i", COJsonTypeInteger}, {"big", COJsonTypeInteger},  {"neg", COJsonTypeInteger},
                 {"d", COJsonTypeDouble},  {"whole", COJsonTypeDouble}, {"t", COJsonTypeBoolean},
                 {"f", COJsonTypeBoolean}, {"n", COJsonTypeNull},       {"missing", COJsonTypeNone}};
    for (const auto& k : kinds) EXPECT_EQ(json.obtainMember(k.key).obtainType(), k.type) << k.key;

    EXPECT_EQ(json.obtainMember("i").obtainInt(), -5);
    EXPECT_EQ(json.obtainMember("i32").obtainInt(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(json.obtainMember("i32").obtainInt64(), 4294967296);
    EXPECT_EQ(json.obtainMember("neg").obtainInt(), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(json.obtainMember("neg").obtainInt64(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(json.obtainMember("big").obtainInt(), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(json.obtainMember("big").obtainInt64(), std::numeric_limits<int64_t>::max());
    EXPECT_DOUBLE_EQ(json.obtainMember("d").obtainDouble(), 1.5);
    EXPECT_DOUBLE_EQ(json.obtainMember("i").obtainDouble(), -5.0);
    EXPECT_EQ(json.obtainMember("d").obtainInt(), 0);  // not an integer
    EXPECT_EQ(json.obtainMember("s").obtainInt(), 0);
    EXPECT_TRUE(json.obtainMember("t").obtainBool());
    EXPECT_FALSE(json.obtainMember("i").obtainBool());
    EXPECT_EQ(json.obtainMember("i").obtainString(), "");
}

TEST(JsonTest, LookupsOnAbsentAndMismatchedValuesAnswerEmpty) {
    COJson json(R"({"list":[10,"x"],"s":"t"})");
    COJsonValue list = json.obtainMember("list");
    EXPECT_EQ(list.obtainArraySize(), 2);
    EXPECT_EQ(list.obtainArrayItem(0).obtainInt(), 10);
    EXPECT_FALSE(list.obtainArrayItem(2).exists());
    EXPECT_FALSE(list.obtainArrayItem(-1).exists());
    EXPECT_FALSE(list.obtainMember("x").exists());
    EXPECT_FALSE(json.obtainMember("s").obtainArrayItem(0).exists());
    EXPECT_FALSE(json.obtainMember("").exists());

    const COJsonValue absent = json.obtainMember("nope").obtainMember("deeper").obtainArrayItem(3);
    EXPECT_FALSE(absent);
    EXPECT_FALSE(absent.getIsValidJson());
    EXPECT_EQ(absent.obtainType(), COJsonTypeNone);
    EXPECT_EQ(absent.obtainArraySize(), 0);
    EXPECT_EQ(absent.obtainString(), "");
    EXPECT_TRUE(absent.obtainStringView().empty());
    EXPECT_EQ(absent.obtainInt(), 0);
    EXPECT_EQ(absent.obtainInt64(), 0);
    EXPECT_EQ(absent.obtainDouble(), 0.0);
    EXPECT_FALSE(absent.obtainBool());
    EXPECT_TRUE(list.getIsValidJson());
}

TEST(JsonTest, StringsKeepEveryByte) {
    COJson json(R"({"a\u0000b":"x\u0000y","utf":"h\u00e9llo \u2603 😀","ctl":"line\nnext\u0001"})");
    ASSERT_TRUE(json.getIsValidJson());
    EXPECT_FALSE(json.obtainMember("a").exists());
    const COJsonValue nul = json.obtainMember(std::string_view("a\0b", 3));
    EXPECT_EQ(nul.obtainStringView(), std::string_view("x\0y", 3));
    EXPECT_EQ(nul.obtainString().size(), 3u);
    EXPECT_EQ(json.obtainMember("utf").obtainString(), "h\xC3\xA9llo \xE2\x98\x83 \xF0\x9F\x98\x80");
    EXPECT_EQ(json.obtainJsonString(),
              "{\"a\\u0000b\":\"x\\u0000y\",\"utf\":\"h\xC3\xA9llo \xE2\x98\x83 \xF0\x9F\x98\x80\","
              "\"ctl\":\"line\\nnext\\u0001\"}");

    COJson built;
    const std::string original = std::string("q\"\\\t\0z", 6) + "\xE6\x97\xA5";
    built.addKeyValue(std::string_view("k\0", 2)).setString(original);
    COJson reparsed(built.obtainJsonString());
    EXPECT_EQ(reparsed.obtainMember(std::string_view("k\0", 2)).obtainString(), original);
}

TEST(JsonTest, FromVariant) {
    const CMVariant value(CMVariantMap{
        {"b", CMVariantList{1, 2.5, "s", CMVariant(), CMVariantMap{}}},
        {"a", std::numeric_limits<double>::infinity()},
        {"c", CMVariantList{}},
    });
    const auto json = cfCreateCOJsonFromCMVariant(value);
    ASSERT_NE(json, nullptr);
    EXPECT_TRUE(json->getIsValidJson());
    EXPECT_EQ(json->obtainJsonString(), R"({"a":null,"b":[1,2.5,"s",null,{}],"c":[]})");
    EXPECT_EQ(cfCreateCOJsonFromCMVariant(CMVariant("x"))->obtainJsonString(), R"("x")");
    EXPECT_EQ(cfCreateCOJsonFromCMVariant(CMVariant(-4))->obtainJsonString(), "-4");
    EXPECT_EQ(cfCreateCOJsonFromCMVariant(CMVariant())->obtainJsonString(), "null");
}

}  // namespace
