// The site report read back by independent readers: the CSV by an RFC 4180 reader, the page by
// libxml2's HTML parser. Whatever a device called itself, each update comes back whole and as
// text: no markup, no formula, no control byte.
#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver/history.h"
#include "driver/update_record.h"
#include "fake_console.h"
#include "update_sample.h"

namespace {

using Table = std::vector<std::vector<std::string>>;

// RFC 4180, strictly: CRLF after every line, quotes only around a whole field and doubled
// inside one. A fault fails the test rather than being read some way.
Table read_csv(const std::string& text) {
  Table rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    std::string& field = rows.back().back();
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
        EXPECT_TRUE(i + 1 == text.size() || text[i + 1] == ',' || text[i + 1] == '\r') << "text after a closing quote";
      }
    } else if (c == '"') {
      EXPECT_TRUE(field.empty()) << "a quote inside an unquoted field";
      quoted = true;
    } else if (c == ',') {
      rows.back().emplace_back();
    } else if (c == '\r') {
      EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "CR without LF";
      ++i;
      rows.emplace_back(1);
    } else {
      EXPECT_NE(c, '\n') << "a bare LF ends no line";
      field += c;
    }
  }
  EXPECT_FALSE(quoted) << "an unclosed quote";
  EXPECT_EQ(rows.back(), std::vector<std::string>(1)) << "the last line lacks its CRLF";
  rows.pop_back();
  return rows;
}

// The page as the parser builds it: every element's name, and the text of each table row's cells.
struct Page {
  std::set<std::string> elements;
  std::vector<std::vector<std::string>> rows;  // the body's rows
  std::vector<std::string> summary;            // the summary's items
  std::map<std::string, std::string> row_class;  // a row's class by its time cell
  std::vector<std::string> titles;             // every title attribute of a cell
  size_t bars = 0;                             // svg elements, and those in a row's last cell
  size_t bars_in_place = 0;
};

std::string text_of(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

std::string attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

void walk(xmlNode* node, Page& page, bool in_body) {
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    const std::string name = reinterpret_cast<const char*>(node->name);
    page.elements.insert(name);
    if (name == "tbody") in_body = true;
    if (name == "li") page.summary.push_back(text_of(node));
    if (name == "svg") {
      ++page.bars;
      const xmlNode* cell = node->parent;
      const bool last = cell != nullptr && xmlStrEqual(cell->name, reinterpret_cast<const xmlChar*>("td")) &&
                        xmlNextElementSibling(const_cast<xmlNode*>(cell)) == nullptr;
      if (last) ++page.bars_in_place;
    }
    if (name == "tr" && in_body) {
      std::vector<std::string> cells;
      for (xmlNode* cell = node->children; cell != nullptr; cell = cell->next) {
        if (cell->type != XML_ELEMENT_NODE) continue;
        cells.push_back(text_of(cell));
        const std::string title = attribute(cell, "title");
        if (!title.empty()) page.titles.push_back(title);
      }
      if (!cells.empty()) page.row_class[cells[0]] = attribute(node, "class");
      page.rows.push_back(cells);
    }
    walk(node->children, page, in_body);
  }
}

Page read_html(const std::string& text) {
  Page page;
  const htmlDocPtr doc = htmlReadMemory(text.data(), static_cast<int>(text.size()), "report.html", "UTF-8",
                                        HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
  EXPECT_NE(doc, nullptr);
  if (doc == nullptr) return page;
  walk(xmlDocGetRootElement(doc), page, false);
  xmlFreeDoc(doc);
  return page;
}

UpdateRecord update(const char* time, const char* port, const char* name) {
  UpdateRecord r = verified_update(time, port, "/dev/ttyUSB0", name);
  r.host = "site-laptop";
  r.image_sha256 = std::string(64, 'c');
  r.image_records = 574;
  r.outcome = "updated";
  r.left = "restarted";
  r.round_trip_median_ms = 1.8;
  r.round_trip_p99_ms = 4.25;
  return r;
}

struct Report {
  CapturedText text;
  CapturedText diagnostics;
  bool ok = false;
  Report(const std::string& path, HistoryFormat format) {
    ConsoleOut out = text.out();
    out.err = diagnostics.out().file;
    HistoryQuery query;
    query.record = path;
    query.format = format;
    ok = update_record_history(out, query);
  }
};

std::string temp_path(const char* name) { return testing::TempDir() + "korvo-report-" + name; }

const std::string HOSTILE_NAME = "Hall \"A\", <i>stage</i> &amp; \x1b[2J\x07left";
const std::string HOSTILE_NAME_SHOWN = "Hall \"A\", <i>stage</i> &amp; ?[2J?left";

}  // namespace

