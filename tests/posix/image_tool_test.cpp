// korvo-image as the build and maintainers run it: exit statuses, the lines it prints for
// broken files, images packed for other devices, and the generated table source.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "images/image.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string output;  // standard output and standard error together
};

ToolRun run(const std::string& command) {
  ToolRun r;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

const std::string TOOL = std::string(KORVO_BIN_DIR) + "/korvo-image";

// The source tree as the build names it: a file's own path may have been made relative
// (-ffile-prefix-map, as packagers build).
std::string source_dir() { return KORVO_SOURCE_DIR; }

std::vector<char> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_all(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class ImageTool : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvo-image-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    standin = dir + "/standin.img";
    ASSERT_EQ(run(TOOL + " standin " + standin).status, 0);
  }
  void TearDown() override { (void)run("rm -rf " + dir); }
  std::string dir;
  std::string standin;
};

TEST_F(ImageTool, VerifyPassesTheStandinAndNamesFileAndRuleForEachBrokenOne) {
  ToolRun r = run(TOOL + " verify " + standin);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, standin + ": sound image, 135412 bytes, 574 records\n");

  std::vector<char> bytes = read_all(standin);
  const std::string bad_crc = dir + "/bad-crc.img";
  bytes[1000] = static_cast<char>(bytes[1000] ^ 0x40);
  write_all(bad_crc, bytes);
  const std::string truncated = dir + "/truncated.img";
  write_all(truncated, std::vector<char>(bytes.begin(), bytes.begin() + 5000));
  const std::string empty = dir + "/empty.img";
  write_all(empty, {});

  // The build checks all its images in one run: every bad one is reported, the status is 1.
  r = run(TOOL + " verify " + standin + " " + bad_crc + " " + truncated + " " + empty);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find(bad_crc + ": CRC-32 trailer is "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(truncated + ": image_size is 135412 but the file holds only 5000 bytes (truncated)\n"),
            std::string::npos) << r.output;
  EXPECT_NE(r.output.find(empty + ": the file is empty\n"), std::string::npos) << r.output;

  r = run(TOOL + " verify " + dir + "/missing.img");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("missing.img: cannot open"), std::string::npos) << r.output;

  // Not an image at all: a text file.
  const std::string text = dir + "/notes.txt";
  write_all(text, std::vector<char>(200, 'x'));
  r = run(TOOL + " info " + text);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("broken rule"), std::string::npos) << r.output;
}

TEST_F(ImageTool, InfoShowsTheStandinsHeader) {
  const ToolRun r = run(TOOL + " info " + standin);
  EXPECT_EQ(r.status, 0);
  for (const char* line : {"image_size         135412\n", "word_4             0x01000000\n",
                           "product            68\n", "pcb_revision       6\n",
                           "model              Slate Pro\n", "version            1.14 (0x010E0000)\n",
                           "max_record_length  236\n", "record_count       574\n",
                           "records            573 x 236, 1 x 96\n",
                           "target_length      128436 (0x1F5B4)\n", "target_start       0x2000\n",
                           "target_end         0x215B3\n", "target_name        \"SlatePro\"\n",
                           "verdict            sound image\n"}) {
    EXPECT_NE(r.output.find(line), std::string::npos) << line << r.output;
  }
  EXPECT_TRUE(std::regex_search(r.output, std::regex("image_crc          0x[0-9A-F]{8} \\(matches\\)")));
}

TEST_F(ImageTool, PackMakesImagesForOtherDevices) {
  const std::string out = dir + "/granite.img";
  ToolRun r = run(TOOL + " pack " + out +
              " --product 56 --revision 4 --version 1.15a --records 10 --record-length 100");
  ASSERT_EQ(r.status, 0) << r.output;
  r = run(TOOL + " info " + out);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("model              Granite\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("version            1.15a (0x010F0001)\n"), std::string::npos);
  EXPECT_NE(r.output.find("records            10 x 100\n"), std::string::npos);
  EXPECT_NE(r.output.find("target_name        \"Granite\"\n"), std::string::npos);

  // Without options: the stand-in itself.
  ASSERT_EQ(run(TOOL + " pack " + dir + "/default.img").status, 0);
  EXPECT_EQ(read_all(dir + "/default.img"), read_all(standin));

  // Nothing invalid is written, and wrong usage is told apart from a bad file.
  r = run(TOOL + " pack " + dir + "/x.img --record-length 253");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("record lengths must lie in 3..252"), std::string::npos) << r.output;
  EXPECT_EQ(run(TOOL + " pack " + dir + "/x.img --payload " + dir + "/none.bin").status, 1);
  EXPECT_TRUE(read_all(dir + "/x.img").empty());
}

