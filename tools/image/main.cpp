// korvo-image: inspects, checks and builds firmware image files with the same image code as
// the utility. The build runs `standin` and `verify`; maintainers and tests run `pack`.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "images/image.h"
#include "images/image_build.h"
#include "images/image_check.h"
#include "protocol/device_info.h"

using namespace korvo;

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char* const FOOTER =
    "Generated record: L (2 bytes), target address of its first data byte (4), data count\n"
    "n = L - 12 (2), n data bytes, a 16-bit sum of the bytes from the address to the end of\n"
    "the data (2), 0xFF 0xFF; all little-endian. Each aligned 32-bit word of data holds its own\n"
    "target address, and the records cover the target range in order from target_start.\n"
    "\n"
    "Exit status: 0 done, 1 a file is not a sound image or cannot be read or written,\n"
    "2 wrong usage.";

void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* format, ...) {
  std::fputs("korvo-image: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// Reads a whole file; at most IMAGE_BUILD_MAX_BYTES + 1 bytes, which is already too many for
// an image, so a device file or a huge file cannot exhaust memory.
bool read_file(const char* path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    fail("%s: cannot open: %s", path, std::strerror(errno));
    return false;
  }
  std::vector<uint8_t> chunk(64 * 1024);
  bool ok = true;
  while (bytes.size() <= IMAGE_BUILD_MAX_BYTES) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < chunk.size()) {
      if (std::ferror(file) != 0) {
        fail("%s: cannot read: %s", path, std::strerror(errno));
        ok = false;
      }
      break;
    }
  }
  std::fclose(file);
  if (ok && bytes.size() > IMAGE_BUILD_MAX_BYTES) {
    fail("%s: larger than %u bytes, not an image", path, IMAGE_BUILD_MAX_BYTES);
    ok = false;
  }
  return ok;
}

bool write_file(const char* path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    fail("%s: cannot create: %s", path, std::strerror(errno));
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    fail("%s: cannot write: %s", path, std::strerror(errno));
    std::remove(path);
    return false;
  }
  return true;
}

// Prints one line per broken rule, prefixed with the file name; true for a sound image.
bool report_findings(const char* path, const ImageCheck& check, std::FILE* to) {
  for (size_t i = 0; i < check.count; ++i) {
    char text[IMAGE_FINDING_TEXT_BYTES];
    image_finding_text(check.findings[i], text, sizeof text);
    std::fprintf(to, "%s: %s\n", path, text);
  }
  return check.count == 0;
}

int cmd_verify(const std::vector<std::string>& paths) {
  bool all_sound = true;
  for (const std::string& path : paths) {
    std::vector<uint8_t> bytes;
    if (!read_file(path.c_str(), bytes)) {
      all_sound = false;
      continue;
    }
    ImageCheck check;
    if (image_check(bytes, check) == 0) {
      std::printf("%s: sound image, %zu bytes, %" PRIu32 " records\n", path.c_str(), bytes.size(),
                  read_le32(bytes, IMG_RECORD_COUNT));
    } else {
      report_findings(path.c_str(), check, stderr);
      all_sound = false;
    }
  }
  return all_sound ? EXIT_OK : EXIT_FAILED;
}

// "573 x 236, 1 x 96": the lengths of the record walk, runs of equal lengths folded.
std::string record_lengths(std::span<const uint8_t> bytes, uint32_t count) {
  constexpr int RUNS_SHOWN = 8;  // an image of all different lengths still fits a line
  std::string text;
  size_t offset = IMAGE_HEADER_BYTES;
  uint32_t run_length = 0;
  uint32_t run_count = 0;
  int runs = 0;
  const auto flush = [&] {
    if (run_count == 0) return;
    if (runs < RUNS_SHOWN) {
      char part[40];
      std::snprintf(part, sizeof part, "%s%" PRIu32 " x %" PRIu32, runs == 0 ? "" : ", ",
                    run_count, run_length);
      text += part;
    } else if (runs == RUNS_SHOWN) {
      text += ", ...";
    }
    ++runs;
  };
  for (uint32_t n = 0; n < count; ++n) {
    ImageRecord record;
    const ImageResult r = image_record(bytes, offset, record);
    if (r != ImageResult::OK) {
      flush();
      char part[80];
      std::snprintf(part, sizeof part, "%swalk stops at record %" PRIu32 " (offset %zu)",
                    runs == 0 ? "" : "; ", n + 1, offset);
      return text + part;
    }
    if (record.length != run_length) {
      flush();
      run_length = record.length;
      run_count = 0;
    }
    ++run_count;
    offset += record.length;
  }
  flush();
  return text.empty() ? "none" : text;
}

