// drosil: the meter's process entry on the headless host.
//
// Launches the app with its delegate, grants or refuses the camera, puts the
// scenes it is given before the camera one after the other, presses the
// buttons a user would, drives the run loop on the real clock or a virtual
// one, and prints what the screen shows each time its reading settles:
//
//   reading: <temperature text>  tint <tint text>  <light-source text>  slider <position>
//   photo: <path of a photo saved to the album>  (--photo)
//   settings: opened  (--settings, once the settings screen is shown)
//
// Options only play the user's and the device's part (see usage()). With no
// arguments: a demonstration on virtual time (2700 K, 5500 K and 7500 K in
// turn, then a photo saved from the preview and a screenshot written to
// drosil-screen.png).
//
// Output: the lines above, the watch's transfers (--watch) and the permission
// screen's texts go to standard output. Everything else the app prints goes
// through the console (os::Console) or the system log (os::Log), sent to
// standard error; in the demonstration both go to Library/Caches/drosil.log in
// the sandbox instead, and a last line on standard error says where.
//
// Exit status 0; 2 for a bad option or an unreadable scene image (nothing is
// written then); 1 when the app cannot launch or the screenshot cannot be
// written.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/controls/ruler_number_picker.h"
#include "app/controls/sliders.h"
#include "app/screens/app_delegate.h"
#include "app/screens/main_storyboard.h"
#include "app/screens/new_landing_view_controller.h"
#include "app/screens/photo/preview_view_controller.h"
#include "app/settings/new_settings_table_view_controller.h"
#include "os/avfoundation/avfoundation.h"
#include "os/dispatch/manual_clock.h"
#include "os/dispatch/queue.h"
#include "os/foundation/console.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"
#include "os/foundation/process_info.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "os/graphics/image.h"
#include "os/photos/photo_library.h"
#include "os/uikit/app_host.h"
#include "os/uikit/view_controller.h"
#include "os/watchconnectivity/wc_session.h"

namespace {

constexpr double kDefaultHoldSeconds = 2.0;
constexpr const char* kDemoScreenshot = "drosil-screen.png";
// The demonstration's log (console and system log), in the sandbox's caches.
constexpr const char* kDemoLogFileName = "drosil.log";
// A reading counts as settled once unchanged for this long.
constexpr double kSettleSeconds = 0.5;
constexpr double kPollSeconds = 0.05;
// The longest --idle or --background: a week.
constexpr double kMaxAwaySeconds = 604800;

struct Options {
  std::vector<os::CaptureScene> scenes;
  double hold = kDefaultHoldSeconds;
  std::optional<double> compensation;
  bool denyCamera = false;
  bool front = false;
  int zoomTaps = 0;
  bool watch = false;
  bool photo = false;
  bool settings = false;
  std::optional<std::string> screenshot;
  // After the scenes: the phone lies untouched with the app in front, then
  // the user leaves the app and comes back (seconds of clock time each).
  double idle = 0;
  double background = 0;
  std::optional<std::string> home;
  bool virtualTime = false;
  // The console and the system log go to the sandbox's log file rather than
  // standard error.
  bool consoleToLog = false;
  std::optional<os::DeviceNetwork> network;
  // The platform's launch arguments ("-REZSessionsDebugEvents"), for the app.
  std::vector<std::string> launchArguments;
};

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: drosil [options]\n"
               "  --scene KELVIN[:DUV]   a light before the camera for --hold seconds (repeatable)\n"
               "  --scene-image FILE     the camera sees this picture (repeatable, in turn with --scene)\n"
               "  --hold SECONDS         how long each scene stays (default 2)\n"
               "  --compensation KELVIN  set on the ruler, -1000 ... 1000 in steps of 10\n"
               "  --deny-camera          refuse the camera\n"
               "  --front                flip to the front camera\n"
               "  --zoom-taps N          press the zoom button N times\n"
               "  --watch                a reachable watch; print what it receives\n"
               "  --photo                press the create-log button after the last scene, then save\n"
               "  --settings             open the settings after that, then close them\n"
               "  --screenshot FILE      render the screen to a PNG after the last scene\n"
               "  --idle SECONDS         then leave the app in front untouched (0 ... 604800)\n"
               "  --background SECONDS   then switch away from the app and back (0 ... 604800)\n"
               "  --home DIR             the app's sandbox (default $DROSIL_HOME or ~/.local/share/drosil)\n"
               "  --virtual-time         run the clock as fast as the work allows\n"
               "  --network KIND         the device's network: wifi, mobile or none (default: the host's)\n"
               "  -NAME                  a launch argument handed to the app (repeatable), such as\n"
               "                         -REZSessionsDebugEvents or -REZDebugEnabled\n"
               "  --help                 this text\n"
               "Without options: a demonstration on virtual time.\n");
}

