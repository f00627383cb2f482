// The lab's other outputs: the USBPcap capture, the PNG contact sheet, the
// report, the debug-text conversion and the descriptor printout.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "lab/contact_sheet.h"
#include "lab/pattern.h"
#include "lab/report.h"
#include "lab/text.h"
#include "lab/usbdesc.h"
#include "lab/usbpcap.h"
#include "lab/video.h"
#include "support/files.h"

using namespace vhublab;
using namespace labtest;

TEST(UsbPcap, GlobalHeaderAndRecordLayout) {
  TempDir dir;
  UsbPcapWriter w(dir.File("c.pcap"));
  UrbRecord iso;
  iso.timestamp_us = 3'000'123;
  iso.irp_id = 0x1122334455667788ull;
  iso.function = 0x000A;
  iso.completion = true;
  iso.device = 2;
  iso.endpoint = 0x82;
  iso.transfer = UsbTransfer::Isochronous;
  iso.start_frame = 480;
  iso.packets = {{0, 3072, 0}, {3072, 100, 0x80000000}};
  iso.data.assign(3172, 0xAB);
  w.Write(iso);
  UrbRecord setup;
  setup.function = 0x000B;
  setup.transfer = UsbTransfer::Control;
  setup.stage = ControlStage::Setup;
  setup.data = {0x80, 6, 0, 1, 0, 0, 18, 0};
  w.Write(setup);
  EXPECT_EQ(w.records(), 2u);
  w.Close();

  const std::string b = Slurp(dir.File("c.pcap"));
  ASSERT_GE(b.size(), 24u);
  EXPECT_EQ(Le32(b, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le16(b, 4), 2);
  EXPECT_EQ(Le16(b, 6), 4);
  EXPECT_EQ(Le32(b, 20), 249u);

  // Walk the records as a reader would.
  size_t at = 24;
  int records = 0;
  while (at + 16 <= b.size()) {
    const uint32_t incl = Le32(b, at + 8), orig = Le32(b, at + 12);
    EXPECT_EQ(incl, orig);
    const size_t h = at + 16;
    const uint16_t header_len = Le16(b, h);
    const uint32_t data_len = Le32(b, h + 23);
    EXPECT_EQ(header_len + data_len, incl);
    if (records == 0) {
      EXPECT_EQ(Le32(b, at), 3u);
      EXPECT_EQ(Le32(b, at + 4), 123u);
      EXPECT_EQ(header_len, 27 + 12 + 2 * 12);
      EXPECT_EQ(uint8_t(b[h + 16]), 1);     // info: completion
      EXPECT_EQ(uint8_t(b[h + 21]), 0x82);  // endpoint
      EXPECT_EQ(uint8_t(b[h + 22]), 0);     // isochronous
      EXPECT_EQ(data_len, 3172u);
      EXPECT_EQ(Le32(b, h + 27), 480u);     // start frame
      EXPECT_EQ(Le32(b, h + 31), 2u);       // packets
      EXPECT_EQ(Le32(b, h + 39 + 12 + 4), 100u);
      EXPECT_EQ(Le32(b, h + 39 + 12 + 8), 0x80000000u);
    } else {
      EXPECT_EQ(header_len, 28);
      EXPECT_EQ(uint8_t(b[h + 22]), 2);  // control
      EXPECT_EQ(uint8_t(b[h + 27]), 0);  // setup stage
      EXPECT_EQ(data_len, 8u);
    }
    at += 16 + incl;
    ++records;
  }
  EXPECT_EQ(records, 2);
  EXPECT_EQ(at, b.size());
}

TEST(ContactSheet, SamplesEvenlyAndWritesAReadablePng) {
  TempDir dir;
  ContactSheet sheet(12, 4, 4);
  const int w = 480, h = 360;
  for (uint32_t n = 0; n < 100; ++n) {
    auto f = PatternFrame(n, w, h);
    sheet.Offer(f.data(), w, h);
  }
  EXPECT_LE(sheet.kept(), 24);
  EXPECT_GE(sheet.kept(), 12);
  sheet.Write(dir.File("s.png"));

  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&img, dir.File("s.png").c_str())) << img.message;
  EXPECT_EQ(img.width, 4u * 120 + 5 * 4);
  EXPECT_EQ(img.height, 3u * 90 + 4 * 4);
  png_image_free(&img);

  ContactSheet empty;
  empty.Write(dir.File("e.png"));
  EXPECT_TRUE(std::filesystem::file_size(dir.File("e.png")) > 0);
  EXPECT_THROW(empty.Write(dir.File("no/such/dir/x.png")), LabError);
}

