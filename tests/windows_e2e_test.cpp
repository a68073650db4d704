// Runs the real Windows program, as a debugger would: its OutputDebugStringA
// texts arrive as debug events, byte for byte, and the exit code with the
// process's end. Works the same on Windows and under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/sample_rules.h"
#include "tests/test_files.h"

namespace {

std::string gProgram;  // full path of autoexp-setup.exe, from the command line

// Quotes one argument so that the C runtime splits it back as it was. A
// double-byte character is copied whole: its trail byte is no backslash.
std::string Quote(const std::string& argument) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (std::size_t i = 0; i < argument.size(); ++i) {
    char c = argument[i];
    if (IsDBCSLeadByte(static_cast<BYTE>(c)) && i + 1 < argument.size()) {
      quoted.append(backslashes, '\\');
      backslashes = 0;
      quoted.append(argument, i++, 2);
      continue;
    }
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

struct Outcome {
  DWORD status = 0xFFFFFFFF;
  std::vector<std::string> traces;
};

// Starts the program with |commandLine| as it stands, the way a setup does.
Outcome RunCommandLine(std::string commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  Outcome outcome;
  if (!CreateProcessA(gProgram.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                      DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << gProgram << ": error " << GetLastError();
    return outcome;
  }
  for (bool running = true; running;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, 60000)) {
      ADD_FAILURE() << "no debug event for a minute";
      TerminateProcess(process.hProcess, 99);
      break;
    }
    DWORD continueStatus = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        std::string text(info.nDebugStringLength, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, &text[0], text.size(), &got);
        text.resize(got);
        if (!text.empty() && text.back() == '\0') {
          text.pop_back();
        }
        outcome.traces.push_back(text);
        break;
      }
      case CREATE_PROCESS_DEBUG_EVENT:
        CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          continueStatus = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        outcome.status = event.u.ExitProcess.dwExitCode;
        running = false;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return outcome;
}

Outcome RunProgram(const std::vector<std::string>& arguments) {
  std::string commandLine = Quote(gProgram);
  for (const std::string& argument : arguments) {
    commandLine += " " + Quote(argument);
  }
  return RunCommandLine(commandLine);
}

// A fresh folder under the working directory, a Z:\ path under Wine.
class WindowsEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);
    static int counter = 0;
    dir = std::string(current) + "\\e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(++counter);
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr)) << dir;
    rules = dir + "\\autoexp.dat";
    WriteBytes(rules, kUserRules);
  }
  void TearDown() override { RemoveTree(dir); }

  std::string dir;
  std::string rules;
};

TEST_F(WindowsEndToEnd, InstallWithBackupThenUninstall) {
  WriteBytes(dir + "\\autoexp.bak", "an older backup");
  // White space goes first, then every trailing backslash.
  Outcome install = RunProgram({dir + "\\\\ \t ", "\\", "71", "Install", "5", "6", "1"});
  EXPECT_EQ(install.status, 0u);
  EXPECT_EQ(install.traces, (std::vector<std::string>{dir + "\\\\ \t ", "\\"}));
  EXPECT_EQ(ReadBytes(dir + "\\autoexp.bak"), kUserRules);
  EXPECT_EQ(ReadBytes(rules), InstalledRules());

  Outcome uninstall = RunProgram({dir, "\\", "71", "U"});
  EXPECT_EQ(uninstall.status, 0u);
  EXPECT_EQ(uninstall.traces, (std::vector<std::string>{dir, "\\", "Uninstall\n", rules}));
  EXPECT_EQ(ReadBytes(rules), UninstalledRules());
  EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"autoexp.bak", "autoexp.dat"}));
}

TEST_F(WindowsEndToEnd, RootLosesItsBackslash) {
  ASSERT_EQ(dir.substr(1, 2), ":\\");
  std::string root = dir.substr(0, 3);  // Z:\ under Wine
  Outcome install = RunProgram({root, dir.substr(2) + "\\", "71", "I", "5", "6"});
  EXPECT_EQ(install.status, 0u);
  EXPECT_EQ(ReadBytes(rules), InstalledRules());
}

