// The page's export requests decode strictly and flatten into one record per output.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "export/ExportFileDescriptor.h"

namespace {

nlohmann::json request(nlohmann::json outputs, nlohmann::json images = nlohmann::json::array()) {
  return {{"inputs",
           {{"1x", {{{"html", "<p>a</p>"}, {"svg", "<svg/>"}, {"width", 10}, {"height", 20}}, nullptr}},
            {"2x", {{{"html", "<p>b</p>"}, {"width", 20}, {"height", 40}}}}}},
          {"images", images},
          {"fonts", nlohmann::json::array()},
          {"outputs", outputs}};
}

nlohmann::json output(const std::string& name, const std::string& type, const std::string& scale = "1x", int index = 0) {
  return {{"name", name}, {"type", type}, {"keyPath", {{"scale", scale}, {"index", index}}}};
}

TEST(ExportRequest, DecodingRefusesWhatIsNotExactlyTheFormat) {
  struct Case {
    const char* what;
    std::function<void(nlohmann::json&)> change;
    bool decodes;
  };
  const Case cases[] = {
      {"as sent", [](nlohmann::json&) {}, true},
      {"extra keys", [](nlohmann::json& j) { j["extra"] = 1, j["outputs"][0]["more"] = true; }, true},
      {"fonts missing", [](nlohmann::json& j) { j.erase("fonts"); }, false},
      {"fonts null", [](nlohmann::json& j) { j["fonts"] = nullptr; }, false},
      {"type in capitals", [](nlohmann::json& j) { j["outputs"][0]["type"] = "PNG"; }, false},
      {"fractional width", [](nlohmann::json& j) { j["inputs"]["1x"][0]["width"] = 1.5; }, false},
      {"boolean height", [](nlohmann::json& j) { j["inputs"]["1x"][0]["height"] = true; }, false},
      {"whole number as float", [](nlohmann::json& j) { j["inputs"]["1x"][0]["width"] = 10.0; }, true},
      {"width 1e300", [](nlohmann::json& j) { j["inputs"]["1x"][0]["width"] = 1e300; }, false},
      {"height -1e300", [](nlohmann::json& j) { j["inputs"]["2x"][0]["height"] = -1e300; }, false},
      {"width 2^63 as float", [](nlohmann::json& j) { j["inputs"]["1x"][0]["width"] = 9223372036854775808.0; }, false},
      {"width 2^64 - 1", [](nlohmann::json& j) { j["inputs"]["1x"][0]["width"] = UINT64_MAX; }, false},
      {"index 1e300", [](nlohmann::json& j) { j["outputs"][0]["keyPath"]["index"] = 1e300; }, false},
      {"svg of the wrong type", [](nlohmann::json& j) { j["inputs"]["1x"][0]["svg"] = 3; }, false},
      {"index as text", [](nlohmann::json& j) { j["outputs"][0]["keyPath"]["index"] = "0"; }, false},
      {"not an object", [](nlohmann::json& j) { j = nlohmann::json::array(); }, false},
  };
  for (const auto& c : cases) {
    auto j = request({output("a.png", "png")});
    c.change(j);
    EXPECT_EQ(OstrelExportsDescriptor::decode(j).has_value(), c.decodes) << c.what;
  }
}

TEST(ExportRequest, FlatteningFollowsKeyPathsAndRefusesBrokenOnes) {
  auto d = OstrelExportsDescriptor::decode(
      request({output("a.png", "png"), output("a.pdf", "pdf"), output("big/b.webp", "webp", "2x")}));
  ASSERT_TRUE(d);
  auto files = d->exportFileDescriptors();
  ASSERT_TRUE(files);
  ASSERT_EQ(files->size(), 3u);
  EXPECT_EQ((*files)[0].html, (*files)[1].html);
  EXPECT_EQ((*files)[1].type, ExportFileDescriptor::Type::pdf);
  EXPECT_EQ((*files)[0].svg, std::optional<std::string>("<svg/>"));
  EXPECT_FALSE((*files)[2].svg);
  EXPECT_EQ((*files)[2].width, 20);
  EXPECT_EQ((*files)[2].name, "big/b.webp");
  EXPECT_EQ(d->exportQualityOptions().rawValue, ExportQualityOptions::webp);

  struct Case {
    nlohmann::json output;
    long code;
  };
  const Case broken[] = {
      {output("a.png", "png", "3x"), ExportErrors::inconsistantStructure},
      {output("a.png", "png", "1x", 1), ExportErrors::inconsistantStructure},  // null element
      {output("a.png", "png", "1x", 2), ExportErrors::inconsistantStructure},  // past the end
      {output("a.png", "png", "1x", -1), ExportErrors::inconsistantStructure},
      {output("../a.png", "png"), ExportErrors::unsafeName},
      {output("/tmp/a.png", "png"), ExportErrors::unsafeName},
      {output("x/../../a.png", "png"), ExportErrors::unsafeName},
  };
  for (const auto& c : broken) {
    auto bad = OstrelExportsDescriptor::decode(request({c.output}));
    ASSERT_TRUE(bad);
    auto flat = bad->exportFileDescriptors();
    ASSERT_FALSE(flat) << c.output.dump();
    EXPECT_EQ(flat.error().code, c.code) << c.output.dump();
  }
}

TEST(ExportRequest, QualityOptionsDependOnTypesOnly) {
  auto q = [](std::vector<const char*> types) {
    nlohmann::json outs = nlohmann::json::array();
    for (auto t : types) outs.push_back(output("x", t));
    return OstrelExportsDescriptor::decode(request(outs))->exportQualityOptions().rawValue;
  };
  EXPECT_EQ(q({}), 0);
  EXPECT_EQ(q({"png", "pdf", "html", "svg"}), 0);
  EXPECT_EQ(q({"jpg", "webp", "jpg"}), 3);
  EXPECT_EQ(q({"jpg"}), 1);
}

TEST(ExportRequest, SingleDescriptorRoundTrips) {
  auto d = ExportFileDescriptor::decode(
      {{"html", "<b>x</b>"}, {"svg", nullptr}, {"width", 3}, {"height", 4}, {"type", "jpg"}, {"name", "x.jpg"}});
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->svg);
  auto again = ExportFileDescriptor::decode(d->encode());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->encode(), d->encode());
  EXPECT_FALSE(d->encode().contains("svg"));
  for (double huge : {1e300, -1e300, 1e19})
    EXPECT_FALSE(ExportFileDescriptor::decode(
        {{"html", "x"}, {"width", huge}, {"height", 4}, {"type", "png"}, {"name", "x.png"}})) << huge;
}

TEST(ExportRequest, SafeNames) {
  for (auto name : {"a.png", "a/b.png", "a b/c.d.png", "..a.png", "a..png"}) EXPECT_TRUE(isSafeRelativeName(name)) << name;
  for (auto name : {"", "/a.png", "..", "../a", "a/../b", "a/./b", "a//b", "a/", "."}) EXPECT_FALSE(isSafeRelativeName(name)) << name;
}

}  // namespace
