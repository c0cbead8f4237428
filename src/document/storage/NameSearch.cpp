#include "NameSearch.h"

#include <algorithm>
#include <deque>

namespace {
std::uint64_t keyOf(std::int32_t node, std::uint8_t byte) {
  return ((static_cast<std::uint64_t>(node) << 8) | byte) + 1;
}
std::size_t slotOf(std::uint64_t key, std::size_t mask) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
}
}  // namespace

NameSearch::NameSearch(std::vector<std::string> names) : names_(std::move(names)) {
  std::fill(std::begin(rootNext_), std::end(rootNext_), none);
  std::size_t edges = 0;
  for (const auto& name : names_) edges += name.size();
  std::size_t capacity = 16;
  while (capacity < 2 * edges) capacity *= 2;
  edgeKeys_.assign(capacity, 0);
  edgeTargets_.assign(capacity, none);

  fail_.push_back(0);
  terminal_.push_back(none);
  std::vector<char> ends(1, 0);
  for (const auto& name : names_) {
    std::int32_t node = 0;
    for (char c : name) {
      auto byte = static_cast<std::uint8_t>(c);
      std::int32_t to = next(node, byte);
      if (to == none) {
        to = static_cast<std::int32_t>(fail_.size());
        fail_.push_back(0);
        terminal_.push_back(none);
        ends.push_back(0);
        addEdge(node, byte, to);
      }
      node = to;
    }
    nameNode_.push_back(node);
    if (node != 0) ends[node] = 1;
  }
  found_.assign(fail_.size(), 0);
  for (auto node : nameNode_)
    if (node != 0 && !found_[node]) {
      found_[node] = 1;  // counted once; cleared below
      ++remaining_;
    }
  std::fill(found_.begin(), found_.end(), 0);
  found_[0] = 1;  // empty names are never found: marked so that the chain walk stops there

  // Breadth first: a node's failure link is settled before its children's.
  std::vector<std::vector<std::pair<std::uint8_t, std::int32_t>>> children(fail_.size());
  for (std::size_t slot = 0; slot < edgeKeys_.size(); ++slot)
    if (edgeKeys_[slot]) {
      auto key = edgeKeys_[slot] - 1;
      children[key >> 8].push_back({static_cast<std::uint8_t>(key & 0xFF), edgeTargets_[slot]});
    }
  for (int byte = 0; byte < 256; ++byte)
    if (rootNext_[byte] != none) children[0].push_back({static_cast<std::uint8_t>(byte), rootNext_[byte]});
  std::deque<std::int32_t> queue;
  for (auto [byte, child] : children[0]) {
    fail_[child] = 0;
    queue.push_back(child);
  }
  while (!queue.empty()) {
    std::int32_t node = queue.front();
    queue.pop_front();
    terminal_[node] = ends[node] ? node : terminal_[fail_[node]];
    for (auto [byte, child] : children[node]) {
      std::int32_t f = fail_[node];
      while (f != 0 && next(f, byte) == none) f = fail_[f];
      std::int32_t to = next(f, byte);
      fail_[child] = to == none ? 0 : to;
      queue.push_back(child);
    }
  }
}

std::int32_t NameSearch::next(std::int32_t node, std::uint8_t byte) const {
  if (node == 0) return rootNext_[byte];
  std::size_t mask = edgeKeys_.size() - 1;
  auto key = keyOf(node, byte);
  for (std::size_t slot = slotOf(key, mask);; slot = (slot + 1) & mask) {
    if (edgeKeys_[slot] == key) return edgeTargets_[slot];
    if (!edgeKeys_[slot]) return none;
  }
}

void NameSearch::addEdge(std::int32_t node, std::uint8_t byte, std::int32_t to) {
  if (node == 0) {
    rootNext_[byte] = to;
    return;
  }
  std::size_t mask = edgeKeys_.size() - 1;
  auto key = keyOf(node, byte);
  std::size_t slot = slotOf(key, mask);
  while (edgeKeys_[slot]) slot = (slot + 1) & mask;
  edgeKeys_[slot] = key;
  edgeTargets_[slot] = to;
}

void NameSearch::search(std::string_view text) {
  std::int32_t node = 0;
  for (char c : text) {
    if (remaining_ == 0) return;
    auto byte = static_cast<std::uint8_t>(c);
    std::int32_t to = next(node, byte);
    while (to == none && node != 0) {
      node = fail_[node];
      to = next(node, byte);
    }
    node = to == none ? 0 : to;
    // Every name ending here is found; a name found before has had its own suffixes found with
    // it, so the walk stops there and each name is walked over once in all.
    for (std::int32_t t = terminal_[node]; t != none && !found_[t]; t = terminal_[fail_[t]]) {
      found_[t] = 1;
      --remaining_;
    }
  }
}
