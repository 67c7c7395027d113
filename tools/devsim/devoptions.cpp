#include "devoptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>

namespace {

const char USAGE[] =
    "Usage: korvo-devsim [options] [-- command [args...]]\n"
    "\n"
    "Serves a simulated device on a new pseudo-terminal: its application answers at 19200\n"
    "baud, its bootloader at 115200. Prints the pty's path, serves until SIGINT/SIGTERM or\n"
    "until the command ends, then reports what it received.\n";

const char FOOTER[] =
    "TARGET is info = the reply to \"&\", start = the start command's status, or N = the\n"
    "status of record N, counted from the last start command.\n"
    "TEXT may hold \\xNN, \\r, \\n, \\t, \\0 and \\\\.\n"
    "\n"
    "Messages go to standard error, the command's output stays on standard output.\n"
    "Exit status: with a command, the command's own (128 + N when signal N ended it);\n"
    "otherwise 0, or 1 when --image was given and the flash does not match it;\n"
    "with --exit-status, 0 when the flash matches --image and 1 when it does not or\n"
    "there is no image; 2 for bad options or when the pty cannot be set up.";

// The usage line leads the description: CLI11 does not know the command after "--".
struct Formatter : CLI::Formatter {
  std::string make_usage(const CLI::App*, std::string) const override { return ""; }
};

bool parse_unsigned(const std::string& text, uint32_t& value, int base) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

bool parse_u32(const std::string& text, uint32_t& value) { return parse_unsigned(text, value, 0); }
bool parse_hex(const std::string& text, uint32_t& value) { return parse_unsigned(text, value, 16); }

bool parse_u16(const std::string& text, uint16_t& value) {
  uint32_t v = 0;
  if (!parse_u32(text, v) || v > 0xFFFF) return false;
  value = static_cast<uint16_t>(v);
  return true;
}

bool parse_int(const std::string& text, int& value) {
  uint32_t v = 0;
  if (!parse_u32(text, v) || v > 0x7FFFFFFF) return false;
  value = static_cast<int>(v);
  return true;
}

bool parse_target(const std::string& text, int& target, bool info_allowed) {
  if (text == "info" && info_allowed) {
    target = DEV_TARGET_INFO;
    return true;
  }
  if (text == "start") {
    target = DEV_TARGET_START;
    return true;
  }
  return parse_int(text, target) && target >= 1;
}

bool parse_byte(const std::string& text, uint8_t& value) {
  if (text.size() == 1) {
    value = static_cast<uint8_t>(text[0]);
    return true;
  }
  uint32_t v = 0;
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || !parse_u32(text, v) ||
      v > 0xFF)
    return false;
  value = static_cast<uint8_t>(v);
  return true;
}

bool parse_text(const std::string& text, std::string& value) {
  value = devsim_unescape(text);
  return true;
}

bool parse_path(const std::string& text, std::string& value) {
  value = text;
  return !text.empty();
}

// A value parsed into a fresh T is stored only when good; an optional field stores a T.
template <class T> struct Parsed { using type = T; };
template <class T> struct Parsed<std::optional<T>> { using type = T; };
template <class To, class Parse> std::function<bool(const std::string&)> into(To& to, Parse parse) {
  return [&to, parse](const std::string& v) {
    typename Parsed<To>::type n{};
    if (!parse(v, n)) return false;
    to = n;
    return true;
  };
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool devsim_parse_version(const std::string& text, uint32_t& version) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return parse_hex(text, version);
  // major.minor[.third][letter]
  uint32_t parts[3] = {0, 0, 0};
  size_t at = 0;
  int count = 0;
  while (count < 3) {
    const size_t start = at;
    uint32_t n = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      n = n * 10 + static_cast<uint32_t>(text[at] - '0');
      if (n > 255) return false;
      ++at;
    }
    if (at == start) return false;
    parts[count++] = n;
    if (at < text.size() && text[at] == '.' && count < 3) {
      ++at;
      continue;
    }
    break;
  }
  if (count < 2) return false;
  uint32_t letter = 0;
  if (at < text.size() && text[at] >= 'a' && text[at] <= 'z') letter = static_cast<uint32_t>(text[at++] - 'a' + 1);
  if (at != text.size()) return false;
  version = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | letter;
  return true;
}

