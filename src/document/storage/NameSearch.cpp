#include "NameSearch.h"

#include <algorithm>
#include <numeric>

namespace {
std::size_t slotOf(std::int32_t node, std::size_t mask) {
  return static_cast<std::size_t>((static_cast<std::uint64_t>(node) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}
}  // namespace

NameSearch::NameSearch(std::vector<std::string> names) : names_(std::move(names)) {
  std::fill(std::begin(rootNext_), std::end(rootNext_), none);
  nameNode_.assign(names_.size(), 0);
  // In byte order a node's descendants come together, and its children in order.
  std::vector<std::uint32_t> order(names_.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return names_[a] < names_[b]; });
  std::size_t total = 0;
  for (const auto& name : names_) total += name.size();
  label_.reserve(total + 1);
  firstLabel_.reserve(total + 1);
  flags_.reserve(total + 1);
  sibling_.reserve(total + 1);
  label_.push_back(0);
  firstLabel_.push_back(-1);
  flags_.push_back(0);
  sibling_.push_back(none);

  std::vector<std::int32_t> path{0};  // the nodes of the name before, by depth
  const std::string* previous = nullptr;
  for (auto index : order) {
    const std::string& name = names_[index];
    std::size_t shared = 0;
    if (previous)
      while (shared < name.size() && shared < previous->size() && name[shared] == (*previous)[shared]) ++shared;
    for (std::size_t depth = shared; depth < name.size(); ++depth) {
      auto id = static_cast<std::int32_t>(label_.size());
      auto byte = static_cast<std::uint8_t>(name[depth]);
      std::int32_t parent = path[depth];
      // The parent's children so far are on the path of the name before.
      if (firstLabel_[parent] >= 0)
        sibling_[path[depth + 1]] = id;
      else
        firstLabel_[parent] = byte;
      if (parent == 0) rootNext_[byte] = id;
      label_.push_back(byte);
      firstLabel_.push_back(-1);
      flags_.push_back(0);
      sibling_.push_back(none);
      path.resize(depth + 2);
      path[depth + 1] = id;
    }
    path.resize(name.size() + 1);
    std::int32_t end = path[name.size()];
    nameNode_[index] = end;
    if (end != 0 && !(flags_[end] & endsName)) {
      flags_[end] |= endsName;
      ++remaining_;
    }
    previous = &name;
  }

  std::size_t nodes = label_.size();
  std::vector<std::int32_t> many;
  for (std::size_t node = 1; node < nodes; ++node) {
    if (firstLabel_[node] < 0) continue;
    std::size_t count = 0;
    for (auto child = static_cast<std::int32_t>(node + 1); child != none; child = sibling_[child]) ++count;
    if (count > mostChildrenListed) many.push_back(static_cast<std::int32_t>(node));
  }
  std::size_t slots = 16;
  while (slots < 2 * many.size()) slots *= 2;
  tableKeys_.assign(slots, none);
  tableAt_.assign(slots, 0);
  tables_.assign(many.size() * 256, none);
  for (std::size_t i = 0; i < many.size(); ++i) {
    std::int32_t node = many[i];
    flags_[node] |= hasTable;
    std::size_t slot = slotOf(node, slots - 1);
    while (tableKeys_[slot] != none) slot = (slot + 1) & (slots - 1);
    tableKeys_[slot] = node;
    tableAt_[slot] = static_cast<std::int32_t>(i * 256);
    for (auto child = node + 1; child != none; child = sibling_[child]) tables_[i * 256 + label_[child]] = child;
  }

  // Breadth first: a node's failure link is settled before its children's.
  fail_.assign(nodes, 0);
  terminal_.assign(nodes, none);
  std::vector<std::int32_t> queue;
  queue.reserve(nodes);
  if (nodes > 1)
    for (std::int32_t child = 1; child != none; child = sibling_[child]) queue.push_back(child);
  for (std::size_t at = 0; at < queue.size(); ++at) {
    std::int32_t node = queue[at];
    terminal_[node] = (flags_[node] & endsName) ? node : terminal_[fail_[node]];
    if (firstLabel_[node] < 0) continue;
    for (std::int32_t child = node + 1; child != none; child = sibling_[child]) {
      std::uint8_t byte = label_[child];
      std::int32_t f = fail_[node];
      std::int32_t to = next(f, byte);
      while (to == none && f != 0) {
        f = fail_[f];
        to = next(f, byte);
      }
      fail_[child] = to == none ? 0 : to;
      queue.push_back(child);
    }
  }
}

std::int32_t NameSearch::next(std::int32_t node, std::uint8_t byte) const {
  if (node == 0) return rootNext_[byte];
  // Most nodes lie on one name alone: their only child is the next node.
  std::int16_t first = firstLabel_[node];
  if (first == byte) return node + 1;
  if (first < 0 || first > byte) return none;
  if (flags_[node] & hasTable) return tableOf(node)[byte];
  for (std::int32_t child = sibling_[node + 1]; child != none; child = sibling_[child]) {
    if (label_[child] == byte) return child;
    if (label_[child] > byte) return none;
  }
  return none;
}

const std::int32_t* NameSearch::tableOf(std::int32_t node) const {
  std::size_t mask = tableKeys_.size() - 1;
  std::size_t slot = slotOf(node, mask);
  while (tableKeys_[slot] != node) slot = (slot + 1) & mask;
  return &tables_[static_cast<std::size_t>(tableAt_[slot])];
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
    for (std::int32_t t = terminal_[node]; t != none && !(flags_[t] & foundFlag); t = terminal_[fail_[t]]) {
      flags_[t] |= foundFlag;
      --remaining_;
    }
  }
}
