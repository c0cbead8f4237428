#pragma once
// The typefaces the editor page offers: every installed family with its styles, the seven
// families of the system interface typeface under private selectors, and the default style.
// Built once per editor page from fontconfig.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace TypefaceTable {

struct Row {
  std::string style;     // "Bold Italic"
  std::string selector;  // the PostScript name, or "__SF-UI-Text-Bold-Italic__"
  int weight = 400;      // CSS weight
  bool operator==(const Row&) const = default;
};
using Table = std::map<std::string, std::vector<Row>>;

struct Descriptor {
  std::string selector;
  int weight = 400;
  bool operator==(const Descriptor&) const = default;
};

// An installed face as the font list reports it, with a weight on the 0–15 scale of font
// managers (5 regular, 9 bold).
struct Member {
  std::string postScriptName;
  std::string styleName;
  int managerWeight = 5;
};
struct Family {
  std::string name;
  std::vector<Member> members;  // in the font list's order
};

int cssWeight(int managerWeight);
// The synthetic families; `word` is "Pro" on current systems.
Table syntheticFamilies(const std::string& word = "Pro");
// `faceNames`: the name each available face file is known by; "Roboto" and "Roboto Mono" stay
// only when at least two faces end with their regular face's name.
Table build(const std::vector<Family>& installed, const std::vector<std::string>& faceNames,
            const std::string& word = "Pro");
// "SF UI Text", else "Helvetica Neue": the first row's selector and weight.
std::optional<Descriptor> defaultDescriptor(const Table& table);

// The machine's table, from fontconfig.
Table systemTable();

}  // namespace TypefaceTable
