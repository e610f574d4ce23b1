// The incremental update read back with libqpdf: structure, byte range,
// refusals. Signature validity itself is checked end to end (pdfsig).
#include "pdf_update.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>
#include <sstream>

#include "cms_signature.h"
#include "output_file.h"

namespace vellumark::sign {
namespace {

namespace fs = std::filesystem;

// A PDF from object bodies with exact offsets; objects numbered from 1.
std::string makePdf(const std::vector<std::string>& objects, const std::string& extraTrailer = "") {
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t o : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R" + extraTrailer +
         " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

const std::vector<std::string> kTwoPages = {
    "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots 5 0 R >>", "[]"};

class PdfUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vellumark-sign-unit.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Signs `in` structurally (the hole holds a fake CMS) and opens the result.
  std::string update(const fs::path& in, SignatureFields fields, SignatureUpdate* out = nullptr) {
    fields.signingTime = pdfDate(0);
    fields.contentsSize = 64;
    SignatureUpdate u = prepareSignatureUpdate(in.string(), fields);
    std::string whole = read(in) + u.bytes;
    if (out) *out = u;
    return whole;
  }

  // QPDF reads `bytes` in place for as long as `pdf` lives.
  static void openStrict(QPDF& pdf, const std::string& bytes) {
    pdf.setAttemptRecovery(false);
    pdf.setSuppressWarnings(true);
    pdf.processMemoryFile("signed", bytes.data(), bytes.size());
  }

  fs::path dir_;
};

TEST_F(PdfUpdateTest, ClassicFileGainsFormFieldWidgetAndExactByteRange) {
  const std::string original = makePdf(kTwoPages, " /ID [<00112233> <44556677>]");
  fs::path in = write("in.pdf", original);
  SignatureUpdate u;
  SignatureFields fields;
  fields.page = 2;
  fields.reason = "Approved (final)";
  fields.location = "Zürich";
  const std::string signedPdf = update(in, fields, &u);

  ASSERT_EQ(signedPdf.compare(0, original.size(), original), 0) << "original bytes changed";
  // The hole is exactly the hex string with its delimiters.
  EXPECT_EQ(u.byteRange[0], 0u);
  EXPECT_EQ(signedPdf[u.byteRange[1]], '<');
  EXPECT_EQ(signedPdf[u.byteRange[2] - 1], '>');
  EXPECT_EQ(u.byteRange[2] + u.byteRange[3], signedPdf.size());
  EXPECT_EQ(u.byteRange[2] - u.byteRange[1], 2 * 64 + 2);

  QPDF pdf;
  openStrict(pdf, signedPdf);
  QPDFObjectHandle acro = pdf.getRoot().getKey("/AcroForm");
  EXPECT_EQ(acro.getKey("/SigFlags").getIntValue(), 3);
  ASSERT_EQ(acro.getKey("/Fields").getArrayNItems(), 1);
  QPDFObjectHandle field = acro.getKey("/Fields").getArrayItem(0);
  EXPECT_EQ(field.getKey("/T").getUTF8Value(), "Signature1");
  EXPECT_EQ(field.getKey("/FT").getName(), "/Sig");
  QPDFObjectHandle sig = field.getKey("/V");
  EXPECT_EQ(sig.getKey("/SubFilter").getName(), "/ETSI.CAdES.detached");
  EXPECT_EQ(sig.getKey("/Reason").getUTF8Value(), "Approved (final)");
  EXPECT_EQ(sig.getKey("/Location").getUTF8Value(), "Zürich");
  EXPECT_FALSE(sig.hasKey("/ContactInfo"));
  std::vector<QPDFObjectHandle> range = sig.getKey("/ByteRange").getArrayAsVector();
  ASSERT_EQ(range.size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(static_cast<uint64_t>(range[i].getIntValue()), u.byteRange[i]);
  // The widget is on page 2, whose /Annots was an indirect (empty) array.
  std::vector<QPDFObjectHandle> pages = pdf.getAllPages();
  QPDFObjectHandle page2 = pages.at(1);
  EXPECT_EQ(field.getKey("/P").getObjGen(), page2.getObjGen());
  ASSERT_EQ(page2.getKey("/Annots").getArrayNItems(), 1);
  EXPECT_EQ(page2.getKey("/Annots").getArrayItem(0).getObjGen(), field.getObjGen());
  EXPECT_FALSE(pages.at(0).hasKey("/Annots"));
  // The ID keeps its first half; the update points back to the original xref.
  EXPECT_EQ(pdf.getTrailer().getKey("/ID").getArrayItem(0).getStringValue(),
            std::string("\x00\x11\x22\x33", 4));
  EXPECT_FALSE(pdf.anyWarnings());
}

TEST_F(PdfUpdateTest, SecondSignatureExtendsTheFormAndGetsAFreshName) {
  fs::path in = write("in.pdf", makePdf(kTwoPages));
  fs::path once = write("once.pdf", update(in, {}));
  const std::string twice = update(once, {});
  QPDF pdf;
  openStrict(pdf, twice);
  QPDFObjectHandle fields = pdf.getRoot().getKey("/AcroForm").getKey("/Fields");
  ASSERT_EQ(fields.getArrayNItems(), 2);
  EXPECT_EQ(fields.getArrayItem(1).getKey("/T").getUTF8Value(), "Signature2");
  std::vector<QPDFObjectHandle> pages = pdf.getAllPages();
  EXPECT_EQ(pages.at(0).getKey("/Annots").getArrayNItems(), 2);
  EXPECT_FALSE(pdf.anyWarnings());
}

TEST_F(PdfUpdateTest, CrossReferenceStreamFileGetsAStreamUpdate) {
  fs::path classic = write("classic.pdf", makePdf(kTwoPages));
  {
    QPDF source;
    source.processFile(classic.c_str());
    // The writer keeps the name's pointer until it writes.
    const fs::path out = dir_ / "xref-stream.pdf";
    QPDFWriter writer(source, out.c_str());
    writer.setObjectStreamMode(qpdf_o_generate);
    writer.write();
  }
  SignatureUpdate u;
  const std::string signedPdf = update(dir_ / "xref-stream.pdf", {}, &u);
  EXPECT_NE(u.bytes.find("/Type /XRef"), std::string::npos);
  EXPECT_EQ(u.bytes.find("\ntrailer\n"), std::string::npos);
  QPDF pdf;
  openStrict(pdf, signedPdf);
  EXPECT_EQ(pdf.getRoot().getKey("/AcroForm").getKey("/Fields").getArrayNItems(), 1);
  EXPECT_FALSE(pdf.anyWarnings());
}

TEST_F(PdfUpdateTest, ExistingDirectFormKeepsItsFields) {
  std::vector<std::string> objects = kTwoPages;
  objects[0] = "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [6 0 R] /DA (/Helv 0 Tf) >> >>";
  objects.push_back("<< /FT /Tx /T (Signature1) /Type /Annot /Subtype /Widget /Rect [0 0 9 9] >>");
  fs::path in = write("form.pdf", makePdf(objects));
  const std::string signedPdf = update(in, {});
  QPDF pdf;
  openStrict(pdf, signedPdf);
  QPDFObjectHandle acro = pdf.getRoot().getKey("/AcroForm");
  EXPECT_EQ(acro.getKey("/DA").getUTF8Value(), "/Helv 0 Tf");
  ASSERT_EQ(acro.getKey("/Fields").getArrayNItems(), 2);
  EXPECT_EQ(acro.getKey("/Fields").getArrayItem(1).getKey("/T").getUTF8Value(), "Signature2");
}

TEST_F(PdfUpdateTest, RefusesWhatCannotBeSigned) {
  const std::string good = makePdf(kTwoPages);
  std::vector<std::string> certified = kTwoPages;
  certified[0] =
      "<< /Type /Catalog /Pages 2 0 R /Perms << /DocMDP << /Reference [<< /TransformMethod /DocMDP "
      "/TransformParams << /P 1 >> >>] >> >> >>";
  std::string badXref = good;
  badXref.replace(badXref.rfind("startxref\n") + 10, 3, "999");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Hello, not a PDF", "not a PDF"},
      {good.substr(0, good.size() - 40), "no startxref"},
      {badXref, "damaged"},
      {makePdf(certified), "certified"},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(expected);
    fs::path in = write("bad.pdf", bytes);
    try {
      update(in, {});
      ADD_FAILURE() << "accepted";
    } catch (const DocumentError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
  SignatureFields page3;
  page3.page = 3;
  EXPECT_THROW(update(write("ok.pdf", good), page3), DocumentError);
  EXPECT_THROW(update(dir_ / "missing.pdf", {}), DocumentError);
}

TEST_F(PdfUpdateTest, HashingSkipsOnlyTheHoleAndTheContentsMustFit) {
  fs::path in = write("in.pdf", makePdf(kTwoPages));
  SignatureFields fields;
  fields.signingTime = pdfDate(0);
  fields.contentsSize = 4;
  const SignatureUpdate u = prepareSignatureUpdate(in.string(), fields);
  fs::path outPath = dir_ / "out.pdf";
  Bytes digest;
  {
    OutputFile out(outPath.string());
    digest = writeUpdatedCopy(in.string(), out, u);
    const std::string hex = contentsHex({0xde, 0xad}, u);
    EXPECT_EQ(hex, "dead0000");
    EXPECT_THROW(contentsHex({1, 2, 3, 4, 5}, u), OutputError);
    out.writeAt(u.contentsOffset, hex.data(), hex.size());
    EXPECT_FALSE(fs::exists(outPath)) << "visible before commit";
    out.commit();
  }
  const std::string whole = read(outPath);
  const std::string covered = whole.substr(0, u.byteRange[1]) + whole.substr(u.byteRange[2]);
  EXPECT_EQ(digest, sha256(Bytes(covered.begin(), covered.end())));
  EXPECT_NE(whole.find("<dead0000>"), std::string::npos);
  // An abandoned output leaves nothing behind.
  { OutputFile abandoned((dir_ / "never.pdf").string()); }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST(PdfText, AsciiIsLiteralOtherTextIsUtf16) {
  EXPECT_EQ(pdfTextString("a(b)\\c"), "(a\\(b\\)\\\\c)");
  EXPECT_EQ(pdfTextString("Zürich"), "<FEFF005A00FC0072006900630068>");
  EXPECT_EQ(pdfTextString("\xF0\x9F\x96\x8B"), "<FEFFD83DDD8B>");  // outside the BMP
  EXPECT_EQ(pdfTextString("\xC3"), "<FEFFFFFD>");                  // truncated UTF-8
  EXPECT_EQ(pdfDate(86400 * 365), "D:19710101000000+00'00'");
}

}  // namespace
}  // namespace vellumark::sign
