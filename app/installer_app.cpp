#include "app/installer_app.h"

#include "app/run_installer.h"

CInstallerApp theApp;

CInstallerApp::~CInstallerApp() = default;

bool CInstallerApp::InitInstance(int count, char** arguments) {
  exitStatus_ = RunInstaller(count, arguments);
  return false;
}
