// Pattern numbers from file names, form by form, with the conversion boundaries.
#include "pattern/pattern_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pattern/number_conversion.h"

namespace {

using pattern::ConvertDecimal;
using pattern::ConvertUnsigned;
using pattern::PatternNumberFromName;

struct NameCase {
  std::string name;
  std::uint32_t number;
};

void ExpectNumbers(const std::vector<NameCase>& cases) {
  for (const NameCase& c : cases) {
    EXPECT_EQ(PatternNumberFromName(c.name), c.number) << "name: \"" << c.name << "\"";
  }
}

TEST(PatternNumberFromName, DatedForm) {
  ExpectNumbers({
      {"C:\\defs\\20030214.012", 1350668},
      {"C:20030214.012", 1350668},
      {"\\\\server\\share\\20030214.012", 1350668},
      {"19980101.000", 16896},
      {"20030214.512", 1350656},  // the revision is taken modulo 512
      {"20030214.000", 1350656},
      {"19971231.001", 4294917633u},  // years before 1998 wrap in the top bits
      {"00000000.000", 3771203584u},
      {"20031399.999", 1558503},  // month and day are not range-tested; they spill upwards
      {"20261208.1023", 0},
      {"20030214.01", 0},
      {"20030214.1234", 0},
      {"2003021A.012", 0},
      {"20030214.01A", 0},
      {"20030214,012", 0},
      {"2003 214.012", 0},
      {"defs/20030214.012", 0},  // the forward slash does not separate
      {"a:b:20030214.012", 0},   // after the first colon, not the last
  });
}

TEST(PatternNumberFromName, LetteredForm) {
  ExpectNumbers({
      {"AV12AB.ZIP", 12582941},
      {"av12ab.zip", 12582941},
      {"QM12ABCD.X", 12604138},
      {"QM0312.ZIP", 327155712},  // no letters at the fifth character
      {"AV1AB.ZIP", 1048578},     // the letters start at the fifth character, "B"
      {"AV12.ZIP", 12582912},
      {"AV1ZZZZZZ.X", 15397482},          // a code of 2^20 or more carries into the number
      {"QMABCDEFGHIJ.X", 2941047540u},    // no digits; the code wraps modulo 2^32
      {"AV-1AB.ZIP", 4293918749u},        // a negative number wraps modulo 2^32
      {"AV123456789012.Z", 2705326080u},  // too long for 32 bits: its value modulo 2^32
      {"QM12ABCDEFGHIJKL.ZIP", 0},        // the dot lies past the first 15 characters
      {"AV1234567890123.Z", 0},           // the dot is the 16th character, the first not seen
      {"AV12AB", 0},                      // no dot at all
      // Stems shorter than four characters read the letters from the extension as it stands.
      {"AV.ZIP", 259},
      {"AV1.ZIP", 1067789},
      {"AV.zip", 0},
      {"AV.", 0},
  });
}

TEST(PatternNumberFromName, HexadecimalForm) {
  ExpectNumbers({
      {"vd1a2b3c.dat", 1715004},
      {"VD0X1F.X", 31},
      {"vd0x1f.x", 31},
      {"VD 1F.X", 31},
      {"VDFFFFFFFE.X", 4294967294u},
      {"VDFFFFFFFF.X", 4294967295u},
      {"VD100000000.X", 4294967295u},  // saturates
      {"VD123456789.X", 4294967295u},
      {"VD-1.X", 4294967295u},
      {"VD-0X10.X", 4294967280u},
      {"VD-123456789.X", 4294967295u},  // saturation wins over the sign
      {"VD.X", 0},
      {"VD0X.X", 0},
      {"VDG1.X", 0},
  });
}

TEST(PatternNumberFromName, SequenceForm) {
  ExpectNumbers({
      {"LPT$QMN.123", 123},
      {"lpt$qmn.0042", 42},
      {"C:\\q\\LPT$QMN.77", 77},
      {"LPT$QMNX.123", 0},  // the ninth character is the dot
      {"LPT$QMN.123.zip", 123},
      {"LPT$QMN.+7", 7},
      {"LPT$QMN.4294967294", 4294967294u},
      {"LPT$QMN.4294967295", 4294967295u},
      {"LPT$QMN.4294967296", 4294967295u},
      {"LPT$QMN.123456789012345", 4294967295u},
      {"LPT$QMN.18446744073709551617", 4294967295u},  // no wrap through a wider number
      {"LPT$QMN.-1", 4294967295u},
      {"LPT$QMN.-4294967296", 4294967295u},
      {"LPT$QMN.0", 0},
  });
}

TEST(PatternNumberFromName, NamesOfNoForm) {
  ExpectNumbers({
      {"", 0},
      {"noext", 0},
      {"*.dat", 0},
      {"C:\\defs\\", 0},
      {"readme.txt", 0},
      {std::string(10000, 'A') + ".ZIP", 0},
      {"\xff\xfe\x80.\x01", 0},
  });
}

TEST(PatternNumberFromName, PathsAndLengthDoNotChangeTheNumber) {
  const std::string longPath = "C:\\" + std::string(200, 'p') + "\\20030214.012";
  EXPECT_EQ(PatternNumberFromName(longPath), 1350668u);
  EXPECT_EQ(PatternNumberFromName("D:\\a:b\\AV12AB.ZIP"), 12582941u);
}

TEST(PatternNumberFromName, TextEndsAtItsFirstNul) {
  using namespace std::string_literals;
  EXPECT_EQ(PatternNumberFromName("19980101.000\0junk"s), 16896u);
  EXPECT_EQ(PatternNumberFromName("\0AV12AB.ZIP"s), 0u);
}

TEST(ConvertDecimal, BehavesLikeAtolWithThirtyTwoBits) {
  const struct {
    const char* text;
    std::uint32_t value;
  } cases[] = {
      {"", 0},
      {"-", 0},
      {"+-1", 0},
      {"12abc", 12},
      {"  +12", 12},
      {"\t\n\v\f\r7", 7},
      {"-5", 4294967291u},
      {"4294967295", 4294967295u},
      {"4294967296", 0},
      {"\xa0"
       "12",
       0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ConvertDecimal(c.text), c.value) << c.text;
}

TEST(ConvertUnsigned, SaturatesOnTheDigitsThemselves) {
  const struct {
    const char* text;
    int base;
    std::uint32_t value;
  } cases[] = {
      {"", 10, 0},
      {" 42x", 10, 42},
      {"4294967295", 10, 4294967295u},
      {"4294967296", 10, 4294967295u},
      {"18446744073709551616", 10, 4294967295u},
      {"-4294967295", 10, 1},
      {"-4294967296", 10, 4294967295u},
      {"0x", 16, 0},
      {"0xg", 16, 0},
      {"0x1f", 16, 31},
      {"1F", 16, 31},
      {"ffffffff", 16, 4294967295u},
      {"100000000", 16, 4294967295u},
      {"-0x1", 16, 4294967295u},
      {"0x1f", 10, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConvertUnsigned(c.text, c.base), c.value) << c.text << " base " << c.base;
  }
}

}  // namespace
