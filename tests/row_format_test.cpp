// The line format, byte for byte, through a real text-mode file stream.
#include <algorithm>
#include <cstring>

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
  static std::string Written(std::initializer_list<MIB_IPNETROW> rows) {
    std::FILE *file = std::fopen("rows.txt", "w");
    EXPECT_NE(file, nullptr);
    for (const MIB_IPNETROW &row : rows) {
      WriteIpNetRow(file, row);
    }
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

} // namespace
