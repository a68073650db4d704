// Runs the real Windows program, as a debugger would: its debug-output texts
// arrive as debug events, and the exit code with the process's end. Works the
// same on Windows and under Wine. Paths and texts here are UTF-8, as in the
// program.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wide_windows.h"
#include "tests/sample_rules.h"
#include "tests/test_files.h"

namespace {

std::string gProgram;  // full path of autoexp-setup.exe, from the command line

// Quotes one argument so that the C runtime splits it back as it was.
std::string Quote(const std::string& argument) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
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

// A call that changes what a name holds, where a run can be stopped: the
// function and its first two arguments (paths).
struct Step {
  std::string function;
  std::string first;
  std::string second;
};
constexpr const char* kStepFunctions[] = {"MoveFileExW", "DeleteFileW"};

// Called right before each step, numbered from 1; returns whether the run goes
// on (false: it is killed there, with status 99).
using AtStep = std::function<bool(const Step& step, int number)>;

// The debuggee's side of stopping at steps: an int3 on the first byte of each
// step function (the system's DLLs lie at the same address in every process),
// stepped over with the trap flag once hit.
class StepBreakpoints {
 public:
  explicit StepBreakpoints(HANDLE process) : process_(process) {}

  void Insert() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    for (const char* name : kStepFunctions) {
      auto address = reinterpret_cast<std::uintptr_t>(GetProcAddress(kernel, name));
      BYTE original = 0;
      ReadProcessMemory(process_, reinterpret_cast<void*>(address), &original, 1, nullptr);
      originals_[address] = {name, original};
      Put(address, 0xCC);
    }
  }

  // At an int3 of ours: the step it stands for, with the thread ready to run
  // the function's real first byte. Null for any other breakpoint.
  std::optional<Step> Hit(const DEBUG_EVENT& event) {
    auto address =
        reinterpret_cast<std::uintptr_t>(event.u.Exception.ExceptionRecord.ExceptionAddress);
    auto found = originals_.find(address);
    if (found == originals_.end()) {
      return std::nullopt;
    }
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
    CONTEXT context{};
    context.ContextFlags = CONTEXT_FULL;
    GetThreadContext(thread, &context);
#ifdef _WIN64
    // The first two arguments come in registers.
    Step step{found->second.first, String(context.Rcx), String(context.Rdx)};
    context.Rip = address;
#else
    // On the stack, right above the return address.
    DWORD arguments[2] = {};
    ReadProcessMemory(process_, reinterpret_cast<void*>(context.Esp + 4), arguments,
                      sizeof arguments, nullptr);
    Step step{found->second.first, String(arguments[0]), String(arguments[1])};
    context.Eip = address;
#endif
    Put(address, found->second.second);
    context.EFlags |= 0x100;  // trap after one instruction, to put the int3 back
    SetThreadContext(thread, &context);
    CloseHandle(thread);
    pending_ = address;
    return step;
  }

  // At the trap after the real first byte: the int3 goes back in.
  bool SteppedOver() {
    if (pending_ == 0) {
      return false;
    }
    Put(pending_, 0xCC);
    pending_ = 0;
    return true;
  }

 private:
  void Put(std::uintptr_t address, BYTE byte) {
    WriteProcessMemory(process_, reinterpret_cast<void*>(address), &byte, 1, nullptr);
    FlushInstructionCache(process_, reinterpret_cast<void*>(address), 1);
  }
  std::string String(std::uintptr_t address) {
    std::wstring text;
    wchar_t c = 0;
    while (address != 0 && text.size() < MAX_PATH &&
           ReadProcessMemory(process_, reinterpret_cast<void*>(address + 2 * text.size()), &c, 2,
                             nullptr) &&
           c != 0) {
      text += c;
    }
    return Utf8(text);
  }

  HANDLE process_;
  std::map<std::uintptr_t, std::pair<std::string, BYTE>> originals_;
  std::uintptr_t pending_ = 0;
};

