#pragma once
// The installation's A/B test decisions: experiment name to variant. Making an ABTests loads the
// stored table into the live one; save() stores the decisions a user record carries and, when
// asked, makes them live. The tutorial call-to-action keeps the variant first stored for it.
// Main thread only.

#include <functional>
#include <map>
#include <string>

class Defaults;
struct UserInfo;

class ABTests {
 public:
  static constexpr const char* ExperimentTutorialButtonCta = "tutorialButtonCta";

  // Loads the table stored under "UserDefaultsABTestDecisions" when every value is text.
  explicit ABTests(Defaults& defaults);

  static const std::map<std::string, std::string>& experiments() { return live(); }
  static void save(const UserInfo& userInfo, bool andUpdate, Defaults& defaults);
  static bool isActive(const std::string& experiment, const std::string& variant);
  // Calls `body` once, before returning, when the experiment has a variant.
  static void withVariant(const std::string& experiment, const std::function<void(const std::string&)>& body);

 private:
  static std::map<std::string, std::string>& live();
};
