#include "update/console_reporter.h"

#include <cstdarg>
#include <cstdio>
#include <vector>


#include "update/compat_report.h"
#include "update/device_text.h"
#include "update/versions.h"

namespace korvo {

namespace {

// A version letter can make any byte: shown as the device's own text is.
std::string version_text(Version v) { return shown_line(version_string(v)); }

// "version 1.14, model Slate Pro", as the device reported itself.
std::string reported(const DeviceInfo& device) {
  const std::string model = device_text(device_model_text(device));
  return "version " + version_text(device.version) + ", model " + (model.empty() ? "unknown" : model);
}

// "Hall B (Slate Pro)" for a device with a name of its own, else the product table's model.
std::string device_label(const DeviceInfo& device) {
  const char* table = product_lookup(device.product, device.pcb_revision);
  const std::string model = table != nullptr ? table : "unknown model";
  const std::string name = device_text(device_name(device));
  return name.empty() ? model : name + " (" + model + ")";
}

}  // namespace

const char* compat_reason(CompatCode code) {
  switch (code) {
    case CompatCode::OK:
      return "it fits";
    case CompatCode::IMAGE_UNKNOWN:
      return "the image is for a product this program does not know";
    case CompatCode::DEVICE_UNKNOWN:
      return "this program does not know the device";
    case CompatCode::PRODUCT_MISMATCH:
      return "the image is for another product";
    case CompatCode::REVISION_MISMATCH:
      return "no image for this PCB revision";
  }
  return "unknown";
}

std::string diagnostic_lines(const std::string& text) {
  const size_t first = text.find_first_not_of('\n');
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of('\n');
  return text.substr(first, last - first + 1);
}

void ConsoleReporter::diagnostic(const std::string& text) {
  if (!whole_lines_) {
    tell(out_, "%s", text.c_str());
    return;
  }
  const std::string lines = diagnostic_lines(text);
  if (!lines.empty()) tell(out_, "%s\n", lines.c_str());
}

void ConsoleReporter::note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    (void)std::vsnprintf(buffer.data(), buffer.size(), format, again);
    text.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(again);
  diagnostic(text);
}

void ConsoleReporter::banner() { say(out_, "\nTorva firmware update utility. Version 1.01\n"); }

void ConsoleReporter::argument_unknown(const std::string& word, uint32_t first, uint32_t last) {
  note("\nkorvo: \"%s\" is neither a port number nor a serial device: searching COM%u to COM%u",
       shown_line(word).c_str(), first, last);
}

void ConsoleReporter::port_begin(const std::string& port) { say(out_, "\n%s: ", shown_line(port).c_str()); }

void ConsoleReporter::port_outcome(const std::string&, PortOutcome outcome) {
  switch (outcome) {
    case PortOutcome::NOT_OPENED:
      say(out_, "Could not open port.");
      break;
    case PortOutcome::NO_DEVICE:
      say(out_, "No Torva devices detected.");
      break;
    case PortOutcome::FOUND:
      say(out_, "A matching Torva device found.");
      break;
  }
}

void ConsoleReporter::port_warning(const std::string&, const std::string& warning) {
  note("\nkorvo: %s", shown_line(warning).c_str());
}

// While the whole range is searched only what the user can act on is said: a port that is
// missing or not a usable serial port is no news there.
void ConsoleReporter::port_not_opened(const std::string&, const OpenFailure& failure, bool searching) {
  if (searching && failure.error != OpenError::DENIED && failure.error != OpenError::IN_USE &&
      failure.error != OpenError::OWN_TERMINAL)
    return;
  // The path comes from the command line or KORVO_COM<n>: shown safely, as device text is.
  const std::string shown_path = shown_line(failure.path);
  const std::string shown_reason = shown_line(failure.reason);
  const char* path = shown_path.c_str();
  const char* reason = shown_reason.c_str();
  switch (failure.error) {
    case OpenError::DENIED:
      note(
           "\nkorvo: %s: %s (the port belongs to a group, usually dialout, that this user is not "
           "in: sudo usermod -aG dialout $USER, then log in again)",
           path, reason);
      break;
    case OpenError::IN_USE:
      note("\nkorvo: %s: in use by another program (%s)", path, reason);
      break;
    default:
      note("\nkorvo: %s: %s", path, reason);
      break;
  }
}

