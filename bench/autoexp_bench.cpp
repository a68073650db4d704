// Benchmark: what a run of autoexp-setup costs against rewriting the file at
// the least, for rules files of 64 KB to 128 MB.
//
//   autoexp_bench PROGRAM COPY_FLOOR LINE_FLOOR OUT_DIR [SIZE_MB...]
//
// For each size it generates a rules file (comment blocks, a large AutoExpand
// section, many other sections, some of the 19 keys already there with other
// values), in five shapes (the AutoExpand section first and 40% of the file,
// the whole file, or last and 40%; the whole file with lines that end in a
// lone CR; last, after a header on every other line), and times, as whole
// processes, alternating within each round: the floor (copy_floor: read,
// write a new file, fsync, rename), an install without backup, the uninstall
// after it, a second install that must write nothing, the floor of that
// (line_floor: read into a fresh buffer, find every line end with memchr), a
// process that does nothing (`true`), and the same 19 edits made with
// crudini, one invocation per edit. It prints the medians and ratios and
// writes them to OUT_DIR/results.csv.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "rules/display_rules.h"

namespace {

struct Run {
  double seconds = 0;
  long peakKilobytes = 0;
  int status = -1;
};

// Runs |argv| as a process with standard output and error sent to /dev/null.
Run Time(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  // Every process starts with nothing left to flush from the one before (the
  // copy that sets a round up, above all), so that none pays for another's
  // writes when it flushes its own.
  sync();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  Run run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakKilobytes = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Where the AutoExpand section stands in a generated file, and how much of
// it the section takes.
enum class Shape {
  kMixed,        // first, 40% of the file, many other sections after it
  kOneSection,   // the whole file
  kSectionLast,  // last, 40% of the file, after the other sections
  kLoneCr,       // the whole file, its lines ending in a lone CR
  kHeaders,      // last, 10% of the file, after a header on every other line
};
constexpr int kShapeCount = 5;
const char* const kShapeNames[] = {"mixed", "one-section", "section-last", "lone-cr", "headers"};

// A rules file of about |size| bytes, in the shape such files have.
std::string Generate(std::size_t size, Shape shape) {
  std::mt19937 random(42);
  std::string text =
      "; autoexp.dat - display rules for the debugger\r\n;\r\n"
      "; Tuned by hand over the years. Syntax: type=[text]<member[,format]>...\r\n\r\n";
  auto otherSections = [&](std::size_t until) {
    for (int n = 0; text.size() < until; ++n) {
      text +=
          "[Section" + std::to_string(n) + "]\r\n; notes for section " + std::to_string(n) + "\r\n";
      for (int k = 0; k < 40 && text.size() < until; ++k) {
        text += "key" + std::to_string(k) + "=value " + std::to_string(random()) + "\r\n";
      }
      text += "\r\n";
    }
  };
  // Some of the 19 keys are there already, with values of the user's own.
  const char* replaced[] = {kDisplayRules[0].typeName, "CEdit", "CWnd", "HWND__",
                            kDisplayRules[6].typeName};
  auto autoExpand = [&](std::size_t until) {
    text += "[AutoExpand]\r\n";
    for (int n = 0; text.size() < until; ++n) {
      if (n % 4000 == 2000 && n / 4000 < 5) {
        text += std::string(replaced[n / 4000]) + "=users own rule <m_p,x>\r\n";
      }
      if (n % 500 == 0) {
        text += "; ---- rules for module " + std::to_string(n / 500) + "\r\n";
      }
      text += "MyCompany::Module" + std::to_string(random() % 1000) + "::Type" + std::to_string(n) +
              "<*>=id=<m_id> size=<m_size,u> name=<m_name,s>\r\n";
    }
    text += "\r\n";
  };
  switch (shape) {
    case Shape::kMixed:
      autoExpand(size * 2 / 5);
      otherSections(size);
      break;
    case Shape::kOneSection:
      autoExpand(size);
      break;
    case Shape::kSectionLast:
      otherSections(size * 3 / 5);
      autoExpand(size);
      break;
    case Shape::kLoneCr: {
      autoExpand(size);
      std::string lone;
      for (char c : text) {
        if (c != '\n') {
          lone += c;
        }
      }
      text = lone;
      break;
    }
    case Shape::kHeaders:
      for (int n = 0; text.size() < size * 9 / 10; ++n) {
        char header[32];
        std::snprintf(header, sizeof header, "[s%07d]\r\nk=v\r\n", n);
        text += header;
      }
      autoExpand(size);
      break;
  }
  return text;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct timespec ModifiedAt(const std::string& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mtim;
}

}  // namespace

int main(int argc, char** argv) {
  // "--generate SIZE_MB FILE [SHAPE]" only writes one generated rules file,
  // to profile a run on it by hand.
  if ((argc == 4 || argc == 5) && std::string(argv[1]) == "--generate") {
    int shape = 0;
    while (argc == 5 && shape < kShapeCount - 1 && std::string(argv[4]) != kShapeNames[shape]) {
      ++shape;
    }
    Write(argv[3], Generate(static_cast<std::size_t>(std::atof(argv[2]) * 1024 * 1024),
                            static_cast<Shape>(shape)));
    return 0;
  }
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: autoexp_bench PROGRAM COPY_FLOOR LINE_FLOOR OUT_DIR [SIZE_MB...]\n"
                 "       autoexp_bench --generate SIZE_MB FILE "
                 "[mixed|one-section|section-last|lone-cr|headers]\n");
    return 2;
  }
  std::string program = argv[1];
  std::string floorProgram = argv[2];
  std::string lineFloor = argv[3];
  std::string out = argv[4];
  // 176 KB: the size of the debugger's own default rules file.
  std::vector<double> sizesMb = {0.172, 1, 16, 128};
  if (argc > 5) {
    sizesMb.clear();
    for (int i = 5; i < argc; ++i) {
      sizesMb.push_back(std::atof(argv[i]));
    }
  }
  // AUTOEXP_BENCH_CRUDINI=0 leaves crudini out, for quick runs.
  const char* crudiniWanted = std::getenv("AUTOEXP_BENCH_CRUDINI");
  bool haveCrudini = (crudiniWanted == nullptr || std::string(crudiniWanted) != "0") &&
                     Time({"crudini", "--version"}).status == 0;
  std::string csv =
      "size_bytes,rounds,floor_s,install_s,uninstall_s,second_install_s,lines_s,true_s,crudini_s,"
      "install_to_floor,uninstall_to_floor,second_to_lines,crudini_to_install,"
      "peak_rss_bytes,peak_rss_over_size_mb,peak_rss_within_size_plus_8mb,second_install_wrote,"
      "shape\n";
  std::printf("%12s %9s %6s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %9s %6s\n", "shape",
              "size", "rounds", "floor", "install", "uninst", "2nd inst", "lines", "true",
              "crudini", "inst/fl", "unin/fl", "2nd/lin", "2nd-true", "crud/in", "rss-size",
              "rss ok");
  for (double mb : sizesMb) {
    for (int shapeIndex = 0; shapeIndex < kShapeCount; ++shapeIndex) {
      Shape shape = static_cast<Shape>(shapeIndex);
      std::size_t size = static_cast<std::size_t>(mb * 1024 * 1024);
      // Medians over enough rounds that a slow flush now and then (a virtual
      // disk has them) does not decide the result.
      int rounds = size <= (1u << 20) ? 21 : size <= (16u << 20) ? 11 : 9;
      std::string dir = out + "/" + std::to_string(size) + "-" + kShapeNames[shapeIndex];
      Time({"mkdir", "-p", dir});
      std::string original = dir + "/original.dat";
      std::string rules = dir + "/autoexp.dat";
      Write(original, Generate(size, shape));
      std::string base = dir + "/";
      std::vector<double> floors, installs, uninstalls, seconds, cats, trues, crudinis;
      long peak = 0;
      bool secondWrote = false;
      for (int round = 0; round < rounds; ++round) {
        Time({"cp", original, rules});
        floors.push_back(Time({floorProgram, rules}).seconds);
        Run install = Time({program, base, "", "71", "I", "-", "-"});
        installs.push_back(install.seconds);
        peak = std::max(peak, install.peakKilobytes);
        Run uninstall = Time({program, base, "", "71", "U"});
        uninstalls.push_back(uninstall.seconds);
        peak = std::max(peak, uninstall.peakKilobytes);
        Time({program, base, "", "71", "I", "-", "-"});
        struct timespec before = ModifiedAt(rules);
        Run second = Time({program, base, "", "71", "I", "-", "-"});
        seconds.push_back(second.seconds);
        peak = std::max(peak, second.peakKilobytes);
        struct timespec after = ModifiedAt(rules);
        secondWrote =
            secondWrote || before.tv_sec != after.tv_sec || before.tv_nsec != after.tv_nsec;
        cats.push_back(Time({lineFloor, rules}).seconds);
        trues.push_back(Time({"true"}).seconds);
        // crudini takes minutes per round on large files: one round above 1 MB.
        if (haveCrudini && (round == 0 || size <= (1u << 20))) {
          Time({"cp", original, rules});
          double total = 0;
          for (const DisplayRule& rule : kDisplayRules) {
            total +=
                Time({"crudini", "--set", rules, "AutoExpand", rule.typeName, rule.value}).seconds;
          }
          crudinis.push_back(total);
        }
      }
      double floor = Median(floors), install = Median(installs), uninstall = Median(uninstalls);
      double second = Median(seconds), cat = Median(cats), nothing = Median(trues);
      double crudini = Median(crudinis);
      double peakBytes = static_cast<double>(peak) * 1024;
      double overMb = (peakBytes - static_cast<double>(size)) / (1024 * 1024);
      bool peakWithinTarget = overMb <= 8.0;
      std::printf(
          "%12s %9zu %6d %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f %8.3f %8.2f %8.2f %8.2f %6.2fms "
          "%8.1f %6.1f MB %6s%s\n",
          kShapeNames[shapeIndex], size, rounds, floor, install, uninstall, second, cat, nothing,
          crudini, install / floor, uninstall / floor, second / cat, (second - nothing) * 1000,
          crudini / install, overMb, peakWithinTarget ? "yes" : "NO",
          secondWrote ? "  (second install wrote!)" : "");
      char line[512];
      std::snprintf(
          line, sizeof line,
          "%zu,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.3f,%.3f,%.3f,%.2f,%.0f,%.2f,%d,%d,%s\n",
          size, rounds, floor, install, uninstall, second, cat, nothing, crudini, install / floor,
          uninstall / floor, second / cat, crudini / install, peakBytes, overMb,
          peakWithinTarget ? 1 : 0, secondWrote ? 1 : 0, kShapeNames[shapeIndex]);
      csv += line;
      std::remove(original.c_str());
      std::remove(rules.c_str());
      std::remove((dir + "/autoexp.bak").c_str());
    }
  }
  Write(out + "/results.csv", csv);
  std::printf("\nwritten to %s/results.csv (%d cores)\n", out.c_str(),
              static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
  return 0;
}
