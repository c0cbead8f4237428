// Which names occur in which texts: the same answer as looking for each name in each text, for
// names that overlap, nest, repeat or fail late, and for any bytes.
#include <gtest/gtest.h>

#include <random>

#include "document/storage/NameSearch.h"

namespace {

std::vector<bool> eachLookedFor(const std::vector<std::string>& names, const std::vector<std::string>& texts) {
  std::vector<bool> found;
  for (const auto& name : names) {
    bool any = false;
    for (const auto& text : texts) any = any || (!name.empty() && text.find(name) != std::string::npos);
    found.push_back(any);
  }
  return found;
}

std::vector<bool> searched(const std::vector<std::string>& names, const std::vector<std::string>& texts) {
  NameSearch search(names);
  for (const auto& text : texts) search.search(text);
  std::vector<bool> found;
  for (std::size_t i = 0; i < names.size(); ++i) found.push_back(search.found(i));
  return found;
}

}  // namespace

TEST(NameSearch, FindsWhatLookingForEachNameFinds) {
  struct Case {
    const char* what;
    std::vector<std::string> names;
    std::vector<std::string> texts;
  } cases[] = {
      {"plain", {"logo.png", "icon.png"}, {"<img src=\"design/images/logo.png\">"}},
      {"one inside another", {"a.png", "data.png", "ta.png"}, {"metadata.png"}},
      {"a suffix found through a longer near miss", {"abcd", "bc"}, {"abce"}},
      {"names that repeat", {"x.png", "x.png"}, {"the x.png"}},
      {"not across two texts", {"logo.png"}, {"lo", "go.png"}},
      {"empty name and empty text", {"", "a"}, {"", "b"}},
      {"bytes past ASCII and zero", {std::string("\xc3\xa9\0.png", 6), "\xff"}, {std::string("k\xc3\xa9\0.png", 7)}},
      {"a long near miss", {std::string(255, 'a') + "b", std::string(254, 'a')}, {std::string(10000, 'a')}},
      {"overlapping at every byte", {"aa", "aaa", "ab", "ba"}, {"aaab"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(searched(c.names, c.texts), eachLookedFor(c.names, c.texts));
  }
}

TEST(NameSearch, AgreesWithLookingForEachNameOnRandomTexts) {
  std::mt19937 random(71);
  auto word = [&](std::size_t longest) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, longest)(random), 'a');
    for (auto& c : s) c = static_cast<char>('a' + std::uniform_int_distribution<int>(0, 2)(random));
    return s;
  };
  for (int round = 0; round < 500; ++round) {
    std::vector<std::string> names(std::uniform_int_distribution<int>(1, 12)(random));
    for (auto& name : names) name = word(6);
    std::vector<std::string> texts(std::uniform_int_distribution<int>(1, 4)(random));
    for (auto& text : texts) text = word(40);
    ASSERT_EQ(searched(names, texts), eachLookedFor(names, texts)) << "round " << round;
  }
}

// Names that part at one byte into many ways (every byte value after a shared stem), some
// ending where others go on.
TEST(NameSearch, AgreesWithLookingForEachNameWhereNamesPartManyWays) {
  std::mt19937 random(78);
  auto byte = [&] { return static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random)); };
  for (int round = 0; round < 200; ++round) {
    const std::string stem = round % 2 ? "pp" : "";
    std::vector<std::string> names;
    int count = std::uniform_int_distribution<int>(1, 300)(random);
    for (int i = 0; i < count; ++i) {
      std::string name = stem + byte();
      if (i % 3 == 0) name += byte();
      names.push_back(name);
    }
    std::vector<std::string> texts(2);
    for (auto& text : texts) {
      for (int i = 0; i < 64; ++i) text += i % 4 ? std::string(1, byte()) : stem;
    }
    ASSERT_EQ(searched(names, texts), eachLookedFor(names, texts)) << "round " << round;
  }
}

TEST(NameSearch, StopsLookingOnceEveryNameIsFound) {
  NameSearch search({"a", "b"});
  EXPECT_FALSE(search.allFound());
  search.search("ab");
  EXPECT_TRUE(search.allFound());
  NameSearch none({});
  EXPECT_TRUE(none.allFound());
}
