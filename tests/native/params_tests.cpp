// Parameter lookup, the parameter string the settings dialog writes, and the password
// codec. Standard Base64 results are checked against OpenSSL as an independent reference.
#include <gtest/gtest.h>
#include <iconv.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/AutomationError.h"
#include "params/Generic.h"
#include "params/base64.h"

using namespace std::string_literals;
using brennow::decodeToBytes;
using brennow::encodeBytes;
using brennow::getParam;

namespace {

const std::wstring kExample = L"#VSTP=VMWARE#USR=alice#PWD=#VMN=web01#VMS=on#";
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::wstring widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string opensslEncode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                     reinterpret_cast<const unsigned char *>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// EVP_DecodeBlock keeps the zero bytes that stand for padding; drop them again.
std::string opensslDecode(std::string_view text) {
  std::string out(3 * (text.size() / 4), '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                     reinterpret_cast<const unsigned char *>(text.data()),
                                     static_cast<int>(text.size()));
  EXPECT_GE(length, 0) << text;
  std::size_t padding = 0;
  for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it)
    ++padding;
  out.resize(static_cast<std::size_t>(length) - padding);
  return out;
}

// Deterministic byte strings of every length up to `maxLength`, with or without code 0.
std::vector<std::string> sampleByteStrings(std::size_t maxLength, bool allowZero) {
  std::vector<std::string> samples;
  std::uint32_t state = 12345;
  for (std::size_t length = 0; length <= maxLength; ++length) {
    for (int repeat = 0; repeat < 8; ++repeat) {
      std::string bytes(length, '\0');
      for (auto &b : bytes) {
        state = state * 1103515245u + 12345u;
        auto value = static_cast<unsigned char>(state >> 16);
        if (!allowZero && value == 0)
          value = 1;
        b = static_cast<char>(value);
      }
      samples.push_back(bytes);
    }
  }
  return samples;
}

// ---------------------------------------------------------------------------------------
// getParam

struct LookupCase {
  const char *name;
  std::wstring parameters;
  std::wstring key;
  bool quoted;
  std::wstring expected;
};

void PrintTo(const LookupCase &c, std::ostream *os) { *os << c.name; }

class GetParamTest : public testing::TestWithParam<LookupCase> {};

TEST_P(GetParamTest, ReturnsFieldValue) {
  const auto &c = GetParam();
  EXPECT_EQ(getParam(c.parameters, c.key, c.quoted), c.expected);
}

