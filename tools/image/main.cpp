// korvo-image: inspects, checks and builds firmware image files with the same image code as
// the utility. The build runs `standin` and `verify`; maintainers and tests run `pack`.
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

const char* const USAGE =
    "usage: korvo-image info FILE\n"
    "       korvo-image verify FILE...\n"
    "       korvo-image standin OUT\n"
    "       korvo-image pack OUT [options]\n"
    "       korvo-image help\n";

const char* const HELP =
    "\n"
    "info FILE      every header field, the version as the utility shows it, the model name\n"
    "               the product table gives, the record lengths and the checks' verdict\n"
    "verify FILE... checks each file as the build does: image_size is the file size and\n"
    "               84 + sum of record lengths + 4; every length L in 3..252; max_record_length\n"
    "               the largest L; target_name terminated within its 33 bytes; the CRC-32\n"
    "               trailer. One line per broken rule; exit status 1 when any rule is broken\n"
    "standin OUT    writes the stand-in image that the default build places in slot 1\n"
    "pack OUT       builds a valid image; without options it is the stand-in. Options:\n"
    "  --product N          product id (68)\n"
    "  --revision N         PCB revision (6)\n"
    "  --version V          1.14, 1.14a, 1.14.02, 2.05.01b, None or a raw 0x010E0000 (1.14)\n"
    "  --name TEXT          target_name, at most 32 characters (the product table's model\n"
    "                       name without spaces, such as SlatePro; Unknown when it has none)\n"
    "  --records N          number of generated records (574)\n"
    "  --record-length L    length of each record, 3..252 (236)\n"
    "  --last-length L      length of the last generated record (--record-length when that\n"
    "                       is given, else 96)\n"
    "  --payload FILE       records carry FILE's bytes, --record-length - 2 per record, the\n"
    "                       last one the rest, instead of generated records\n"
    "  --raw-records FILE   FILE holds finished records back to back, each starting with its\n"
    "                       16-bit little-endian length\n"
    "  --target-start A     (0x2000)\n"
    "  --target-length N    (the data bytes the records carry)\n"
    "  --target-end A       (target start + target length - 1)\n"
    "  --start-bytes HEX    the 7 start bytes as 14 hex digits (5354414E44494E, \"STANDIN\")\n"
    "  --word-4 N           (0x01000000)\n"
    "  --word-40 N          (0)\n"
    "Numbers are decimal or 0x-prefixed hexadecimal.\n"
    "\n"
    "Generated record: L (2 bytes), target address of its first data byte (4), data count\n"
    "n = L - 12 (2), n data bytes, a 16-bit sum of the bytes from the address to the end of\n"
    "the data (2), 0xFF 0xFF; all little-endian. Each aligned 32-bit word of data holds its own\n"
    "target address, and the records cover the target range in order from target_start.\n"
    "\n"
    "Exit status: 0 done, 1 a file is not a sound image or cannot be read or written,\n"
    "2 wrong usage.\n";

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

int cmd_verify(int count, char** paths) {
  bool all_sound = true;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> bytes;
    if (!read_file(paths[i], bytes)) {
      all_sound = false;
      continue;
    }
    ImageCheck check;
    if (image_check(bytes, check) == 0) {
      std::printf("%s: sound image, %zu bytes, %" PRIu32 " records\n", paths[i], bytes.size(),
                  read_le32(bytes, IMG_RECORD_COUNT));
    } else {
      report_findings(paths[i], check, stderr);
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

int cmd_pack(int argc, char** argv) {
  const char* out_path = argv[0];
  ImagePackSpec request;
  bool name_given = false;
  bool records_given = false;
  bool record_length_given = false;
  bool last_length_given = false;
  std::vector<uint8_t> input;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) {
      fail("pack: %s needs a value", option.c_str());
      return EXIT_USAGE;
    }
    const char* value = argv[++i];
    struct NumberOption {
      const char* name;
      uint32_t* value;
      bool* given;
    };
    bool ignored = false;
    const NumberOption numbers[] = {
        {"--product", &request.product, &ignored},
        {"--revision", &request.pcb_revision, &ignored},
        {"--records", &request.record_count, &records_given},
        {"--record-length", &request.record_length, &record_length_given},
        {"--last-length", &request.last_length, &last_length_given},
        {"--target-start", &request.target_start, &ignored},
        {"--target-length", &request.target_length, &request.target_length_given},
        {"--target-end", &request.target_end, &request.target_end_given},
        {"--word-4", &request.word_4, &ignored},
        {"--word-40", &request.word_40, &ignored},
    };
    uint32_t* number = nullptr;
    for (const NumberOption& n : numbers) {
      if (option == n.name) {
        number = n.value;
        *n.given = true;
      }
    }
    if (number != nullptr) {
      if (!parse_number(value, *number)) {
        fail("pack: %s %s: not a 32-bit number", option.c_str(), value);
        return EXIT_USAGE;
      }
    } else if (option == "--version") {
      if (!image_parse_version(value, request.version)) {
        fail("pack: --version %s: not a version such as 1.14, 1.14a, 1.14.02 or 0x010E0000", value);
        return EXIT_USAGE;
      }
    } else if (option == "--name") {
      if (!set_name(request.target_name, value)) {
        fail("pack: --name %s: longer than 32 characters", value);
        return EXIT_USAGE;
      }
      name_given = true;
    } else if (option == "--start-bytes") {
      if (!parse_start_bytes(value, request.start_bytes)) {
        fail("pack: --start-bytes %s: not 14 hex digits", value);
        return EXIT_USAGE;
      }
    } else if (option == "--payload" || option == "--raw-records") {
      if (!read_file(value, input)) return EXIT_FAILED;
      request.source = option == "--payload" ? ImagePackSpec::PAYLOAD : ImagePackSpec::RAW;
    } else {
      fail("pack: unknown option %s", option.c_str());
      return EXIT_USAGE;
    }
  }
  if (request.source != ImagePackSpec::GENERATED && (records_given || last_length_given)) {
    fail("pack: --records and --last-length go with generated records only");
    return EXIT_USAGE;
  }
  if (record_length_given && !last_length_given) request.last_length = request.record_length;
  if (!name_given) default_name(request);
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
  const std::string command = argc >= 2 ? argv[1] : "";
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(USAGE, stdout);
    std::fputs(HELP, stdout);
    return EXIT_OK;
  }
  if (command == "info" && argc == 3) return cmd_info(argv[2]);
  if (command == "verify" && argc >= 3) return cmd_verify(argc - 2, argv + 2);
  if (command == "standin" && argc == 3) return cmd_standin(argv[2]);
  if (command == "pack" && argc >= 3) return cmd_pack(argc - 2, argv + 2);
  std::fputs(USAGE, stderr);
  return EXIT_USAGE;
}