TEST_F(WindowsEndToEnd, SecondInstallWritesNothing) {
  ASSERT_EQ(RunProgram({dir, "\\", "71", "I", "5", "6"}).status, 0u);
  WIN32_FILE_ATTRIBUTE_DATA before;
  ASSERT_TRUE(GetFileAttributesExA(rules.c_str(), GetFileExInfoStandard, &before));
  Sleep(50);
  ASSERT_EQ(RunProgram({dir, "\\", "71", "I", "5", "6", "0"}).status, 0u);
  WIN32_FILE_ATTRIBUTE_DATA after;
  ASSERT_TRUE(GetFileAttributesExA(rules.c_str(), GetFileExInfoStandard, &after));
  EXPECT_EQ(CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0);
  EXPECT_EQ(ReadBytes(rules), InstalledRules());
  EXPECT_EQ(NamesIn(dir), std::vector<std::string>{"autoexp.dat"});
}

TEST_F(WindowsEndToEnd, NoRunOnlyTraces) {
  Outcome outcome = RunProgram({dir, "\\", "71", "install", "5", "6", "1"});
  EXPECT_EQ(outcome.status, 0u);
  EXPECT_EQ(outcome.traces, (std::vector<std::string>{dir, "\\"}));
  EXPECT_EQ(ReadBytes(rules), kUserRules);
}

// How a setup should quote the base folder, and the mistake the README warns
// of: a backslash right before the closing quote escapes it, and the rest of
// the line becomes one argument.
TEST_F(WindowsEndToEnd, SetupCommandLines) {
  const std::string program = Quote(gProgram);
  Outcome blank = RunCommandLine(program + " \"" + dir + "\\ \" \\ 71 I 0 0 1");
  EXPECT_EQ(blank.status, 0u);
  EXPECT_EQ(blank.traces, (std::vector<std::string>{dir + "\\ ", "\\"}));
  EXPECT_EQ(ReadBytes(dir + "\\autoexp.bak"), kUserRules);
  EXPECT_EQ(ReadBytes(rules), InstalledRules());

  Outcome escaped = RunCommandLine(program + " \"" + dir + "\\\" \\ 71 U");
  EXPECT_EQ(escaped.status, 0u);
  EXPECT_EQ(escaped.traces, (std::vector<std::string>{dir + "\" \\ 71 U", ""}));
  EXPECT_EQ(ReadBytes(rules), InstalledRules());
}

TEST_F(WindowsEndToEnd, ReadOnlyFileIsNotReplaced) {
  ASSERT_TRUE(SetFileAttributesA(rules.c_str(), FILE_ATTRIBUTE_READONLY));
  Outcome outcome = RunProgram({dir, "\\", "71", "I", "5", "6"});
  EXPECT_EQ(outcome.status, 1u);
  ASSERT_EQ(outcome.traces.size(), 3u);
  EXPECT_EQ(outcome.traces[2], "error: cannot write " + rules + ": file is read-only\n");
  EXPECT_EQ(ReadBytes(rules), kUserRules);
  EXPECT_EQ(NamesIn(dir), std::vector<std::string>{"autoexp.dat"});
}

TEST_F(WindowsEndToEnd, DirectoryInPlaceOfFiles) {
  ASSERT_TRUE(CreateDirectoryA((dir + "\\autoexp.bak").c_str(), nullptr));
  Outcome backup = RunProgram({dir, "\\", "71", "I", "5", "6", "1"});
  EXPECT_EQ(backup.status, 1u);
  ASSERT_EQ(backup.traces.size(), 3u);
  EXPECT_EQ(backup.traces[2].rfind(
                "error: cannot back up " + rules + " to " + dir + "\\autoexp.bak: ", 0),
            0u)
      << backup.traces[2];
  EXPECT_EQ(ReadBytes(rules), kUserRules);

  DeleteFileA(rules.c_str());
  ASSERT_TRUE(CreateDirectoryA(rules.c_str(), nullptr));
  Outcome read = RunProgram({dir, "\\", "71", "U"});
  EXPECT_EQ(read.status, 1u);
  ASSERT_EQ(read.traces.size(), 5u);
  EXPECT_EQ(read.traces[4], "error: cannot read " + rules + ": is a directory\n");
}