const LookupCase kLookupCases[] = {
    {"ExampleUser", kExample, L"USR", false, L"alice"},
    {"ExampleMachine", kExample, L"VMN", false, L"web01"},
    {"ExampleState", kExample, L"VMS", false, L"on"},
    {"ExampleFixedField", kExample, L"VSTP", false, L"VMWARE"},
    {"ExampleEmptyPassword", kExample, L"PWD", false, L""},
    {"LowerCaseKey", kExample, L"usr", false, L"alice"},
    {"MixedCaseKey", kExample, L"vMn", false, L"web01"},
    {"LowerCaseFieldKeepsValueCase", L"#usr=Alice#", L"USR", false, L"Alice"},
    {"ValueCaseKeptWhateverTheKeyCase", L"#Usr=MiXeD#", L"uSR", false, L"MiXeD"},
    {"KeyTrimmedOfSpaces", L"#PWD=YQ==#", L" PWD ", false, L"YQ=="},
    {"KeyNotTrimmedOfTabs", L"#PWD=YQ==#", L"\tPWD", false, L""},
    {"PrefixOfLongerKeyNotFound", kExample, L"VM", false, L""},
    {"AbsentKey", kExample, L"XYZ", false, L""},
    {"EmptyParameterString", L"", L"USR", false, L""},
    {"EmptyField", L"#USR=#", L"USR", false, L""},
    {"LastFieldWithoutClosingHash", L"#USR=a", L"USR", false, L"a"},
    {"FieldAtEndWithNoValue", L"#USR=", L"USR", false, L""},
    {"FirstOccurrenceWins", L"#USR=first#USR=second#", L"USR", false, L"first"},
    {"OccurrenceInsideEarlierValueWins", L"#USR=x#VMN=y#PWD=#VMN=web01#", L"VMN", false, L"y"},
    {"HashCutsValue", L"#VMN=a#b#VMS=on#", L"VMN", false, L"a"},
    {"SpacesInValueKept", L"#USR=  a b  #", L"USR", false, L"  a b  "},
    {"KeyContainingHash", L"#A#B=c#", L"A#B", false, L""},
    {"KeyThatIsOnlyHash", L"#USR=a#", L"#", false, L""},
    {"PlainValueStartingWithQuoteKeepsIt", L"#USR=\"ab\"#", L"USR", false, L"\"ab\""},
    {"QuotedValueMayHoldHash", L"#USR=\"a#b\"#", L"USR", true, L"a#b"},
    {"QuotedFieldReadPlain", L"#USR=\"a#b\"#", L"USR", false, L"\"a"},
    {"QuotedFieldWithoutClosingHash", L"#USR=\"ab\"", L"USR", true, L"ab\""},
    {"QuotedOpeningQuoteIsNotAClosingOne", L"#USR=\"#", L"USR", true, L"#"},
    {"QuotedEmptyValue", L"#USR=\"\"#", L"USR", true, L""},
    {"QuotedValueEndsAtFirstQuoteHash", L"#USR=\"a\"#b\"#", L"USR", true, L"a"},
    {"QuotedLookupOfPlainField", L"#USR=a#", L"USR", true, L""},
    {"QuotedLookupOfLowerCaseField", L"#usr=\"Ab\"#", L"Usr", true, L"Ab"},
};