// The scan's verdict for such a device reads like silence: say what answered.
void ConsoleReporter::device_without_image(const std::string& port, const DeviceInfo& device) {
  const std::string model = device_text(device_model_text(device));
  note(
       "\nkorvo: %s: a device answered (product %u, PCB revision %u, model %s), but no firmware "
       "image in this program fits it",
       shown_line(port).c_str(), unsigned{device.product}, unsigned{device.pcb_revision},
       model.empty() ? "unknown" : model.c_str());
}

void ConsoleReporter::no_device_found() { say(out_, "\n\nNo updatable Torva devices found.\n"); }

void ConsoleReporter::invalid_port(uint32_t number) {
  say(out_, "\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n", number);
}

void ConsoleReporter::sequence_begin() { say(out_, "\n"); }

void ConsoleReporter::device_bytes(const uint8_t* bytes, size_t count) {
  say_device_bytes(out_, bytes, count);
}

void ConsoleReporter::device_gone(const std::string& port) {
  say(out_, "\nNo Torva device found on %s.\n", shown_line(port).c_str());
}

void ConsoleReporter::device_unknown(const std::string& port, const DeviceInfo& device) {
  say(out_, "\nThe device on %s not compatible with this update.\nProduct name: \"%s\"\n", shown_line(port).c_str(),
      device_text(device_name(device)).c_str());
}

void ConsoleReporter::incompatible(CompatCode code, const DeviceInfo& device, const Image& image) {
  report_incompatibility(out_, code, device, image);
}

void ConsoleReporter::check_verdict(const std::string& port, CheckVerdict verdict, CompatCode code,
                                    const DeviceInfo& device, const Image* image) {
  say(out_, "\n\n%s: %s, installed %s", shown_line(port).c_str(), device_label(device).c_str(),
      version_text(device.version).c_str());
  if (image != nullptr) say(out_, ", offered %s", version_text(image_version(*image)).c_str());
  switch (verdict) {
    case CheckVerdict::UP_TO_DATE:
      say(out_, ": up to date\n");
      break;
    case CheckVerdict::UPDATE_AVAILABLE:
      say(out_, ": update available\n");
      break;
    case CheckVerdict::DEVICE_NEWER:
      say(out_, ": the device runs newer firmware\n");
      break;
    case CheckVerdict::NOT_COMPATIBLE:
      say(out_, ": not compatible (%s)\n", compat_reason(code));
      break;
  }
}

void ConsoleReporter::left_alone(const std::string& port, const DeviceInfo& device, const Image& image) {
  say(out_, "\n\n%s: %s runs %s, this update offers %s: left as it is.\n", shown_line(port).c_str(),
      device_label(device).c_str(), version_text(device.version).c_str(),
      version_text(image_version(image)).c_str());
}

void ConsoleReporter::test_images() { note("\nkorvo: this build carries test images, not device firmware"); }

void ConsoleReporter::question(const DeviceInfo& device, const Image& image) {
  const Version installed = device.version;
  const Version offered = image_version(image);
  const std::string model = device_text(device_model_text(device));
  const char* prompt;
  if (installed == offered) {
    say(out_, "\nThe firmware in the %s matches this update.\n", model.c_str());
    prompt = "\n\nUpdate anyway? (Y,N) ";
  } else if (installed < offered) {
    say(out_, "\n\nThis update is newer than the firmware inside the %s.\n", model.c_str());
    prompt = "\n\nContinue with update to newer version? (Y,N) ";
  } else {
    say(out_, "\n\nThis update is OLDER than the firmware inside the %s!\n", model.c_str());
    prompt = "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
  }
  show_versions(out_, device, image);
  say(out_, "%s", prompt);
}