TEST(Report, SectionsAndFailures) {
  Report r;
  r.camera.frames_written = 150;
  r.camera.frames_delivered = 150;
  r.speaker.speaker_transfers_per_second = 100;
  auto j = r.ToJson();
  for (const char* section : {"camera", "microphone", "speaker", "system"}) EXPECT_TRUE(j.contains(section));
  EXPECT_EQ(j["camera"]["frames_written"], 150);
  EXPECT_TRUE(j["passed"].get<bool>());

  struct Case {
    const char* what;
    void (*spoil)(Report&);
  } cases[] = {
      {"corrupt", [](Report& x) { x.camera.frames_corrupt = 1; }},
      {"fid", [](Report& x) { x.camera.fid_errors = 1; }},
      {"mic", [](Report& x) { x.microphone.mic_mismatches = 1; }},
      {"leak", [](Report& x) { x.system.pool_bytes_leaked = 16; }},
      {"verifier", [](Report& x) { x.system.verifier_findings = 1; }},
      {"problem", [](Report& x) { x.problems.push_back("stage did not run"); }},
  };
  for (const Case& c : cases) {
    Report bad = r;
    c.spoil(bad);
    EXPECT_EQ(bad.Failures().size(), 1u) << c.what;
    EXPECT_FALSE(bad.ToJson()["passed"].get<bool>()) << c.what;
  }
  // Dropped frames alone are the driver's documented behaviour, not a failure.
  Report dropped = r;
  dropped.camera.frames_dropped = 10;
  EXPECT_TRUE(dropped.Failures().empty());
}

TEST(GbkText, ConvertsToUtf8AndReplacesBadBytes) {
  struct Case {
    std::string gbk, utf8;
  } cases[] = {
      {"plain ascii\n", "plain ascii\n"},
      {"Kelo\xA3\xBA" "Catch the exception\n", "Kelo\xEF\xBC\x9A" "Catch the exception\n"},  // full-width colon
      {"\xC4\xE3\xBA\xC3", "\xE4\xBD\xA0\xE5\xA5\xBD"},                                      // two characters
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},                                                    // not GBK
      {"end\xC4", "end\xEF\xBF\xBD"},                                                        // cut-off pair
  };
  for (const Case& c : cases) EXPECT_EQ(GbkToUtf8(c.gbk), c.utf8);
}

TEST(Descriptors, DecodesFieldsAndSurvivesMalformedSets) {
  DescriptorSet d;
  d.device = {18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x01, 0xFC, 0x01, 0xFD, 0, 0, 1, 2, 0, 1};
  d.config = {9, 2, 34, 0, 1, 1, 0, 0xC0, 1,
              9, 4, 1, 1, 1, 0x0E, 2, 0, 0,
              7, 5, 0x82, 5, 0x00, 0x0C, 1,
              6, 0x24, 0x0D, 1, 1, 4,
              3, 0x24, 0x01};
  d.strings[2] = "Tolvexa Camera";
  const std::string text = DecodeDescriptors(d);
  EXPECT_NE(text.find("idVendor               0xfc01"), std::string::npos) << text;
  EXPECT_NE(text.find("iProduct               2 Tolvexa Camera"), std::string::npos) << text;
  EXPECT_NE(text.find("2x 1024 bytes"), std::string::npos) << text;
  EXPECT_NE(text.find("COLORFORMAT"), std::string::npos) << text;

  // bLength 0, and one that runs past the end: reported, never followed.
  for (auto cfg : {std::vector<uint8_t>{9, 2, 20, 0, 1, 1, 0, 0x80, 50, 0, 4},
                   std::vector<uint8_t>{9, 2, 20, 0, 1, 1, 0, 0x80, 50, 40, 4, 0}}) {
    DescriptorSet bad = d;
    bad.config = cfg;
    EXPECT_NE(DecodeDescriptors(bad).find("malformed descriptor at offset 9"), std::string::npos);
  }
  EXPECT_EQ(HexDump({1, 2, 0xAB}), "0000: 01 02 ab\n");
}