TEST_F(ImageTool, HelpVersionAndWrongUsage) {
  ToolRun r = run(TOOL + " --help");
  EXPECT_EQ(r.status, 0);
  for (const char* text :
       {"info", "verify", "standin", "pack", "Generated record: L (2 bytes)", "Exit status"})
    EXPECT_NE(r.output.find(text), std::string::npos) << text << r.output;
  r = run(TOOL + " pack --help");
  EXPECT_EQ(r.status, 0);
  for (const char* text : {"OUT", "--record-length N", "--raw-records FILE", "--version V", "0x-prefixed"})
    EXPECT_NE(r.output.find(text), std::string::npos) << text << r.output;
  r = run(TOOL + " verify -h");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("CRC-32"), std::string::npos) << r.output;
  r = run(TOOL + " --version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "korvo-image 1.01\n");

  // Every error names the word at fault and ends with status 2; nothing is written.
  const std::string x = dir + "/x.img";
  struct Bad {
    std::string args;
    std::string says;
  };
  for (const Bad& bad :
       {Bad{"", "a command is needed"}, Bad{"bogus", "bogus"}, Bad{"info", "FILE"},
        Bad{"info " + standin + " extra", "extra"}, Bad{"verify --fast " + standin, "--fast"},
        Bad{"pack " + x + " --colour blue", "--colour"}, Bad{"pack " + x + " --product", "--product"},
        Bad{"pack " + x + " --product 12z", "--product: 12z: not a 32-bit number"},
        Bad{"pack " + x + " --version 1.256", "--version: 1.256: not a version"},
        Bad{"pack " + x + " --name " + std::string(33, 'N'), "longer than 32 characters"},
        Bad{"pack " + x + " --start-bytes 53", "--start-bytes: 53: not 14 hex digits"},
        Bad{"pack " + x + " --payload a --raw-records b", "--raw-records"},
        Bad{"pack " + x + " --raw-records " + standin + " --records 2", "--records"}}) {
    r = run(TOOL + " " + bad.args);
    EXPECT_EQ(r.status, 2) << bad.args << "\n" << r.output;
    EXPECT_EQ(r.output.rfind("korvo-image: ", 0), 0u) << r.output;
    EXPECT_NE(r.output.find(bad.says), std::string::npos) << bad.says << "\n" << r.output;
  }
  EXPECT_TRUE(read_all(x).empty());
  // pack's --version is the image's version, and a later value replaces an earlier one.
  ASSERT_EQ(run(TOOL + " pack " + x + " --version 1.20 --version 1.15a").status, 0);
  EXPECT_NE(run(TOOL + " info " + x).output.find("version            1.15a (0x010F0001)\n"),
            std::string::npos);
}