// Starts the program with |commandLine| as it stands, the way a setup does,
// as its debugger: every OutputDebugStringA text arrives, and |atStep|, when
// given, is asked before each step.
Outcome RunCommandLine(const std::wstring& commandLine, const AtStep& atStep = nullptr) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  Outcome outcome;
  std::wstring line = commandLine;
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << gProgram << ": error " << GetLastError();
    return outcome;
  }
  StepBreakpoints breakpoints(process.hProcess);
  bool loaded = false;
  int steps = 0;
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
        // Wide where the system passes the text wide, else in the ANSI code
        // page; its length counts the terminating null.
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        std::size_t unit = info.fUnicode ? 2 : 1;
        std::string bytes(info.nDebugStringLength * unit, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, &bytes[0], bytes.size(), &got);
        bytes.resize(got >= unit ? got - unit : 0);
        std::wstring text(bytes.size() / unit, L'\0');
        if (info.fUnicode) {
          std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(&text[0]));
        } else {
          text.resize(MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                          &text[0], static_cast<int>(text.size())));
        }
        outcome.traces.push_back(Utf8(text));
        break;
      }
      case CREATE_PROCESS_DEBUG_EVENT:
        CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXCEPTION_DEBUG_EVENT: {
        DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
        if (code == EXCEPTION_BREAKPOINT && !loaded) {
          // The loader's breakpoint: every DLL is in place.
          loaded = true;
          if (atStep) {
            breakpoints.Insert();
          }
        } else if (code == EXCEPTION_BREAKPOINT) {
          std::optional<Step> step = breakpoints.Hit(event);
          if (step && !atStep(*step, ++steps)) {
            TerminateProcess(process.hProcess, 99);
          }
        } else if (code != EXCEPTION_SINGLE_STEP || !breakpoints.SteppedOver()) {
          continueStatus = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      }
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

std::string CommandLineOf(const std::vector<std::string>& arguments) {
  std::string commandLine = Quote(gProgram);
  for (const std::string& argument : arguments) {
    commandLine += " " + Quote(argument);
  }
  return commandLine;
}

Outcome RunProgram(const std::vector<std::string>& arguments, const AtStep& atStep = nullptr) {
  return RunCommandLine(Wide(CommandLineOf(arguments)), atStep);
}

// Starts the program without waiting for it, as a second setup would; with
// |standardError|, an inheritable handle, as its standard error.
HANDLE StartProgram(const std::vector<std::string>& arguments,
                    HANDLE standardError = INVALID_HANDLE_VALUE) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (standardError != INVALID_HANDLE_VALUE) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = standardError;
  }
  PROCESS_INFORMATION process{};
  std::wstring line = Wide(CommandLineOf(arguments));
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, standardError != INVALID_HANDLE_VALUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << gProgram << ": error " << GetLastError();
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

bool StillRunning(HANDLE process) {
  return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

DWORD Finish(HANDLE process) {
  DWORD status = 0xFFFFFFFF;
  if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "still running after a minute";
    TerminateProcess(process, 99);
  }
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  return status;
}