TEST(SiteReport, EveryUpdateComesBackWholeAndHostileNamesAsText) {
  UpdateRecord hostile = update("2026-12-08T07:40:12Z", "COM3", HOSTILE_NAME.c_str());
  hostile.device_model = "=HYPERLINK(\"http://x\",\"y\"),\r\nline two";
  hostile.adapter = "-2+3 <script>alert(1)</script>";
  UpdateRecord failed = failed_in_records(update("2026-12-08T08:00:00Z", "/dev/ttyUSB1", "Zone, 5"));
  failed.outcome = "failed";
  failed.left = "in_bootloader";
  failed.duration_ms = 120500;
  failed.round_trip_median_ms.reset();
  failed.round_trip_p99_ms.reset();
  UpdateRecord newer = update("2026-12-09T09:15:00Z", "COM4", "Lobby");
  newer.outcome = "device_newer";
  newer.left = "as_it_was";
  newer.updated = false;
  newer.verified = false;
  newer.version_after = "1.20";
  UpdateRecord unverified = update("2026-12-09T10:00:00Z", "COM3", HOSTILE_NAME.c_str());
  unverified.verified = false;
  unverified.version_after = "";

  const std::string path = temp_path("hostile.jsonl");
  std::ofstream(path, std::ios::binary) << update_record_json(hostile) << "\n{\"time\": torn\n"
                                        << update_record_json(failed) << "\n"
                                        << update_record_json(newer) << "\n"
                                        << update_record_json(unverified);  // no final newline
  const std::vector<const UpdateRecord*> updates = {&hostile, &failed, &newer, &unverified};
  const std::string damaged = "korvo: " + path + ": line 2 is damaged; skipped\nkorvo: " + path +
                              ": 1 damaged line skipped\n";

  Report csv(path, HistoryFormat::CSV);
  ASSERT_TRUE(csv.ok);
  EXPECT_EQ(csv.diagnostics.text(), damaged);
  const Table rows = read_csv(csv.text.text());
  ASSERT_EQ(rows.size(), updates.size() + 1);
  const std::vector<std::string> header = rows[0];
  ASSERT_EQ(header.size(), 20u);
  for (size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), header.size()) << "row " << i;
    std::map<std::string, std::string> row;
    for (size_t k = 0; k < header.size(); ++k) row[header[k]] = rows[i][k];
    const UpdateRecord& r = *updates[i - 1];
    EXPECT_EQ(row["time"], r.time);
    EXPECT_EQ(row["port"], r.port);
    EXPECT_EQ(row["product"], std::to_string(r.product));
    EXPECT_EQ(row["pcb_revision"], std::to_string(r.pcb_revision));
    EXPECT_EQ(row["version_before"], r.version_before);
    EXPECT_EQ(row["version_after"], r.version_after);
    EXPECT_EQ(row["image_sha256"], r.image_sha256);
    EXPECT_EQ(row["outcome"], r.outcome);
    EXPECT_EQ(row["left"], r.left);
    EXPECT_EQ(row["verified"], r.verified ? "true" : "false");
    EXPECT_EQ(row["attempts"], std::to_string(r.attempts));
    EXPECT_EQ(row["duration_ms"], std::to_string(r.duration_ms));
  }
  // Quotes and commas survive; control bytes are '?'; a formula is kept as text.
  EXPECT_EQ(rows[1][5], HOSTILE_NAME_SHOWN);
  EXPECT_EQ(rows[1][4], "'=HYPERLINK(\"http://x\",\"y\"),??line two");
  EXPECT_EQ(rows[1][3], "'-2+3 <script>alert(1)</script>");
  EXPECT_EQ(rows[1][19], "1.8");
  EXPECT_EQ(rows[2][5], "Zone, 5");
  EXPECT_EQ(rows[2][13], "records");
  EXPECT_EQ(rows[2][14], "3");
  EXPECT_EQ(rows[2][19], "") << "no round trips timed";

  Report html(path, HistoryFormat::HTML);
  ASSERT_TRUE(html.ok);
  EXPECT_EQ(html.diagnostics.text(), damaged);
  const Page page = read_html(html.text.text());
  // Only the page's own elements: nothing a name brought in.
  const std::set<std::string> own = {"html", "head", "meta", "title", "style", "body", "h1", "p", "ul", "li", "b",
                                     "table", "thead", "tbody", "tr", "th", "td", "svg", "rect"};
  for (const std::string& element : page.elements) EXPECT_TRUE(own.count(element) == 1) << element;
  ASSERT_EQ(page.rows.size(), updates.size());
  for (size_t i = 0; i < updates.size(); ++i) {
    ASSERT_EQ(page.rows[i].size(), 11u);
    EXPECT_EQ(page.rows[i][0], updates[i]->time);
    EXPECT_EQ(page.rows[i][2], updates[i]->port);
  }
  EXPECT_EQ(page.rows[0][3], HOSTILE_NAME_SHOWN + " (=HYPERLINK(\"http://x\",\"y\"),??line two)");
  EXPECT_EQ(page.rows[1][3], "Zone, 5 (Slate 8)");
  EXPECT_EQ(page.rows[1][8], "failed at records (code 3)");
  EXPECT_EQ(page.rows[1][10], "2 min 01 s");
  EXPECT_EQ(page.rows[2][8], "newer version found, left alone");
  EXPECT_EQ(page.rows[3][6], "?");
  // Failures and unverified updates stand out; a device left alone does not.
  EXPECT_EQ(page.row_class.at(failed.time), "failed");
  EXPECT_EQ(page.row_class.at(unverified.time), "unverified");
  EXPECT_EQ(page.row_class.at(newer.time), "alone");
  EXPECT_EQ(page.row_class.at(hostile.time), "good");
  // A duration bar in each row's last cell, and nowhere else.
  EXPECT_EQ(page.bars, updates.size());
  EXPECT_EQ(page.bars_in_place, updates.size());
  // The adapter's text as the port's title, still text.
  EXPECT_EQ(page.titles[0], "/dev/ttyUSB0, -2+3 <script>alert(1)</script>");
  // Three devices (the hostile name twice on COM3 is one), four updates.
  EXPECT_EQ(page.summary[0], "3devices");
  EXPECT_EQ(page.summary[1], "4updates");
  EXPECT_EQ(page.summary[2], "1verified");
  EXPECT_EQ(page.summary[3], "1not verified");
  EXPECT_EQ(page.summary[4], "1failed");
  EXPECT_EQ(page.summary[7], "1left alone");
  EXPECT_NE(html.text.text().find("2026-12-08T07:40:12Z to 2026-12-09T10:00:00Z"), std::string::npos);
  EXPECT_EQ(html.text.text().find("<script"), std::string::npos);
  std::remove(path.c_str());
}

TEST(SiteReport, AnEmptyOrMissingRecordIsStillAReport) {
  const std::string empty = temp_path("empty.jsonl");
  std::ofstream(empty, std::ios::binary) << "\n";
  const std::string missing = temp_path("missing.jsonl");
  std::remove(missing.c_str());
  for (const std::string& path : {empty, missing}) {
    SCOPED_TRACE(path);
    Report csv(path, HistoryFormat::CSV);
    EXPECT_TRUE(csv.ok);
    const Table rows = read_csv(csv.text.text());
    ASSERT_EQ(rows.size(), 1u) << "the header alone";
    EXPECT_EQ(rows[0][0], "time");

    Report html(path, HistoryFormat::HTML);
    EXPECT_TRUE(html.ok);
    const Page page = read_html(html.text.text());
    EXPECT_TRUE(page.rows.empty());
    EXPECT_EQ(page.elements.count("table"), 0u);
    ASSERT_FALSE(page.summary.empty());
    EXPECT_EQ(page.summary[1], "0updates");
    EXPECT_NE(html.text.text().find("</html>"), std::string::npos);
  }
  std::remove(empty.c_str());
}