// An image with nothing to install: korvo would send a start command and no record.
TEST_F(ImageTool, ZeroRecordsAreRefusedByVerifyInfoPackAndTheBuild) {
  std::vector<uint8_t> bytes(korvo::IMAGE_HEADER_BYTES + korvo::IMAGE_TRAILER_BYTES);
  korvo::ImageHeader header;
  header.image_size = static_cast<uint32_t>(bytes.size());
  header.product = 68;
  header.pcb_revision = 6;
  korvo::image_header_encode(header, std::span(bytes).first<korvo::IMAGE_HEADER_BYTES>());
  korvo::put_le32(bytes, korvo::IMAGE_HEADER_BYTES,
                  korvo::crc32(std::span(bytes).first(korvo::IMAGE_HEADER_BYTES)));
  const std::string empty = dir + "/no-records.img";
  write_all(empty, std::vector<char>(bytes.begin(), bytes.end()));
  const std::string rule = empty + ": record_count is 0: the image has no records to install\n";

  ToolRun r = run(TOOL + " verify " + empty);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, rule);
  r = run(TOOL + " info " + empty);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("verdict            1 broken rule\n" + rule), std::string::npos) << r.output;
  r = run(TOOL + " pack " + dir + "/x.img --records 0");
  EXPECT_EQ(r.status, 2);  // a wrong option value, like a record length out of range
  EXPECT_EQ(r.output, "korvo-image: pack: an image needs at least one record\n");
  EXPECT_TRUE(read_all(dir + "/x.img").empty());

  // The build embeds nothing that verify refuses: configured with this image in slot 1,
  // its check stops the build, naming the file and the rule.
  r = run("cmake -S " + source_dir() + " -B " + dir + "/build -DKORVO_TESTS=OFF -DKORVO_IMAGES=" + empty +
          " -DKORVO_IMAGE_TOOL=" + TOOL + " >/dev/null && cmake --build " + dir +
          "/build --target korvo_image_verify");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find(rule), std::string::npos) << r.output;
  EXPECT_FALSE(std::ifstream(dir + "/build/images/verified.stamp").good());
}

// The build takes each image's SHA-256 for the update record: the same as sha256sum's.
TEST(EmbeddedImages, CarryTheSha256OfTheirBytes) {
  const korvo::ImageTable& table = korvo::image_table();
  ASSERT_NE(table[0].sha256, nullptr);
  const ToolRun r = run(std::string("sha256sum ") + KORVO_SLOT1_IMAGE);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(std::string(table[0].sha256) + "  " + KORVO_SLOT1_IMAGE + "\n", r.output);
  for (size_t slot = 1; slot < table.size(); ++slot) {
    if (table[slot].data == nullptr) {
      EXPECT_EQ(table[slot].sha256, nullptr) << "slot " << slot + 1;
    }
  }
}

TEST_F(ImageTool, GeneratedTableSourceHoldsEveryByteInItsSlot) {
  // A small image whose size is not a multiple of the 16 values per line.
  const std::string small = dir + "/small.img";
  ASSERT_EQ(run(TOOL + " pack " + small + " --records 2 --record-length 17").status, 0);
  const std::vector<char> bytes = read_all(small);
  ASSERT_EQ(bytes.size(), 84u + 34u + 4u);
  std::ofstream(dir + "/slots.cmake") << "set(KORVO_SLOT_1 \"\")\nset(KORVO_SLOT_3 \"" << small
                                       << "\")\n";
  const std::string script = source_dir() + "/cmake/embed_images.cmake";
  const std::string cpp = dir + "/table.cpp";
  ToolRun r = run("cmake -DSLOTS=" + dir + "/slots.cmake -DOUT=" + cpp + " -P " + script);
  ASSERT_EQ(r.status, 0) << r.output;

  const std::vector<char> text = read_all(cpp);
  const std::string source(text.begin(), text.end());
  EXPECT_NE(source.find("const uint8_t slot_3[122] = {"), std::string::npos) << source;
  EXPECT_EQ(source.find("slot_1["), std::string::npos);
  std::vector<char> back;
  const std::string array = source.substr(source.find("slot_3[122] = {"));
  const std::regex byte("0x([0-9a-f]{2}),");
  for (auto it = std::sregex_iterator(array.begin(), array.begin() + static_cast<long>(array.find("};")), byte);
       it != std::sregex_iterator(); ++it) {
    back.push_back(static_cast<char>(std::stoi((*it)[1].str(), nullptr, 16)));
  }
  EXPECT_EQ(back, bytes);

  // A slot naming a missing file stops the build with the slot and the file.
  std::ofstream(dir + "/slots.cmake") << "set(KORVO_SLOT_2 \"" << dir << "/gone.img\")\n";
  r = run("cmake -DSLOTS=" + dir + "/slots.cmake -DOUT=" + cpp + " -P " + script);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("Image for slot 2: " + dir + "/gone.img does not exist"), std::string::npos)
      << r.output;
}

}  // namespace