std::string devsim_unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == 't') out += '\t';
    else if (c == '0') out += '\0';
    else if (c == 'x' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
             hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

DevsimParse devsim_parse_options(const std::vector<std::string>& args, DevsimOptions& o,
                                 std::string& message) {
  DevConfig& c = o.config;
  DevFaults& f = c.faults;
  DevTiming& t = c.timing;
  // Everything after "--" is the command, whatever it looks like.
  const auto dashes = std::find(args.begin(), args.end(), "--");
  if (dashes != args.end()) o.command.assign(dashes + 1, args.end());
  std::vector<std::string> mine(args.begin(), dashes);
  for (size_t i = 0; i < mine.size(); ++i) {
    const bool valued = mine[i] == "--version" && i + 1 < mine.size() && mine[i + 1][0] != '-';
    if (valued || mine[i].rfind("--version=", 0) == 0) {
      message = "--version takes no value now; the simulated firmware's version is --fw-version V";
      return DEVSIM_USAGE;
    }
  }

  CLI::App app(USAGE, "korvo-devsim");
  app.formatter(std::make_shared<Formatter>());
  app.allow_windows_style_options(false);  // on Windows too: "/x" is a path, not an option
  app.footer(FOOTER);
  app.set_help_flag();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string group;
  // Every value of an option, in the order given, goes to its taker; one that it refuses
  // is an error naming the option and the value.
  const auto value = [&](const char* name, const char* type, const char* help,
                         std::function<bool(const std::string&)> take) {
    app.add_option(name)
        ->description(help)
        ->type_name(type)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(
            CLI::Validator([take](std::string& v) { return take(v) ? std::string() : "bad value " + v; }, ""))
        ->group(group);
  };
  const auto flag = [&](const char* name, bool& on, const char* help) {
    app.add_flag(name, on, help)->group(group);
  };
  const auto targets = [](std::vector<int>& to, bool info_allowed) {
    return [&to, info_allowed](const std::string& v) {
      int target = 0;
      if (!parse_target(v, target, info_allowed)) return false;
      to.push_back(target);
      return true;
    };
  };

  group = "Identity";
  value("--name", "TEXT", "device name (default empty; up to 32 characters in BootInfo)",
        into(c.identity.name, parse_text));
  value("--product", "N", "product id (default 68)", into(c.identity.product, parse_u16));
  value("--revision", "N", "PCB revision (default 6)", into(c.identity.pcb_revision, parse_u16));
  value("--extra", "HEX", "extra value of the report's comma group (default 0)",
        into(c.identity.extra, parse_hex));
  app.add_flag_callback("--no-group", [&] { c.identity.identity_group = false; },
                        "version report without the ,product,revision,extra group")->group(group);
  value("--fw-version", "V", "firmware version: 1.14, 2.05.01b or 0x010E0000 (default 1.13)",
        into(c.identity.version, devsim_parse_version));
  value("--comment", "TEXT", "\"(TEXT)\" after the version in the report",
        into(c.identity.comment, parse_text));
  value("--side", "app|boot", "side running at start (default app)", [&](const std::string& v) {
    if (v != "app" && v != "boot") return false;
    c.start_side = v == "app" ? DEV_APP : DEV_BOOT;
    return true;
  });
  flag("--legacy", c.legacy_info, "BootInfo in the legacy layout (format word 0)");
  value("--format-word", "N", "format word of the normal BootInfo layout (default 0x0800)",
        into(c.format_word, parse_u16));

  group = "Faults";
  flag("--app-silent", f.app_silent, "the application never sends");
  flag("--silent", f.device_silent, "the device never sends");
  value("--answer-from", "K", "the bootloader ignores everything until the K-th \"&\"",
        into(f.boot_answers_from, parse_int));
  value("--nak-packet", "N", "answer the N-th good bootloader packet with NAK",
        into(f.nak_packet, parse_int));
  value("--status", "TARGET=BYTE",
        "status byte for start or record N: a character or 0xNN\n"
        "(e.g. --status 5=D, --status start=D, --status 7=0x41)",
        [&](const std::string& v) {
          const size_t eq = v.find('=');
          int target = 0;
          uint8_t byte = 0;
          if (eq == std::string::npos || !parse_target(v.substr(0, eq), target, false) ||
              !parse_byte(v.substr(eq + 1), byte))
            return false;
          f.status[target] = byte;
          return true;
        });
  value("--empty-status", "TARGET", "status packet without payload", targets(f.empty_status, false));
  value("--bad-checksum", "TARGET", "reply with a wrong checksum", targets(f.bad_checksum, true));
  value("--flip", "TARGET:BYTE:MASK",
        "XOR payload byte BYTE of that reply with MASK on the way; the\n"
        "checksum byte stays the device's (e.g. --flip 3:0:0x04 turns \"D\" into \"@\")",
        [&](const std::string& v) {
          const size_t a = v.find(':');
          const size_t b = a == std::string::npos ? a : v.find(':', a + 1);
          DevFlip flip;
          uint32_t mask = 0;
          if (b == std::string::npos || !parse_target(v.substr(0, a), flip.target, true) ||
              !parse_u32(v.substr(a + 1, b - a - 1), flip.offset) || flip.offset >= DEV_MAX_PAYLOAD ||
              !parse_u32(v.substr(b + 1), mask) || mask == 0 || mask > 0xFF)
            return false;
          flip.mask = static_cast<uint8_t>(mask);
          f.flips.push_back(flip);
          return true;
        });
  value("--huge-reply", "TARGET", "reply with length byte 1 (255 payload bytes)",
        targets(f.huge_reply, true));
  value("--info-bytes", "N", "BootInfo payload of N bytes (e.g. 70)",
        [&](const std::string& v) { return parse_u32(v, f.info_bytes) && f.info_bytes <= DEV_MAX_PAYLOAD; });
  value("--pull-after", "TARGET", "stop hearing and answering once that status is sent",
        [&](const std::string& v) { return parse_target(v, f.pull_after_record, false); });
  value("--back-after", "MS", "answer again MS ms after the pull", into(f.back_after_ms, parse_u32));
  value("--pull-at-query", "N", "unplugged for good at the N-th identity query (\"^V$\" or \"&\")",
        into(f.pull_at_query, parse_int));
  value("--stray", "TEXT", "raw bytes before every version report", into(f.stray, parse_text));
  value("--after-report", "TEXT", "raw bytes right after every version report",
        into(f.after_report, parse_text));
  value("--empty-before", "N", "N \"^$\" messages before every version report",
        into(f.empty_before, parse_int));
  value("--plus-before", "N", "N \"^+$\" messages before every version report",
        into(f.plus_before, parse_int));
  value("--unsolicited", "MS:TEXT", "send TEXT MS ms after start (repeatable)", [&](const std::string& v) {
    const size_t colon = v.find(':');
    DevUnsolicited u;
    if (colon == std::string::npos || !parse_u32(v.substr(0, colon), u.at_ms)) return false;
    u.bytes = devsim_unescape(v.substr(colon + 1));
    f.unsolicited.push_back(u);
    return true;
  });
  value("--zero-flood", "N[:GAP[:P]]",
        "N zero bytes, GAP ms apart, before the ACK of good\npacket P (every ACK when P is 0 or left out)",
        [&](const std::string& v) {
          const size_t a = v.find(':');
          const size_t b = a == std::string::npos ? a : v.find(':', a + 1);
          if (!parse_u32(v.substr(0, a), f.zero_flood)) return false;
          if (a != std::string::npos &&
              !parse_u32(v.substr(a + 1, b == std::string::npos ? b : b - a - 1), f.zero_flood_gap_ms))
            return false;
          return b == std::string::npos || parse_int(v.substr(b + 1), f.zero_flood_packet);
        });
  flag("--long-report", f.long_report, "version report longer than 99 characters");
  value("--change-from", "Q",
        "from identity query Q on (\"^V$\" and \"&\" counted together)\nanswer with the --change-* fields",
        into(f.change_from_query, parse_int));
  value("--change-product", "N", "product id from query Q on", into(f.change_product, parse_u16));
  value("--change-revision", "N", "PCB revision from query Q on", into(f.change_revision, parse_u16));
  value("--change-version", "V", "firmware version from query Q on",
        into(f.change_version, devsim_parse_version));
  value("--change-name", "TEXT", "device name from query Q on", into(f.change_name, parse_text));
  flag("--answer-garbage", f.answer_garbage, "NAK packets with a bad checksum and take packets at any speed");
  value("--ber", "RATE",
        "a noisy line: each bit of every byte, both ways, flips with this\n"
        "probability (0 to 0.5, e.g. 1e-6); the device NAKs and drops a\n"
        "packet whose checksum fails",
        [&](const std::string& v) {
          char* end = nullptr;
          f.ber = std::strtod(v.c_str(), &end);
          return !v.empty() && end != nullptr && *end == '\0' && f.ber >= 0 && f.ber <= 0.5;
        });
  value("--seed", "S", "the noisy line's seed (default 1): the same seed, the same flips",
        [&](const std::string& v) {
          uint32_t seed = 0;
          if (!parse_u32(v, seed)) return false;
          f.seed = seed;
          return true;
        });

  group = "Timing";
  value("--ack-delay", "MS", "packet to ACK (default 0)", into(t.ack_delay_ms, parse_u32));
  value("--reply-delay", "MS", "ACK to reply packet (default 0)", into(t.reply_delay_ms, parse_u32));
  value("--report-delay", "MS", "\"^V$\" to version report (default 0)", into(t.report_delay_ms, parse_u32));
  value("--boot-ready", "MS", "\"^BOOTL$\" to bootloader listening (default 100)",
        into(t.boot_ready_ms, parse_u32));
  value("--app-start", "MS", "\"%\" to the application's own report (default 100)",
        into(t.app_start_ms, parse_u32));
  flag("--pacing", t.pacing,
       "every byte takes its wire time, 10 bits at the line's speed; the end\n"
       "report adds the line's wire and idle times, the host's turnaround, the\n"
       "simulator's own lag and the pty's round trip with nothing to do");
  value("--latency-timer", "MS",
        "a USB adapter between device and host: it passes bytes on once 62\n"
        "have gathered, or MS ms after the first of them was ready",
        into(t.latency_timer_ms, parse_u32));
  value("--read-delay", "MS", "take the host's bytes off the line MS ms late (a busy device)",
        into(t.read_delay_ms, parse_u32));

  group = "Running";
  value("--trace", "FILE", "log every byte of both directions to FILE", into(c.trace_path, parse_path));
  value("--image", "FILE",
        "check the flash against this image; a matching flash makes\n"
        "the restarted application report the image's version",
        into(o.image_path, parse_path));
  value("--link", "PATH", "make PATH a symlink to the pty while serving", into(o.link_path, parse_path));
  value("--com", "N", "run the command with KORVO_COM<N> set to the pty",
        [&](const std::string& v) { return parse_int(v, o.com) && o.com >= 1 && o.com <= 99; });
  value("--timing-log", "FILE",
        "write each exchange to FILE: the device's last byte out, the\n"
        "host's next byte in (us from the start), the turnaround (us)",
        into(o.timing_log, parse_path));
  flag("--exit-status", o.exit_status, "exit with the flash verdict, not the command's status");
  app.set_help_flag("-h,--help", "this text")->group(group);
  app.set_version_flag("--version", "korvo-devsim " KORVO_VERSION, "this program's version")->group(group);

  std::reverse(mine.begin(), mine.end());  // CLI11 takes them last first
  try {
    app.parse(mine);
  } catch (const CLI::CallForHelp&) {
    message = app.help();
    return DEVSIM_EXIT;
  } catch (const CLI::CallForVersion& e) {
    message = std::string(e.what()) + "\n";
    return DEVSIM_EXIT;
  } catch (const CLI::ParseError& e) {
    message = e.what();
    return DEVSIM_USAGE;
  }
  if (o.com != 0 && o.command.empty()) {
    message = "--com needs a command after --";
    return DEVSIM_USAGE;
  }
  return DEVSIM_RUN;
}
