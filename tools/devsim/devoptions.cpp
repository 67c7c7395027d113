#include "devoptions.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

const char HELP[] =
    "Usage: korvo-devsim [options] [-- command [args...]]\n"
    "\n"
    "Serves a simulated device on a new pseudo-terminal: its application answers at 19200\n"
    "baud, its bootloader at 115200. Prints the pty's path, serves until SIGINT/SIGTERM or\n"
    "until the command ends, then reports what it received.\n"
    "\n"
    "Identity:\n"
    "  --name TEXT            device name (default empty; up to 32 characters in BootInfo)\n"
    "  --product N            product id (default 68)\n"
    "  --revision N           PCB revision (default 6)\n"
    "  --extra HEX            extra value of the report's comma group (default 0)\n"
    "  --no-group             version report without the ,product,revision,extra group\n"
    "  --version V            firmware version: 1.14, 2.05.01b or 0x010E0000 (default 1.13)\n"
    "  --comment TEXT         \"(TEXT)\" after the version in the report\n"
    "  --side app|boot        side running at start (default app)\n"
    "  --legacy               BootInfo in the legacy layout (format word 0)\n"
    "  --format-word N        format word of the normal BootInfo layout (default 0x0800)\n"
    "\n"
    "Faults (TARGET is info = the reply to \"&\", start = the start command's status, or\n"
    "N = the status of record N, counted from the last start command):\n"
    "  --app-silent           the application never sends\n"
    "  --silent               the device never sends\n"
    "  --answer-from K        the bootloader ignores everything until the K-th \"&\"\n"
    "  --nak-packet N         answer the N-th good bootloader packet with NAK\n"
    "  --status TARGET=BYTE   status byte for start or record N: a character or 0xNN\n"
    "                         (e.g. --status 5=D, --status start=D, --status 7=0x41)\n"
    "  --empty-status TARGET  status packet without payload\n"
    "  --bad-checksum TARGET  reply with a wrong checksum\n"
    "  --huge-reply TARGET    reply with length byte 1 (255 payload bytes)\n"
    "  --info-bytes N         BootInfo payload of N bytes (e.g. 70)\n"
    "  --pull-after TARGET    stop hearing and answering once that status is sent\n"
    "  --back-after MS        answer again MS ms after the pull\n"
    "  --pull-at-query N      unplugged for good at the N-th identity query (\"^V$\" or \"&\")\n"
    "  --stray TEXT           raw bytes before every version report\n"
    "  --after-report TEXT    raw bytes right after every version report\n"
    "  --empty-before N       N \"^$\" messages before every version report\n"
    "  --plus-before N        N \"^+$\" messages before every version report\n"
    "  --unsolicited MS:TEXT  send TEXT MS ms after start (repeatable)\n"
    "  --zero-flood N[:GAP[:P]]  N zero bytes, GAP ms apart, before the ACK of good\n"
    "                         packet P (every ACK when P is 0 or left out)\n"
    "  --long-report          version report longer than 99 characters\n"
    "  --change-from Q        from identity query Q on (\"^V$\" and \"&\" counted together)\n"
    "                         answer with the --change-* fields:\n"
    "  --change-product N  --change-revision N  --change-version V  --change-name TEXT\n"
    "  --answer-garbage       NAK packets with a bad checksum and take packets at any speed\n"
    "\n"
    "Timing:\n"
    "  --ack-delay MS         packet to ACK (default 0)\n"
    "  --reply-delay MS       ACK to reply packet (default 0)\n"
    "  --report-delay MS      \"^V$\" to version report (default 0)\n"
    "  --boot-ready MS        \"^BOOTL$\" to bootloader listening (default 100)\n"
    "  --app-start MS         \"%\" to the application's own report (default 100)\n"
    "  --pacing               every byte takes its wire time, 10 bits at the line's speed\n"
    "  --read-delay MS        take the host's bytes off the line MS ms late (a busy device)\n"
    "\n"
    "Running:\n"
    "  --trace FILE           log every byte of both directions to FILE\n"
    "  --image FILE           check the flash against this image; a matching flash makes\n"
    "                         the restarted application report the image's version\n"
    "  --link PATH            make PATH a symlink to the pty while serving\n"
    "  --com N                run the command with KORVO_COM<N> set to the pty\n"
    "  -- command [args...]   run the command on this terminal; serve until it ends\n"
    "  --help                 this text\n"
    "\n"
    "TEXT may hold \\xNN, \\r, \\n, \\t, \\0 and \\\\.\n"
    "\n"
    "Messages go to standard error, the command's output stays on standard output.\n"
    "Exit status: with a command, the command's own (128 + N when signal N ended it);\n"
    "otherwise 0, or 1 when --image was given and the flash does not match it;\n"
    "2 for bad options or when the pty cannot be set up.\n";

