#include "tests/profile_store_invariants.h"

#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/key_line_collector.h"
#include "rules/profile_store.h"

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
  return c == ' ' || c == '\t';
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

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
  }
  return line;
}

// Whether an edit of the touched names may have made, changed or removed
// this line: a key line of a touched key, or a header of a touched section.
// Judged from the line alone, so that it sorts the old and the new text's
// lines the same way.
bool MayBeTouched(std::string_view line, const std::set<std::string>& keys,
                  const std::set<std::string>& sections) {
  std::string_view content = Trim(WithoutLineEnd(line));
  if (content.empty() || content[0] == ';') {
    return false;
  }
  if (content[0] == '[') {
    std::size_t close = content.find(']');
    std::string_view name = content.substr(1, close == std::string_view::npos ? close : close - 1);
    return sections.count(Lower(Trim(name))) != 0;
  }
  std::size_t equals = content.find('=');
  return equals != std::string_view::npos && keys.count(Lower(Trim(content.substr(0, equals))));
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
        if (c == '\n') {
          c = 'n';
        }
      }
    }
  }
  const std::size_t pieceSize = input.Take() % 64 + 1;
  const std::string original(input.Rest());

  ProfileStore pristine(original);
  ProfileStore store(original);
  std::map<Name, std::string> model;  // what touched keys must read
  std::set<std::string> touchedKeys;
  std::set<std::string> touchedSections;
  auto fail = [&](const std::string& what, const Operation& operation) {
    *failure = what + " [" + operation.section + "] " + operation.key;
    return false;
  };
  for (const Operation& operation : operations) {
    Name name(Lower(operation.section), Lower(operation.key));
    if (operation.kind == 1) {
      store.Write(operation.section, operation.key, operation.value);
      model[name] = std::string(Trim(operation.value));
    } else if (operation.kind == 2) {
      store.Delete(operation.section, operation.key);
      model[name] = "";
    }
    if (operation.kind != 0) {
      touchedKeys.insert(name.second);
      touchedSections.insert(name.first);
    }
    auto known = model.find(name);
    std::string expected =
        known != model.end() ? known->second : pristine.Read(operation.section, operation.key);
    if (store.Read(operation.section, operation.key) != expected) {
      return fail("read back wrong after an edit of", operation);
    }
  }

  const std::string contents = store.Contents();
  if (contents != original && !store.changed()) {
    *failure = "text changed but changed() says no";
    return false;
  }
  ProfileStore reread(contents);
  for (const char* section : kSections) {
    for (const char* key : kKeys) {
      auto known = model.find(Name(Lower(section), Lower(key)));
      std::string expected = known != model.end() ? known->second : pristine.Read(section, key);
      if (reread.Read(section, key) != expected) {
        *failure = std::string("the text taken out reads wrong at [") + section + "] " + key;
        return false;
      }
    }
  }

  // Kept key lines tell what the edits of a section do as the whole text does.
  std::vector<std::string> keys(std::begin(kKeys), std::end(kKeys));
  for (const char* section : kSections) {
    KeyLineCollector collector(section, keys);
    for (std::size_t at = 0; at < original.size(); at += pieceSize) {
      if (!collector.Feed(std::string_view(original).substr(at, pieceSize))) {
        break;
      }
    }
    ProfileStore kept(collector.Finish());
    ProfileStore whole(original);
    for (const Operation& operation : operations) {
      if (Lower(operation.section) != Lower(section)) {
        continue;
      }
      if (operation.kind == 1) {
        kept.Write(operation.section, operation.key, operation.value);
        whole.Write(operation.section, operation.key, operation.value);
      } else if (operation.kind == 2) {
        kept.Delete(operation.section, operation.key);
        whole.Delete(operation.section, operation.key);
      }
      if (kept.Read(operation.section, operation.key) !=
              whole.Read(operation.section, operation.key) ||
          kept.changed() != whole.changed()) {
        return fail("kept key lines and the whole text disagree on", operation);
      }
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
    *failure = "untouched lines were added or lost";
    return false;
  }
  for (std::size_t i = 0; i < before.size(); ++i) {
    bool gainedLineEnd = before[i].back() != '\n' && WithoutLineEnd(after[i]) == before[i] &&
                         after[i].size() > before[i].size();
    if (before[i] != after[i] && !gainedLineEnd) {
      *failure = "untouched line " + std::to_string(i) + " changed";
      return false;
    }
  }
  return true;
}
