// Runs the real program on files in a temporary directory and checks what a
// setup would see: the bytes of the files, the traces in order, the status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <clocale>
#include <random>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "rules/display_rules.h"
#include "tests/program_runner.h"
#include "tests/sample_rules.h"
#include "tests/test_files.h"

namespace {

struct timespec ModifiedAt(const std::string& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mtim;
}

const std::string kUserFile = kUserRules;

class EndToEnd : public testing::Test {
 public:
  void SetUp() override { WriteBytes(dir.File("autoexp.dat"), kUserFile); }

  std::vector<std::string> Install(const char* backupFlag) {
    return {dir.path() + "/ \t", "", "71", "Install", "5", "6", backupFlag};
  }
  std::vector<std::string> Uninstall() { return {dir.path(), "/", "71", "U"}; }

 protected:
  TempDir dir;
};

TEST_F(EndToEnd, InstallWithBackupThenUninstall) {
  WriteBytes(dir.File("autoexp.bak"), "an older backup");
  Outcome install = RunSetup(Install("1"));
  EXPECT_EQ(install.status, 0);
  EXPECT_EQ(install.traces, (std::vector<std::string>{
                                dir.path() + "/ \t", "",
                                "installed 19 rules in " + dir.File("autoexp.dat") +
                                    " (1 value saved; backup " + dir.File("autoexp.bak") + ")"}));
  EXPECT_EQ(ReadBytes(dir.File("autoexp.bak")), kUserFile);
  EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), InstalledRules());

  Outcome uninstall = RunSetup(Uninstall());
  EXPECT_EQ(uninstall.status, 0);
  EXPECT_EQ(uninstall.traces,
            (std::vector<std::string>{
                dir.path(), "/", "Uninstall", dir.path() + "/autoexp.dat",
                "removed 19 rules from " + dir.File("autoexp.dat") + " (1 value restored)"}));
  EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), UninstalledRules());
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"autoexp.bak", "autoexp.dat"}));
}

TEST_F(EndToEnd, SecondInstallWritesNothing) {
  ASSERT_EQ(RunSetup(Install("0")).status, 0);
  struct timespec before = ModifiedAt(dir.File("autoexp.dat"));
  usleep(20000);
  EXPECT_EQ(RunSetup(Install("0")).status, 0);
  struct timespec after = ModifiedAt(dir.File("autoexp.dat"));
  EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), InstalledRules());
  EXPECT_EQ(before.tv_sec, after.tv_sec);
  EXPECT_EQ(before.tv_nsec, after.tv_nsec);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"autoexp.dat"});
}

// A mistaken command line fails loudly, after the argument traces, touching
// nothing; a query says whether the rules are in, and makes no lock file.
TEST_F(EndToEnd, MistakesAndQueriesSaySo) {
  const std::string rules = dir.File("autoexp.dat");
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string last;  // how the last trace begins
  } cases[] = {
      {{dir.path(), "/", "71", "install", "5", "6", "1"}, 2, "error: mode \"install\" is none"},
      {{dir.path(), "/", "71", "I"}, 2, "error: an install needs 6 arguments, 4 given; usage: "},
      {{dir.path(), "/", "71"}, 2, "error: mode \"\" is none of I, U and Q"},
      {{}, 2, "error: no arguments; usage: "},
      {{dir.path(), "/", "71", "Q"}, 3, "19 of 19 rules missing or different in " + rules + ": "},
      {{dir.File("none"), "/", "71", "Q"}, 3, "no rules file at " + dir.File("none/autoexp.dat")},
  };
  for (const Case& c : cases) {
    Outcome outcome = RunSetup(c.arguments);
    EXPECT_EQ(outcome.status, c.status);
    ASSERT_EQ(outcome.traces.size(), 3u);
    EXPECT_EQ(outcome.traces[2].rfind(c.last, 0), 0u) << outcome.traces[2];
  }
  EXPECT_EQ(ReadBytes(rules), kUserFile);
  EXPECT_EQ(NamesIn(dir.path()), std::vector<std::string>{"autoexp.dat"});
  EXPECT_NE(access(dir.File(kLockFileName).c_str(), F_OK), 0);
  ASSERT_EQ(RunSetup(Install("0")).status, 0);
  EXPECT_EQ(RunSetup({dir.path(), "/", "71", "Q"}).traces.back(), "all 19 rules in " + rules);
}

TEST_F(EndToEnd, InstallCreatesMissingFileUninstallLeavesNone) {
  TempDir empty;
  Outcome uninstall = RunSetup({empty.path(), "/", "71", "U"});
  EXPECT_EQ(uninstall.status, 0);
  EXPECT_TRUE(empty.Names().empty());
  Outcome install = RunSetup({empty.path() + "/", "", "7", "I", "5", "6", "1"});
  EXPECT_EQ(install.status, 0);
  EXPECT_EQ(empty.Names(), std::vector<std::string>{"autoexp.dat"});
  std::string text = ReadBytes(empty.File("autoexp.dat"));
  EXPECT_EQ(text.rfind("[AutoExpand]\r\n", 0), 0u);
  EXPECT_NE(text.find(std::string(RuleKey(kDisplayRules[5], false)) + "=$ADDIN("),
            std::string::npos);
}