bool parse_u32(const std::string& text, uint32_t& value, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

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

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool devsim_parse_version(const std::string& text, uint32_t& version) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return parse_u32(text, version, 16);
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

int devsim_parse_options(const std::vector<std::string>& args, DevsimOptions& o, std::string& error) {
  DevConfig& c = o.config;
  DevFaults& f = c.faults;
  DevTiming& t = c.timing;
  using Handler = std::function<bool(const std::string&)>;
  // Options that take a value; each handler returns false on a malformed value.
  const std::map<std::string, Handler> valued = {
      {"--name", [&](const std::string& v) { c.identity.name = devsim_unescape(v); return true; }},
      {"--product", [&](const std::string& v) { return parse_u16(v, c.identity.product); }},
      {"--revision", [&](const std::string& v) { return parse_u16(v, c.identity.pcb_revision); }},
      {"--extra", [&](const std::string& v) { return parse_u32(v, c.identity.extra, 16); }},
      {"--version", [&](const std::string& v) { return devsim_parse_version(v, c.identity.version); }},
      {"--comment", [&](const std::string& v) { c.identity.comment = devsim_unescape(v); return true; }},
      {"--side",
       [&](const std::string& v) {
         if (v != "app" && v != "boot") return false;
         c.start_side = v == "app" ? DEV_APP : DEV_BOOT;
         return true;
       }},
      {"--format-word", [&](const std::string& v) { return parse_u16(v, c.format_word); }},
      {"--answer-from", [&](const std::string& v) { return parse_int(v, f.boot_answers_from); }},
      {"--nak-packet", [&](const std::string& v) { return parse_int(v, f.nak_packet); }},
      {"--status",
       [&](const std::string& v) {
         const size_t eq = v.find('=');
         int target = 0;
         uint8_t byte = 0;
         if (eq == std::string::npos || !parse_target(v.substr(0, eq), target, false) ||
             !parse_byte(v.substr(eq + 1), byte))
           return false;
         f.status[target] = byte;
         return true;
       }},
      {"--empty-status",
       [&](const std::string& v) {
         int target = 0;
         if (!parse_target(v, target, false)) return false;
         f.empty_status.push_back(target);
         return true;
       }},
      {"--bad-checksum",
       [&](const std::string& v) {
         int target = 0;
         if (!parse_target(v, target, true)) return false;
         f.bad_checksum.push_back(target);
         return true;
       }},
      {"--huge-reply",
       [&](const std::string& v) {
         int target = 0;
         if (!parse_target(v, target, true)) return false;
         f.huge_reply.push_back(target);
         return true;
       }},
      {"--info-bytes",
       [&](const std::string& v) { return parse_u32(v, f.info_bytes) && f.info_bytes <= DEV_MAX_PAYLOAD; }},
      {"--pull-after", [&](const std::string& v) { return parse_target(v, f.pull_after_record, false); }},
      {"--back-after", [&](const std::string& v) { return parse_u32(v, f.back_after_ms); }},
      {"--stray", [&](const std::string& v) { f.stray = devsim_unescape(v); return true; }},
      {"--pull-at-query", [&](const std::string& v) { return parse_int(v, f.pull_at_query); }},
      {"--after-report", [&](const std::string& v) { f.after_report = devsim_unescape(v); return true; }},
      {"--empty-before", [&](const std::string& v) { return parse_int(v, f.empty_before); }},
      {"--plus-before", [&](const std::string& v) { return parse_int(v, f.plus_before); }},
      {"--unsolicited",
       [&](const std::string& v) {
         const size_t colon = v.find(':');
         DevUnsolicited u;
         if (colon == std::string::npos || !parse_u32(v.substr(0, colon), u.at_ms)) return false;
         u.bytes = devsim_unescape(v.substr(colon + 1));
         f.unsolicited.push_back(u);
         return true;
       }},
      {"--zero-flood",
       [&](const std::string& v) {
         const size_t a = v.find(':');
         const size_t b = a == std::string::npos ? a : v.find(':', a + 1);
         if (!parse_u32(v.substr(0, a), f.zero_flood)) return false;
         if (a != std::string::npos &&
             !parse_u32(v.substr(a + 1, b == std::string::npos ? b : b - a - 1), f.zero_flood_gap_ms))
           return false;
         return b == std::string::npos || parse_int(v.substr(b + 1), f.zero_flood_packet);
       }},
      {"--change-from", [&](const std::string& v) { return parse_int(v, f.change_from_query); }},
      {"--change-product",
       [&](const std::string& v) {
         uint16_t n = 0;
         if (!parse_u16(v, n)) return false;
         f.change_product = n;
         return true;
       }},
      {"--change-revision",
       [&](const std::string& v) {
         uint16_t n = 0;
         if (!parse_u16(v, n)) return false;
         f.change_revision = n;
         return true;
       }},
      {"--change-version",
       [&](const std::string& v) {
         uint32_t n = 0;
         if (!devsim_parse_version(v, n)) return false;
         f.change_version = n;
         return true;
       }},
      {"--change-name", [&](const std::string& v) { f.change_name = devsim_unescape(v); return true; }},
      {"--ack-delay", [&](const std::string& v) { return parse_u32(v, t.ack_delay_ms); }},
      {"--reply-delay", [&](const std::string& v) { return parse_u32(v, t.reply_delay_ms); }},
      {"--report-delay", [&](const std::string& v) { return parse_u32(v, t.report_delay_ms); }},
      {"--boot-ready", [&](const std::string& v) { return parse_u32(v, t.boot_ready_ms); }},
      {"--app-start", [&](const std::string& v) { return parse_u32(v, t.app_start_ms); }},
      {"--read-delay", [&](const std::string& v) { return parse_u32(v, t.read_delay_ms); }},
      {"--trace", [&](const std::string& v) { c.trace_path = v; return !v.empty(); }},
      {"--image", [&](const std::string& v) { o.image_path = v; return !v.empty(); }},
      {"--link", [&](const std::string& v) { o.link_path = v; return !v.empty(); }},
      {"--com", [&](const std::string& v) { return parse_int(v, o.com) && o.com >= 1 && o.com <= 99; }},
  };
  const std::map<std::string, bool*> flags = {
      {"--no-group", nullptr},       {"--legacy", &c.legacy_info},
      {"--app-silent", &f.app_silent}, {"--silent", &f.device_silent},
      {"--long-report", &f.long_report}, {"--answer-garbage", &f.answer_garbage},
      {"--pacing", &t.pacing},       {"--help", &o.help},
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i + 1), args.end());
      break;
    }
    if (const auto flag = flags.find(arg); flag != flags.end()) {
      if (flag->second == nullptr) c.identity.identity_group = false;
      else *flag->second = true;
      continue;
    }
    // Both "--opt VALUE" and "--opt=VALUE".
    std::string name = arg;
    std::string value;
    bool have_value = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      have_value = true;
    }
    const auto handler = valued.find(name);
    if (handler == valued.end()) {
      error = "unknown option " + arg;
      return 1;
    }
    if (!have_value) {
      if (i + 1 == args.size()) {
        error = name + " needs a value";
        return 1;
      }
      value = args[++i];
    }
    if (!handler->second(value)) {
      error = "bad value for " + name + ": " + value;
      return 1;
    }
  }
  if (o.com != 0 && o.command.empty()) {
    error = "--com needs a command after --";
    return 1;
  }
  return 0;
}

const char* devsim_help_text() { return HELP; }
