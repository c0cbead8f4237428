// The installed families as fontconfig lists them.

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "canvas/TypefaceTable.h"

namespace {

// OpenType weight (100–900) to the 0–15 scale of font managers.
int managerWeight(int fontconfigWeight) {
  int ot = FcWeightToOpenType(fontconfigWeight);
  if (ot < 150) return 2;
  if (ot < 250) return 3;
  if (ot < 350) return 4;
  if (ot < 450) return 5;
  if (ot < 550) return 6;
  if (ot < 650) return 8;
  if (ot < 750) return 9;
  if (ot < 850) return 10;
  return 12;
}

std::string text(FcPattern* p, const char* object) {
  FcChar8* value = nullptr;
  if (FcPatternGetString(p, object, 0, &value) != FcResultMatch || !value) return {};
  return reinterpret_cast<const char*>(value);
}

}  // namespace

TypefaceTable::Table TypefaceTable::systemTable() {
  struct Face {
    Member member;
    int slant;
  };
  std::map<std::string, std::vector<Face>> byFamily;
  std::vector<std::string> faceNames;

  FcPattern* pattern = FcPatternCreate();
  FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, FC_STYLE, FC_POSTSCRIPT_NAME, FC_WEIGHT, FC_SLANT, nullptr);
  FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
  std::set<std::string> seen;
  for (int i = 0; fonts && i < fonts->nfont; ++i) {
    FcPattern* font = fonts->fonts[i];
    std::string family = text(font, FC_FAMILY), style = text(font, FC_STYLE), ps = text(font, FC_POSTSCRIPT_NAME);
    if (family.empty() || ps.empty()) continue;
    faceNames.push_back(ps);
    if (!seen.insert(family + "\n" + ps).second) continue;  // the same face in another format
    int weight = FC_WEIGHT_REGULAR, slant = FC_SLANT_ROMAN;
    FcPatternGetInteger(font, FC_WEIGHT, 0, &weight);
    FcPatternGetInteger(font, FC_SLANT, 0, &slant);
    byFamily[family].push_back({{ps, style.empty() ? "Regular" : style, managerWeight(weight)}, slant});
  }
  if (fonts) FcFontSetDestroy(fonts);
  FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);

  std::vector<Family> installed;
  for (auto& [name, faces] : byFamily) {
    // Lightest first, upright before slanted, as font managers list a family.
    std::stable_sort(faces.begin(), faces.end(), [](const Face& a, const Face& b) {
      return std::tie(a.member.managerWeight, a.slant, a.member.styleName) <
             std::tie(b.member.managerWeight, b.slant, b.member.styleName);
    });
    Family family{name, {}};
    for (auto& f : faces) family.members.push_back(f.member);
    installed.push_back(std::move(family));
  }
  return build(installed, faceNames);
}