TEST_F(EndToEnd, FailuresChangeNothingAndSaySo) {
  struct Case {
    const char* name;
    void (*arrange)(const TempDir&);
    std::vector<std::string> (EndToEnd::*arguments)(const char*);
    std::string reasonAbout;  // the path the error names
  };
  const Case cases[] = {
      {"read-only rules file", [](const TempDir& d) { chmod(d.File("autoexp.dat").c_str(), 0444); },
       &EndToEnd::Install, "autoexp.dat"},
      {"backup in the way", [](const TempDir& d) { mkdir(d.File("autoexp.bak").c_str(), 0700); },
       &EndToEnd::Install, "autoexp.bak"},
      {"UTF-16 text with an odd byte",
       [](const TempDir& d) {
         WriteBytes(d.File("autoexp.dat"), std::string("\xFF\xFE[\0A\0]\0\n\0C\0=\0x\0\n", 15));
       },
       &EndToEnd::Install, "autoexp.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir fresh;
    WriteBytes(fresh.File("autoexp.dat"), kUserFile);
    c.arrange(fresh);
    const std::string before = ReadBytes(fresh.File("autoexp.dat"));
    std::vector<std::string> arguments = (this->*c.arguments)("1");
    arguments[0] = fresh.path() + "/";
    Outcome outcome = RunSetup(arguments);
    EXPECT_EQ(outcome.status, 1);
    ASSERT_EQ(outcome.traces.size(), 3u);
    EXPECT_EQ(outcome.traces[2].rfind("error: ", 0), 0u) << outcome.traces[2];
    EXPECT_NE(outcome.traces[2].find(fresh.path() + "/" + c.reasonAbout), std::string::npos)
        << outcome.traces[2];
    EXPECT_EQ(ReadBytes(fresh.File("autoexp.dat")), before);
  }
}

// In a locale whose two-byte characters can end in the backslash's code, a
// folder whose name ends in such a character keeps it whole: only a true
// trailing backslash is cut.
TEST(EndToEndLocales, DoubleByteFolderKeepsItsTrailByte) {
  for (const char* locale : {"zh_CN.GB18030", "zh_HK.BIG5-HKSCS"}) {
    SCOPED_TRACE(locale);
    locale_t installed = newlocale(LC_CTYPE_MASK, locale, nullptr);
    if (installed == nullptr) {
      ADD_FAILURE() << "locale not installed (scripts/test.sh makes it)";
      continue;
    }
    freelocale(installed);
    TempDir dir;
    const std::string folder = dir.File("a\x95\x5C");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ProgramOptions options;
    options.locale = locale;
    Outcome outcome = RunSetup({folder, "/", "71", "I", "5", "6", "0"}, options);
    EXPECT_EQ(outcome.status, 0) << (outcome.traces.empty() ? "" : outcome.traces.back());
    EXPECT_EQ(ReadBytes(folder + "/autoexp.dat").rfind("[AutoExpand]\r\n", 0), 0u);
  }
}

TEST_F(EndToEnd, DirectoryInPlaceOfRulesFile) {
  TempDir other;
  ASSERT_EQ(mkdir(other.File("autoexp.dat").c_str(), 0700), 0);
  for (std::vector<std::string> arguments :
       {std::vector<std::string>{other.path(), "/", "71", "I", "5", "6", "1"},
        std::vector<std::string>{other.path(), "/", "71", "U"}}) {
    Outcome outcome = RunSetup(arguments);
    EXPECT_EQ(outcome.status, 1);
    ASSERT_FALSE(outcome.traces.empty());
    EXPECT_EQ(outcome.traces.back(),
              "error: cannot read " + other.path() + "/autoexp.dat: is a directory");
  }
  EXPECT_EQ(other.Names(), std::vector<std::string>{"autoexp.dat"});
}

// A rules file that an install and the uninstall after it must give back
// byte for byte: an AutoExpand section without saved values, the rule keys
// that are there spelled as the rules spell them and holding values of the
// user's own, and around them what hand-kept files hold (comments, blank
// lines, other sections, shadowed duplicates, odd spacing, long values).
std::string HandKeptFile(std::mt19937& random, bool tag71, const std::string& lineEnd,
                         const std::string& accent = "") {
  auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  auto value = [&](std::size_t round) {
    std::string text =
        "v" + std::to_string(round) + "=<m_" + std::to_string(pick(1000)) + ",x>" + accent;
    if (pick(6) == 0) {
      text += " " + std::string(300 + pick(2000), 'L');
    }
    return text;
  };
  const char* blanks[] = {"", " ", "\t", "  "};
  auto keyLine = [&](const std::string& key, std::size_t round) {
    return blanks[pick(4)] + key + blanks[pick(4)] + "=" + blanks[pick(4)] + value(round) +
           blanks[pick(4)] + lineEnd;
  };
  std::string text = "; kept by hand" + lineEnd + lineEnd;
  if (pick(2) == 0) {
    text += "[Visualizer]" + lineEnd + "CEdit=elsewhere" + lineEnd + lineEnd;
  }
  text += "[AutoExpand]" + lineEnd;
  for (std::size_t round = 0; round < 40; ++round) {
    switch (pick(6)) {
      case 0: {
        const DisplayRule& rule = kDisplayRules[pick(kDisplayRuleCount)];
        text += keyLine(RuleKey(rule, tag71), round);
        break;
      }
      case 1:
        text += pick(2) == 0 ? lineEnd : "; a note" + lineEnd;
        break;
      default:
        text += keyLine("Mine::Type" + std::to_string(pick(8)), round);
    }
  }
  if (pick(2) == 0) {
    text += lineEnd + "[hresult]" + lineEnd + "1=S_FALSE" + lineEnd + "[AutoExpand]" + lineEnd +
            "CEdit=in the second section" + lineEnd;
  }
  if (pick(3) == 0) {
    text += "Last=without a line end";
  }
  return text;
}

// |text| as a UTF-16 file with its byte-order mark: each byte one code unit,
// but the byte 1, which stands for the units of a Greek letter, a character
// beyond the first plane (a pair of surrogates) and a lone low surrogate.
std::string Utf16File(const std::string& text, bool bigEndian) {
  std::string bytes;
  auto unit = [&](unsigned value) {
    char high = static_cast<char>(value >> 8);
    char low = static_cast<char>(value & 0xFF);
    bytes += bigEndian ? std::string{high, low} : std::string{low, high};
  };
  unit(0xFEFF);
  for (char c : text) {
    if (c == '\x01') {
      for (unsigned value : {0x03A9u, 0xD83Du, 0xDE00u, 0xDC00u}) {
        unit(value);
      }
    } else {
      unit(static_cast<unsigned char>(c));
    }
  }
  return bytes;
}

// Each round also installs over what an earlier release left. Rounds 32 on
// are UTF-16 files, of both byte orders, whose values hold characters that no
// 8-bit code page has.
TEST(RoundTrip, InstallThenUninstallGivesTheFileBack) {
  std::mt19937 random(7);
  int replaced = 0;
  for (int round = 0; round < 48; ++round) {
    bool tag71 = round % 2 == 0;
    bool backup = round % 4 < 2;
    bool utf16 = round >= 32;
    bool bigEndian = round % 8 >= 6;
    const char* tag = tag71 ? "71" : "80";
    // LF, CRLF, lone CR, and LF after a first line that ends in a lone CR,
    // which the new lines then take.
    const char* lineEnd = std::array<const char*, 4>{"\n", "\r\n", "\r", "\n"}[round % 8 / 2];
    std::string plain = HandKeptFile(random, tag71, lineEnd, utf16 ? "\x01" : "");
    if (round % 8 >= 6) {
      plain = "; new lines end as this one\r[AutoExpand]\nMine=1\n\n" + plain;
    }
    std::string file = utf16 ? Utf16File(plain, bigEndian) : plain;
    auto spelled = [&](const std::string& text) {
      return utf16 ? Utf16File(text, bigEndian).substr(2) : text;
    };
    SCOPED_TRACE("round " + std::to_string(round) + ":\n" + file);
    TempDir dir;
    WriteBytes(dir.File("autoexp.dat"), file);
    ASSERT_EQ(RunSetup({dir.path(), "/", tag, "I", "5", "6", backup ? "1" : "0"}).status, 0);
    std::string installed = ReadBytes(dir.File("autoexp.dat"));
    replaced += installed.find(spelled("ov-")) != std::string::npos;
    // The rules are written in the file's own encoding, and read back so.
    std::size_t rule = installed.find(spelled("$ADDIN(Orvelin.dll,hwnd)"));
    EXPECT_TRUE(rule != std::string::npos && (!utf16 || rule % 2 == 0));
    ASSERT_EQ(RunSetup({dir.path(), "/", tag, "I", "5", "6"}).status, 0);
    EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), installed);
    // An earlier release left its own rules (other exports) beside the
    // user's saved values: installing over them gives this release's file,
    // with the user's values still saved, not the earlier rules.
    std::string earlier = installed;
    const std::string call = spelled("$ADDIN(Orvelin.dll,");
    for (std::size_t at = 0; (at = earlier.find(call, at)) != std::string::npos;) {
      earlier.insert(at + call.size(), spelled("v1_"));
      at += call.size();
    }
    WriteBytes(dir.File("autoexp.dat"), earlier);
    ASSERT_EQ(RunSetup({dir.path(), "/", tag, "I", "5", "6"}).status, 0);
    EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), installed);
    ASSERT_EQ(RunSetup({dir.path(), "/", tag, "U"}).status, 0);
    EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), file);
  }
  // The table is of some use only if it replaces user values.
  EXPECT_GT(replaced, 24);
}

}  // namespace
