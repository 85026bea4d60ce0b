// Opening a web page: in the default browser, or in a browser started as its
// own process. The launcher is an interface so tests can record the calls.
#pragma once

#include <string>
#include <string_view>

namespace dt::shell {

// Pages of the program's maker.
inline constexpr std::string_view kDefaultPageAddress = "https://example.com/dovetrail/";

class BrowserLauncher {
 public:
  virtual ~BrowserLauncher() = default;
  // Hands the address to the desktop's default browser. url is UTF-8.
  virtual void OpenDefault(const std::string& url) = 0;
  // Starts the browser program detached with the address as its one
  // argument; false when it could not be started.
  virtual bool StartBrowser(const std::string& url) = 0;
};

// The desktop's own services: QDesktopServices::openUrl, and "x-www-browser"
// from PATH started with an argument list (never through a shell).
class SystemBrowserLauncher : public BrowserLauncher {
 public:
  void OpenDefault(const std::string& url) override;
  bool StartBrowser(const std::string& url) override;
};

// Opens addressGbk (the default page when it is empty): with useBrowser in
// the started browser, falling back to the default browser when it cannot be
// started; otherwise in the default browser. Reports nothing.
void OpenAddress(BrowserLauncher& launcher, std::string_view addressGbk, bool useBrowser);

// The page the update button opens, as a file:// address (UTF-8): the README
// installed with the program (share/doc/dovetrail/ beside the program's bin/),
// else the README of the source tree the program was built from; empty when
// neither exists, so the button never opens a page that is not there.
std::string UpdatePageAddress(const std::string& programFolder);

}  // namespace dt::shell
