#include "update/console_reporter.h"

#include "update/compat_report.h"
#include "update/device_label.h"
#include "update/device_text.h"
#include "update/versions.h"

namespace korvo {

namespace {

// A sink for a console reporter made on its own: the texts of a single run.
Diagnostics& own_sink(std::unique_ptr<Diagnostics>& sink, ConsoleOut& out) {
  sink = std::make_unique<Diagnostics>(out, true);
  return *sink;
}

}  // namespace

ConsoleReporter::ConsoleReporter(ConsoleOut& out) : out_(out), notes_(own_sink(own_sink_, out)) {}

void ConsoleReporter::banner() { say(out_, "\nTorva firmware update utility. Version 1.01\n"); }

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

void ConsoleReporter::invalid_port(uint32_t number) {
  say(out_, "\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n", number);
}

void ConsoleReporter::sequence_begin() { say(out_, "\n"); }

void ConsoleReporter::device_bytes(const uint8_t* bytes, size_t count) {
  say_device_bytes(out_, bytes, count);
}

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

void ConsoleReporter::argument_unknown(const std::string& word, uint32_t first, uint32_t last) {
  notes_.argument_unknown(word, first, last);
}

void ConsoleReporter::port_warning(const std::string&, const std::string& warning) { notes_.port_warning(warning); }

void ConsoleReporter::port_not_opened(const std::string&, const OpenFailure& failure, bool searching) {
  notes_.port_not_opened(failure, searching);
}

void ConsoleReporter::device_without_image(const std::string& port, const DeviceInfo& device) {
  notes_.device_without_image(port, device);
}

void ConsoleReporter::test_images() { notes_.test_images(); }

void ConsoleReporter::retry(const std::string& port, uint32_t attempt, uint32_t attempts,
                            const DeviceOutcome& failed) {
  notes_.retry(port, attempt, attempts, failed);
}

void ConsoleReporter::reconnect_failed(const std::string& port, const OpenFailure& failure) {
  notes_.reconnect_failed(port, failure);
}

void ConsoleReporter::record_failed(const std::string& why) { notes_.record_failed(why); }

void ConsoleReporter::slow_adapter(const std::string& port, const SlowAdapter& adapter) {
  notes_.slow_adapter(port, adapter);
}

void ConsoleReporter::slow_round_trips(const std::string& port, const RoundTripStats& round_trips) {
  notes_.slow_round_trips(port, round_trips);
}

namespace {

// A --check's line: "COM3: Slate Pro, installed 1.13, offered 1.14: update available".
void check_line(ConsoleOut& out, const std::string& port, const DeviceOutcome& o) {
  say(out, "\n\n%s: %s, installed %s", shown_line(port).c_str(), device_label(o.device).c_str(),
      version_text(o.device.version).c_str());
  if (o.image != nullptr) say(out, ", offered %s", version_text(image_version(*o.image)).c_str());
  switch (o.kind) {
    case Outcome::UP_TO_DATE:
      say(out, ": up to date\n");
      break;
    case Outcome::UPDATE_AVAILABLE:
      say(out, o.in_bootloader ? ": update available (it waits in its bootloader)\n" : ": update available\n");
      break;
    case Outcome::NEWER_LEFT_ALONE:
      say(out, ": the device runs newer firmware\n");
      break;
    default:
      say(out, ": not compatible (%s)\n", compat_reason(o.compat));
      break;
  }
}

}  // namespace

// The console's own text for each end, as the program has always printed it; then korvo's line.
void ConsoleReporter::finished(const std::string& port, const DeviceOutcome& o) {
  const bool no_image = o.kind == Outcome::NOT_COMPATIBLE && o.refusal == Refusal::NO_IMAGE;
  if (o.kind == Outcome::NO_DEVICE || no_image) {
    say(out_, "\n\nNo updatable Torva devices found.\n");
  } else if (o.checked && o.kind != Outcome::GONE) {
    check_line(out_, port, o);
  } else {
    switch (o.kind) {
      case Outcome::GONE:
        say(out_, "\nNo Torva device found on %s.\n", shown_line(port).c_str());
        break;
      case Outcome::NOT_COMPATIBLE:
        if (o.refusal == Refusal::UNKNOWN_DEVICE) {
          say(out_, "\nThe device on %s not compatible with this update.\nProduct name: \"%s\"\n",
              shown_line(port).c_str(), device_text(device_name(o.device)).c_str());
        } else if (o.image != nullptr) {
          report_incompatibility(out_, o.compat,
                                 o.refusal == Refusal::BOOTLOADER_DISAGREES ? o.boot_device : o.device, *o.image);
        }
        break;
      case Outcome::UP_TO_DATE:
      case Outcome::NEWER_LEFT_ALONE:
        if (o.image != nullptr) {
          say(out_, "\n\n%s: %s runs %s, this update offers %s: left as it is.\n", shown_line(port).c_str(),
              device_label(o.device).c_str(), version_text(o.device.version).c_str(),
              version_text(image_version(*o.image)).c_str());
        }
        break;
      default:
        break;  // a transfer's steps told their own texts as they happened
    }
  }
  notes_.outcome(port, o);
}

void ConsoleReporter::exit_wait() { say(out_, "\nPress any key to exit..."); }

void ConsoleReporter::exit_wait_done() { say(out_, "\n"); }

}  // namespace korvo
