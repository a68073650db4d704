#ifndef AUTOEXP_APP_INSTALLER_APP_H_
#define AUTOEXP_APP_INSTALLER_APP_H_

// The application object. Exactly one exists, as the global theApp, built
// before the entry runs; the entry calls its start-up hook once and then ends
// the process with its exit status.
class CInstallerApp {
 public:
  CInstallerApp() = default;
  virtual ~CInstallerApp();
  CInstallerApp(const CInstallerApp&) = delete;
  CInstallerApp& operator=(const CInstallerApp&) = delete;

  // The start-up hook: runs the installer with the process's arguments and
  // returns false, for there is no window to show and no message loop to run,
  // so the process is to end at once.
  virtual bool InitInstance(int count, char** arguments);

  // The status the process ends with: that of the run the hook made.
  int ExitStatus() const { return exitStatus_; }

 private:
  int exitStatus_ = 0;
};

extern CInstallerApp theApp;

#endif  // AUTOEXP_APP_INSTALLER_APP_H_
