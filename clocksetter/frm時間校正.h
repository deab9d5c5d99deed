// The clock setter's one window: it searches the time servers, reads the time from the fastest and
// sets the system clock, then waits for the user (or, with "/Q", ends by itself).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/icmp.h"
#include "platform/socket.h"
#include "platform/toolkit.h"

namespace orvane {

// "/Q" anywhere in the command line, in either letter case, also inside a longer word: the run
// ends the program by itself.
bool IsQuietMode(const std::string& commandLine);

// "/LOGIN" anywhere in the command line, in either letter case: the run at sign-in, which first
// waits for the network to come up.
bool IsSignInRun(const std::string& commandLine);

class frm時間校正 {
 public:
  frm時間校正(platform::Toolkit& toolkit, platform::Clock& clock, platform::Icmp& icmp,
              platform::Network& network);

  platform::Window& window() { return *window_; }

  // One run: search, choice, exchange. Called on activation and by "再執行一次".
  void 校時init();

 private:
  void CreateControls();
  void ConnectEvents();

  void RunFromTop(bool atSignIn = false);
  bool TakeTurn();
  void WaitForTheNetwork();
  bool AServerIsReachable();
  void SyncStart();
  void cmd再執行_Click();
  void cmd確定_Click();
  void Form_Activate();
  void Form_QueryUnload(std::int16_t& Cancel, platform::UnloadMode UnloadMode);
  void Winsock1_DataArrival(std::int32_t bytesTotal);
  void Winsock1_Error(std::int32_t Number, const std::string& Description);
  void Winsock1_Close();

  void ProcessReply();
  void LeaveExchange();
  void Unload();
  bool unloaded() const { return window_->isUnloaded(); }

  platform::Toolkit& toolkit_;
  platform::Clock& clock_;
  platform::Icmp& icmp_;
  platform::Network& network_;
  std::unique_ptr<platform::Window> window_;
  std::unique_ptr<platform::Interface> turn_;  // held while this process runs

  std::int16_t bSyncing = 0;
  std::string strServerHost;
  std::int16_t bSyncDone = 0;
  // What has arrived of the reply so far: TCP may split the four bytes over several arrivals.
  std::vector<std::uint8_t> replyBuffer_;
  // A run is under way (its wait may handle a click on "再執行一次"), and such a click came.
  bool running_ = false;
  bool rerunAsked_ = false;

  // The controls the program changes; the headings, the band and the picture it leaves alone.
  platform::ProgressBar* pgb1 = nullptr;
  platform::Control* lbl目標 = nullptr;
  platform::Control* lbl校正前 = nullptr;
  platform::Control* lbl校正後 = nullptr;
  platform::Control* lbl狀態 = nullptr;
  platform::Control* lbl錯誤訊息 = nullptr;
  platform::Button* cmd再執行 = nullptr;
  platform::Button* cmd確定 = nullptr;
  platform::TcpSocket* Winsock1 = nullptr;
};

}  // namespace orvane
