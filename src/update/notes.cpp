#include "update/notes.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "update/device_label.h"
#include "update/device_text.h"

namespace korvo {

namespace {

std::string formatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    (void)std::vsnprintf(buffer.data(), buffer.size(), format, again);
    text.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(again);
  return text;
}

std::string line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  return text;
}

std::string code_text(TransactionResult result) {
  char code[8];
  std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(result));
  return code;
}

// How an attempt ended, for the line that announces the next one.
std::string attempt_failure(const DeviceOutcome& failed) {
  const TransferReport& t = failed.transfer;
  const std::string code = code_text(t.failure);
  switch (failed.failure) {
    case FailurePoint::NONE:
      return t.announced ? "the restarted device does not run this update"
                         : "the device did not announce itself after the restart";
    case FailurePoint::ENTERING:
      return "the bootloader did not answer";
    case FailurePoint::STARTING:
      return "the start command failed (Lost1(" + code + "))";
    case FailurePoint::RECORDS:
      return "record " + std::to_string(t.records_sent + 1) + " of " + std::to_string(t.records) +
             " failed (Lost2(" + code + "))";
    case FailurePoint::IMAGE_REFUSED:
    case FailurePoint::SPEED_FIXED:
      break;
  }
  return "it failed";
}

std::string stopped_note(const std::string& at, StopPoint point) {
  switch (point) {
    case StopPoint::BEFORE_SENDING:
      return "korvo: " + at + ": stopped; nothing was sent to the device";
    case StopPoint::ENTERING:
      return "korvo: " + at + ": interrupted while the device was starting its bootloader; a new run on " + at +
             " finds it and installs the image";
    case StopPoint::IN_BOOTLOADER:
      return "korvo: " + at + ": interrupted during the update; the device was left in its bootloader; "
             "a new run on " + at + " installs the image";
    case StopPoint::RESTARTING:
      return "korvo: " + at + ": interrupted while the device restarted; a new run on " + at + " checks it";
  }
  return "";
}

std::string failed_note(const std::string& at, const DeviceOutcome& o) {
  const TransferReport& t = o.transfer;
  switch (o.failure) {
    case FailurePoint::SPEED_FIXED:
      return "korvo: " + at + ": the update needs the line switched to " + std::to_string(BAUD_BOOTLOADER) +
             " baud for the bootloader, and this port's speed is fixed by its server (a raw TCP port); nothing "
             "was sent to the device; it was left as it was: set the server's port to RFC 2217 (Telnet "
             "com-port control) and name it rfc2217://HOST:PORT";
    case FailurePoint::IMAGE_REFUSED:
    case FailurePoint::NONE:
      return "korvo: " + at + ": nothing was sent to the device; it was left as it was";
    case FailurePoint::ENTERING:
      return "korvo: " + at + ": the device did not answer from its bootloader; it may wait there or "
             "still run its application: check cables and power, then a new run on " + at + " finds it "
             "either way";
    case FailurePoint::STARTING:
      return "korvo: " + at + ": the device was left in its bootloader; a new run on " + at +
             " installs the image";
    case FailurePoint::RECORDS:
      break;
  }
  const std::string stopped_after = line("korvo: %s: the update stopped after %u of %u records; ", at.c_str(),
                                         t.records_sent, t.records);
  if (o.left == DeviceLeft::RESTARTED) {
    return stopped_after + "the device restarted and reports " + reported_device(o.device) + "; a new run on " +
           at + " installs the image";
  }
  return stopped_after + "the device was left in its bootloader; a new run on " + at + " installs the image";
}

}  // namespace

std::string reported_device(const DeviceInfo& device) {
  const std::string model = device_text(device_model_text(device));
  return "version " + version_text(device.version) + ", model " + (model.empty() ? "unknown" : model);
}

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

std::string outcome_note(const std::string& port, const DeviceOutcome& o) {
  const std::string at = shown_line(port);
  const Image* image = o.image;
  switch (o.kind) {
    case Outcome::VERIFIED:
      return "korvo: " + at + ": verified: the device restarted and runs " + reported_device(o.device) +
             ", the version of this update";
    case Outcome::NOT_VERIFIED:
      if (!o.transfer.announced) {
        return "korvo: " + at + ": not verified: the device did not announce itself after the restart; "
               "a new run on " + at + " checks it";
      }
      return "korvo: " + at + ": not verified: the device restarted and reports " + reported_device(o.device) +
             ", not this update's " + (image != nullptr ? version_text(image_version(*image)) : "?") +
             "; a new run on " + at + " installs it";
    case Outcome::FAILED:
      return failed_note(at, o);
    case Outcome::STOPPED:
      return stopped_note(at, o.stop);
    case Outcome::NOT_COMPATIBLE:
      if (o.refusal != Refusal::BOOTLOADER_DISAGREES) return "";
      return line("korvo: %s: the device's bootloader says it is product %u, PCB revision %u, but its "
                  "application reported product %u, PCB revision %u (%s); nothing was sent after the "
                  "bootloader's start, and the device waits there: a new run on %s identifies it from "
                  "its bootloader",
                  at.c_str(), unsigned{o.boot_device.product}, unsigned{o.boot_device.pcb_revision},
                  unsigned{o.device.product}, unsigned{o.device.pcb_revision}, compat_reason(o.compat),
                  at.c_str());
    case Outcome::NEWER_LEFT_ALONE:
      if (!o.transferred) return "";
      // A retry's new probe found it so: no downgrade without --force.
      return "korvo: " + at + ": the device now reports " + reported_device(o.device) + ", newer than this update's " +
             (image != nullptr ? version_text(image_version(*image)) : "?") + "; it was left as it is";
    case Outcome::NO_DEVICE:
      if (!o.bootloader_unheard) return "";
      return "korvo: " + at + ": nothing answered at " + std::to_string(BAUD_APPLICATION) + " baud; a device " +
             "waiting in its bootloader answers only at " + std::to_string(BAUD_BOOTLOADER) + " baud, which this " +
             "port's server keeps fixed (a raw TCP port): name the server's port as rfc2217://HOST:PORT to reach it";
    case Outcome::UP_TO_DATE:
    case Outcome::UPDATE_AVAILABLE:
    case Outcome::GONE:
    case Outcome::DECLINED:
      break;
  }
  return "";
}