TEST_F(WindowsEndToEnd, MissingFileCreatedByInstallOnly) {
  DeleteFileA(rules.c_str());
  EXPECT_EQ(RunProgram({dir, "\\", "71", "U"}).status, 0u);
  EXPECT_TRUE(NamesIn(dir).empty());
  EXPECT_EQ(RunProgram({dir, "\\", "7.1", "I", "5", "6", "1"}).status, 0u);
  EXPECT_EQ(NamesIn(dir), std::vector<std::string>{"autoexp.dat"});
  EXPECT_EQ(ReadBytes(rules).rfind("[AutoExpand]\r\n", 0), 0u);
}

// The longest path these ANSI calls take, MAX_PATH - 1 characters, for the
// rules file; the temporary file and the backup beside it must fit too.
TEST_F(WindowsEndToEnd, RulesPathAtTheLimit) {
  const std::size_t folderLength = MAX_PATH - 1 - std::string("\\autoexp.dat").size();
  std::string deep = dir;
  while (deep.size() < folderLength) {
    deep += "\\" + std::string(std::min<std::size_t>(200, folderLength - deep.size() - 1), 'd');
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep.size();
  }
  std::string deepRules = deep + "\\autoexp.dat";
  ASSERT_EQ(deepRules.size(), std::size_t{MAX_PATH - 1});
  WriteBytes(deepRules, kUserRules);

  Outcome install = RunProgram({deep, "\\", "71", "I", "5", "6", "1"});
  EXPECT_EQ(install.status, 0u) << (install.traces.empty() ? "" : install.traces.back());
  EXPECT_EQ(ReadBytes(deepRules), InstalledRules());
  EXPECT_EQ(ReadBytes(deep + "\\autoexp.bak"), kUserRules);
  EXPECT_EQ(RunProgram({deep, "\\", "71", "U"}).status, 0u);
  EXPECT_EQ(ReadBytes(deepRules), UninstalledRules());
  EXPECT_EQ(NamesIn(deep), (std::vector<std::string>{"autoexp.bak", "autoexp.dat"}));
}

// Needs the ANSI code page 932 (Shift_JIS): CTest runs it once more so.
TEST_F(WindowsEndToEnd, DoubleByteNameKeepsItsTrailByte) {
  if (GetACP() != 932) {
    GTEST_SKIP() << "ANSI code page " << GetACP() << ", not 932";
  }
  // U+8868 is 0x95 0x5C in Shift_JIS: its trail byte has the backslash's code.
  std::string named = dir + "\\\x95\x5C";
  ASSERT_TRUE(CreateDirectoryA(named.c_str(), nullptr));
  // Kept whole, the character still names the folder.
  Outcome inside = RunProgram({named, "\\", "71", "I", "5", "6"});
  EXPECT_EQ(inside.status, 0u);
  ASSERT_FALSE(inside.traces.empty());
  EXPECT_EQ(inside.traces[0], named);
  EXPECT_EQ(ReadBytes(named + "\\autoexp.dat").rfind("[AutoExpand]\r\n", 0), 0u);
  // A true backslash after it is cut: the file name is joined to the character.
  Outcome joined = RunProgram({named + "\\", "", "71", "I", "5", "6"});
  EXPECT_EQ(joined.status, 0u);
  EXPECT_EQ(ReadBytes(named + "autoexp.dat").rfind("[AutoExpand]\r\n", 0), 0u);
  EXPECT_EQ(ReadBytes(rules), kUserRules);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: windows_e2e_tests PATH-OF-autoexp-setup.exe\n");
    return 2;
  }
  gProgram = argv[1];
  return RUN_ALL_TESTS();
}
