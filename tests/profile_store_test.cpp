#include "profile/profile_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rules/display_rules.h"
#include "rules/rule_editing.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using std::string_literals::operator""s;

struct ReadCase {
  const char* name;
  std::string text;
  std::string key;
  std::string value;
};

std::ostream& operator<<(std::ostream& out, const ReadCase& c) {
  return out << c.name;
}

class ProfileRead : public testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, FindsTheValue) {
  ProfileStore store(GetParam().text);
  EXPECT_EQ(store.Read("AutoExpand", GetParam().key), GetParam().value);
  EXPECT_FALSE(store.edited());
  EXPECT_EQ(store.Contents(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRead,
    testing::Values(
        ReadCase{"TrimsBlanks", "[AutoExpand]\r\n \tCEdit \t= $ADDIN(a) \t\r\n", "CEdit",
                 "$ADDIN(a)"},
        ReadCase{"KeepsQuotes", "[AutoExpand]\nk=\"a b\"\n", "k", "\"a b\""},
        ReadCase{"KeepsInnerEquals", "[AutoExpand]\nk=a=b\n", "k", "a=b"},
        ReadCase{"IgnoresLetterCase", "[autoEXPAND]\ncedit=x\n", "CEdit", "x"},
        ReadCase{"SkipsComments", "[AutoExpand]\n;CEdit=x\n  ; CEdit=y\n", "CEdit", ""},
        ReadCase{"FirstLineWins", "[AutoExpand]\nk=1\nk=2\n", "k", "1"},
        ReadCase{"FirstSectionWins", "[AutoExpand]\na=1\n[AutoExpand]\nk=2\n", "k", ""},
        ReadCase{"OtherSectionIgnored", "[Visualizer]\nk=1\n[AutoExpand]\nj=2\n", "k", ""},
        ReadCase{"PreambleIgnored", "k=1\n[AutoExpand]\n", "k", ""},
        ReadCase{"EmptyValue", "[AutoExpand]\nk=  \n", "k", ""},
        ReadCase{"LineWithoutEquals", "[AutoExpand]\nk\n", "k", ""},
        ReadCase{"NoLineEndAtEnd", "[AutoExpand]\nk=v", "k", "v"},
        ReadCase{"LoneCarriageReturnEndsALine", "[AutoExpand]\nk=v\rj=w\r", "j", "w"},
        ReadCase{"OtherBlanksTrimmed", "[AutoExpand]\n\vk\f=\x1Av\v\n", "k", "v"},
        ReadCase{"HeaderWithTextAfter", "[ AutoExpand ] mine\nk=v\n", "k", "v"},
        ReadCase{"HeaderNameRunsToLastBracket", "[AutoExpand] ; [x]\nk=v\n", "k", ""},
        ReadCase{"HeaderInJunkIsNone", "[Other]\nx [AutoExpand]\n[AutoExpand]\nk=v\n", "k", "v"},
        ReadCase{"HeaderAfterByteOrderMark", "\xEF\xBB\xBF[AutoExpand]\nk=v\n", "k", "v"},
        ReadCase{"HeaderWithoutBracketIsNone", "[AutoExpand\nk=v\n", "k", ""},
        ReadCase{"BracketLineIsAKey", "[AutoExpand]\n[k=v\n", "[k", "v"},
        ReadCase{"LongValueWhole", "[AutoExpand]\nk=" + std::string(300, 'x') + "\n", "k",
                 std::string(300, 'x')},
        ReadCase{"NulBytes", "[AutoExpand]\nk=a\0b\n"s, "k", "a\0b"s},
        ReadCase{"KeyWithSpaces", "[AutoExpand]\nstd::x<a> > = v\n", "std::x<a> >", "v"},
        ReadCase{"EmptyText", "", "k", ""}),
    [](const testing::TestParamInfo<ReadCase>& param) { return param.param.name; });

struct Edit {
  enum Kind { kWrite, kDelete } kind;
  std::string key;
  std::string value;
};

struct EditCase {
  const char* name;
  std::string before;
  std::vector<Edit> edits;
  std::string after;
};

std::ostream& operator<<(std::ostream& out, const EditCase& c) {
  return out << c.name;
}

class ProfileEdit : public testing::TestWithParam<EditCase> {};

TEST_P(ProfileEdit, ChangesOnlyTheEditedLines) {
  ProfileStore store(GetParam().before);
  for (const Edit& edit : GetParam().edits) {
    if (edit.kind == Edit::kWrite) {
      store.Write("AutoExpand", edit.key, edit.value);
    } else {
      store.Delete("AutoExpand", edit.key);
    }
  }
  EXPECT_EQ(store.Contents(), GetParam().after);
  EXPECT_EQ(store.edited(), GetParam().after != GetParam().before);
  std::string joined;
  for (std::string_view piece : store.Pieces()) {
    joined.append(piece);
  }
  EXPECT_EQ(joined, GetParam().after);
}

const Edit W(std::string key, std::string value) {
  return {Edit::kWrite, key, value};
}
const Edit D(std::string key) {
  return {Edit::kDelete, key, ""};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileEdit,
    testing::Values(
        EditCase{"NewFileGetsSectionInCrlf", "", {W("k", "v")}, "[AutoExpand]\r\nk=v\r\n"},
        EditCase{"NewKeyAfterLastKeyLine",
                 "; top\n[AutoExpand]\na=1\n; note\nb=2\n\n; next\n[Other]\nx=1\n",
                 {W("k", "v")},
                 "; top\n[AutoExpand]\na=1\n; note\nb=2\nk=v\n\n; next\n[Other]\nx=1\n"},
        EditCase{"NewKeyAfterHeaderWhenNoKeys",
                 "[AutoExpand]\r\n; none yet\r\n\r\n",
                 {W("k", "v")},
                 "[AutoExpand]\r\nk=v\r\n; none yet\r\n\r\n"},
        EditCase{"RewriteKeepsSpacing",
                 "[AutoExpand]\r\n  CEdit = old \t\r\n",
                 {W("CEdit", "new")},
                 "[AutoExpand]\r\n  CEdit = new \t\r\n"},
        EditCase{"RewriteKeepsKeySpelling",
                 "[autoexpand]\ncedit=old\n",
                 {W("CEdit", "new")},
                 "[autoexpand]\ncedit=new\n"},
        EditCase{
            "RewriteOfEmptyValue", "[AutoExpand]\nk= \n", {W("k", "v")}, "[AutoExpand]\nk= v\n"},
        EditCase{"SameValueChangesNothing",
                 "[AutoExpand]\nk = v\n",
                 {W("k", "v")},
                 "[AutoExpand]\nk = v\n"},
        EditCase{"DeleteTheFirstLineOnly",
                 "[AutoExpand]\nk=1\n;k=c\nK = 2\nj=3\n",
                 {D("k")},
                 "[AutoExpand]\n;k=c\nK = 2\nj=3\n"},
        EditCase{"DeleteOnlyInFirstSection",
                 "[AutoExpand]\nk=1\n[AutoExpand]\nk=2\n",
                 {D("k")},
                 "[AutoExpand]\n[AutoExpand]\nk=2\n"},
        EditCase{
            "DeleteAbsentChangesNothing", "[AutoExpand]\nj=1\n", {D("k")}, "[AutoExpand]\nj=1\n"},
        EditCase{"DeleteInMissingSection", "[Other]\nk=1\n", {D("k")}, "[Other]\nk=1\n"},
        EditCase{"WriteIntoFirstOfTwoSections",
                 "[AutoExpand]\na=1\n\n[AutoExpand]\nb=2\n",
                 {W("k", "v")},
                 "[AutoExpand]\na=1\nk=v\n\n[AutoExpand]\nb=2\n"},
        EditCase{"MissingSectionAppended",
                 "[Other]\nx=1",
                 {W("k", "v")},
                 "[Other]\nx=1\n[AutoExpand]\nk=v"},
        EditCase{"LastLineLendsItsLineEnd",
                 "[AutoExpand]\r\na=1",
                 {W("k", "v")},
                 "[AutoExpand]\r\na=1\r\nk=v"},
        EditCase{"DeletedLastLineTakesItsLineEnd",
                 "[AutoExpand]\na=1\nk=v",
                 {D("k")},
                 "[AutoExpand]\na=1"},
        EditCase{"EmptyLineLeftLastKeepsItsLineEnd",
                 "[AutoExpand]\na=1\n\r\nk=v",
                 {D("k")},
                 "[AutoExpand]\na=1\n\r\n"},
        EditCase{"DeleteThenWriteTakesTheDeletedPlace",
                 "[AutoExpand]\n  K =\t1 \r\nj=2\nk=3\n\n",
                 {W("ov-k", "1"), D("k"), W("k", "v")},
                 "[AutoExpand]\n  k =\tv \r\nj=2\nk=3\nov-k=1\n\n"},
        EditCase{
            "LoneCarriageReturnKept", "[AutoExpand]\rk=1\r", {W("k", "2")}, "[AutoExpand]\rk=2\r"},
        EditCase{"FileLineEndWins",
                 "[AutoExpand]\r\na=1\nb=2\n",
                 {W("k", "v")},
                 "[AutoExpand]\r\na=1\nb=2\nk=v\r\n"},
        EditCase{"OtherBytesKept",
                 "\xEF\xBB\xBF; \xff\xfe\0\n[Other]\nx=\x81\x5C\0\n[AutoExpand] \nk=1  \n"s,
                 {W("k", "2"), W("n", "3")},
                 "\xEF\xBB\xBF; \xff\xfe\0\n[Other]\nx=\x81\x5C\0\n[AutoExpand] \nk=2  \nn=3\n"s},
        EditCase{
            "CaseOfNewKeyAsGiven", "[AUTOEXPAND]\n", {W("CEdit", "v")}, "[AUTOEXPAND]\nCEdit=v\n"}),
    [](const testing::TestParamInfo<EditCase>& param) { return param.param.name; });

TEST(ProfileStore, LargeTextGoesOutInFewPieces) {
  std::string text = "; head\n[AutoExpand]\n";
  for (int i = 0; i < 10000; ++i) {
    text += "key" + std::to_string(i) + "=value\n";
  }
  text += "[Other]\nx=1\n";
  ProfileStore store(text);
  EXPECT_EQ(store.Read("AutoExpand", "key5000"), "value");  // splits the section into lines
  EXPECT_EQ(store.Pieces().size(), 1u);
  store.Write("AutoExpand", "key5000", "new");
  // Before the line, the line, after it.
  EXPECT_EQ(store.Pieces().size(), 3u);
}

TEST(ProfileStore, WrittenValuesReadBack) {
  ProfileStore store("[AutoExpand]\nk=old\n");
  const std::string values[] = {"new", std::string(1000, 'y'), "a\0b"s, "=;[]"};
  for (const std::string& value : values) {
    store.Write("AutoExpand", "k", value);
    EXPECT_EQ(store.Read("AutoExpand", "k"), value);
    store.Write("AutoExpand", "fresh", value);
    EXPECT_EQ(store.Read("AutoExpand", "fresh"), value);
    std::string contents = store.Contents();
    ProfileStore reread(contents);
    EXPECT_EQ(reread.Read("AutoExpand", "fresh"), value);
    store.Delete("AutoExpand", "fresh");
    EXPECT_EQ(store.Read("AutoExpand", "fresh"), "");
  }
}

#ifndef _WIN32
// A run that changes nothing looks at nothing past the header that ends the
// AutoExpand section: here the pages after that header cannot be read at
// all, as the pages of a mapped file past it are never read from the disk.
TEST(ProfileStore, ChangingNothingLooksAtNothingPastTheSection) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::string text = "[AutoExpand]\r\n";
  std::vector<std::string> keys;
  for (const DisplayRule& rule : kDisplayRules) {
    text += std::string(RuleKey(rule, true)) + "=" + rule.value + "\r\n";
    keys.emplace_back(RuleKey(rule, true));
    keys.push_back(SavedKey(keys.back()));
  }
  text += "[Other]\r\n";
  const std::size_t head = (text.size() / page + 1) * page;
  text.insert(0, std::string(head - text.size() - 2, ';') + "\r\n");
  char* base = static_cast<char*>(
      mmap(nullptr, head + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  text.copy(base, head);
  std::fill(base + head, base + head + page, '[');
  ASSERT_EQ(mprotect(base + head, page, PROT_NONE), 0);

  ProfileStore store(std::string_view(base, head + page));
  store.Index(kAutoExpandSection, keys);
  for (const DisplayRule& rule : kDisplayRules) {
    AddRule(store, RuleKey(rule, true), rule.value);
  }
  EXPECT_FALSE(store.edited());
  munmap(base, head + page);
}
#endif

}  // namespace
