#ifndef AUTOEXP_RULES_KEY_LINE_COLLECTOR_H_
#define AUTOEXP_RULES_KEY_LINE_COLLECTOR_H_

#include <string>
#include <string_view>
#include <vector>

// Reads a profile text in pieces, as they come off the disk, and keeps only
// the lines of a few keys in the first section of one name, the way
// ProfileStore would find them. Reading, writing and deleting those keys in a
// ProfileStore over the kept lines changes something exactly when it would
// in a store over the whole text, so a run can tell that it has nothing to do
// without holding the file in memory.
class KeyLineCollector {
 public:
  KeyLineCollector(std::string_view section, const std::vector<std::string>& keys);

  // Takes the next piece of the text; pieces may split lines anywhere.
  // Returns false once the section is over and the rest of the text cannot
  // change what is kept.
  bool Feed(std::string_view piece);

  // After the last piece: the section's header line and the kept key lines,
  // in their order and with their bytes; "" when the text has no such section.
  std::string Finish();

 private:
  void TakeLine(std::string_view line);
  bool Wanted(std::string_view key) const;

  enum class Where { kBefore, kInside, kAfter };

  std::string section_;
  std::vector<std::string> keys_;
  std::vector<bool> wantedLength_;  // by key length, to pass most lines by at once
  std::string partial_;             // a line begun in one piece and not ended yet
  bool atTextStart_ = true;
  Where where_ = Where::kBefore;
  std::string kept_;
};

#endif  // AUTOEXP_RULES_KEY_LINE_COLLECTOR_H_
