#pragma once
// The page's description of export outputs: one output file (ExportFileDescriptor) and a whole
// export (OstrelExportsDescriptor), decoded strictly from the page's JSON. Plain values.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/Error.h"

// The quality rows an export's panel offers.
struct ExportQualityOptions {
  static constexpr int jpeg = 1;
  static constexpr int webp = 2;
  int rawValue = 0;
  bool contains(int option) const { return (rawValue & option) != 0; }
  bool empty() const { return rawValue == 0; }
};

namespace ExportErrors {
inline constexpr const char* Domain = "com.korvel.export";
enum Code : long { undecodable = 1, inconsistantStructure = 2, unsafeName = 3, tooMuchInlined = 4 };
}  // namespace ExportErrors

struct ExportFileDescriptor {
  enum class Type { png, jpg, html, pdf, webp, svg };

  std::string html;
  std::optional<std::string> svg;
  std::int64_t width = 0;
  std::int64_t height = 0;
  Type type = Type::png;
  std::string name;

  // Strict: every key but `svg` required and non-null, whole numbers only, exact type names.
  static Result<ExportFileDescriptor> decode(const nlohmann::json& object);
  nlohmann::json encode() const;
  static std::optional<Type> typeNamed(const std::string& raw);
  static const char* rawValue(Type type);
  bool isRendered() const { return type == Type::png || type == Type::jpg || type == Type::pdf || type == Type::webp; }
};

// A name from the page that may place a file below a target folder: relative, not empty, and
// with no "." or ".." component, so it can never leave that folder.
bool isSafeRelativeName(const std::string& name);

struct OstrelExportsDescriptor {
  struct Input {
    std::string html;
    std::optional<std::string> svg;
    std::int64_t width = 0;
    std::int64_t height = 0;
  };
  struct InputKeyPath {
    std::string scale;
    std::int64_t index = 0;
  };
  struct Output {
    std::string name;
    ExportFileDescriptor::Type type = ExportFileDescriptor::Type::png;
    InputKeyPath keyPath;
  };

  std::map<std::string, std::vector<std::optional<Input>>> inputs;
  std::vector<std::string> images;
  std::vector<std::string> fonts;
  std::vector<Output> outputs;

  static Result<OstrelExportsDescriptor> decode(const nlohmann::json& object);
  // One record per output, in output order; fails with inconsistantStructure when a key path
  // leads to no input, and with unsafeName for a name that could leave the export folder.
  Result<std::vector<ExportFileDescriptor>> exportFileDescriptors() const;
  ExportQualityOptions exportQualityOptions() const;
};