std::string console_interrupt_note(const std::string& port, TransferStage stage) {
  if (stage == TransferStage::CHECKING) return "";
  TransferReport at;
  at.stage = stage;
  static const Image no_image{};
  const DeviceOutcome o = transfer_outcome(TransferResult::FAILED, at, DeviceInfo{}, no_image, true);
  // Built by appending: GCC 12 at -O2 sees a false overlap (-Wrestrict) in "\n" + a temporary.
  std::string note(1, '\n');
  note += outcome_note(port, o);
  note += '\n';
  return note;
}

void Notes::note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  sink_.say(text);
}

void Notes::argument_unknown(const std::string& word, uint32_t first, uint32_t last) {
  note("korvo: \"%s\" is neither a port number nor a serial device: searching COM%u to COM%u",
       shown_line(word).c_str(), first, last);
}

void Notes::port_warning(const std::string& warning) { note("korvo: %s", shown_line(warning).c_str()); }

// While the whole range is searched only what the user can act on is said: a port that is
// missing or not a usable serial port is no news there.
void Notes::port_not_opened(const OpenFailure& failure, bool searching) {
  if (searching && failure.error != OpenError::DENIED && failure.error != OpenError::IN_USE &&
      failure.error != OpenError::OWN_TERMINAL)
    return;
  // The path comes from the command line or KORVO_COM<n>: shown safely, as device text is.
  const std::string path = shown_line(failure.path);
  const std::string reason = shown_line(failure.reason);
  switch (failure.error) {
    case OpenError::DENIED:
      note("korvo: %s: %s (the port belongs to a group, usually dialout, that this user is not "
           "in: sudo usermod -aG dialout $USER, then log in again)",
           path.c_str(), reason.c_str());
      break;
    case OpenError::IN_USE:
      note("korvo: %s: in use by another program (%s)", path.c_str(), reason.c_str());
      break;
    default:
      note("korvo: %s: %s", path.c_str(), reason.c_str());
      break;
  }
}

// The scan's verdict for such a device reads like silence: say what answered.
void Notes::device_without_image(const std::string& port, const DeviceInfo& device) {
  const std::string model = device_text(device_model_text(device));
  note("korvo: %s: a device answered (product %u, PCB revision %u, model %s), but no firmware "
       "image in this program fits it",
       shown_line(port).c_str(), unsigned{device.product}, unsigned{device.pcb_revision},
       model.empty() ? "unknown" : model.c_str());
}

void Notes::test_images() { note("korvo: this build carries test images, not device firmware"); }

void Notes::retry(const std::string& port, uint32_t attempt, uint32_t attempts, const DeviceOutcome& failed) {
  const std::string at = shown_line(port);
  note("korvo: %s: attempt %u of %u: %s; probing %s again for attempt %u", at.c_str(), attempt - 1, attempts,
       attempt_failure(failed).c_str(), at.c_str(), attempt);
}

void Notes::reconnect_failed(const std::string& port, const OpenFailure& failure) {
  note("korvo: %s: the connection to the server was lost, and the server could not be reached again: %s",
       shown_line(port).c_str(), shown_line(failure.reason).c_str());
}

void Notes::outcome(const std::string& port, const DeviceOutcome& outcome) {
  const std::string text = outcome_note(port, outcome);
  if (!text.empty()) sink_.say(text);
}

void Notes::record_failed(const std::string& why) {
  note("korvo: the update record was not written: %s", shown_line(why).c_str());
}

void Notes::slow_adapter(const std::string& port, const SlowAdapter& adapter) {
  const std::string at = shown_line(port);
  const double seconds = adapter.added_ms / 1000.0;
  if (adapter.driver_setting) {
    note("korvo: %s: the USB-serial adapter's latency timer is %u ms, which adds about %.1f s to "
         "this update; an administrator can set it to 1 ms in Device Manager: the port's Properties, "
         "Port Settings, Advanced, Latency Timer",
         at.c_str(), adapter.timer_ms, seconds);
    return;
  }
  const std::string file = shown_line(adapter.setting_path.empty() ? "latency_timer" : adapter.setting_path);
  note("korvo: %s: the USB-serial adapter's latency timer is %u ms although korvo asked its driver "
       "for low latency, which adds about %.1f s to this update; set it to 1 ms with "
       "\"echo 1 | sudo tee %s\" or for good with the udev rule in korvo's README (USB-serial adapters)",
       at.c_str(), adapter.timer_ms, seconds, file.c_str());
}

void Notes::slow_round_trips(const std::string& port, const RoundTripStats& round_trips) {
  note("korvo: %s: the device's answers took %.1f ms (median; 99th percentile %.1f ms) where the line "
       "needs under 1 ms: most likely a USB-serial adapter's latency timer held them; setting it to "
       "1 ms speeds up every update (see korvo --list and the README's USB-serial adapters)",
       shown_line(port).c_str(), round_trips.median_ms, round_trips.p99_ms);
}

}  // namespace korvo