HANDLE OpenHolding(const std::string& path, DWORD access, DWORD share) {
  return CreateFileW(Wide(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
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
  EXPECT_EQ(install.traces,
            (std::vector<std::string>{dir + "\\\\ \t ", "\\",
                                      "installed 19 rules in " + rules +
                                          " (1 value saved; backup " + dir + "\\autoexp.bak)\n"}));
  EXPECT_EQ(ReadBytes(dir + "\\autoexp.bak"), kUserRules);
  EXPECT_EQ(ReadBytes(rules), InstalledRules());

  Outcome uninstall = RunProgram({dir, "\\", "71", "U"});
  EXPECT_EQ(uninstall.status, 0u);
  EXPECT_EQ(uninstall.traces,
            (std::vector<std::string>{dir, "\\", "Uninstall\n", rules,
                                      "removed 19 rules from " + rules + " (1 value restored)\n"}));
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

TEST_F(WindowsEndToEnd, MistakenCommandLineFailsLoudly) {
  Outcome outcome = RunProgram({dir, "\\", "71", "install", "5", "6", "1"});
  EXPECT_EQ(outcome.status, 2u);
  ASSERT_EQ(outcome.traces.size(), 3u);
  EXPECT_EQ(outcome.traces[2].rfind("error: mode \"install\" is none of I, U and Q", 0), 0u);
  EXPECT_EQ(ReadBytes(rules), kUserRules);
}

// How a setup should quote the base folder, and the mistake the README warns
// of: a backslash right before the closing quote escapes it, and the rest of
// the line becomes one argument.
TEST_F(WindowsEndToEnd, SetupCommandLines) {
  const std::string program = Quote(gProgram);
  Outcome blank = RunCommandLine(Wide(program + " \"" + dir + "\\ \" \\ 71 I 0 0 1"));
  EXPECT_EQ(blank.status, 0u);
  EXPECT_EQ(blank.traces.at(1), "\\");
  EXPECT_EQ(ReadBytes(dir + "\\autoexp.bak"), kUserRules);
  EXPECT_EQ(ReadBytes(rules), InstalledRules());

  Outcome escaped = RunCommandLine(Wide(program + " \"" + dir + "\\\" \\ 71 U"));
  EXPECT_EQ(escaped.status, 2u);
  ASSERT_EQ(escaped.traces.size(), 3u);
  EXPECT_EQ(escaped.traces[0], dir + "\" \\ 71 U");
  EXPECT_EQ(escaped.traces[2].rfind("error: argument 1 holds a quote", 0), 0u);
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

// A setup that redirects the program's standard error (NSIS's nsExec, a
// script's 2>) finds the traces there, one per line, the error among them.
TEST_F(WindowsEndToEnd, TracesReachARedirectedStandardError) {
  ASSERT_TRUE(SetFileAttributesA(rules.c_str(), FILE_ATTRIBUTE_READONLY));
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const std::string logPath = dir + ".log";
  HANDLE log = CreateFileA(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(log, INVALID_HANDLE_VALUE);
  DWORD status = Finish(StartProgram({dir, "\\", "71", "I", "5", "6"}, log));
  CloseHandle(log);
  EXPECT_EQ(status, 1u);
  EXPECT_EQ(ReadBytes(logPath),
            dir + "\n\\\nerror: cannot write " + rules + ": file is read-only\n");
  DeleteFileA(logPath.c_str());
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

// A device name as the last part of the path ("COM1.autoexp.dat" is COM1 to
// Windows) is never opened to be read: no run reads a device, or waits on it.
TEST_F(WindowsEndToEnd, DeviceNamesAreRefused) {
  for (const char* device : {"\\COM1.", "\\AUX.", "\\NUL."}) {
    SCOPED_TRACE(device);
    Outcome outcome = RunProgram({dir, device, "71", "I", "5", "6", "1"});
    EXPECT_EQ(outcome.status, 1u);
    ASSERT_EQ(outcome.traces.size(), 3u);
    EXPECT_EQ(outcome.traces[2],
              "error: cannot read " + dir + device + "autoexp.dat: not a regular file\n");
  }
  EXPECT_EQ(NamesIn(dir), std::vector<std::string>{"autoexp.dat"});
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
  // Folders of at most 200 characters, each after its backslash; none may
  // leave exactly one character to go, which no folder name can fill.
  ASSERT_NE(folderLength - deep.size(), 1u) << deep;
  while (deep.size() < folderLength) {
    std::size_t left = folderLength - deep.size();
    std::size_t name = std::min<std::size_t>(200, left - 1);
    name -= left - 1 - name == 1 ? 1 : 0;
    deep += "\\" + std::string(name, 'd');
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

// A run killed right before any step of the replacement or the backup leaves
// the rules file and the backup as they were or as a finished run leaves them,
// and the next run finishes the job and leaves nothing behind.
TEST_F(WindowsEndToEnd, KilledAtEveryStepLosesNothing) {
  const std::string backup = dir + "\\autoexp.bak";
  struct Direction {
    const char* name;
    std::string before;
    std::string after;
    std::vector<std::string> arguments;
  } directions[] = {
      {"install", kUserRules, InstalledRules(), {dir, "\\", "71", "I", "5", "6", "1"}},
      {"uninstall", InstalledRules(), UninstalledRules(), {dir, "\\", "71", "U"}},
  };
  for (const Direction& direction : directions) {
    SCOPED_TRACE(direction.name);
    WriteBytes(rules, direction.before);
    WriteBytes(backup, "an older backup");
    std::vector<Step> steps;
    ASSERT_EQ(RunProgram(direction.arguments,
                         [&](const Step& step, int) {
                           steps.push_back(step);
                           return true;
                         })
                  .status,
              0u);
    // The rules file takes its new bytes in one rename, the last step that
    // changes a name.
    ASSERT_FALSE(steps.empty());
    auto last = std::find_if(steps.rbegin(), steps.rend(),
                             [](const Step& step) { return step.function == "MoveFileExW"; });
    ASSERT_NE(last, steps.rend());
    EXPECT_EQ(last->second, rules);
    for (std::size_t kill = 1; kill <= steps.size(); ++kill) {
      SCOPED_TRACE("killed before " + steps[kill - 1].function + " " + steps[kill - 1].first);
      WriteBytes(rules, direction.before);
      WriteBytes(backup, "an older backup");
      Outcome killed = RunProgram(direction.arguments,
                                  [&](const Step&, int number) { return number < int(kill); });
      ASSERT_EQ(killed.status, 99u);
      std::string now = ReadBytes(rules);
      EXPECT_TRUE(now == direction.before || now == direction.after) << now.size() << " bytes";
      std::string backedUp = ReadBytes(backup);
      EXPECT_TRUE(backedUp == "an older backup" || backedUp == direction.before) << backedUp;

      EXPECT_TRUE(now == direction.before || backedUp == direction.before);

      EXPECT_EQ(RunProgram(direction.arguments).status, 0u);
      EXPECT_EQ(ReadBytes(rules), direction.after);
      EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"autoexp.bak", "autoexp.dat"}));
    }
  }
}

// Two setups at once, the second spelling the folder otherwise: it waits
// while the first is in the middle of its replacement, then does its own.
TEST_F(WindowsEndToEnd, TwoRunsAtOnceTakeTurns) {
  char shortName[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(dir.c_str(), shortName, MAX_PATH), 0u);
  std::string other = shortName;
  CharLowerBuffA(&other[0], static_cast<DWORD>(other.size()));
  other += "\\.";
  HANDLE second = nullptr;
  bool waited = false;
  Outcome first = RunProgram({dir, "\\", "71", "I", "5", "6", "1"}, [&](const Step& step, int) {
    if (second == nullptr && step.function == "MoveFileExW" && step.second == rules) {
      second = StartProgram({other, "\\", "71", "U"});
      Sleep(1500);
      waited = StillRunning(second);
    }
    return true;
  });
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first.status, 0u);
  EXPECT_TRUE(waited);
  EXPECT_EQ(Finish(second), 0u);
  EXPECT_EQ(ReadBytes(rules), UninstalledRules());
  EXPECT_EQ(ReadBytes(dir + "\\autoexp.bak"), kUserRules);
  EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"autoexp.bak", "autoexp.dat"}));
}

// An editor built on libuv opens every file for writing with delete sharing:
// the run waits until it has saved and closed the file, and edits what it
// saved.
TEST_F(WindowsEndToEnd, EditorWithDeleteSharingIsWaitedFor) {
  HANDLE editor =
      OpenHolding(rules, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  ASSERT_NE(editor, INVALID_HANDLE_VALUE);
  HANDLE run = StartProgram({dir, "\\", "71", "I", "5", "6", "1"});
  Sleep(1500);
  EXPECT_TRUE(StillRunning(run));
  const std::string saved = std::string(kUserRules) + "; saved by the editor\r\n";
  DWORD written = 0;
  SetFilePointer(editor, 0, nullptr, FILE_BEGIN);
  ASSERT_TRUE(WriteFile(editor, saved.data(), static_cast<DWORD>(saved.size()), &written, nullptr));
  CloseHandle(editor);
  EXPECT_EQ(Finish(run), 0u);
  EXPECT_EQ(ReadBytes(dir + "\\autoexp.bak"), saved);
  EXPECT_EQ(ReadBytes(rules), InstalledRules() + "; saved by the editor\r\n");
}

// The same editor, opening the file in the instant between the run's last
// look and its rename: the rename it refuses sends the run back to look
// again, and it waits for the save.
TEST_F(WindowsEndToEnd, EditorOpeningBeforeTheRenameIsWaitedFor) {
  HANDLE editor = INVALID_HANDLE_VALUE;
  std::thread saving;
  const std::string saved = std::string(kUserRules) + "; saved by the editor\r\n";
  Outcome outcome = RunProgram({dir, "\\", "71", "I", "5", "6"}, [&](const Step& step, int) {
    if (editor == INVALID_HANDLE_VALUE && step.function == "MoveFileExW" && step.second == rules) {
      editor =
          OpenHolding(rules, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
      saving = std::thread([&] {
        Sleep(300);
        DWORD written = 0;
        WriteFile(editor, saved.data(), static_cast<DWORD>(saved.size()), &written, nullptr);
        CloseHandle(editor);
      });
    }
    return true;
  });
  ASSERT_TRUE(saving.joinable());
  saving.join();
  EXPECT_EQ(outcome.status, 0u) << (outcome.traces.empty() ? "" : outcome.traces.back());
  EXPECT_EQ(ReadBytes(rules), InstalledRules() + "; saved by the editor\r\n");
}

// A virus scanner or an indexer opens the fresh files for a moment, without
// delete sharing, just as the new backup lands: the renames it refuses are
// tried again until it lets go, and the install succeeds.
TEST_F(WindowsEndToEnd, ScannerHoldingTheFreshFilesIsWaitedOut) {
  const std::string backup = dir + "\\autoexp.bak";
  WriteBytes(backup, "an older backup");
  std::thread scanner;
  Outcome outcome = RunProgram({dir, "\\", "71", "I", "5", "6", "1"}, [&](const Step& step, int) {
    if (step.function == "MoveFileExW" && step.second == rules && !scanner.joinable()) {
      std::vector<HANDLE> held;
      for (const std::string& path : {rules, backup}) {
        held.push_back(OpenHolding(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
      }
      scanner = std::thread([held] {
        Sleep(300);
        for (HANDLE handle : held) {
          CloseHandle(handle);
        }
      });
    }
    return true;
  });
  ASSERT_TRUE(scanner.joinable());
  scanner.join();
  EXPECT_EQ(outcome.status, 0u) << (outcome.traces.empty() ? "" : outcome.traces.back());
  EXPECT_EQ(ReadBytes(rules), InstalledRules());
  EXPECT_EQ(ReadBytes(backup), kUserRules);
  EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"autoexp.bak", "autoexp.dat"}));
}

// Another program creates the rules file in the instant before the run puts
// its new one in place: its file is never replaced unread; the run starts
// over on it.
TEST_F(WindowsEndToEnd, FileCreatedInTheLastInstantIsEdited) {
  DeleteFileA(rules.c_str());
  Outcome outcome = RunProgram({dir, "\\", "71", "I", "5", "6"}, [&](const Step& step, int) {
    if (step.function == "MoveFileExW" && step.second == rules && NamesIn(dir).size() == 1) {
      WriteBytes(rules, kUserRules);
    }
    return true;
  });
  EXPECT_EQ(outcome.status, 0u);
  EXPECT_EQ(ReadBytes(rules), InstalledRules());
  EXPECT_EQ(NamesIn(dir), std::vector<std::string>{"autoexp.dat"});
}

// |text| as a debugger that takes narrow debug strings gets it: the system
// puts the wide text into the ANSI code page (Windows before 10, and Wine).
std::string ThroughAnsiCodePage(const std::string& text) {
  std::wstring wide = Wide(text);
  std::string narrow(wide.size() * 2, '\0');
  narrow.resize(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()),
                                    &narrow[0], static_cast<int>(narrow.size()), nullptr, nullptr));
  wide.resize(MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                                  &wide[0], static_cast<int>(wide.size())));
  return Utf8(wide);
}

