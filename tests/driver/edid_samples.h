// Real-looking EDIDs for the tests of the edid file: a base block describing a 1080p60 monitor
// and a CTA-861 extension block, each with a correct checksum unless a test breaks it.
#pragma once

#include <array>
#include <cstdint>
#include <numeric>
#include <string>

namespace edid_samples {

using Edid = std::array<uint8_t, 256>;

inline void fix_checksum(Edid& e, int block) {
  int base = block * 128;
  unsigned sum = std::accumulate(e.begin() + base, e.begin() + base + 127, 0u);
  e[base + 127] = static_cast<uint8_t>((256 - (sum & 0xFF)) & 0xFF);
}

// A detailed timing descriptor for a mode given by its pixel clock (10 kHz units) and timings.
inline void put_dtd(uint8_t* d, int clock_10khz, int hactive, int hblank, int vactive, int vblank,
                    int hsync_off, int hsync_w, int vsync_off, int vsync_w) {
  d[0] = clock_10khz & 0xFF;
  d[1] = clock_10khz >> 8;
  d[2] = hactive & 0xFF;
  d[3] = hblank & 0xFF;
  d[4] = static_cast<uint8_t>(((hactive >> 8) << 4) | (hblank >> 8));
  d[5] = vactive & 0xFF;
  d[6] = vblank & 0xFF;
  d[7] = static_cast<uint8_t>(((vactive >> 8) << 4) | (vblank >> 8));
  d[8] = hsync_off & 0xFF;
  d[9] = hsync_w & 0xFF;
  d[10] = static_cast<uint8_t>(((vsync_off & 0xF) << 4) | (vsync_w & 0xF));
  d[11] = static_cast<uint8_t>(((hsync_off >> 8) << 6) | ((hsync_w >> 8) << 4) |
                               ((vsync_off >> 4) << 2) | (vsync_w >> 4));
  d[12] = 0x40;  // image size 576 mm x 324 mm
  d[13] = 0x44;
  d[14] = 0x21;
  d[15] = 0;
  d[16] = 0;
  d[17] = 0x1E;  // digital separate sync, both positive
}

inline void put_name(uint8_t* d, const std::string& name) {
  d[0] = d[1] = d[2] = 0;
  d[3] = 0xFC;  // monitor name
  d[4] = 0;
  for (int i = 0; i < 13; i++) {
    if (i < static_cast<int>(name.size()))
      d[5 + i] = static_cast<uint8_t>(name[i]);
    else
      d[5 + i] = i == static_cast<int>(name.size()) ? 0x0A : 0x20;
  }
}

inline void put_range_limits(uint8_t* d) {
  d[0] = d[1] = d[2] = 0;
  d[3] = 0xFD;
  d[4] = 0;
  d[5] = 24;  // min vertical Hz
  d[6] = 75;  // max vertical Hz
  d[7] = 15;  // min horizontal kHz
  d[8] = 84;  // max horizontal kHz
  d[9] = 16;  // max pixel clock / 10 MHz
  d[10] = 0;  // default GTF
  d[11] = 0x0A;
  for (int i = 12; i < 18; i++) d[i] = 0x20;
}

// A 1920x1080@60 monitor with one CTA-861 extension listing VIC 16 (1080p60), 4 (720p60) and
// 2 (480p), basic audio and an HDMI vendor block.
inline Edid monitor_1080p(const std::string& name = "VXM Monitor") {
  Edid e{};
  const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::copy(header, header + 8, e.begin());
  e[8] = 0x5A;  // manufacturer "VXM"
  e[9] = 0xED;
  e[10] = 0x34;  // product code
  e[11] = 0x12;
  e[12] = 1;   // serial
  e[16] = 10;  // week
  e[17] = 30;  // year 2020
  e[18] = 1;   // EDID 1.3
  e[19] = 3;
  e[20] = 0x80;  // digital input
  e[21] = 53;    // 53 cm x 30 cm
  e[22] = 30;
  e[23] = 120;   // gamma 2.2
  e[24] = 0x0A;  // RGB colour, preferred timing is native
  // Chromaticity (sRGB-like).
  const uint8_t chroma[10] = {0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54};
  std::copy(chroma, chroma + 10, e.begin() + 25);
  e[35] = 0x21;  // established timings: 640x480@60, 800x600@60
  e[36] = 0x08;
  e[37] = 0x00;
  // Standard timings: 1920x1080@60, 1280x720@60, the rest unused.
  e[38] = (1920 / 8) - 31;
  e[39] = 0xC0;
  e[40] = (1280 / 8) - 31;
  e[41] = 0xC0;
  for (int i = 42; i < 54; i++) e[i] = 0x01;
  put_dtd(&e[54], 14850, 1920, 280, 1080, 45, 88, 44, 4, 5);
  put_range_limits(&e[72]);
  put_name(&e[90], name);
  // An unused descriptor (dummy).
  e[108] = e[109] = e[110] = 0;
  e[111] = 0x10;
  e[126] = 1;  // one extension
  fix_checksum(e, 0);

  uint8_t* c = &e[128];
  c[0] = 0x02;         // CTA-861 extension
  c[1] = 0x03;         // revision 3
  c[3] = 0x40 | 0x01;  // basic audio, one native DTD
  int p = 4;
  // Video data block: VIC 16 (native), 4, 2.
  c[p++] = (2 << 5) | 3;
  c[p++] = 0x80 | 16;
  c[p++] = 4;
  c[p++] = 2;
  // Audio data block: LPCM 2 channels, 32/44.1/48 kHz, 16/20/24 bit.
  c[p++] = (1 << 5) | 3;
  c[p++] = 0x09;
  c[p++] = 0x07;
  c[p++] = 0x07;
  // Speaker allocation: front left/right.
  c[p++] = (4 << 5) | 3;
  c[p++] = 0x01;
  c[p++] = 0x00;
  c[p++] = 0x00;
  // HDMI vendor-specific block (IEEE OUI 00-0C-03), physical address 1.0.0.0.
  c[p++] = (3 << 5) | 5;
  c[p++] = 0x03;
  c[p++] = 0x0C;
  c[p++] = 0x00;
  c[p++] = 0x10;
  c[p++] = 0x00;
  c[2] = static_cast<uint8_t>(p);  // detailed timings start here
  put_dtd(&c[p], 7425, 1280, 370, 720, 30, 110, 40, 5, 5);
  fix_checksum(e, 1);
  return e;
}

}  // namespace edid_samples