void ConsoleReporter::answer(bool yes) {
  say(out_, "%c\n", yes ? 'Y' : 'N');
  if (!yes) say(out_, "\nUpdate cancelled.\n\n");
}

void ConsoleReporter::image_refused(ImageFault fault, uint32_t record, uint32_t length) {
  switch (fault) {
    case ImageFault::NO_RECORDS:
      say(out_, "\nError: The firmware image has no records.\n");
      break;
    case ImageFault::DAMAGED:
      say(out_, "\nError: The firmware image is damaged.\n");
      break;
    case ImageFault::RECORD_LENGTH:
      say(out_, "\nError: Firmware record %u has an invalid length (%u).\n", record, length);
      break;
  }
}

void ConsoleReporter::bootloader_silent() {
  say(out_, "\nError: No response from the bootloader, check cables and power.\n");
}

void ConsoleReporter::progress(uint32_t done, uint32_t count) {
  if (done == 0) say(out_, "\n");
  say(out_, "\rUpdating firmware: %3u%% complete.", done * 100u / count);
}

void ConsoleReporter::transfer_failed(TransferStage stage, TransactionResult result, uint8_t status) {
  if (result == TransactionResult::BAD_STATUS) {
    say(out_, "\nError: Return status not successful.\nReturn Code: %04x\n", unsigned{status});
  }
  if (result == TransactionResult::MISMATCH) {
    say(out_, "\nError: FLASH firmware did not match update firmware.\n");
  } else {
    say(out_, "\nError: %s(%02X) communications with the bootloader, check cables and power.\n",
        stage == TransferStage::STARTING ? "Lost1" : "Lost2", static_cast<unsigned>(result));
  }
}

void ConsoleReporter::transfer_complete() { say(out_, "\rUpdating firmware: 100%% complete.\n"); }

namespace {

// How an attempt ended, for the line that announces the next one.
std::string attempt_failure(const TransferReport& failed) {
  char code[8];
  std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(failed.failure));
  switch (failed.stage) {
    case TransferStage::ENTERING:
      return "the bootloader did not answer";
    case TransferStage::STARTING:
      return std::string("the start command failed (Lost1(") + code + "))";
    case TransferStage::RECORDS:
      return "record " + std::to_string(failed.records_sent + 1) + " of " + std::to_string(failed.records) +
             " failed (Lost2(" + code + "))";
    case TransferStage::RESTARTING:
      return failed.announced ? "the restarted device does not run this update"
                              : "the device did not announce itself after the restart";
    case TransferStage::CHECKING:
      break;
  }
  return "it failed";
}

}  // namespace

void ConsoleReporter::retry(const std::string& port, uint32_t attempt, uint32_t attempts,
                            const TransferReport& failed) {
  const std::string at = shown_line(port);
  note("\nkorvo: %s: attempt %u of %u: %s; probing %s again for attempt %u", at.c_str(), attempt - 1,
       attempts, attempt_failure(failed).c_str(), at.c_str(), attempt);
}

