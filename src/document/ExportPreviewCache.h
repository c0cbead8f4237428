#pragma once
// The document's cache of rendered export previews. The export subsystem fills it; until then
// it holds nothing and clearing it is all a document does with it.

class ExportPreviewCache {
 public:
  void clear() { ++clearCount_; }
  int clearCount() const { return clearCount_; }

 private:
  int clearCount_ = 0;
};
