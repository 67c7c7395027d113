#include "update/verdict.h"

#include <array>

#include "update/device_text.h"

namespace korvo {

namespace {

std::string version_text(Version v) {
  std::array<char, VERSION_TEXT_BYTES> text{};
  (void)format_version(text.data(), text.size(), v);
  return device_text(text.data());
}

// "version 1.14, model Slate Pro", as the device reported itself.
std::string reported(const DeviceInfo& device) {
  const std::string model = device_text(device_model_text(device));
  return "version " + version_text(device.version) + ", model " + (model.empty() ? "unknown" : model);
}

}  // namespace

void report_transfer_verdict(ConsoleOut& out, const std::string& port, TransferResult result,
                             const TransferReport& report, const DeviceInfo& device,
                             const Image& image) {
  const std::string shown = device_text(port.c_str());
  const char* at = shown.c_str();
  const std::string offered = version_text(image_version(image));
  if (result == TransferResult::OK) {
    if (!report.announced) {
      tell(out, "\nkorvo: %s: not verified: the device did not announce itself after the restart; "
                "a new run on %s checks it", at, at);
    } else if (device.version == image_version(image)) {
      tell(out, "\nkorvo: %s: verified: the device restarted and runs %s, the version of this update",
           at, reported(device).c_str());
    } else {
      tell(out, "\nkorvo: %s: not verified: the device restarted and reports %s, not this update's %s; "
                "a new run on %s installs it", at, reported(device).c_str(), offered.c_str(), at);
    }
    return;
  }
  switch (report.stage) {
    case TransferStage::CHECKING:
      tell(out, "\nkorvo: %s: nothing was sent to the device; it was left as it was", at);
      break;
    case TransferStage::ENTERING:
      tell(out, "\nkorvo: %s: the device did not answer from its bootloader; it may wait there or "
                "still run its application: check cables and power, then a new run on %s finds it "
                "either way", at, at);
      break;
    case TransferStage::STARTING:
      tell(out, "\nkorvo: %s: the device was left in its bootloader; a new run on %s installs the image",
           at, at);
      break;
    case TransferStage::RECORDS:
    case TransferStage::RESTARTING: {
      const unsigned sent = report.records_sent;
      const unsigned all = image_field(image, IMG_RECORD_COUNT);
      if (report.announced) {
        tell(out, "\nkorvo: %s: the update stopped after %u of %u records; the device restarted and "
                  "reports %s; a new run on %s installs the image", at, sent, all,
             reported(device).c_str(), at);
      } else {
        tell(out, "\nkorvo: %s: the update stopped after %u of %u records; the device was left in its "
                  "bootloader; a new run on %s installs the image", at, sent, all, at);
      }
      break;
    }
  }
}

std::string transfer_interrupt_note(const std::string& port, TransferStage stage) {
  const std::string at = device_text(port.c_str());
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
