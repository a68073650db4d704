#include "tests/profile_store_invariants.h"

#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "profile/profile_store.h"

namespace {

// Names within the store's contract: no line feed; sections trimmed and
// without "]"; keys without "=" and not starting with "[" or ";".
const char* const kSections[] = {"AutoExpand", "autoexpand", "Visualizer", "S", "a b"};
const char* const kKeys[] = {"CEdit", "cedit", "ov-CEdit", "k", "std::vector<*>", "a b"};
constexpr std::size_t kSectionCount = sizeof kSections / sizeof kSections[0];
constexpr std::size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

// Takes the operations from the end of the input, so that the front stays a
// file as it was given.
class Backwards {
 public:
  Backwards(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Take() { return size_ == 0 ? 0 : data_[--size_]; }
  std::string_view Rest() const {
    return std::string_view(reinterpret_cast<const char*>(data_), size_);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// Lines end at LF, CRLF or a lone CR.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find_first_of("\r\n");
    std::size_t length = end == std::string_view::npos       ? text.size()
                         : text.compare(end, 2, "\r\n") == 0 ? end + 2
                                                             : end + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

std::string_view WithoutLineEnd(std::string_view line) {
  return line.substr(0, line.find_first_of("\r\n"));
}

// What a line is: a header (|*name| set), a key line (|*key| and |*value|
// set), or neither.
enum class Kind { kOther, kHeader, kKey };
Kind Classify(std::string_view line, bool first, std::string_view* name, std::string_view* value) {
  std::string_view content = WithoutLineEnd(line);
  if (first && content.substr(0, 3) == "\xEF\xBB\xBF") {
    content.remove_prefix(3);
  }
  content = Trim(content);
  std::size_t close = content.rfind(']');
  if (!content.empty() && content[0] == '[' && close != std::string_view::npos) {
    *name = Trim(content.substr(1, close - 1));
    return Kind::kHeader;
  }
  std::size_t equals = content.find('=');
  if (content.empty() || content[0] == ';' || equals == std::string_view::npos) {
    return Kind::kOther;
  }
  *name = Trim(content.substr(0, equals));
  *value = Trim(content.substr(equals + 1));
  return Kind::kKey;
}

// The values of every line of |key| in the first section named |section|.
std::vector<std::string> KeyValues(std::string_view text, std::string_view section,
                                   std::string_view key) {
  std::vector<std::string> values;
  int seen = 0;  // 1 inside the section, 2 after it
  bool first = true;
  for (std::string_view line : Lines(text)) {
    std::string_view name;
    std::string_view value;
    Kind kind = Classify(line, first, &name, &value);
    first = false;
    if (kind == Kind::kHeader && seen > 0) {
      seen = 2;
    } else if (kind == Kind::kHeader && Lower(name) == Lower(section)) {
      seen = 1;
    } else if (kind == Kind::kKey && seen == 1 && Lower(name) == Lower(key)) {
      values.emplace_back(value);
    }
  }
  return values;
}

// Whether an edit of the touched names may have made, changed or removed
// this line: a key line of a touched key, or a header of a touched section.
// Judged from the line alone, so that it sorts the old and the new text's
// lines the same way.
bool MayBeTouched(std::string_view line, const std::set<std::string>& keys,
                  const std::set<std::string>& sections) {
  std::string_view name;
  std::string_view value;
  Kind kind = Classify(line, false, &name, &value);
  return (kind == Kind::kHeader && sections.count(Lower(name)) != 0) ||
         (kind == Kind::kKey && keys.count(Lower(name)) != 0);
}

bool EndsInLineEnd(std::string_view text) {
  return !text.empty() && (text.back() == '\n' || text.back() == '\r');
}

using Name = std::pair<std::string, std::string>;  // section and key, lower case

}  // namespace

bool CheckStoreInvariants(const std::uint8_t* data, std::size_t size, std::string* failure) {
  Backwards input(data, size);
  struct Operation {
    int kind;  // 0 read, 1 write, 2 delete
    const char* section;
    const char* key;
    std::string value;
  };
  std::vector<Operation> operations(input.Take() % 24);
  for (Operation& operation : operations) {
    std::uint8_t choice = input.Take();
    operation.kind = choice % 3;
    operation.section = kSections[(choice / 3) % kSectionCount];
    operation.key = kKeys[input.Take() % kKeyCount];
    if (operation.kind == 1) {
      operation.value.resize(input.Take() % 16);
      for (char& c : operation.value) {
        c = static_cast<char>(input.Take());
        if (c == '\n' || c == '\r') {
          c = 'n';
        }
      }
    }
  }
  const unsigned indexed = input.Take();  // a bit per key of kKeys: the keys indexed
  const std::string original(input.Rest());

  ProfileStore store(original);
  // What each touched key's lines hold, in order; the first is what reads.
  std::map<Name, std::vector<std::string>> model;
  std::set<Name> vacant;  // deleted, not written since: a write takes the first place
  std::set<std::string> touchedKeys;
  std::set<std::string> touchedSections;
  auto lines = [&](const char* section, const char* key) -> std::vector<std::string>& {
    Name name(Lower(section), Lower(key));
    auto known = model.find(name);
    if (known == model.end()) {
      known = model.emplace(name, KeyValues(original, section, key)).first;
    }
    return known->second;
  };
  auto fail = [&](const std::string& what, const Operation& operation) {
    *failure = what + " [" + operation.section + "] " + operation.key;
    return false;
  };
  for (const Operation& operation : operations) {
    Name name(Lower(operation.section), Lower(operation.key));
    std::vector<std::string>& values = lines(operation.section, operation.key);
    if (operation.kind == 1) {
      store.Write(operation.section, operation.key, operation.value);
      std::string value(Trim(operation.value));
      if (vacant.erase(name) != 0 || values.empty()) {
        values.insert(values.begin(), value);
      } else {
        values.front() = value;
      }
    } else if (operation.kind == 2) {
      store.Delete(operation.section, operation.key);
      if (!values.empty()) {
        values.erase(values.begin());
        vacant.insert(name);
      }
    }
    if (operation.kind != 0) {
      touchedKeys.insert(name.second);
      touchedSections.insert(name.first);
    }
    std::string expected = values.empty() ? "" : values.front();
    if (store.Read(operation.section, operation.key) != expected) {
      return fail("read back wrong after an edit of", operation);
    }
  }

  const std::string contents = store.Contents();
  if (contents != original && !store.edited()) {
    *failure = "text changed but edited() says no";
    return false;
  }
  ProfileStore reread(contents);
  for (const char* section : kSections) {
    for (const char* key : kKeys) {
      std::vector<std::string>& values = lines(section, key);
      if (reread.Read(section, key) != (values.empty() ? "" : values.front())) {
        *failure = std::string("the text taken out reads wrong at [") + section + "] " + key;
        return false;
      }
    }
  }

  // A text keeps its ending, with a line end or without one, unless an
  // empty line, which is nothing but its line end, has become its last.
  std::vector<std::string_view> contentLines = Lines(contents);
  bool endsInEmptyLine = !contentLines.empty() && WithoutLineEnd(contentLines.back()).empty();
  if (!original.empty() && !contents.empty() && !endsInEmptyLine &&
      EndsInLineEnd(original) != EndsInLineEnd(contents)) {
    *failure = "the text's ending changed";
    return false;
  }

  // A store told beforehand of some keys of a section (as a run tells it of
  // the rules' keys) edits just as one that was not, other keys asked or not.
  for (const char* section : kSections) {
    std::vector<std::string> keys;
    for (std::size_t key = 0; key < kKeyCount; ++key) {
      if ((indexed >> key & 1) != 0) {
        keys.emplace_back(kKeys[key]);
      }
    }
    ProfileStore told(original);
    told.Index(section, keys);
    for (const Operation& operation : operations) {
      if (operation.kind == 0) {
        told.Read(operation.section, operation.key);
      } else if (operation.kind == 1) {
        told.Write(operation.section, operation.key, operation.value);
      } else {
        told.Delete(operation.section, operation.key);
      }
    }
    if (told.Contents() != contents || told.edited() != store.edited()) {
      *failure = std::string("a store told of keys edits otherwise in [") + section + "]";
      return false;
    }
  }

  std::vector<std::string_view> before;
  for (std::string_view line : Lines(original)) {
    if (!MayBeTouched(line, touchedKeys, touchedSections)) {
      before.push_back(line);
    }
  }
  std::vector<std::string_view> after;
  for (std::string_view line : Lines(contents)) {
    if (!MayBeTouched(line, touchedKeys, touchedSections)) {
      after.push_back(line);
    }
  }
  if (before.size() != after.size()) {
    // A line deleted from between a lone CR and a line feed leaves them
    // side by side, where they read as one CRLF: one empty line fewer, and
    // every byte still there.
    std::string joinedBefore, joinedAfter;
    for (std::string_view line : before) {
      joinedBefore.append(line);
    }
    for (std::string_view line : after) {
      joinedAfter.append(line);
    }
    if (WithoutLineEnd(joinedBefore) != WithoutLineEnd(joinedAfter)) {
      *failure = "untouched lines were added or lost";
      return false;
    }
    return true;
  }
  for (std::size_t i = 0; i < before.size(); ++i) {
    // Only the last line's line end may come or go, as lines are added
    // after it or deleted after it.
    bool lent = WithoutLineEnd(before[i]) == WithoutLineEnd(after[i]) &&
                (!EndsInLineEnd(before[i]) || !EndsInLineEnd(after[i]));
    if (before[i] != after[i] && !lent) {
      *failure = "untouched line " + std::to_string(i) + " changed";
      return false;
    }
  }
  return true;
}