std::optional<double> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// A picture file as an image scene: its samples as sRGB at the file's full
// depth (a 16-bit PNG keeps its 16 bits).
os::Result<os::CaptureScene> sceneFromImageFile(const std::string& path) {
  auto bytes = os::FileManager::defaultManager().contentsAtPath(path);
  if (!bytes) return std::unexpected(bytes.error());
  auto samples = CGImage::decodeSamples(*bytes);
  if (!samples) return std::unexpected(samples.error());
  return os::CaptureScene::image16(samples->width, samples->height, samples->rgb);
}

// Parses the command line; an error names the option, nullopt with `help`
// set asks for the usage text.
std::optional<Options> parse(int argc, char** argv, std::string& error, bool& help) {
  Options o;
  auto value = [&](int& i, const std::string& name) -> std::optional<std::string> {
    if (i + 1 >= argc) {
      error = name + " needs a value";
      return std::nullopt;
    }
    return std::string(argv[++i]);
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return std::nullopt;
    } else if (arg == "--scene") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      const size_t colon = v->find(':');
      auto kelvin = parseNumber(v->substr(0, colon));
      auto duv = colon == std::string::npos ? std::optional<double>(0.0) : parseNumber(v->substr(colon + 1));
      if (!kelvin || !duv) {
        error = "--scene: not KELVIN[:DUV]: " + *v;
        return std::nullopt;
      }
      auto scene = os::CaptureScene::lightSource(*kelvin, *duv);
      if (!scene) {
        error = "--scene " + *v + ": " + scene.error().localizedDescription();
        return std::nullopt;
      }
      o.scenes.push_back(*scene);
    } else if (arg == "--scene-image") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      auto scene = sceneFromImageFile(*v);
      if (!scene) {
        error = "--scene-image " + *v + ": " + scene.error().localizedDescription();
        return std::nullopt;
      }
      o.scenes.push_back(*scene);
    } else if (arg == "--hold") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      auto seconds = parseNumber(*v);
      if (!seconds || *seconds <= 0 || *seconds > 3600) {
        error = "--hold: not a number of seconds (0 ... 3600): " + *v;
        return std::nullopt;
      }
      o.hold = *seconds;
    } else if (arg == "--compensation") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      auto kelvin = parseNumber(*v);
      if (!kelvin || *kelvin < -1000 || *kelvin > 1000) {
        error = "--compensation: not a kelvin value in -1000 ... 1000: " + *v;
        return std::nullopt;
      }
      o.compensation = *kelvin;
    } else if (arg == "--deny-camera") {
      o.denyCamera = true;
    } else if (arg == "--front") {
      o.front = true;
    } else if (arg == "--zoom-taps") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      auto n = parseNumber(*v);
      if (!n || *n < 0 || *n > 1000 || *n != std::floor(*n)) {
        error = "--zoom-taps: not a count (0 ... 1000): " + *v;
        return std::nullopt;
      }
      o.zoomTaps = static_cast<int>(*n);
    } else if (arg == "--watch") {
      o.watch = true;
    } else if (arg == "--photo") {
      o.photo = true;
    } else if (arg == "--settings") {
      o.settings = true;
    } else if (arg == "--screenshot") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      if (v->empty()) {
        error = "--screenshot needs a file name";
        return std::nullopt;
      }
      o.screenshot = *v;
    } else if (arg == "--idle" || arg == "--background") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      const auto seconds = parseNumber(*v);
      if (!seconds || *seconds < 0 || *seconds > kMaxAwaySeconds) {
        error = arg + ": not a number of seconds (0 ... 604800): " + *v;
        return std::nullopt;
      }
      (arg == "--idle" ? o.idle : o.background) = *seconds;
    } else if (arg == "--home") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      if (v->empty()) {
        error = "--home needs a folder";
        return std::nullopt;
      }
      o.home = *v;
    } else if (arg == "--virtual-time") {
      o.virtualTime = true;
    } else if (arg == "--network") {
      auto v = value(i, arg);
      if (!v) return std::nullopt;
      if (*v == "wifi") o.network = os::DeviceNetwork::WiFi;
      else if (*v == "mobile") o.network = os::DeviceNetwork::Mobile;
      else if (*v == "none") o.network = os::DeviceNetwork::None;
      else {
        error = "--network: not wifi, mobile or none: " + *v;
        return std::nullopt;
      }
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      // A single dash: the platform's launch argument, the app's to read.
      o.launchArguments.push_back(arg);
    } else {
      error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  return o;
}