INSTANTIATE_TEST_SUITE_P(Lookup, GetParamTest, testing::ValuesIn(kLookupCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(GetParam, UpperCasesAsciiLetters) {
  for (wchar_t c = L'a'; c <= L'z'; ++c)
    EXPECT_EQ(brennow::upperChar(c), c - L'a' + L'A');
  EXPECT_EQ(brennow::upperChar(L'#'), L'#');
  EXPECT_EQ(brennow::upperChar(L'='), L'=');
  EXPECT_EQ(brennow::upperChar(L'"'), L'"');
}

// The lookup upper-cases with the platform's own mapping: towupper here, CharUpperBuffW in
// the DLL. The two agree on ASCII letters (above) but not beyond (Wine and glibc follow
// different Unicode versions and locales), and they need not: hosts store ASCII keys, and
// a non-ASCII key matches as the system the component runs on upper-cases it. What the
// lookup itself relies on holds for every character on both: no character becomes, or
// stops being, one of the separators.
TEST(GetParam, UpperCasingNeverMakesOrUnmakesASeparator) {
  for (wchar_t c = 1; c < 0xFFFF; ++c) {
    for (const wchar_t separator : {L'#', L'=', L'"'}) {
      if ((c == separator) != (brennow::upperChar(c) == separator))
        ADD_FAILURE() << "character " << static_cast<unsigned>(c);
    }
  }
}

// Odd keys and strings made only of the separators must neither fail nor read past the end.
TEST(GetParam, SeparatorOnlyInputsGiveSubstrings) {
  const std::wstring texts[] = {L"", L"#", L"=", L"\"", L"#=", L"#=#", L"##==", L"#\"#", L"#=\""};
  for (const auto &parameters : texts) {
    for (const auto &key : texts) {
      for (const bool quoted : {false, true}) {
        const auto value = getParam(parameters, key, quoted);
        EXPECT_NE(parameters.find(value), std::wstring::npos)
            << "parameters size " << parameters.size() << ", key size " << key.size();
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// The parameter string the settings dialog writes

TEST(BuildParameterString, WritesTheFiveFieldsInOrder) {
  EXPECT_EQ(brennow::buildParameterString({L"alice", L"", L"web01", L"on"}), kExample);
}

TEST(BuildParameterString, TrimsSpacesOnlyAndKeepsThePasswordAsGiven) {
  const auto parameters =
      brennow::buildParameterString({L"  alice ", L" YQ== ", L"\tweb01 ", L" on\t "});
  EXPECT_EQ(getParam(parameters, L"USR"), L"alice");
  EXPECT_EQ(getParam(parameters, L"PWD"), L" YQ== ");
  EXPECT_EQ(getParam(parameters, L"VMN"), L"\tweb01");
  EXPECT_EQ(getParam(parameters, L"VMS"), L"on\t");
  EXPECT_EQ(getParam(parameters, L"VSTP"), L"VMWARE");
}

TEST(BuildParameterString, HashInUserNameShadowsLaterFields) {
  const auto parameters = brennow::buildParameterString({L"x#VMN=y", L"", L"web01", L"on"});
  EXPECT_EQ(getParam(parameters, L"USR"), L"x");
  EXPECT_EQ(getParam(parameters, L"VMN"), L"y");
}

TEST(BuildParameterString, HashInMachineNameCutsIt) {
  const auto parameters = brennow::buildParameterString({L"u", L"", L"a#b", L"on"});
  EXPECT_EQ(getParam(parameters, L"VMN"), L"a");
  EXPECT_EQ(getParam(parameters, L"VMS"), L"on");
}

TEST(BuildParameterString, EncodedPasswordReadsBackWhole) {
  const auto &codePage = brennow::windows1252();
  for (const std::wstring password : {L"", L"a", L"s3cr#t pw", L"  spaced  ", L"\u20ACuro\u00FF"}) {
    const auto parameters = brennow::buildParameterString(
        {L"user", brennow::base64Encode(password, codePage), L"vm", L"off"});
    EXPECT_EQ(brennow::base64Decode(getParam(parameters, L"PWD"), codePage), password);
  }
}

TEST(NewParameter, HasNoValueUntilSetAndIsPerThread) {
  std::optional<std::wstring> seenByOtherThread = L"unset";
  std::thread([&] { seenByOtherThread = brennow::newParameter(); }).join();
  EXPECT_FALSE(seenByOtherThread.has_value());

  brennow::newParameter() = kExample;
  EXPECT_EQ(brennow::newParameter(), kExample);
  std::thread([&] { seenByOtherThread = brennow::newParameter(); }).join();
  EXPECT_FALSE(seenByOtherThread.has_value());

  brennow::newParameter().reset();
}

// ---------------------------------------------------------------------------------------
// Encoding

struct EncodeCase {
  const char *name;
  std::string bytes;
  std::string expected;
};

void PrintTo(const EncodeCase &c, std::ostream *os) { *os << c.name; }

class EncodeTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, Encodes) { EXPECT_EQ(encodeBytes(GetParam().bytes), GetParam().expected); }

const EncodeCase kEncodeCases[] = {
    {"Empty", "", ""},
    {"OneByte", "a", "YQ=="},
    {"TwoBytes", "ab", "YWI="},
    {"ThreeBytes", "abc", "YWJj"},
    {"FourBytes", "abcd", "YWJjZA=="},
    {"ZeroSecondPadsThird", "a\0b"s, "YQ=i"},
    {"ZeroThirdLikeMissing", "ab\0"s, "YWI="},
    {"TwoZerosLikeMissing", "a\0\0"s, "YQ=="},
    {"ZeroAloneLikeMissing", "a\0"s, "YQ=="},
};

INSTANTIATE_TEST_SUITE_P(Codec, EncodeTest, testing::ValuesIn(kEncodeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Encode, MatchesStandardBase64WithoutCodeZero) {
  for (const auto &bytes : sampleByteStrings(40, false))
    ASSERT_EQ(encodeBytes(bytes), opensslEncode(bytes));
}

TEST(Encode, CodeZeroFirstInGroupIsStandard) {
  for (int b = 1; b < 256; ++b) {
    const std::string bytes = "\0"s + static_cast<char>(b) + static_cast<char>(b);
    ASSERT_EQ(encodeBytes(bytes), opensslEncode(bytes)) << b;
  }
}

TEST(Encode, CodeZeroSecondKeepsLowBitsOfThird) {
  for (int third = 1; third < 256; ++third) {
    const auto encoded = encodeBytes("a\0"s + static_cast<char>(third));
    ASSERT_EQ(encoded.substr(0, 3), "YQ=");
    EXPECT_EQ(encoded[3], kAlphabet[static_cast<std::size_t>(third & 63)]) << third;
  }
}

TEST(Encode, OutputIsFourCharactersPerGroupFromTheAlphabet) {
  for (const auto &bytes : sampleByteStrings(20, true)) {
    const auto encoded = encodeBytes(bytes);
    ASSERT_EQ(encoded.size(), 4 * ((bytes.size() + 2) / 3));
    EXPECT_EQ(encoded.find_first_not_of(std::string(kAlphabet) + "="), std::string::npos);
    EXPECT_EQ(encoded.find('#'), std::string::npos);
  }
}

// ---------------------------------------------------------------------------------------
// Decoding

struct DecodeCase {
  const char *name;
  std::wstring text;
  std::string expected;
};

void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.name; }

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, Decodes) { EXPECT_EQ(decodeToBytes(GetParam().text), GetParam().expected); }

const DecodeCase kDecodeCases[] = {
    {"Empty", L"", ""},
    {"OneByte", L"YQ==", "a"},
    {"TwoBytes", L"YWI=", "ab"},
    {"ThreeBytes", L"YWJj", "abc"},
    {"FourBytes", L"YWJjZA==", "abcd"},
    {"CodeZeroSecondEncoded", L"YQ=i", "a"},
    {"UnpaddedTwo", L"YWJ", "ab"},
    {"UnpaddedOne", L"YW", "a"},
    {"LoneCharacter", L"Y", ""},
    {"EqualsSecondEndsGroup", L"Y=Jj", ""},
    {"EqualsEndsGroupNotText", L"YQ=iYWJj", "aabc"},
    {"OutsideAlphabetIsA", L"!!!!", "\0\0\0"s},
    {"NonAsciiIsA", L"\u0159\u0157\u014A\u016A", "\0\0\0"s},
};

INSTANTIATE_TEST_SUITE_P(Codec, DecodeTest, testing::ValuesIn(kDecodeCases),
                         [](const auto &info) { return std::string(info.param.name); });

class DecodeFailureTest : public testing::TestWithParam<std::wstring> {};

TEST_P(DecodeFailureTest, GroupStartingWithEqualsIsRunTimeError5) {
  try {
    decodeToBytes(GetParam());
    FAIL() << "no error";
  } catch (const brennow::AutomationError &error) {
    EXPECT_EQ(static_cast<std::uint32_t>(error.hresult()), 0x800A0005u);
    EXPECT_EQ(error.description(), L"Invalid procedure call or argument");
  }
}

INSTANTIATE_TEST_SUITE_P(Codec, DecodeFailureTest,
                         testing::Values(L"=AAA", L"====", L"=", L"YWJj=", L"YWJj====",
                                         L"YWJj\r\nZA==", L"YWJj\nZA==", L"=YWJ"));

TEST(Decode, IsCaseSensitive) {
  const auto decoded = decodeToBytes(L"ywjj");
  EXPECT_EQ(decoded.size(), 3u);
  EXPECT_NE(decoded, "abc");
  EXPECT_EQ(decoded, opensslDecode("ywjj"));
}

TEST(Decode, MatchesStandardBase64OnStandardInput) {
  for (const auto &bytes : sampleByteStrings(40, true)) {
    const auto encoded = opensslEncode(bytes);
    ASSERT_EQ(decodeToBytes(widen(encoded)), bytes) << encoded;
  }
}

bool inAlphabet(std::uint32_t code) {
  return code == '=' ||
         (code < 128 && kAlphabet.find(static_cast<char>(code)) != std::string::npos);
}

TEST(Decode, EveryCharacterOutsideTheAlphabetCountsAsA) {
  std::vector<std::uint32_t> codes;
  for (std::uint32_t code = 0; code <= 0xFFFF; ++code)
    codes.push_back(code);
  if constexpr (sizeof(wchar_t) == 4) {
    // Characters whose low bits spell alphabet letters must not be taken for them.
    for (const std::uint32_t code : {0x10041u, 0x10059u, 0x1F600u, 0x10FFFFu, 0xFFFFFFFFu})
      codes.push_back(code);
  }
  for (const auto code : codes) {
    if (inAlphabet(code))
      continue;
    const auto c = static_cast<wchar_t>(code);
    ASSERT_EQ(decodeToBytes(std::wstring(4, c)), "\0\0\0"s) << code;
    // In a group with letters, it stands for "A" in its place.
    ASSERT_EQ(decodeToBytes(std::wstring{L'Y', c, L'Q', L'='}), decodeToBytes(L"YAQ=")) << code;
  }
}

// ---------------------------------------------------------------------------------------
// Round trip over every byte value in every place of a group

TEST(RoundTrip, EveryByteValueInEveryPlace) {
  for (int value = 0; value < 256; ++value) {
    for (std::size_t place = 0; place < 3; ++place) {
      std::string group = "xyz";
      group[place] = static_cast<char>(value);
      // Code 0 in the second or third place ends the group's output there.
      const std::size_t kept = value == 0 && place > 0 ? place : 3;
      EXPECT_EQ(decodeToBytes(widen(encodeBytes(group))), group.substr(0, kept))
          << "value " << value << " place " << place;
      EXPECT_EQ(decodeToBytes(widen(encodeBytes(group.substr(0, place + 1)))),
                group.substr(0, std::min(kept, place + 1)))
          << "value " << value << " place " << place << " at end";
    }
  }
}

TEST(RoundTrip, ByteStringsWithoutCodeZero) {
  for (const auto &bytes : sampleByteStrings(40, false))
    ASSERT_EQ(decodeToBytes(widen(encodeBytes(bytes))), bytes);
}

// ---------------------------------------------------------------------------------------
// Windows-1252 and the text codec over it

std::string allBytes() {
  std::string bytes(256, '\0');
  for (int b = 0; b < 256; ++b)
    bytes[static_cast<std::size_t>(b)] = static_cast<char>(b);
  return bytes;
}

TEST(Windows1252, EveryByteRoundTripsThroughADistinctCharacter) {
  const auto &codePage = brennow::windows1252();
  const auto text = codePage.fromBytes(allBytes());
  ASSERT_EQ(text.size(), 256u);
  EXPECT_EQ(codePage.toBytes(text), allBytes());
  EXPECT_TRUE(codePage.canRepresent(text));
  EXPECT_EQ(std::set<wchar_t>(text.begin(), text.end()).size(), 256u);
}

// The C library's converter as a reference. It treats the five bytes that Windows-1252
// leaves undefined as invalid; Windows maps them to the control characters of the same code.
std::optional<wchar_t> referenceWindows1252(unsigned char byte) {
  const iconv_t converter = iconv_open("WCHAR_T", "WINDOWS-1252");
  EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));
  char in = static_cast<char>(byte);
  wchar_t out = 0;
  char *inPointer = &in;
  auto *outPointer = reinterpret_cast<char *>(&out);
  std::size_t inLeft = 1;
  std::size_t outLeft = sizeof out;
  const auto result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1))
    return std::nullopt;
  return out;
}

