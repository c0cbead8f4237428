#pragma once
// Which of a set of names occur in texts, in one pass over each text whatever the names are
// (an Aho-Corasick automaton): the cost is the texts' length plus the names' length, never
// their product, and the automaton takes some 16 bytes per byte of the names. A name is found
// only within one text given to search(). Any thread; one object is used by one thread at a time.

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
  bool found(std::size_t i) const { return nameNode_[i] != 0 && (flags_[nameNode_[i]] & foundFlag); }

 private:
  static constexpr std::int32_t none = -1;
  static constexpr std::uint8_t hasTable = 1, endsName = 2, foundFlag = 4;
  // A node with more children than this finds them in a table of 256; such nodes are at most a
  // seventh as many as the names.
  static constexpr std::size_t mostChildrenListed = 8;
  std::int32_t next(std::int32_t node, std::uint8_t byte) const;

  std::vector<std::string> names_;
  std::vector<std::int32_t> nameNode_;  // the node where each name ends (0 for an empty one)
  // Nodes are numbered depth first in the names' byte order: a node's first child is the next
  // node, its others follow by sibling_, in byte order.
  std::vector<std::uint8_t> label_;     // the byte that leads to each node
  std::vector<std::int16_t> firstLabel_;  // its first child's, -1 when it has none
  std::vector<std::uint8_t> flags_;
  std::vector<std::int32_t> sibling_;
  std::vector<std::int32_t> fail_;      // the longest proper suffix that is a node
  std::vector<std::int32_t> terminal_;  // the nearest node ending a name on the suffix chain
  // The tables of nodes with many children, 256 moves each, found by open addressing.
  std::vector<std::int32_t> tables_;
  std::vector<std::int32_t> tableKeys_;  // the node whose table each slot holds, or none
  std::vector<std::int32_t> tableAt_;
  const std::int32_t* tableOf(std::int32_t node) const;
  std::int32_t rootNext_[256];          // the root's moves, looked up most often
  std::size_t remaining_ = 0;
};
