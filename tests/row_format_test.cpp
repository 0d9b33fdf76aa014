// The line format, byte for byte, through a real text-mode file stream.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "arpexport.h"
#include "support.h"

namespace {

#ifdef _WIN32
constexpr char kLineEnd[] = "\r\n"; // text mode writes the platform's line end
#else
constexpr char kLineEnd[] = "\n";
#endif

MIB_IPNETROW Row(const char *address, std::initializer_list<BYTE> phys,
                 DWORD physLen = 6) {
  MIB_IPNETROW row{};
  row.dwAddr = inet_addr(address);
  row.dwPhysAddrLen = physLen;
  std::memset(row.bPhysAddr, 0xEE, sizeof row.bPhysAddr);
  std::copy(phys.begin(), phys.end(), row.bPhysAddr);
  return row;
}

class RowFormatTest : public ScratchDirTest {
protected:
  // The bytes that WriteIpNetRow leaves in a file for these rows.
  // With a buffer size, the stream gets a buffer of exactly that many bytes
  // in the given mode.
  static std::string Written(const std::vector<MIB_IPNETROW> &rows,
                             int mode = -1, std::size_t bufferSize = 0) {
    std::FILE *file = std::fopen("rows.txt", "w");
    EXPECT_NE(file, nullptr);
    std::vector<char> buffer(bufferSize);
    if (mode != -1) {
      EXPECT_EQ(std::setvbuf(file, bufferSize != 0 ? buffer.data() : nullptr,
                             mode, bufferSize),
                0);
    }
    flockfile(file);
    for (const MIB_IPNETROW &row : rows) {
      WriteIpNetRow(file, row);
    }
    funlockfile(file);
    EXPECT_EQ(std::fclose(file), 0);
    return ReadBytes("rows.txt");
  }
  static std::string Line(const std::string &text) { return text + kLineEnd; }
};

TEST_F(RowFormatTest, AddressAndSixLowerCaseHexPairs) {
  EXPECT_EQ(Written({Row("192.168.0.1", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})}),
            Line("192.168.0.1 - 00:1a:2b:3c:4d:5e"));
  EXPECT_EQ(Written({Row("10.0.0.1", {0x00, 0x0A, 0xFF, 0x0A, 0x00, 0xFF})}),
            Line("10.0.0.1 - 00:0a:ff:0a:00:ff"));
}

TEST_F(RowFormatTest, AddressesAtTheLimitsOfTheirLength) {
  EXPECT_EQ(Written({Row("255.255.255.255", {1, 2, 3, 4, 5, 6})}),
            Line("255.255.255.255 - 01:02:03:04:05:06"));
  EXPECT_EQ(Written({Row("0.0.0.0", {1, 2, 3, 4, 5, 6})}),
            Line("0.0.0.0 - 01:02:03:04:05:06"));
  EXPECT_EQ(Written({Row("1.20.100.9", {1, 2, 3, 4, 5, 6})}),
            Line("1.20.100.9 - 01:02:03:04:05:06"));
}

TEST_F(RowFormatTest, AlwaysSixBytesWhateverTheLengthSays) {
  // Bytes 7 and 8 hold 0xEE and must never appear.
  EXPECT_EQ(Written({Row("10.0.0.1", {}, 0)}),
            Line("10.0.0.1 - ee:ee:ee:ee:ee:ee"));
  EXPECT_EQ(Written({Row("10.0.0.1", {0, 0, 0, 0, 0, 0}, 0)}),
            Line("10.0.0.1 - 00:00:00:00:00:00"));
  EXPECT_EQ(Written({Row("10.0.0.1", {1, 2, 3, 4}, 4)}),
            Line("10.0.0.1 - 01:02:03:04:ee:ee"));
  EXPECT_EQ(Written({Row("10.0.0.1", {1, 2, 3, 4, 5, 6}, 8)}),
            Line("10.0.0.1 - 01:02:03:04:05:06"));
}

TEST_F(RowFormatTest, OnlyAddressAndBytesReachTheFile) {
  MIB_IPNETROW a = Row("10.0.0.1", {1, 2, 3, 4, 5, 6});
  MIB_IPNETROW b = a;
  b.dwIndex = 99;
  b.dwType = 2;
  EXPECT_EQ(Written({a, b}), Line("10.0.0.1 - 01:02:03:04:05:06") +
                                 Line("10.0.0.1 - 01:02:03:04:05:06"));
}

TEST_F(RowFormatTest, EveryByteAsItsTwoHexDigits) {
  std::vector<MIB_IPNETROW> rows;
  std::string expected;
  for (unsigned first = 0; first < 256; first += 6) {
    MIB_IPNETROW row = Row("10.0.0.1", {});
    char text[32];
    char *p = text;
    for (unsigned i = 0; i < 6; ++i) {
      row.bPhysAddr[i] = static_cast<BYTE>((first + i) % 256);
      p += std::snprintf(p, 4, i < 5 ? "%.2x:" : "%.2x", row.bPhysAddr[i]);
    }
    rows.push_back(row);
    expected += Line(std::string("10.0.0.1 - ") + text);
  }
  EXPECT_EQ(Written(rows), expected);
}

// Writes that fit the stream's buffer take a shortcut past the C library;
// the bytes must be the same wherever a line meets the end of the buffer,
// and with no buffer or a line buffer.
TEST_F(RowFormatTest, SameBytesWhereverTheStreamBufferEnds) {
  const std::initializer_list<BYTE> mac{0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
  const MIB_IPNETROW once[] = {Row("1.2.3.4", mac), Row("255.255.255.255", mac),
                               Row("10.20.30.40", mac),
                               Row("192.168.100.7", mac), Row("0.0.0.0", mac)};
  std::vector<MIB_IPNETROW> rows(std::begin(once), std::end(once));
  rows.insert(rows.end(), std::begin(once), std::end(once));
  const std::string expected = Written(rows);
  ASSERT_EQ(expected.rfind(Line("1.2.3.4 - de:ad:be:ef:00:01"), 0), 0U);
  for (std::size_t size : {2U, 3U, 7U, 18U, 19U, 35U, 64U, 4096U}) {
    EXPECT_EQ(Written(rows, _IOFBF, size), expected) << size;
  }
  EXPECT_EQ(Written(rows, _IOLBF, 64), expected);
  EXPECT_EQ(Written(rows, _IONBF), expected);
}

} // namespace