TEST(Windows1252, MatchesTheReferenceTable) {
  const auto &codePage = brennow::windows1252();
  const std::set<int> undefined = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
  for (int byte = 0; byte < 256; ++byte) {
    const auto reference = referenceWindows1252(static_cast<unsigned char>(byte));
    const wchar_t expected = reference.value_or(static_cast<wchar_t>(byte));
    EXPECT_EQ(reference.has_value(), !undefined.contains(byte)) << byte;
    EXPECT_EQ(codePage.fromBytes(std::string(1, static_cast<char>(byte))),
              std::wstring(1, expected))
        << byte;
  }
}

struct MappingCase {
  unsigned char byte;
  wchar_t character;
};

void PrintTo(const MappingCase &c, std::ostream *os) {
  *os << "byte " << int(c.byte) << " U+" << std::hex << int(c.character);
}

class Windows1252MappingTest : public testing::TestWithParam<MappingCase> {};

TEST_P(Windows1252MappingTest, MapsBothWays) {
  const auto &codePage = brennow::windows1252();
  const std::string byte(1, static_cast<char>(GetParam().byte));
  const std::wstring character(1, GetParam().character);
  EXPECT_EQ(codePage.fromBytes(byte), character);
  EXPECT_EQ(codePage.toBytes(character), byte);
}

