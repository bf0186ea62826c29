// The writer never produces a document that cannot be read back: text that is not well-formed
// UTF-8, in a key or a value, at any depth and in either form, is refused.
#include <gtest/gtest.h>

#include <string>

#include "support/thrown.h"
#include "tavra/json.h"
#include "tavra/value.h"

namespace tavra {
namespace {

TEST(JSONWriterTest, IllFormedTextIsRefused) {
  const std::string illFormed[] = {
      "\xFF",
      "a\xC3",
      "\xC0\xAF",
      "\xED\xA0\x80",  // surrogate
      "\xF4\x90\x80\x80",
      "\x80",
      "ok\xE2\x82 after",
  };
  for (const std::string& text : illFormed) {
    const Value shapes[] = {
        Value(text),
        Value(Value::Object{{text, Value(1)}}),
        Value(Value::Array{Value(1), Value(Value::Object{{"k", Value(text)}})}),
    };
    for (const Value& v : shapes) {
      for (const bool pretty : {false, true}) {
        EXPECT_EQ(
            test::thrownText<json::WriteError>([&] { (void)json::write(v, {.pretty = pretty}); }),
            "JSON text is not valid UTF-8")
            << text;
      }
    }
  }
}

TEST(JSONWriterTest, WellFormedTextAtTheEdgesIsWrittenAndReadsBack) {
  for (const std::string& text :
       {std::string("\xF4\x8F\xBF\xBF"), std::string("\xEF\xBF\xBD"), std::string("\xC2\x80"),
        std::string("\xEE\x80\x80"), std::string("a\0b", 3), std::string()}) {
    const Value v(Value::Object{{text, Value(text)}});
    EXPECT_EQ(Value::parseJSON(json::write(v)), v);
    EXPECT_EQ(Value::parseJSON(json::write(v, {.pretty = true, .escapeSlash = true})), v);
  }
}

}  // namespace
}  // namespace tavra