void ConsoleReporter::outcome(const std::string& port, TransferResult result, const TransferReport& report,
                              const DeviceInfo& device, const Image& image) {
  const std::string shown = shown_line(port);
  const char* at = shown.c_str();
  if (result == TransferResult::OK) {
    if (!report.announced) {
      note("\nkorvo: %s: not verified: the device did not announce itself after the restart; "
                 "a new run on %s checks it", at, at);
    } else if (device.version == image_version(image)) {
      note("\nkorvo: %s: verified: the device restarted and runs %s, the version of this update", at,
           reported(device).c_str());
    } else {
      note("\nkorvo: %s: not verified: the device restarted and reports %s, not this update's %s; "
                 "a new run on %s installs it",
           at, reported(device).c_str(), version_text(image_version(image)).c_str(), at);
    }
    return;
  }
  switch (report.stage) {
    case TransferStage::CHECKING:
      note("\nkorvo: %s: nothing was sent to the device; it was left as it was", at);
      break;
    case TransferStage::ENTERING:
      note("\nkorvo: %s: the device did not answer from its bootloader; it may wait there or "
                 "still run its application: check cables and power, then a new run on %s finds it "
                 "either way", at, at);
      break;
    case TransferStage::STARTING:
      note("\nkorvo: %s: the device was left in its bootloader; a new run on %s installs the image",
           at, at);
      break;
    case TransferStage::RECORDS:
    case TransferStage::RESTARTING:
      if (report.announced) {
        note("\nkorvo: %s: the update stopped after %u of %u records; the device restarted and "
                   "reports %s; a new run on %s installs the image",
             at, report.records_sent, report.records, reported(device).c_str(), at);
      } else {
        note("\nkorvo: %s: the update stopped after %u of %u records; the device was left in its "
                   "bootloader; a new run on %s installs the image",
             at, report.records_sent, report.records, at);
      }
      break;
  }
}

void ConsoleReporter::record_failed(const std::string& why) {
  note("\nkorvo: the update record was not written: %s", shown_line(why).c_str());
}

void ConsoleReporter::slow_adapter(const std::string& port, const SlowAdapter& adapter) {
  const std::string at = shown_line(port);
  const double seconds = adapter.added_ms / 1000.0;
  if (adapter.driver_setting) {
    note("\nkorvo: %s: the USB-serial adapter's latency timer is %u ms, which adds about %.1f s to "
               "this update; an administrator can set it to 1 ms in Device Manager: the port's Properties, "
               "Port Settings, Advanced, Latency Timer",
         at.c_str(), adapter.timer_ms, seconds);
    return;
  }
  const std::string file = shown_line(adapter.setting_path.empty() ? "latency_timer" : adapter.setting_path);
  note("\nkorvo: %s: the USB-serial adapter's latency timer is %u ms although korvo asked its driver "
             "for low latency, which adds about %.1f s to this update; set it to 1 ms with "
             "\"echo 1 | sudo tee %s\" or for good with the udev rule in korvo's README (USB-serial adapters)",
       at.c_str(), adapter.timer_ms, seconds, file.c_str());
}

void ConsoleReporter::slow_round_trips(const std::string& port, const RoundTripStats& round_trips) {
  note("\nkorvo: %s: the device's answers took %.1f ms (median; 99th percentile %.1f ms) where the line "
             "needs under 1 ms: most likely a USB-serial adapter's latency timer held them; setting it to "
             "1 ms speeds up every update (see korvo --list and the README's USB-serial adapters)",
       shown_line(port).c_str(), round_trips.median_ms, round_trips.p99_ms);
}

void ConsoleReporter::stopped(const std::string& port, std::optional<TransferStage> stage) {
  const std::string text = console_interrupt_note(port, stage.value_or(TransferStage::CHECKING));
  note("%s", text.empty() ? ("\nkorvo: " + shown_line(port) + ": stopped; nothing was sent to the device").c_str()
                          : text.c_str());
}

void ConsoleReporter::exit_wait() { say(out_, "\nPress any key to exit..."); }

void ConsoleReporter::exit_wait_done() { say(out_, "\n"); }

std::string console_interrupt_note(const std::string& port, TransferStage stage) {
  const std::string at = shown_line(port);
  switch (stage) {
    case TransferStage::CHECKING:
      return "";
    case TransferStage::ENTERING:
      return "\nkorvo: " + at + ": interrupted while the device was starting its bootloader; a new run on " +
             at + " finds it and installs the image\n";
    case TransferStage::STARTING:
    case TransferStage::RECORDS:
      return "\nkorvo: " + at + ": interrupted during the update; the device was left in its bootloader; "
             "a new run on " + at + " installs the image\n";
    case TransferStage::RESTARTING:
      return "\nkorvo: " + at + ": interrupted while the device restarted; a new run on " + at +
             " checks it\n";
  }
  return "";
}

}  // namespace korvo
