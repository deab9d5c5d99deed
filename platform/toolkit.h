// Window toolkit: one window with static texts, buttons, a picture and a progress bar, message
// boxes, and the message loop with the two ways a long procedure lets it run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/progressbar.h"
#include "platform/socket.h"
#include "platform/unique_handle.h"

namespace platform {

// A colour as red, green and blue packed 0x00BBGGRR, the form the window's design gives.
using Colour = std::uint32_t;
constexpr Colour rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return Colour(r) | Colour(g) << 8 | Colour(b) << 16;
}

// Position and size in twips (1/1440 inch; 15 twips are one pixel at 96 dpi).
struct TwipRect {
  int left = 0, top = 0, width = 0, height = 0;
};

struct ControlDesign {
  std::string name;
  TwipRect rect;
  std::string caption;
  Colour foreColour = rgb(0, 0, 0);
  Colour backColour = 0;
  bool hasBackColour = false;  // otherwise transparent over the window
  // What assistive technology calls the control (a value, by its heading); empty: its caption.
  std::string accessibleName = {};
};

struct WindowDesign {
  std::string caption;
  int clientWidthTwips = 0, clientHeightTwips = 0;
  Colour backColour = rgb(255, 255, 255);
};

// A static text, a button or a picture of the window.
class Control : public Interface {
 public:
  virtual void setCaption(const std::string& text) = 0;
  virtual void setForeColour(Colour colour) = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() const = 0;
};

class Button : public Control {
 public:
  virtual void setOnClick(std::function<void()> handler) = 0;
};

// Where a request to close the window comes from.
enum class UnloadMode : std::int16_t {
  ControlMenu = 0,  // the title-bar close box or the system menu
  FormCode = 1,     // the program's own unload
  AppWindows = 2,   // the session is ending
  TaskManager = 3,  // another program (a task manager, SIGTERM)
};

class Window : public Interface {
 public:
  virtual Control& addStatic(const ControlDesign& design) = 0;
  virtual Button& addButton(const ControlDesign& design) = 0;
  // A picture showing the program's icon.
  virtual Control& addPicture(const ControlDesign& design) = 0;
  virtual ProgressBar& addProgressBar(const ControlDesign& design) = 0;
  // A TCP socket control owned by the window; its events come on the window's thread.
  virtual TcpSocket& addTcpSocket(const std::string& name) = 0;

  // Raised once, when the window first becomes the active window.
  virtual void setOnActivate(std::function<void()> handler) = 0;
  // Raised on every request to close; setting cancel to true (-1) keeps the window open.
  virtual void setOnQueryUnload(
      std::function<void(std::int16_t& cancel, UnloadMode mode)> handler) = 0;

  // The program's own close request: asks the query-unload handler with FormCode, then closes the
  // window. The message loop ends once control returns to it.
  virtual void unload() = 0;
  virtual bool isUnloaded() const = 0;
};

// What every window does with activation and close requests, whatever draws it: it asks the
// program's query-unload handler and raises activation once. A platform says what closing means.
class WindowBase : public Window {
 public:
  void setOnActivate(std::function<void()> handler) override { onActivate_ = std::move(handler); }
  void setOnQueryUnload(
      std::function<void(std::int16_t& cancel, UnloadMode mode)> handler) override {
    onQueryUnload_ = std::move(handler);
  }
  void unload() override { requestClose(UnloadMode::FormCode); }
  bool isUnloaded() const override { return unloaded_; }

  // A close request from this source; true when the window is (now) closed.
  bool requestClose(UnloadMode mode);
  // Raises activation the first time only, and never after the window has closed.
  void activateOnce();

 protected:
  // The window has just closed (its sockets too): hide it and let the message loop end.
  virtual void closed() = 0;
  // A socket of this window, closed when the window closes.
  TcpSocket& ownSocket(std::unique_ptr<TcpSocketBase> socket) {
    sockets_.push_back(std::move(socket));
    return *sockets_.back();
  }

 private:
  std::vector<std::unique_ptr<TcpSocketBase>> sockets_;
  std::function<void()> onActivate_;
  std::function<void(std::int16_t&, UnloadMode)> onQueryUnload_;
  bool activated_ = false;
  bool unloaded_ = false;
};

enum class MessageButtons { Ok, YesNo };

// What showNotice shows, for as long as it lives.
class Notice : public Interface {};

enum class MessageAnswer : std::int32_t { Ok = 1, Yes = 6, No = 7 };

class Toolkit : public Interface {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual std::unique_ptr<Window> createWindow(const WindowDesign& design) = 0;
  // Shows the window and runs the message loop until it is unloaded or the program is ended;
  // returns the exit code.
  virtual int run(Window& window) = 0;

  // A modal message box with no icon; defaultButton is the answer that Enter chooses.
  virtual MessageAnswer messageBox(const std::string& text, const std::string& title,
                                   MessageButtons buttons, MessageAnswer defaultButton) = 0;

  // Handles every event already pending, then returns.
  virtual void doEvents() = 0;
  // Before the deadline (a monotonic time): handles pending events, or when there are none,
  // sleeps until one comes or the deadline passes and handles what came, then returns true.
  // Once the deadline has passed: false, and nothing is handled.
  virtual bool waitForEvents(TimePoint deadline) = 0;
  // Handles events, sleeping while there are none, until the deadline or until done() (asked
  // after each pass) says so.
  void handleEventsUntil(TimePoint deadline, const std::function<bool()>& done = {});

  // The process's argument text, without the program path.
  virtual std::string commandLine() const = 0;
  // Ends the program with this exit code: inside the message loop once control returns to it,
  // at once where no message loop runs (a program without a window).
  virtual void endProgram(int exitCode) = 0;
  // A small window of the program's own, without buttons, that says what the program is busy
  // with; it closes when the notice is destroyed.
  virtual std::unique_ptr<Notice> showNotice(const std::string& title, const std::string& text) = 0;
  // A name held by one process of the whole machine at a time, every user's and session's, for
  // as long as the object lives; none while another process holds it.
  virtual std::unique_ptr<Interface> holdMachineWide(const std::string& name) = 0;
};

}  // namespace platform
