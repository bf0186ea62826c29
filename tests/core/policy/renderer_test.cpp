#include "tavra/renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/catalog_fixtures.h"
#include "support/tavra_error.h"
#include "tavra/error.h"
#include "tavra/plist.h"

namespace tavra {
namespace {

Value J(const std::string& text) {
  return Value::parseJSON(text);
}

using Keys = std::vector<std::string>;

// The output "settings" in `format` with the given key lists.
Output output(Output::Format format, std::optional<std::vector<std::string>> forbidden = {},
              std::optional<std::vector<std::string>> internal = {},
              std::optional<std::vector<std::string>> encoded = {}) {
  Output o = test::output("settings", "/etc/x", format);
  o.forbiddenKeys = std::move(forbidden);
  o.internalKeys = std::move(internal);
  o.jsonEncodedKeys = std::move(encoded);
  return o;
}

void expectRenderError(const Value& value, const Output& out, const std::string& message) {
  EXPECT_EQ(
      test::tavraErrorMessage(TavraError::Case::render, [&] { Renderer::render(value, out); }),
      message);
}

TEST(RendererTest, JSONIsPrettyWithOneLineFeed) {
  EXPECT_EQ(Renderer::render(J(R"({"b": [1, {"c": true}], "a": "x/y", "e": {}, "f": []})"),
                             output(Output::Format::json)),
            "{\n"
            "  \"a\" : \"x/y\",\n"
            "  \"b\" : [\n"
            "    1,\n"
            "    {\n"
            "      \"c\" : true\n"
            "    }\n"
            "  ],\n"
            "  \"e\" : {},\n"
            "  \"f\" : []\n"
            "}\n");
  EXPECT_EQ(Renderer::render(Value(Value::Object{}), output(Output::Format::json)), "{}\n");
}

TEST(RendererTest, JSONString) {
  const Value value = J(R"({"b": [1, "x/y", 2.5, false], "a": {"k": "\u00e9\n"}})");
  EXPECT_EQ(Renderer::jsonString(value, false),
            "{\"a\":{\"k\":\"\xc3\xa9\\n\"},\"b\":[1,\"x/y\",2.5,false]}");
  EXPECT_EQ(Renderer::jsonString(Value("lone"), false), "\"lone\"");
  EXPECT_EQ(Renderer::jsonString(Value(5), true), "5");
  EXPECT_THROW(Renderer::jsonString(Value(std::nan("")), false), json::WriteError);
}

TEST(RendererTest, TOMLGoesThroughTheWriter) {
  EXPECT_EQ(Renderer::render(J(R"({"a": {"b": 1}})"), output(Output::Format::toml)),
            "# Managed by Tavra (com.zelkorandin.tavra). Local changes are overwritten.\n"
            "\n[a]\nb = 1\n");
}

TEST(RendererTest, PlistIsAnXMLPropertyList) {
  EXPECT_EQ(Renderer::render(J(R"({"b": [1, 2.5, true], "a": "x<y", "e": {}, "f": []})"),
                             output(Output::Format::plist)),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n"
            "<dict>\n"
            "\t<key>a</key>\n"
            "\t<string>x&lt;y</string>\n"
            "\t<key>b</key>\n"
            "\t<array>\n"
            "\t\t<integer>1</integer>\n"
            "\t\t<real>2.5</real>\n"
            "\t\t<true/>\n"
            "\t</array>\n"
            "\t<key>e</key>\n"
            "\t<dict/>\n"
            "\t<key>f</key>\n"
            "\t<array/>\n"
            "</dict>\n"
            "</plist>\n");
}

TEST(RendererTest, PlistOfTheWholeDocumentEncoded) {
  const std::string bytes =
      Renderer::render(J(R"({"a": 1})"), output(Output::Format::plist, {}, {}, Keys{""}));
  EXPECT_NE(bytes.find("<plist version=\"1.0\">\n<string>{\"a\":1}</string>\n</plist>\n"),
            std::string::npos)
      << bytes;
}

TEST(RendererTest, PlistWriterErrorsPassThrough) {
  Value::Object entries{{"k", Value("bell\x07")}};
  EXPECT_THROW(Renderer::render(Value(entries), output(Output::Format::plist)), plist::WriteError);
}

TEST(RendererTest, WithoutKeyListsTheValueIsUnchanged) {
  const Value value = J(R"({"a": {"b": [1, 2]}, "c": "d"})");
  EXPECT_EQ(Renderer::render(value, output(Output::Format::json)),
            Renderer::jsonString(value, true) + "\n");
}

TEST(RendererTest, NonObjectIsRefused) {
  for (const Output::Format format :
       {Output::Format::json, Output::Format::toml, Output::Format::plist}) {
    expectRenderError(Value(Value::Array{}), output(format),
                      "settings: top level must be a dictionary");
    expectRenderError(Value("x"), output(format), "settings: top level must be a dictionary");
  }
}

struct KeyCase {
  const char* name;
  std::string value;
  std::optional<std::vector<std::string>> forbidden;
  std::optional<std::vector<std::string>> internal;
  std::optional<std::vector<std::string>> encoded;
  std::string compact;  // the compact JSON of what is rendered
};

class RendererKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(RendererKeyTest, RemovesAndEncodes) {
  const KeyCase& c = GetParam();
  const std::string bytes = Renderer::render(
      J(c.value), output(Output::Format::json, c.forbidden, c.internal, c.encoded));
  EXPECT_EQ(bytes, Renderer::jsonString(J(c.compact), true) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RendererKeyTest,
    ::testing::Values(
        KeyCase{"ForbiddenAndInternalRemoved",
                R"({"a": {"b": 1, "c": 2}, "d": 3, "e": 4})",
                Keys{"a.b", "d"},
                Keys{"e"},
                {},
                R"({"a": {"c": 2}})"},
        KeyCase{"MissingPathUnchanged", R"({"x": 1})", Keys{"a.b"}, {}, {}, R"({"x": 1})"},
        KeyCase{"PathThroughTextUnchanged",
                R"({"a": "text"})",
                Keys{"a.b"},
                {},
                {},
                R"({"a": "text"})"},
        KeyCase{"EmptyPathsRemoveNothing",
                R"({"a": 1})",
                Keys{"", "."},
                Keys{"..."},
                {},
                R"({"a": 1})"},
        KeyCase{"EscapedDotKey",
                R"({"a.b": 1, "a": {"b": 2}})",
                Keys{"a\\.b"},
                {},
                {},
                R"({"a": {"b": 2}})"},
        KeyCase{
            "EncodedArray", R"({"k": [1, "x/y"]})", {}, {}, Keys{"k"}, R"({"k": "[1,\"x/y\"]"})"},
        KeyCase{"EncodedObject",
                R"({"a": {"k": {"z": 1, "b": [true]}}})",
                {},
                {},
                Keys{"a.k"},
                R"({"a": {"k": "{\"b\":[true],\"z\":1}"}})"},
        KeyCase{"EncodedInt", R"({"k": 5})", {}, {}, Keys{"k"}, R"({"k": "5"})"},
        KeyCase{"EncodedTextLeftAlone", R"({"k": "[1]"})", {}, {}, Keys{"k"}, R"({"k": "[1]"})"},
        KeyCase{"EncodedMissingSkipped", R"({"k": 1})", {}, {}, Keys{"x.y"}, R"({"k": 1})"},
        KeyCase{"ForbiddenAndEncodedIsGone",
                R"({"k": [1], "j": 2})",
                Keys{"k"},
                {},
                Keys{"k"},
                R"({"j": 2})"},
        KeyCase{"EncodedInListOrder",
                R"({"a": {"b": 1}})",
                {},
                {},
                Keys{"a.b", "a"},
                R"({"a": "{\"b\":\"1\"}"})"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(RendererTest, EncodingTheWholeDocument) {
  const Value value = J(R"({"a": [1]})");
  const Output json = output(Output::Format::json, {}, {}, Keys{""});
  EXPECT_EQ(Renderer::render(value, json), "\"{\\\"a\\\":[1]}\"\n");
  expectRenderError(value, output(Output::Format::toml, {}, {}, Keys{"."}),
                    "TOML root must be a table");
}

TEST(RendererTest, RealsJSONCannotHoldFailTheRenderNamingTheOutput) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const double real : {std::nan(""), inf, -inf}) {
    Value::Object entries{{"x", Value(real)}};
    const Value value(entries);
    const std::string message = test::tavraErrorMessage(
        TavraError::Case::render, [&] { Renderer::render(value, output(Output::Format::json)); });
    EXPECT_EQ(message.rfind("settings: ", 0), 0u) << message;
    // A JSON-encoded key fails the same way whatever the format.
    Value::Object nested{{"k", Value(Value::Array{Value(real)})}};
    for (const Output::Format format : {Output::Format::toml, Output::Format::plist}) {
      const std::string encodedMessage = test::tavraErrorMessage(TavraError::Case::render, [&] {
        Renderer::render(Value(nested), output(format, {}, {}, Keys{"k"}));
      });
      EXPECT_EQ(encodedMessage.rfind("settings: ", 0), 0u) << encodedMessage;
    }
    // TOML itself has words for them.
    EXPECT_NO_THROW(Renderer::render(value, output(Output::Format::toml)));
  }
}

TEST(RendererTest, Deterministic) {
  const Value value = J(R"({"z": 1, "a": {"y": [2.5, "t"], "b": {}}, "m": [{"k": 1}]})");
  for (const Output::Format format : {Output::Format::json, Output::Format::toml}) {
    EXPECT_EQ(Renderer::render(value, output(format)), Renderer::render(value, output(format)));
  }
}

}  // namespace
}  // namespace tavra
