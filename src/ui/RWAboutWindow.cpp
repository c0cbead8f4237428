#include "ui/RWAboutWindow.h"

#include "platform/AppBundleInfo.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/UrlOpener.h"
#include "platform/Workspace.h"

RWAboutWindow& RWAboutWindow::sharedInstance() {
  // Kept to the end of the process: its widgets must not outlive the toolkit at exit.
  static RWAboutWindow& instance = *std::make_unique<RWAboutWindow>(AppBundleInfo::main()).release();
  return instance;
}

void RWAboutWindow::updateVersionLabel() {
  auto index = static_cast<std::size_t>(versionLabelSelectedKey_);
  if (index >= versionLabelKeys.size()) return;
  auto value = bundle_.string(versionLabelKeys[index]);
  if (!value) return;
  versionText_ = *value;
  showVersionText();
}

void RWAboutWindow::versionLabelClicked() {
  versionLabelSelectedKey_ = versionLabelSelectedKey_ == 0 ? 1 : 0;
  updateVersionLabel();
}

void RWAboutWindow::acknowledgmentsClicked() {
  auto path = Resources::path("Acknowledgements", "md");
  if (!Workspace::shared().openFile(path)) RWLog("About window: could not open " + path.string(), 3);
}

void RWAboutWindow::licenseAgreementClicked() { UrlOpener::open(licenseAgreementURL); }
