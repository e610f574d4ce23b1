#include <gtest/gtest.h>

#include "sign_options.h"

namespace vellumark::sign {
namespace {

TEST(SignOptions, DocumentWithEveryOptionInBothForms) {
  ParseResult r = parseOptions({"in.pdf", "-o", "out.pdf", "--cert=Ada Lovelace", "--key-id",
                                "AB:cd:01", "--reason", "Approved", "--location=Bern", "--contact",
                                "", "--page", "3", "--tsa=https://tsa.test/"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.input, "in.pdf");
  EXPECT_EQ(r.options.output, "out.pdf");
  EXPECT_EQ(r.options.certText, "Ada Lovelace");
  EXPECT_EQ(r.options.keyIdHex, "abcd01");
  EXPECT_EQ(r.options.reason, "Approved");
  EXPECT_EQ(r.options.location, "Bern");
  EXPECT_EQ(r.options.contact, "");
  EXPECT_EQ(r.options.page, 3);
  EXPECT_EQ(r.options.tsaUrl, "https://tsa.test/");
}

TEST(SignOptions, DefaultOutputSitsBesideTheInput) {
  EXPECT_EQ(parseOptions({"dir/Report.PDF"}).options.output, "dir/Report-signed.pdf");
  EXPECT_EQ(defaultOutputPath("notes"), "notes-signed.pdf");
  EXPECT_EQ(defaultOutputPath(".pdf"), ".pdf-signed.pdf");
  // A document named like an option, after "--".
  EXPECT_EQ(parseOptions({"--", "-x.pdf"}).options.input, "-x.pdf");
}

TEST(SignOptions, BadCommandLinesSayWhatIsWrong) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no document given"},
      {{"a.pdf", "b.pdf"}, "one document at a time"},
      {{"a.pdf", "--page", "0"}, "--page needs a page number"},
      {{"a.pdf", "--page", "2x"}, "--page needs a page number"},
      {{"a.pdf", "--key-id", "abc"}, "--key-id needs hexadecimal"},
      {{"a.pdf", "--key-id", "zz"}, "--key-id needs hexadecimal"},
      {{"a.pdf", "--cert"}, "--cert needs a value"},
      {{"a.pdf", "--cert="}, "--cert needs a non-empty text"},
      {{"a.pdf", "--tsa", "ftp://x"}, "--tsa needs an http"},
      {{"a.pdf", "--list=yes"}, "--list takes no value"},
      {{"a.pdf", "-o", ""}, "--output needs a file name"},
      {{"--list", "a.pdf"}, "--list takes no document"},
      {{"a.pdf", "--frobnicate"}, "unknown option: --frobnicate"},
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_NE(parseOptions(args).error.find(expected), std::string::npos)
        << parseOptions(args).error;
  }
}

TEST(SignOptions, HelpVersionAndListNeedNoDocument) {
  EXPECT_TRUE(parseOptions({"--help"}).options.help);
  EXPECT_TRUE(parseOptions({"--version"}).options.version);
  ParseResult list = parseOptions({"--list"});
  EXPECT_EQ(list.error, "");
  EXPECT_TRUE(list.options.list);
}

}  // namespace
}  // namespace vellumark::sign