// Folders named in scripts the ANSI code page cannot spell are reached as
// they are, never a look-alike ("Omega" beside "\u03A9mega"), and the traces
// name them as the channel carries them.
TEST_F(WindowsEndToEnd, FoldersNamedInAnyScriptAreReached) {
  MakeDirectory(dir + "\\Omega");
  WriteBytes(dir + "\\Omega\\autoexp.dat", kUserRules);
  for (const char* name : {"\u0418\u0432\u0430\u043D", "\u8C03\u8BD5\u5668", "\u03A9mega"}) {
    SCOPED_TRACE(name);
    const std::string folder = dir + "\\" + name;
    MakeDirectory(folder);
    WriteBytes(folder + "\\autoexp.dat", kUserRules);
    Outcome install = RunProgram({folder, "\\", "71", "I", "5", "6", "1"});
    EXPECT_EQ(install.status, 0u);
    EXPECT_EQ(install.traces.at(0), ThroughAnsiCodePage(folder));
    EXPECT_EQ(ReadBytes(folder + "\\autoexp.bak"), kUserRules);
    EXPECT_EQ(ReadBytes(folder + "\\autoexp.dat"), InstalledRules());
    EXPECT_EQ(RunProgram({folder, "\\", "71", "I", "5", "6"}).status, 0u);
    EXPECT_EQ(ReadBytes(folder + "\\autoexp.dat"), InstalledRules());
    EXPECT_EQ(RunProgram({folder, "\\", "71", "U"}).status, 0u);
    EXPECT_EQ(ReadBytes(folder + "\\autoexp.dat"), UninstalledRules());
  }
  EXPECT_EQ(ReadBytes(dir + "\\Omega\\autoexp.dat"), kUserRules);
}

// Needs the ANSI code page 932 (Shift_JIS): CTest runs it once more so.
TEST_F(WindowsEndToEnd, DoubleByteNameKeepsItsTrailByte) {
  if (GetACP() != 932) {
    GTEST_SKIP() << "ANSI code page " << GetACP() << ", not 932";
  }
  // U+8868 is 0x95 0x5C in Shift_JIS: its trail byte has the backslash's code.
  std::string named = dir + "\\\u8868";
  MakeDirectory(named);
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
