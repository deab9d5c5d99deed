#include "clocksetter/frm時間校正.h"

#include <algorithm>

#include "clocksetter/Module1.h"
#include "clocksetter/server_table.h"
#include "clocksetter/time_reply.h"

namespace orvane {

using namespace std::chrono_literals;
using platform::rgb;

namespace {

constexpr platform::Colour kBlack = rgb(0, 0, 0), kRed = rgb(255, 0, 0), kBlue = rgb(0, 0, 255),
                           kYellow = rgb(255, 255, 0);

constexpr const char* kDesignDots = "..........";
constexpr const char* kClearedDots = ".............";
constexpr std::int16_t kProbeTimeoutMs = 1000;
constexpr auto kPause = 200ms;
constexpr auto kReplyWait = 1s;
// At sign-in the network may still be coming up: a run waits this long at most for a route to
// one of the servers, looking again this often where the system does not say when routes change.
constexpr auto kNetworkWait = 30s, kNetworkLook = 1s;
// One run of Orvane on the machine at a time. Whoever holds the turn longer than any run takes
// is not a run: the wait for it ends then.
constexpr const char* kTurn = "tw.zevo.orvane.run";
constexpr std::chrono::milliseconds kLongestOtherRun = 60s, kTurnLook = 250ms;

platform::ControlDesign Text(const char* name, platform::TwipRect rect, const char* caption,
                             platform::Colour fore = kBlack) {
  return {name, rect, caption, fore};
}

platform::ControlDesign YellowButton(const char* name, platform::TwipRect rect,
                                     const char* caption) {
  return {name, rect, caption, kBlack, kYellow, true};
}

// A screen reader names a value by the heading beside it.
platform::ControlDesign Named(platform::ControlDesign design, const char* heading) {
  design.accessibleName = heading;
  return design;
}

std::string TrimSpaces(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text.erase(0, text.find_first_not_of(' '));
}

}  // namespace

bool IsQuietMode(const std::string& commandLine) {
  return commandLine.find("/Q") != std::string::npos || commandLine.find("/q") != std::string::npos;
}

bool IsSignInRun(const std::string& commandLine) {
  std::string upper = commandLine;
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
  return upper.find("/LOGIN") != std::string::npos;
}

frm時間校正::frm時間校正(platform::Toolkit& toolkit, platform::Clock& clock, platform::Icmp& icmp,
                         platform::Network& network)
    : toolkit_(toolkit), clock_(clock), icmp_(icmp), network_(network) {
  window_ = toolkit_.createWindow({"網路校時 (By zevo)", 4680, 2985, rgb(255, 255, 192)});
  CreateControls();
  ConnectEvents();
}

void frm時間校正::CreateControls() {
  auto& w = *window_;
  // The band goes first so that the buttons lie above it.
  w.addStatic({"Label6", {0, 2400, 4695, 615}, "", kBlack, rgb(255, 128, 0), true});
  w.addStatic(Text("Label1", {240, 240, 1455, 255}, "尋找時間伺服器："));
  pgb1 = &w.addProgressBar(Named(Text("pgb1", {1800, 240, 2655, 165}, ""), "尋找時間伺服器"));
  w.addStatic(Text("Label2", {240, 600, 1455, 255}, "目標時間伺服器："));
  lbl目標 = &w.addStatic(
      Named(Text("lbl目標", {1800, 600, 2655, 255}, kDesignDots, kBlue), "目標時間伺服器"));
  w.addStatic(Text("Label3", {240, 960, 1455, 255}, "　　　　校正前："));
  lbl校正前 =
      &w.addStatic(Named(Text("lbl校正前", {1800, 960, 2775, 255}, kDesignDots, kBlue), "校正前"));
  w.addStatic(Text("Label4", {240, 1320, 1455, 255}, "　　　　校正後："));
  lbl校正後 =
      &w.addStatic(Named(Text("lbl校正後", {1800, 1320, 2775, 255}, kDesignDots, kBlue), "校正後"));
  w.addPicture(Named(Text("Image1", {240, 960, 480, 480}, ""), "時鐘"));
  w.addStatic(Text("Label5", {240, 1680, 1455, 255}, "　時間校正結果："));
  lbl狀態 = &w.addStatic(
      Named(Text("lbl狀態", {1800, 1680, 2775, 255}, kDesignDots, kRed), "時間校正結果"));
  lbl錯誤訊息 = &w.addStatic(Text("lbl錯誤訊息", {840, 2040, 3015, 255}, kDesignDots, kBlue));
  cmd再執行 = &w.addButton(YellowButton("cmd再執行", {720, 2520, 1575, 375}, "再執行一次"));
  cmd確定 = &w.addButton(YellowButton("cmd確定", {2400, 2520, 1575, 375}, "完成"));
  Winsock1 = &w.addTcpSocket("Winsock1");
}

void frm時間校正::ConnectEvents() {
  window_->setOnActivate([this] { Form_Activate(); });
  window_->setOnQueryUnload(
      [this](std::int16_t& cancel, platform::UnloadMode mode) { Form_QueryUnload(cancel, mode); });
  cmd再執行->setOnClick([this] { cmd再執行_Click(); });
  cmd確定->setOnClick([this] { cmd確定_Click(); });
  Winsock1->setOnDataArrival([this](std::int32_t bytes) { Winsock1_DataArrival(bytes); });
  Winsock1->setOnError(
      [this](std::int32_t number, const std::string& text) { Winsock1_Error(number, text); });
  Winsock1->setOnClose([this] { Winsock1_Close(); });
}

void frm時間校正::校時init() {
  bSyncDone = 0;
  lbl目標->setCaption(kClearedDots);
  lbl狀態->setCaption(kClearedDots);
  lbl校正前->setCaption(kClearedDots);
  lbl校正後->setCaption(kClearedDots);
  lbl錯誤訊息->setCaption("");
  cmd再執行->setEnabled(false);
  cmd確定->setCaption("完成");

  const auto& table = TimeServers();
  std::array<std::int16_t, kServerCount> results{};
  std::array<std::string, kServerCount> texts;
  lbl目標->setForeColour(kBlack);
  for (std::size_t i = 0; i < kServerCount; ++i) {
    pgb1->setValue(float(i * 100) / float(kServerCount - 1));
    const std::string address = AddressOf(table[i]);
    const std::int16_t rtt = ProbeEcho(icmp_, address, kProbeTimeoutMs);
    results[i] = rtt >= 0 ? rtt : kFailedProbe;
    texts[i] = ProbeDisplayText(rtt);
    toolkit_.doEvents();
    if (unloaded()) return;
    lbl目標->setCaption(address + texts[i]);
  }

  const std::size_t best = ChooseFastest(results);
  strServerHost = AddressOf(table[best]);
  lbl目標->setForeColour(kRed);
  lbl目標->setCaption(texts[best] == "(bad)" ? "無法連接到時間伺服器。"
                                             : strServerHost + "  " + texts[best]);
  pgb1->setValue(100);
  SyncStart();
}

void frm時間校正::SyncStart() {
  bSyncing = 1;
  Winsock1->close();
  replyBuffer_.clear();
  clock_.sleep(kPause);
  Winsock1->connect(TrimSpaces(strServerHost), kTimePort);

  // Monotonic: the reply handler changes the wall clock in the middle of this wait.
  toolkit_.handleEventsUntil(clock_.monotonicNow() + kReplyWait,
                             [this] { return unloaded() || bSyncDone || rerunAsked_; });
  // A run asked for in the wait starts as soon as this one has returned, and ends the program
  // itself in quiet mode.
  if (unloaded() || rerunAsked_ || !IsQuietMode(toolkit_.commandLine())) return;
  if (bSyncDone) {
    clock_.sleep(kPause);
  } else {
    // The exchange is given up before the box says so: a reply processed behind it would set
    // the clock while the box tells the user it was not.
    LeaveExchange();
    toolkit_.messageBox("網路有問題！校時未能完成。", "程式報告", platform::MessageButtons::Ok,
                        platform::MessageAnswer::Ok);
  }
  Unload();
  toolkit_.endProgram(0);
}

// One run, and again for each "再執行一次" clicked inside its wait: the click ends that wait and
// the new run starts from here, so that runs never nest, however often the user clicks. Nor do
// they overlap another Orvane's (two sign-ins, a run by hand during the sign-in run): a run
// waits for its turn, and a quiet run that had to wait ends without one of its own, since the
// run it waited for has just set the clock or said in its box why not.
void frm時間校正::RunFromTop(bool atSignIn) {
  running_ = true;
  const bool waited = TakeTurn();
  if (waited && IsQuietMode(toolkit_.commandLine()) && !unloaded()) {
    Unload();
    toolkit_.endProgram(0);
  }
  if (atSignIn && !unloaded()) WaitForTheNetwork();
  while (!unloaded()) {
    rerunAsked_ = false;
    校時init();
    if (!rerunAsked_) break;
  }
  turn_.reset();
  running_ = false;
}

// Whether another Orvane's run had to be waited for: a holder that outlasts any run is none.
bool frm時間校正::TakeTurn() {
  const auto giveUp = clock_.monotonicNow() + kLongestOtherRun;
  bool waited = false;
  while (!(turn_ = toolkit_.holdMachineWide(kTurn)) && clock_.monotonicNow() < giveUp &&
         !unloaded()) {
    if (!waited) {
      cmd再執行->setEnabled(false);
      lbl錯誤訊息->setCaption("等候另一個網路校時結束…");
    }
    waited = true;
    toolkit_.handleEventsUntil(clock_.monotonicNow() + kTurnLook, [this] { return unloaded(); });
  }
  return waited && turn_ != nullptr;
}

// At sign-in the run begins as soon as the system has a route to one of the servers, or once
// the wait is up; then it goes ahead either way, and says the truth.
void frm時間校正::WaitForTheNetwork() {
  const auto giveUp = clock_.monotonicNow() + kNetworkWait;
  bool changed = false;
  network_.setOnChange([&changed] { changed = true; });
  while (!AServerIsReachable() && clock_.monotonicNow() < giveUp && !unloaded()) {
    cmd再執行->setEnabled(false);
    lbl錯誤訊息->setCaption("等候網路連線…");
    changed = false;
    toolkit_.handleEventsUntil(std::min(giveUp, clock_.monotonicNow() + kNetworkLook),
                               [&] { return changed || unloaded(); });
  }
  network_.setOnChange({});
}

bool frm時間校正::AServerIsReachable() {
  const auto& table = TimeServers();
  return std::any_of(table.begin(), table.end(), [this](const ServerEntry& entry) {
    return network_.hasRouteTo(AddressOf(entry));
  });
}

void frm時間校正::cmd再執行_Click() {
  cmd再執行->setEnabled(false);
  if (running_) {
    rerunAsked_ = true;
    return;
  }
  RunFromTop();
}

void frm時間校正::cmd確定_Click() { Unload(); }

void frm時間校正::Form_Activate() {
  pgb1->sendMessage(platform::kSetBarColour, 0, kBlue);
  pgb1->sendMessage(platform::kSetBackgroundColour, 0, kRed);
  pgb1->setMax(100);
  RunFromTop(IsSignInRun(toolkit_.commandLine()));
}

void frm時間校正::Form_QueryUnload(std::int16_t& Cancel, platform::UnloadMode UnloadMode) {
  if (UnloadMode == platform::UnloadMode::ControlMenu) Cancel = -1;
}

void frm時間校正::Winsock1_DataArrival(std::int32_t /*bytesTotal*/) {
  if (unloaded()) return;
  try {
    const auto bytes = Winsock1->readAll();
    replyBuffer_.insert(replyBuffer_.end(), bytes.begin(), bytes.end());
    if (replyBuffer_.size() >= kReplySize) ProcessReply();
  } catch (...) {
    LeaveExchange();
  }
}

void frm時間校正::ProcessReply() {
  const auto utc = ServerTimeFromCount(ReplyCount(replyBuffer_));
  const auto record = ClockRecordFrom(utc);
  lbl校正前->setCaption(clock_.dateTimeText(clock_.localNow()));
  const bool clockSet = clock_.setSystemTimeUtc(record);
  if (bSyncing) {
    lbl狀態->setCaption(clockSet ? "系統時間校正成功。" : "執行時有錯誤發生！");
    lbl校正後->setCaption(clock_.dateTimeText(DisplayedServerTime(utc)));
  }
  bSyncing = 0;
  cmd確定->setEnabled(true);
  cmd確定->setCaption("完成");
  lbl錯誤訊息->setCaption("請按〔完成〕結束校時");
  cmd再執行->setEnabled(true);
  Winsock1->close();
  // Last: the wait ends on this only once the window shows its final state.
  bSyncDone = -1;
}

// The exchange failed without a word: the run is over, the window stays as it is.
void frm時間校正::LeaveExchange() {
  bSyncing = 0;
  replyBuffer_.clear();
  Winsock1->close();
}

void frm時間校正::Winsock1_Error(std::int32_t /*Number*/, const std::string& Description) {
  if (unloaded()) return;
  lbl狀態->setCaption("有錯誤發生！");
  lbl錯誤訊息->setCaption(Description);
  Winsock1->close();
  cmd再執行->setEnabled(true);
  cmd確定->setCaption("取消校時");
  cmd確定->setEnabled(true);
  bSyncing = 0;
}

// The server closed before four bytes came: the reply is short and never will be whole.
void frm時間校正::Winsock1_Close() {
  if (unloaded()) return;
  LeaveExchange();
}

void frm時間校正::Unload() { window_->unload(); }

}  // namespace orvane