Options demonstration() {
  Options o;
  for (double kelvin : {2700.0, 5500.0, 7500.0}) o.scenes.push_back(*os::CaptureScene::lightSource(kelvin));
  o.screenshot = kDemoScreenshot;
  o.photo = true;
  o.virtualTime = true;
  o.consoleToLog = true;
  return o;
}

// Opens the demonstration's log file in the sandbox and sends the system log
// there; nullopt (both stay on standard error) when it cannot be opened.
std::optional<std::string> openConsoleLog(int& fd) {
  const std::string folder = os::Sandbox::current()->cachesDirectory();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::string path = folder + "/" + kDemoLogFileName;
  // Both the console and the system log append to it, each line whole.
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return std::nullopt;
  if (!os::Log::setOutputFile(path)) {
    ::close(fd);
    return std::nullopt;
  }
  os::Log::setStandardErrorEnabled(false);
  return path;
}

// The program's own lines; everything the app prints goes to the console,
// which writes to standard error here.
void emit(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

std::string describe(const os::Value& value) {
  if (const std::string* s = value.string()) return *s;
  if (const os::Data* d = value.data()) return os::format("<%zu bytes>", d->size());
  if (value.isNumber()) return os::format("%.1f", value.doubleValue());
  return "?";
}

// Follows the screen and prints each reading once it has settled.
class ReadingMonitor {
 public:
  ReadingMonitor(os::uikit::ApplicationHost& host, const NewLandingViewController& screen, bool watch)
      : host_(host), screen_(screen), watch_(watch) {}

  // Runs the app for `seconds`, printing what settles meanwhile.
  void run(double seconds) {
    for (double t = 0; t < seconds - 1e-9; t += kPollSeconds) {
      host_.runFor(std::min(kPollSeconds, seconds - t));
      poll();
    }
  }

 private:
  std::string current() const {
    if (screen_.tempReading()->text().empty()) return {};
    return "reading: " + screen_.tempReading()->text() + "  tint " + screen_.tintReading()->text() + "  " +
           screen_.lightTypeLbl()->text() + "  slider " +
           os::format("%.0f", static_cast<double>(screen_.cctTempSlider()->slider()->value()));
  }

  void poll() {
    if (watch_) {
      for (const auto& info : os::WatchSimulator::deliverUserInfoTransfers()) {
        std::string line = "watch:";
        for (const auto& [key, value] : info) line += " " + key + "=" + describe(value);
        emit(line);
      }
    }
    const std::string now = current();
    if (now != sample_) {
      sample_ = now;
      stableFor_ = 0;
      return;
    }
    stableFor_ += kPollSeconds;
    if (!now.empty() && now != printed_ && stableFor_ >= kSettleSeconds) {
      emit(now);
      printed_ = now;
    }
  }

  os::uikit::ApplicationHost& host_;
  const NewLandingViewController& screen_;
  const bool watch_;
  std::string sample_, printed_;
  double stableFor_ = 0;
};

void press(const std::shared_ptr<UIButton>& button) {
  if (button && button->isUserInteractionEnabled() && button->isEnabled()) {
    button->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
  }
}

// Drags the ruler, finger on the glass, until `kelvin` is under its
// indicator, and lets go; the ruler settles on its step.
void dragRuler(UIWindow& window, ReadingMonitor& monitor, const ScrollRulerNumberPicker& ruler, double kelvin) {
  const CGFloat S = ruler.scaleLength();
  const CGFloat target = (kelvin - ruler.minValue()) * S / (ruler.maxValue() - ruler.minValue());
  CGFloat remaining = target - ruler.scrollView()->contentOffset().x;
  const CGRect frame = ruler.convertRectToView(ruler.bounds(), nullptr);
  const CGFloat span = std::max<CGFloat>(20, frame.width() * 0.4);
  const CGFloat y = frame.midY();
  const double frameSeconds = 1.0 / 60;
  while (std::abs(remaining) > 0.01) {
    // The content moves against the finger; each stroke covers at most span.
    const CGFloat stroke = std::clamp(remaining, -span, span);
    const CGFloat x0 = stroke > 0 ? frame.midX() + span / 2 : frame.midX() - span / 2;
    window.sendTouch({x0, y}, UITouchPhase::Began);
    const int steps = 8;
    for (int i = 1; i <= steps; ++i) {
      monitor.run(frameSeconds);
      window.sendTouch({x0 - stroke * i / steps, y}, UITouchPhase::Moved);
    }
    // Held still before lifting: no fling.
    monitor.run(frameSeconds * 6);
    window.sendTouch({x0 - stroke, y}, UITouchPhase::Moved);
    window.sendTouch({x0 - stroke, y}, UITouchPhase::Ended);
    remaining -= stroke;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> parsed;
  if (argc <= 1) {
    parsed = demonstration();
  } else {
    std::string error;
    bool help = false;
    parsed = parse(argc, argv, error, help);
    if (help) {
      usage(stdout);
      return 0;
    }
    if (!parsed) {
      std::fprintf(stderr, "drosil: %s\n", error.c_str());
      return 2;
    }
  }
  Options& options = *parsed;
  // What the app sees as its launch arguments: the program, then the
  // platform's arguments it was given, before anything reads them.
  std::vector<std::string> launchArguments{argv[0]};
  launchArguments.insert(launchArguments.end(), options.launchArguments.begin(), options.launchArguments.end());
  os::ProcessInfo::processInfo().setArguments(std::move(launchArguments));

  os::Console::setOutputDescriptor(STDERR_FILENO);
  if (options.home) {
    std::error_code ec;
    const auto root = std::filesystem::absolute(*options.home, ec);
    os::Sandbox::setCurrent(std::make_shared<os::Sandbox>(ec ? *options.home : root.lexically_normal().string()));
  }
  std::optional<std::string> consoleLog;
  if (options.consoleToLog) {
    int fd = -1;
    consoleLog = openConsoleLog(fd);
    if (consoleLog) os::Console::setOutputDescriptor(fd);
  }
  // Virtual time runs from now: only its pace differs from the real clock's.
  if (options.virtualTime) {
    os::ManualClock::install(os::Clock::current().wallTime(), os::Clock::current().uptimeNanos());
  }
  if (options.network) {
    os::DeviceProfile device = os::DeviceProfile::current();
    device.network = options.network;
    os::DeviceProfile::setCurrent(std::move(device));
  }
  os::CameraSimulator::setAuthorizationStatus(
      AVMediaTypeVideo, options.denyCamera ? AVAuthorizationStatus::Denied : AVAuthorizationStatus::Authorized);
  if (options.watch) {
    os::WatchSimulator::setPaired(true);
    os::WatchSimulator::setWatchAppInstalled(true);
    os::WatchSimulator::setReachable(true);
  }
  if (!options.scenes.empty()) os::CameraSimulator::setScene(options.scenes.front());
  registerMainStoryboard();

  os::uikit::ApplicationHost host;
  // The SDK's configuration raises when the bundle's options file is missing
  // or damaged: the app cannot launch then.
  os::Status launched;
  try {
    launched = host.launch("", kAppDelegateClassName);
  } catch (const os::Exception& e) {
    launched = os::fail(os::Error::withDescription(e.name(), 0, e.reason()));
  }
  if (!launched) {
    std::fprintf(stderr, "drosil: launch refused: %s\n", launched.error().localizedDescription().c_str());
    return 1;
  }
  host.runUntilIdle();
  auto window = host.keyWindow();
  auto screen = std::dynamic_pointer_cast<NewLandingViewController>(window ? window->rootViewController() : nullptr);
  if (!screen) {
    std::fprintf(stderr, "drosil: the meter screen is not on screen\n");
    return 1;
  }
  ReadingMonitor monitor(host, *screen, options.watch);
  monitor.run(kSettleSeconds);

  if (options.denyCamera && !screen->accessBoundryView()->isHidden()) {
    emit("permission: " + screen->cameraRestrictedLbl()->text());
    emit("permission: " + screen->cameraRestrictedSubLbl()->text());
    emit("permission: " + screen->allowCameraBtn()->titleForState(UIControlState::Normal).value_or(""));
  }
  if (options.front) {
    press(screen->flipCameraBtn());
    monitor.run(kSettleSeconds);
  }
  for (int i = 0; i < options.zoomTaps; ++i) {
    press(screen->zoomBtn());
    monitor.run(0.1);
  }
  if (options.compensation) {
    press(screen->compensateBtn());
    monitor.run(kButtonAreaAnimationSeconds + 0.1);
    dragRuler(*window, monitor, *screen->rulerView(), *options.compensation);
    monitor.run(kSettleSeconds);
    press(screen->compensateBtn());
    monitor.run(kButtonAreaAnimationSeconds + 0.1);
  }

  if (options.scenes.empty()) {
    monitor.run(options.hold);
  }
  for (size_t i = 0; i < options.scenes.size(); ++i) {
    if (i > 0) os::CameraSimulator::setScene(options.scenes[i]);
    monitor.run(options.hold);
  }

  if (options.photo) {
    const size_t before = os::PhotoLibrarySimulator::savedPhotoPaths().size();
    press(screen->createLogBtn());
    monitor.run(options.hold);
    if (auto preview = std::dynamic_pointer_cast<PreviewViewController>(screen->presentedViewController())) {
      press(preview->saveBtn());
      monitor.run(kSettleSeconds);
      preview->dismissAction();
      monitor.run(kSettleSeconds);
    } else {
      std::fprintf(stderr, "drosil: --photo: the preview did not open\n");
    }
    const auto saved = os::PhotoLibrarySimulator::savedPhotoPaths();
    for (size_t i = before; i < saved.size(); ++i) emit("photo: " + saved[i]);
  }

  if (options.settings) {
    press(screen->settingsBtn());
    monitor.run(kSettleSeconds);
    auto navigation = std::dynamic_pointer_cast<UINavigationController>(screen->presentedViewController());
    auto settings = std::dynamic_pointer_cast<NewSettingsTableViewController>(
        navigation ? navigation->topViewController() : nullptr);
    if (settings) {
      emit("settings: opened");
      settings->dismissBarItem()->TEST_tap();
      monitor.run(kSettleSeconds);
    } else {
      std::fprintf(stderr, "drosil: --settings: the settings did not open\n");
    }
  }

  if (options.idle > 0) {
    host.runFor(options.idle);
    monitor.run(kSettleSeconds);
  }
  if (options.background > 0 && host.moveToBackground()) {
    host.runFor(options.background);
    (void)host.moveToForeground();
    monitor.run(kSettleSeconds);
  }

  int status = 0;
  if (options.screenshot) {
    if (auto written = window->renderToPNGFile(*options.screenshot); !written) {
      std::fprintf(stderr, "drosil: --screenshot %s: %s\n", options.screenshot->c_str(),
                   written.error().localizedDescription().c_str());
      status = 1;
    } else {
      std::fprintf(stderr, "drosil: screenshot written to %s\n", options.screenshot->c_str());
    }
  }
  (void)host.terminate();
  // The work the last notifications queued (the analytics engine's writes
  // among them) runs to its end; then the process ends without destroying
  // its static objects, which threads still winding down may be using (the
  // store keeps every transaction whole either way).
  os::dispatch::drainUntilIdle();
  if (consoleLog) {
    std::fprintf(stderr,
                 "drosil: the SDK's log is in %s; its services point at \".invalid\" hosts unless configured\n",
                 consoleLog->c_str());
  }
  std::fflush(nullptr);
  std::_Exit(status);
}