INSTANTIATE_TEST_SUITE_P(Table, Windows1252MappingTest,
                         testing::Values(MappingCase{0x41, L'A'}, MappingCase{0x7F, 0x7F},
                                         MappingCase{0x80, 0x20AC}, MappingCase{0x81, 0x0081},
                                         MappingCase{0x8A, 0x0160}, MappingCase{0x8D, 0x008D},
                                         MappingCase{0x8F, 0x008F}, MappingCase{0x90, 0x0090},
                                         MappingCase{0x92, 0x2019}, MappingCase{0x9D, 0x009D},
                                         MappingCase{0x9F, 0x0178}, MappingCase{0xA0, 0x00A0},
                                         MappingCase{0xE9, 0x00E9}, MappingCase{0xFF, 0x00FF}));

TEST(Windows1252, UnmappedCharactersBecomeQuestionMarks) {
  const auto &codePage = brennow::windows1252();
  for (const wchar_t c : {wchar_t(0x0080), wchar_t(0x0085), wchar_t(0x009F), wchar_t(0x0100),
                          wchar_t(0x03A9), wchar_t(0x20AD), wchar_t(0xFFFF)}) {
    const std::wstring text = {L'a', c, L'b'};
    EXPECT_EQ(codePage.toBytes(text), "a?b") << int(c);
    EXPECT_FALSE(codePage.canRepresent(text)) << int(c);
  }
  EXPECT_TRUE(codePage.canRepresent(L""));
}

TEST(TextCodec, EncodesCodePageBytes) {
  const auto &codePage = brennow::windows1252();
  const std::wstring text = L"\u20ACa\u00E9\u0178";
  EXPECT_EQ(brennow::base64Encode(text, codePage), widen(opensslEncode("\x80"s + "a\xE9\x9F")));
  EXPECT_EQ(brennow::base64Decode(brennow::base64Encode(text, codePage), codePage), text);
}

TEST(TextCodec, EveryCharacterOfTheCodePageExceptCodeZeroRoundTrips) {
  const auto &codePage = brennow::windows1252();
  const auto text = codePage.fromBytes(allBytes().substr(1));
  EXPECT_EQ(brennow::base64Decode(brennow::base64Encode(text, codePage), codePage), text);
}

TEST(TextCodec, DecodeErrorReachesTheCaller) {
  EXPECT_THROW(brennow::base64Decode(L"====", brennow::windows1252()), brennow::AutomationError);
}

} // namespace