void print_name(const ImageHeader& header) {
  std::fputc('"', stdout);
  for (uint32_t i = 0; i < IMAGE_TARGET_NAME_BYTES && header.target_name[i] != 0; ++i) {
    const auto c = static_cast<unsigned char>(header.target_name[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      std::fputc(c, stdout);
    } else {
      std::printf("\\x%02X", c);
    }
  }
  std::fputc('"', stdout);
}

int cmd_info(const char* path) {
  std::vector<uint8_t> bytes;
  if (!read_file(path, bytes)) return EXIT_FAILED;
  ImageCheck check;
  (void)image_check(bytes, check);
  ImageHeader h;
  if (image_header(bytes, h) != ImageResult::OK || bytes.size() < IMAGE_HEADER_BYTES + IMAGE_TRAILER_BYTES) {
    report_findings(path, check, stderr);
    return EXIT_FAILED;
  }
  char version[VERSION_TEXT_BYTES];
  format_version(version, sizeof version, h.version);
  const char* model = product_lookup(static_cast<int32_t>(h.product), static_cast<int32_t>(h.pcb_revision));

  std::printf("file               %s, %zu bytes\n", path, bytes.size());
  std::printf("image_size         %" PRIu32 "\n", h.image_size);
  std::printf("word_4             0x%08" PRIX32 "\n", h.word_4);
  std::printf("product            %" PRIu32 "\n", h.product);
  std::printf("pcb_revision       %" PRIu32 "\n", h.pcb_revision);
  std::printf("model              %s\n", model != nullptr ? model : "(not in the product table)");
  std::printf("version            %s (0x%08" PRIX32 ")\n", version, h.version);
  std::printf("max_record_length  %" PRIu32 "\n", h.max_record_length);
  std::printf("record_count       %" PRIu32 "\n", h.record_count);
  std::printf("records            %s\n", record_lengths(bytes, h.record_count).c_str());
  std::printf("target_length      %" PRIu32 " (0x%" PRIX32 ")\n", h.target_length, h.target_length);
  std::printf("target_start       0x%" PRIX32 "\n", h.target_start);
  std::printf("target_end         0x%" PRIX32 "%s\n", h.target_end,
              h.target_end == h.target_start + h.target_length - 1
                  ? ""
                  : " (not target_start + target_length - 1)");
  std::printf("word_40            0x%08" PRIX32 "\n", h.word_40);
  std::printf("start_bytes       ");
  for (const uint8_t b : h.start_bytes) std::printf(" %02X", b);
  std::printf("\ntarget_name        ");
  print_name(h);
  const uint32_t stored = read_le32(bytes, bytes.size() - IMAGE_TRAILER_BYTES);
  const bool crc_ok = crc32(std::span(bytes).first(bytes.size() - IMAGE_TRAILER_BYTES)) == stored;
  std::printf("\nimage_crc          0x%08" PRIX32 " (%s)\n", stored, crc_ok ? "matches" : "does not match");
  if (check.count == 0) {
    std::printf("verdict            sound image\n");
    return EXIT_OK;
  }
  std::printf("verdict            %zu broken rule%s\n", check.count, check.count == 1 ? "" : "s");
  std::fflush(stdout);
  report_findings(path, check, stderr);
  return EXIT_FAILED;
}

int cmd_standin(const char* path) {
  return write_file(path, image_standin()) ? EXIT_OK : EXIT_FAILED;
}

// Decimal, or hexadecimal after 0x; the whole text must be the number.
bool parse_number(const char* text, uint32_t& value) {
  int base = 10;
  const char* p = text;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (*p == 0) return false;
  uint64_t v = 0;
  for (; *p != 0; ++p) {
    int d = -1;
    if (*p >= '0' && *p <= '9') d = *p - '0';
    if (base == 16 && *p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
    if (base == 16 && *p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
    if (d < 0) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

bool parse_start_bytes(const char* text, std::array<uint8_t, IMAGE_START_BYTES>& out) {
  if (std::strlen(text) != 2 * IMAGE_START_BYTES) return false;
  for (size_t i = 0; i < IMAGE_START_BYTES; ++i) {
    const char pair[3] = {text[2 * i], text[2 * i + 1], 0};
    uint32_t v = 0;
    if (!parse_number((std::string("0x") + pair).c_str(), v)) return false;
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

bool set_name(std::array<char, IMAGE_TARGET_NAME_BYTES + 1>& out, const char* name) {
  if (std::strlen(name) > IMAGE_TARGET_NAME_BYTES - 1) return false;
  out.fill(0);
  std::memcpy(out.data(), name, std::strlen(name));
  return true;
}

// The product table's model name with its spaces dropped, as makers spell target names.
void default_name(ImagePackSpec& request) {
  const char* model =
      product_lookup(static_cast<int32_t>(request.product), static_cast<int32_t>(request.pcb_revision));
  std::string name;
  for (const char* p = model != nullptr ? model : "Unknown"; *p != 0; ++p) {
    if (*p != ' ') name += *p;
  }
  (void)set_name(request.target_name, name.c_str());
}

// pack's command line.
struct Pack {
  CLI::App* command = nullptr;
  std::string out_path;
  std::string payload;
  std::string raw_records;
  ImagePackSpec request;
};

void add_pack(CLI::App& app, Pack& p) {
  CLI::App* pack = p.command =
      app.add_subcommand("pack", "builds a valid image; without options it is the stand-in");
  pack->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  pack->footer("Numbers are decimal or 0x-prefixed hexadecimal.");
  pack->add_option("OUT", p.out_path, "the image file to write")->required()->type_name("");
  // An option whose every value `take` checks and stores; a value it refuses is reported
  // with the option's name, the value and `wrong`.
  const auto value = [pack](const char* name, const char* type, const char* help, const char* wrong,
                            std::function<bool(const std::string&)> take) {
    pack->add_option(name)->description(help)->type_name(type)->check(
        CLI::Validator([=](std::string& v) { return take(v) ? std::string() : v + ": " + wrong; }, ""));
  };
  const auto number = [&](const char* name, const char* help, uint32_t& to) {
    value(name, "N", help, "not a 32-bit number",
          [&to](const std::string& v) { return parse_number(v.c_str(), to); });
  };
  ImagePackSpec& r = p.request;
  number("--product", "product id (68)", r.product);
  number("--revision", "PCB revision (6)", r.pcb_revision);
  value("--version", "V", "1.14, 1.14a, 1.14.02, 2.05.01b, None or a raw 0x010E0000 (1.14)",
        "not a version such as 1.14, 1.14a, 1.14.02 or 0x010E0000",
        [&r](const std::string& v) { return image_parse_version(v.c_str(), r.version); });
  value("--name", "TEXT",
        "target_name, at most 32 characters (the product table's model\n"
        "name without spaces, such as SlatePro; Unknown when it has none)",
        "longer than 32 characters",
        [&r](const std::string& v) { return set_name(r.target_name, v.c_str()); });
  number("--records", "number of generated records (574)", r.record_count);
  number("--record-length", "length of each record, 3..252 (236)", r.record_length);
  number("--last-length",
         "length of the last generated record (--record-length when that\nis given, else 96)", r.last_length);
  // Each names the other in its text: the parser's own "Excludes:" note is left out.
  CLI::Option* payload = pack->add_option("--payload", p.payload,
                                          "records carry FILE's bytes, --record-length - 2 per record, the\n"
                                          "last one the rest, instead of generated records (not with\n"
                                          "--raw-records)");
  pack->add_option("--raw-records", p.raw_records,
                   "FILE holds finished records back to back, each starting with its\n"
                   "16-bit little-endian length (not with --payload)")
      ->excludes(payload->option_text("FILE"))
      ->option_text("FILE");
  number("--target-start", "the firmware's start address on the device (0x2000)", r.target_start);
  number("--target-length", "the firmware's length on the device (the data bytes the records\ncarry)",
         r.target_length);
  number("--target-end", "the firmware's last address on the device (target start + target\nlength - 1)",
         r.target_end);
  value("--start-bytes", "HEX", "the 7 start bytes as 14 hex digits (5354414E44494E, \"STANDIN\")",
        "not 14 hex digits",
        [&r](const std::string& v) { return parse_start_bytes(v.c_str(), r.start_bytes); });
  number("--word-4", "the header word at offset 4, which korvo does not read (0x01000000)", r.word_4);
  number("--word-40", "the header word at offset 40, which korvo does not read (0)", r.word_40);
}

int cmd_pack(Pack& p) {
  const char* out_path = p.out_path.c_str();
  ImagePackSpec& request = p.request;
  const auto given = [&p](const char* option) { return p.command->count(option) > 0; };
  std::vector<uint8_t> input;
  if (given("--payload") || given("--raw-records")) {
    if (!read_file((given("--payload") ? p.payload : p.raw_records).c_str(), input)) return EXIT_FAILED;
    request.source = given("--payload") ? ImagePackSpec::PAYLOAD : ImagePackSpec::RAW;
  }
  if (request.source != ImagePackSpec::GENERATED && (given("--records") || given("--last-length"))) {
    fail("pack: --records and --last-length go with generated records only");
    return EXIT_USAGE;
  }
  if (given("--record-length") && !given("--last-length")) request.last_length = request.record_length;
  request.target_length_given = given("--target-length");
  request.target_end_given = given("--target-end");
  if (!given("--name")) default_name(request);
  request.input = input;

  std::vector<uint8_t> image;
  switch (image_pack(request, image)) {
    case PackResult::OK: break;
    case PackResult::RECORD_LENGTH:
      fail("pack: record lengths must lie in 3..252");
      return EXIT_USAGE;
    case PackResult::EMPTY_INPUT:
      fail("pack: the record input file is empty");
      return EXIT_FAILED;
    case PackResult::RAW_RECORDS:
      fail("pack: the raw records do not end exactly at the end of their file");
      return EXIT_FAILED;
    case PackResult::TOO_BIG:
      fail("pack: the image would exceed %u bytes", IMAGE_BUILD_MAX_BYTES);
      return EXIT_USAGE;
    case PackResult::NO_RECORDS:
      fail("pack: an image needs at least one record");
      return EXIT_USAGE;
    default:
      fail("pack: cannot build the image");
      return EXIT_FAILED;
  }
  // What pack writes must pass the same checks as the build's.
  ImageCheck check;
  if (image_check(image, check) != 0) {
    report_findings(out_path, check, stderr);
    return EXIT_FAILED;
  }
  return write_file(out_path, image) ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("korvo-image: makes, inspects and checks korvo's firmware image files", "korvo-image");
  app.allow_windows_style_options(false);  // on Windows too: "/x" is a path, not an option
  // The help in one voice, the parser's own words included; the commands inherit the help flag.
  app.set_help_flag("-h,--help", "show this text and end");
  app.set_version_flag("--version", "korvo-image " KORVO_VERSION, "show the program's version and end");
  app.get_formatter()->label("REQUIRED", "(required)");
  app.require_subcommand(0, 1);  // none is refused below: CLI11 would take a bad word for none
  app.footer(FOOTER);
  std::string info_path;
  CLI::App* info =
      app.add_subcommand("info",
                         "shows every header field, the version as the utility shows it, the\n"
                         "model name the product table gives, the record lengths and the\n"
                         "checks' verdict");
  info->add_option("FILE", info_path, "the image file")->required()->type_name("");
  std::vector<std::string> verify_paths;
  CLI::App* verify = app.add_subcommand("verify",
                                        "checks each file as the build does: image_size is the file size\n"
                                        "and 84 + sum of record lengths + 4; at least one record; every\n"
                                        "length L in 3..252; max_record_length the largest L; target_name\n"
                                        "terminated within its 33 bytes; the CRC-32 trailer. One line per\n"
                                        "broken rule; exit status 1 when any rule is broken");
  verify->add_option("FILE", verify_paths, "the image files")->required()->type_name("");
  std::string standin_path;
  CLI::App* standin =
      app.add_subcommand("standin", "writes the stand-in image that the default build places in slot 1");
  standin->add_option("OUT", standin_path, "the image file to write")->required()->type_name("");
  Pack pack;
  add_pack(app, pack);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help or --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fail("%s\n(korvo-image --help lists the commands, korvo-image COMMAND --help their options)", e.what());
    return EXIT_USAGE;
  }
  if (info->parsed()) return cmd_info(info_path.c_str());
  if (verify->parsed()) return cmd_verify(verify_paths);
  if (standin->parsed()) return cmd_standin(standin_path.c_str());
  if (pack.command->parsed()) return cmd_pack(pack);
  fail("a command is needed: info, verify, standin or pack\n(korvo-image --help lists them)");
  return EXIT_USAGE;
}
