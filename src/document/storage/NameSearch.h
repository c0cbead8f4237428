#pragma once
// Which of a set of names occur in texts, in one pass over each text whatever the names are
// (an Aho-Corasick automaton): the cost is the texts' length plus the names' length, never
// their product. A name is found only within one text given to search(). Any thread; one object
// is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class NameSearch {
 public:
  // Empty names are never found.
  explicit NameSearch(std::vector<std::string> names);

  void search(std::string_view text);
  bool allFound() const { return remaining_ == 0; }
  const std::vector<std::string>& names() const { return names_; }
  // Whether names()[i] was found.
  bool found(std::size_t i) const { return nameNode_[i] != 0 && found_[nameNode_[i]]; }

 private:
  static constexpr std::int32_t none = -1;
  std::int32_t next(std::int32_t node, std::uint8_t byte) const;
  void addEdge(std::int32_t node, std::uint8_t byte, std::int32_t to);

  std::vector<std::string> names_;
  std::vector<std::int32_t> nameNode_;      // the node where each name ends (0 for an empty one)
  std::int32_t rootNext_[256];              // the root's moves, looked up most often
  std::vector<std::uint64_t> edgeKeys_;     // open addressing: (node << 8 | byte) + 1, 0 when free
  std::vector<std::int32_t> edgeTargets_;
  std::vector<std::int32_t> fail_;          // the longest proper suffix that is a node
  std::vector<std::int32_t> terminal_;      // the nearest node ending a name on the suffix chain
  std::vector<char> found_;                 // per node
  std::size_t remaining_ = 0;
};
